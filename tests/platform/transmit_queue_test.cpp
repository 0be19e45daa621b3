// The transmit queue's ring: appends past the end wrap, the front comes back in order as
// one or two pieces, and appends stop at the capacity.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/transmit_queue.h"

namespace quodem::posix {
namespace {

std::string FrontText(const TransmitQueue& queue, std::size_t limit) {
  iovec pieces[2];
  const int count = queue.Front(limit, pieces);
  std::string text;
  for (int i = 0; i < count; ++i) {
    text.append(static_cast<const char*>(pieces[i].iov_base), pieces[i].iov_len);
  }
  return text;
}

const unsigned char* Bytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

TEST(TransmitQueue, KeepsOrderAcrossTheWrapAndStopsAtItsCapacity) {
  TransmitQueue queue(8);
  EXPECT_EQ(6u, queue.Append(Bytes("abcdef"), 6));
  queue.Consume(4);
  EXPECT_EQ("ef", FrontText(queue, 100));
  // Wraps: "ef" sits at the end of the ring, the new bytes go round to its start.
  EXPECT_EQ(6u, queue.Append(Bytes("ghijklmn"), 8));
  EXPECT_EQ(0u, queue.Room());
  iovec pieces[2];
  EXPECT_EQ(2, queue.Front(100, pieces));
  EXPECT_EQ("efghijkl", FrontText(queue, 100));
  EXPECT_EQ("efg", FrontText(queue, 3));  // a limit inside the second piece
  EXPECT_EQ(0u, queue.Append(Bytes("z"), 1));

  queue.Consume(5);
  EXPECT_EQ("jkl", FrontText(queue, 100));
  queue.Consume(3);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(0, queue.Front(100, pieces));
  // Emptied, the ring starts over at its beginning: a full queue is one piece again.
  EXPECT_EQ(8u, queue.Append(Bytes("12345678"), 8));
  EXPECT_EQ(1, queue.Front(100, pieces));
  queue.Clear();
  EXPECT_EQ(0u, queue.Size());
  EXPECT_EQ(8u, queue.Room());
}

}  // namespace
}  // namespace quodem::posix
