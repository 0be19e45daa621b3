// Write, Read and ReadBytes on the port of a real call.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "quodem/platform/telephony_service.h"
#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;

class PortIoTest : public CallFixture {};

TEST(PortIoWithoutCall, WriteFailsAndReadReturnsZero) {
  TestQuodem modem;
  std::uint8_t area[4] = {1, 2, 3, 4};
  EXPECT_FALSE(modem.Write("abc", 3));
  EXPECT_EQ(0u, modem.Read(area, 3));
  EXPECT_EQ(1, area[0]);  // not touched
  EXPECT_EQ(4, area[3]);
}

TEST_F(PortIoTest, WriteHandsEveryByteToThePeer) {
  ASSERT_TRUE(modem->Write("hello", 5));
  ASSERT_TRUE(modem->Write("", 0));
  ASSERT_TRUE(modem->Write("!", 1));
  EXPECT_EQ(ToBytes("hello!"), peer.Receive(6));
}

TEST_F(PortIoTest, WriteThatGoesPendingCompletesWhenThePeerDrains) {
  // Far more than the line buffers: the write goes pending and completes as the peer reads.
  const Bytes data = Pattern(16 << 20);
  Bytes got;
  std::thread reader([&] { got = peer.Receive(data.size()); });
  EXPECT_TRUE(modem->Write(data.data(), data.size()));
  reader.join();
  EXPECT_EQ(data, got);
}

// The far end's carrier drops once its port has read 1000 bytes: the line goes down in both
// directions while the component's write is pending. (A graceful hang-up would not do: the
// service drains what the component still writes, and the write may well complete.)
class PortIoCarrierDropTest : public CallFixture {
 protected:
  void SetUp() override {
    telephony::testing::NumberFaults drop;
    drop.drop_after_bytes = 1000;
    telephony::testing::SetNumberFaults("102", drop);  // the far end dials from 102
    CallFixture::SetUp();
  }
  void TearDown() override {
    CallFixture::TearDown();
    telephony::testing::ResetFaults();
  }
};

TEST_F(PortIoCarrierDropTest, WriteThatEndsInErrorAfterGoingPendingFails) {
  const Bytes data = Pattern(16 << 20);
  // Reads until the carrier drops, and at most what the component writes.
  std::thread far_end([&] { peer.Receive(data.size()); });
  EXPECT_FALSE(modem->Write(data.data(), data.size()));
  far_end.join();
}

TEST_F(PortIoTest, CutEndsAPendingWrite) {
  const Bytes data = Pattern(16 << 20);
  std::thread cutter([&] {
    // Once the peer has seen the first bytes the write is under way.
    peer.Receive(1);
    modem->Cut();
  });
  EXPECT_FALSE(modem->Write(data.data(), data.size()));
  cutter.join();
  EXPECT_FALSE(modem->Write("x", 1));
}

TEST_F(PortIoTest, HostReadNeverWritesBeyondWhatItAskedFor) {
  // The reader worker takes bytes too (dropping them while it looks for a marker), so the far
  // end keeps sending noise until the host's Read has its four bytes.
  std::atomic<bool> done{false};
  std::thread noise([&] {
    const Bytes chunk(64, 'n');
    while (!done.load() && peer.Send(chunk)) {
    }
  });
  std::uint8_t area[8] = {9, 9, 9, 9, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(4u, modem->Read(area, 4));
  done = true;
  noise.join();
  EXPECT_EQ((std::vector<std::uint8_t>{'n', 'n', 'n', 'n', 0xEE, 0xEE, 0xEE, 0xEE}),
            std::vector<std::uint8_t>(area, area + 8));
}

TEST_F(PortIoTest, ReadBytesClearsItsSpareByteAndReadsNothingAfterCut) {
  std::shared_ptr<TReadModemThread> reader = modem->Reader();
  ASSERT_NE(nullptr, reader);
  modem->Cut();
  EXPECT_EQ(0u, modem->Read(nullptr, 0));

  std::uint8_t header[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(0u, reader->ReadBytes(header, 8));
  EXPECT_EQ(std::vector<std::uint8_t>(9, 0), std::vector<std::uint8_t>(header, header + 9));

  std::uint8_t one = 0x42;
  EXPECT_EQ(0u, reader->ReadBytes(&one, 1));
  EXPECT_EQ(0x42, one);
  EXPECT_EQ(0u, reader->ReadBytes(&one, 0));
  EXPECT_EQ(0x42, one);

  // The host's path clears only what it asked for.
  std::uint8_t host[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(0u, reader->ReadForHost(host, 8));
  EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 9}),
            std::vector<std::uint8_t>(host, host + 9));
}

}  // namespace
}  // namespace quodem
