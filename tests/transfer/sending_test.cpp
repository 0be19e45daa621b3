// SendBuffer and SendFile against a raw far end: the bytes on the line, progress, and every
// way a send can fail.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;

constexpr char kDataFailed[] = "データ転送に失敗しました";
constexpr char kFileFailed[] = "ファイル転送に失敗しました";

using Progress = Recorder::Progress;

class SendingTest : public CallFixture {};

TEST_F(SendingTest, MessageAbcIsExactlyTwelveBytes) {
  ASSERT_TRUE(modem->SendBuffer("abc", 3));
  EXPECT_EQ((Bytes{0x05, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63}),
            peer.Receive(12));
  EXPECT_EQ((std::vector<Progress>{{3, dcMessage}}), events->Sent());
  EXPECT_EQ(3, modem->SentBytes());
  // Nothing follows the frame: the next bytes on the line are the next frame.
  ASSERT_TRUE(modem->SendBuffer("", 0));
  EXPECT_EQ((Bytes{0x05, 0, 0, 0, 0, 0, 0, 0, 0}), peer.Receive(9));
  EXPECT_EQ(1u, events->Sent().size());  // an empty payload reports no progress
  EXPECT_TRUE(shown.Texts().empty());
}

TEST_F(SendingTest, FileOf300BytesHasItsNameInTheHead) {
  const Bytes content = Pattern(300);
  WriteFileBytes(dir / "a.txt", content);
  ASSERT_TRUE(modem->SendFile(dir / "a.txt"));  // the folder does not cross the line
  EXPECT_EQ((Bytes{0x05, 0x01, 0x00, 0x06, 0x00, 0x2C, 0x01, 0x00, 0x00, 0x61, 0x2E, 0x74, 0x78,
                   0x74, 0x00}),
            peer.Receive(15));
  EXPECT_EQ(content, peer.Receive(300));
  EXPECT_EQ((std::vector<Progress>{{255, dcFile}, {300, dcFile}}), events->Sent());
  EXPECT_EQ(300u, modem->FileTotal());
  EXPECT_EQ(0, modem->SentBytes());
}

TEST_F(SendingTest, ChunkBoundariesGiveOneReportPerPayloadWrite) {
  const Bytes data = Pattern(256);
  ASSERT_TRUE(modem->SendBuffer(data.data(), 255));
  ASSERT_TRUE(modem->SendBuffer(data.data(), 256));
  EXPECT_EQ(Concat({MessageFrame(Bytes(data.begin(), data.begin() + 255)), MessageFrame(data)}),
            peer.Receive(9 + 255 + 9 + 256));
  EXPECT_EQ((std::vector<Progress>{{255, dcMessage}, {255, dcMessage}, {256, dcMessage}}),
            events->Sent());

  events->ClearProgress();
  WriteFileBytes(dir / "six.bin", Pattern(600));
  ASSERT_TRUE(modem->SendFile(dir / "six.bin"));
  EXPECT_EQ(FileFrame("six.bin", Pattern(600)), peer.Receive(9 + 8 + 600));
  EXPECT_EQ((std::vector<Progress>{{255, dcFile}, {510, dcFile}, {600, dcFile}}), events->Sent());
}

TEST_F(SendingTest, ALargeFileReportsEveryChunkInOrderAndGoesOutByteForByte) {
  // Underneath, the port carries the 255-byte writes in large blocks; neither the bytes on
  // the line nor the progress may show it.
  constexpr std::size_t kSize = (4u << 20) + 100;
  const Bytes content = Pattern(kSize, 9);
  WriteFileBytes(dir / "large.bin", content);
  const Bytes got =
      ReceiveDuring(9 + 10 + kSize, [&] { EXPECT_TRUE(modem->SendFile(dir / "large.bin")); });
  EXPECT_TRUE(FileFrame("large.bin", content) == got);
  std::vector<Progress> expected;
  for (DWORD size = 255; size < kSize; size += 255) expected.push_back({size, dcFile});
  expected.push_back({static_cast<DWORD>(kSize), dcFile});
  EXPECT_TRUE(expected == events->Sent());
}

TEST_F(SendingTest, EmptyFileAndNameWithColonsGoOutWhole) {
  WriteFileBytes(dir / "10:00.log", {});
  ASSERT_TRUE(modem->SendFile(dir / "10:00.log"));
  EXPECT_EQ(FileFrame("10:00.log", {}), peer.Receive(9 + 10));
  EXPECT_TRUE(events->Sent().empty());
  EXPECT_EQ(0u, modem->FileTotal());
}

TEST_F(SendingTest, LengthsTheFormatCannotCarryAreRefusedBeforeAnyWrite) {
  const Bytes big(65536, 'x');
  EXPECT_FALSE(modem->SendBuffer(big.data(), 65536));
  EXPECT_FALSE(modem->SendBuffer(big.data(), -1));
  const std::string long_name(247, 'n');
  WriteFileBytes(dir / long_name, Pattern(10));
  EXPECT_FALSE(modem->SendFile(dir / long_name));
  EXPECT_EQ((std::vector<std::string>{kDataFailed, kDataFailed, kFileFailed}), shown.Texts());

  // The largest that fit still go out, and are the first bytes on the line.
  const Bytes got =
      ReceiveDuring(9 + 65535, [&] { EXPECT_TRUE(modem->SendBuffer(big.data(), 65535)); });
  EXPECT_EQ(MessageFrame(Bytes(big.begin(), big.end() - 1)), got);
  const std::string name246(246, 'm');
  WriteFileBytes(dir / name246, Pattern(10));
  ASSERT_TRUE(modem->SendFile(dir / name246));
  EXPECT_EQ(FileFrame(name246, Pattern(10)), peer.Receive(9 + 247 + 10));
  EXPECT_EQ(3u, shown.Texts().size());
}

TEST_F(SendingTest, MissingFileThrowsAndWritesNothing) {
  EXPECT_THROW(modem->SendFile(dir / "no-such-file"), EFOpenError);
  EXPECT_TRUE(shown.Texts().empty());
  ASSERT_TRUE(modem->SendBuffer("z", 1));
  EXPECT_EQ(MessageFrame({'z'}), peer.Receive(10));
}

TEST_F(SendingTest, CallerBufferIsCopiedBeforeTheFirstWrite) {
  // A handler that scribbles over the caller's buffer after the first chunk changes nothing.
  Bytes data = Pattern(600);
  const Bytes original = data;
  modem->SetOnSentState(
      [&](TQuodem*, DWORD, Dataclass) { std::fill(data.begin(), data.end(), 0); });
  ASSERT_TRUE(modem->SendBuffer(data.data(), 600));
  EXPECT_EQ(MessageFrame(original), peer.Receive(9 + 600));
}

TEST_F(SendingTest, SendsFromTwoThreadsNeverInterleave) {
  const Bytes a = Pattern(20000, 1);
  const Bytes b = Pattern(20000, 2);
  std::atomic<int> ok{0};
  const Bytes got = ReceiveDuring(2 * (9 + 20000), [&] {
    std::thread other([&] { ok += modem->SendBuffer(b.data(), 20000); });
    ok += modem->SendBuffer(a.data(), 20000);
    other.join();
  });
  EXPECT_EQ(2, ok.load());
  const Bytes ab = Concat({MessageFrame(a), MessageFrame(b)});
  const Bytes ba = Concat({MessageFrame(b), MessageFrame(a)});
  EXPECT_TRUE(got == ab || got == ba);
}

TEST_F(SendingTest, NestedSendFromAProgressHandlerFailsAtOnce) {
  std::atomic<int> nested_results{0};
  modem->SetOnSentState([&](TQuodem* sender, DWORD, Dataclass) {
    if (!sender->SendBuffer("n", 1)) ++nested_results;
  });
  const Bytes data = Pattern(300);
  ASSERT_TRUE(modem->SendBuffer(data.data(), 300));
  EXPECT_EQ(2, nested_results.load());
  EXPECT_EQ((std::vector<std::string>{kDataFailed, kDataFailed}), shown.Texts());
  EXPECT_EQ(MessageFrame(data), peer.Receive(9 + 300));
}

TEST_F(SendingTest, CutDuringASendFailsIt) {
  // The far end does not read, so the send blocks once the line's buffers are full; a cut
  // from another thread ends it.
  WriteFileBytes(dir / "big.bin", Pattern(16 << 20));
  std::thread cutter;
  modem->SetOnSentState([&](TQuodem* sender, DWORD size, Dataclass) {
    if (size == 255 * 4) cutter = std::thread([sender] { sender->Cut(); });
  });
  EXPECT_FALSE(modem->SendFile(dir / "big.bin"));
  cutter.join();
  EXPECT_EQ(std::vector<std::string>{kFileFailed}, shown.Texts());
  const int sent = modem->SentBytes();
  EXPECT_GE(sent, 255 * 4);
  EXPECT_LT(sent, 16 << 20);
  EXPECT_EQ(0, sent % 255);  // the bytes of the writes that completed
  EXPECT_EQ(16u << 20, modem->FileTotal());
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem->CommHandle());
}

// The file SendFile is given: what it is, and what happens to it during the send.
class SendFileSourceTest : public CallFixture {};

TEST_F(SendFileSourceTest, NotARegularFileFailsAtOnceWithNothingWritten) {
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  // A FIFO would block an ordinary open until a writer comes, and a device never ends.
  for (const std::string& path : {fifo, dir.path(), std::string("/dev/zero")}) {
    EXPECT_THROW(modem->SendFile(path), EFOpenError) << path;
  }
  EXPECT_TRUE(shown.Texts().empty());
  ASSERT_TRUE(modem->SendBuffer("z", 1));
  EXPECT_EQ(MessageFrame({'z'}), peer.Receive(10));
}

TEST_F(SendFileSourceTest, AGrowingFileIsSentWithItsSizeAtOpen) {
  // More than one read block, so the growth lands before the second block is read.
  const Bytes content = Pattern(70000);
  WriteFileBytes(dir / "grows.log", content);
  DWORD last_report = 0;
  modem->SetOnSentState([&](TQuodem*, DWORD size, Dataclass) {
    if (last_report == 0) std::ofstream(dir / "grows.log", std::ios::app) << std::string(5000, 'g');
    last_report = size;
  });
  const Bytes frame = FileFrame("grows.log", content);
  const Bytes got = ReceiveDuring(frame.size(), [&] {
    EXPECT_TRUE(modem->SendFile(dir / "grows.log"));
    EXPECT_EQ(70000u, last_report);
    EXPECT_TRUE(modem->SendBuffer("next", 4));
  });
  EXPECT_TRUE(frame == got);
  EXPECT_EQ(MessageFrame(ToBytes("next")), peer.Receive(9 + 4));  // in step
  EXPECT_EQ(70000u, modem->FileTotal());
}

TEST_F(SendFileSourceTest, AFileTruncatedDuringTheSendCutsTheCall) {
  const Bytes content = Pattern(200000);
  WriteFileBytes(dir / "shrinks.bin", content);
  modem->SetOnSentState([&](TQuodem*, DWORD size, Dataclass) {
    if (size == 255) std::filesystem::resize_file(dir / "shrinks.bin", 1000);
  });
  const Bytes frame = FileFrame("shrinks.bin", content);
  const Bytes got =
      ReceiveDuring(frame.size(), [&] { EXPECT_FALSE(modem->SendFile(dir / "shrinks.bin")); });
  EXPECT_EQ(std::vector<std::string>{"ファイルの読込に失敗しました"}, shown.Texts());
  // The call is gone, so the far end never takes later bytes for the missing ones.
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem->CommHandle());
  EXPECT_TRUE(events->WaitCallEnded());
  EXPECT_LT(got.size(), frame.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), frame.begin()));
}

TEST_F(SendFileSourceTest, AFileIsNeverHeldWholeAndCutStopsItsSend) {
  // A 1 GiB file (sparse: it costs no disk) and a send cut at its fourth chunk. Loading it
  // whole would raise the peak resident memory by 1 GiB; a streaming send holds one block.
  const std::string path = dir / "huge.bin";
  { std::ofstream(path).flush(); }
  std::filesystem::resize_file(path, 1ull << 30);
  modem->SetOnSentState([&](TQuodem* sender, DWORD size, Dataclass) {
    if (size == 4 * 255) sender->Cut();
  });
  struct rusage before, after;
  ASSERT_EQ(0, getrusage(RUSAGE_SELF, &before));
  EXPECT_FALSE(modem->SendFile(path));
  ASSERT_EQ(0, getrusage(RUSAGE_SELF, &after));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "KiB";
  EXPECT_EQ(4 * 255, modem->SentBytes());  // nothing after the cut
  EXPECT_EQ(std::vector<std::string>{kFileFailed}, shown.Texts());
  EXPECT_EQ(1u << 30, modem->FileTotal());
}

TEST(SendingWithoutCall, EachOperationShowsItsMessage) {
  MessageCapture shown;
  TempDir dir;
  TestQuodem modem;
  Recorder events(modem);
  WriteFileBytes(dir / "f.txt", Pattern(300));
  EXPECT_FALSE(modem.SendBuffer("abc", 3));
  EXPECT_FALSE(modem.SendFile(dir / "f.txt"));
  EXPECT_EQ((std::vector<std::string>{kDataFailed, kFileFailed}), shown.Texts());
  EXPECT_TRUE(events.Sent().empty());
  EXPECT_EQ(300u, modem.FileTotal());  // set once the file was loaded
  EXPECT_EQ(dcFile, modem.SendHeader().Kind);
  EXPECT_EQ(0, modem.SentBytes());
  EXPECT_THROW(modem.SendFile(dir / "missing"), EFOpenError);
  EXPECT_EQ(2u, shown.Texts().size());
}

}  // namespace
}  // namespace quodem
