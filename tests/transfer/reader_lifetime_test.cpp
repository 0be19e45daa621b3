// Threads and lifetime around the reader worker: cuts from handlers and from the host in
// the middle of a frame, destruction while a frame is being finished, a frame followed at
// once by a hang-up, and both ends sending at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;

class ReaderLifetimeTest : public CallFixture {
 protected:
  bool NoTemporaryFiles() {
    for (const std::string& name : dir.Entries()) {
      if (name.rfind(".quodem-", 0) == 0) return false;
    }
    return true;
  }
};

TEST_F(ReaderLifetimeTest, CutFromAMessageHandler) {
  events->on_message = [&](const Recorder::Message&) { modem->Cut(); };
  ASSERT_TRUE(peer.Send(MessageFrame(ToBytes("bye"))));
  ASSERT_TRUE(events->WaitMessages(1));
  ASSERT_TRUE(modem->WaitReadersDone());
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem->CommHandle());
  EXPECT_EQ(nullptr, modem->Reader());
  EXPECT_EQ(0u, modem->Read(nullptr, 0));
}

TEST_F(ReaderLifetimeTest, CutFromAProgressHandlerDropsThePartialFrame) {
  events->on_progress = [&](const Recorder::Progress&) { modem->Cut(); };
  const Bytes frame = FileFrame("cut.bin", Pattern(100000));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + 50000)));
  ASSERT_TRUE(events->WaitProgress(1));
  ASSERT_TRUE(modem->WaitReadersDone());
  EXPECT_TRUE(events->Files().empty());
  EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(ReaderLifetimeTest, FrameCompleteWhenCutIsStillDelivered) {
  // The cut comes from the handler of the frame's last progress report: every byte has
  // arrived, so the frame is delivered although the port is gone by then.
  events->on_progress = [&](const Recorder::Progress& p) {
    if (p.size == 3000) modem->Cut();
  };
  ASSERT_TRUE(peer.Send(MessageFrame(Pattern(3000))));
  ASSERT_TRUE(events->WaitMessages(1));
  EXPECT_EQ(Pattern(3000), events->Messages()[0].data);
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem->CommHandle());
}

TEST_F(ReaderLifetimeTest, HostCutDuringAReceive) {
  WriteFileBytes(dir / "keep.bin", ToBytes("untouched"));
  const Bytes frame = FileFrame("keep.bin", Pattern(200000));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + 1000)));
  ASSERT_TRUE(events->WaitProgress(1));
  modem->Cut();
  ASSERT_TRUE(modem->WaitReadersDone());
  EXPECT_TRUE(events->Files().empty());
  EXPECT_EQ(std::vector<std::string>{"keep.bin"}, dir.Entries());
  EXPECT_EQ(ToBytes("untouched"), ReadFileBytes(dir / "keep.bin"));
}

TEST_F(ReaderLifetimeTest, FrameSentAndCallDroppedAtOnceArrivesWhole) {
  ASSERT_TRUE(peer.Send(
      Concat({FileFrame("last.bin", Pattern(300000)), MessageFrame(ToBytes("goodbye"))})));
  peer.HangUp();
  ASSERT_TRUE(events->WaitFiles(1));
  ASSERT_TRUE(events->WaitMessages(1));
  EXPECT_EQ(Pattern(300000), ReadFileBytes(dir / "last.bin"));
  EXPECT_EQ(ToBytes("goodbye"), events->Messages()[0].data);
  EXPECT_TRUE(events->WaitCallEnded());
}

TEST_F(ReaderLifetimeTest, DestroyingTheComponentWhileAFrameIsBeingReceived) {
  // The component goes while its reader is inside a large frame; whatever point the reader
  // has reached, it ends cleanly and leaves no temporary file.
  std::mutex lock;
  std::condition_variable cv;
  bool in_frame = false;
  events->on_progress = [&](const Recorder::Progress&) {
    {
      std::lock_guard<std::mutex> guard(lock);
      in_frame = true;
    }
    cv.notify_all();
  };
  const Bytes content = Pattern(4 << 20);
  const Bytes frame = FileFrame("big.bin", content);
  const HANDLE port = peer.Port();
  std::thread sender([&frame, port] { RawWrite(port, frame); });
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(cv.wait_for(guard, kGuard, [&] { return in_frame; }));
  }
  modem.reset();
  peer.ClosePort();  // ends the sender's write if the component stopped reading
  sender.join();
  EXPECT_TRUE(NoTemporaryFiles());
  if (std::filesystem::exists(dir / "big.bin")) {
    EXPECT_EQ(content, ReadFileBytes(dir / "big.bin"));
  }
}

// Reads frames from a raw port until a message equal to `last` arrives.
struct FrameLog {
  std::vector<Bytes> messages;
  std::vector<std::pair<std::string, Bytes>> files;
  bool malformed = false;
};
FrameLog ReadFramesUntil(HANDLE port, const Bytes& last) {
  FrameLog log;
  for (;;) {
    const Bytes head = RawRead(port, kHeadBytes);
    if (head.size() != kHeadBytes || head[0] != kFrameMarker) {
      log.malformed = true;
      return log;
    }
    const FrameHeader header = DecodeFrameHeader(head.data() + 1);
    if (header.Kind == dcMessage) {
      log.messages.push_back(RawRead(port, header.Length));
      if (log.messages.back() == last) return log;
    } else {
      const Bytes name = RawRead(port, header.Length);
      log.files.push_back({std::string(name.begin(), name.end() - 1), RawRead(port, header.Size)});
    }
  }
}

TEST_F(ReaderLifetimeTest, BothEndsSendingWhileHandlersReply) {
  // The component sends a large file from the host while the far end sends one too; every
  // frame the component receives is answered from its handler. Replies that find the host's
  // send running fail at once instead of waiting for it, so nobody waits for anybody for
  // ever.
  const Bytes ours = Pattern(6 << 20, 1);
  const Bytes theirs = Pattern(6 << 20, 2);
  WriteFileBytes(dir / "ours.bin", ours);
  std::mutex lock;
  std::condition_variable replied;
  int replies_done = 0;
  std::atomic<int> replies_sent{0};
  auto reply = [&] {
    if (modem->SendBuffer("ack", 3)) ++replies_sent;
    {
      std::lock_guard<std::mutex> guard(lock);
      ++replies_done;
    }
    replied.notify_all();
  };
  events->on_message = [&](const Recorder::Message&) { reply(); };
  events->on_file = [&](const std::string&) { reply(); };

  FrameLog log;
  std::thread far_reader([&] { log = ReadFramesUntil(peer.Port(), ToBytes("end")); });
  std::thread far_sender([&] {
    peer.Send(MessageFrame(ToBytes("hello")));
    peer.Send(FileFrame("theirs.bin", theirs));
    peer.Send(MessageFrame(ToBytes("after")));
  });
  EXPECT_TRUE(modem->SendFile(dir / "ours.bin"));
  far_sender.join();
  ASSERT_TRUE(events->WaitMessages(2));
  ASSERT_TRUE(events->WaitFiles(1));
  {
    // The replies run on the reader, after the events were recorded.
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(replied.wait_for(guard, kGuard, [&] { return replies_done == 3; }));
  }
  ASSERT_TRUE(modem->SendBuffer("end", 3));
  far_reader.join();

  EXPECT_FALSE(log.malformed);
  ASSERT_EQ(1u, log.files.size());
  EXPECT_EQ("ours.bin", log.files[0].first);
  EXPECT_EQ(ours, log.files[0].second);
  EXPECT_EQ(static_cast<std::size_t>(replies_sent.load()) + 1, log.messages.size());
  for (std::size_t i = 0; i + 1 < log.messages.size(); ++i)
    EXPECT_EQ(ToBytes("ack"), log.messages[i]);
  EXPECT_EQ(theirs, ReadFileBytes(dir / "theirs.bin"));
  // Every reply that failed said so.
  EXPECT_EQ(static_cast<std::size_t>(3 - replies_sent.load()), shown.Texts().size());
}

}  // namespace
}  // namespace quodem
