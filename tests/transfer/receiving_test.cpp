// The reader worker against a raw far end: frames as a conforming sender writes them, and
// the ways bytes can arrive.
#include <gtest/gtest.h>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;
using Progress = Recorder::Progress;

class ReceivingTest : public CallFixture {
 protected:
  // Progress reports must count up to `total`, each the payload bytes stored so far.
  static void ExpectProgressUpTo(const std::vector<Progress>& reports, DWORD total,
                                 Dataclass kind) {
    ASSERT_FALSE(reports.empty());
    DWORD last = 0;
    for (const Progress& p : reports) {
      EXPECT_EQ(kind, p.kind);
      EXPECT_GT(p.size, last);
      last = p.size;
    }
    EXPECT_EQ(total, last);
  }
};

TEST_F(ReceivingTest, WorkedExamplesArrive) {
  ASSERT_TRUE(
      peer.Send(Bytes{0x05, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63}));
  ASSERT_TRUE(events->WaitMessages(1));
  EXPECT_EQ(ToBytes("abc"), events->Messages()[0].data);
  EXPECT_TRUE(events->Messages()[0].zero_terminated);
  ExpectProgressUpTo(events->Received(), 3, dcMessage);
  EXPECT_EQ(3u, modem->DataTotal());
  EXPECT_EQ(0u, modem->FileTotal());

  events->ClearProgress();
  const Bytes content = Pattern(300);
  ASSERT_TRUE(peer.Send(FileFrame("a.txt", content)));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(dir / "a.txt", events->Files()[0]);
  EXPECT_EQ(content, ReadFileBytes(dir / "a.txt"));
  ExpectProgressUpTo(events->Received(), 300, dcFile);
  EXPECT_EQ(6u, modem->DataTotal());
  EXPECT_EQ(300u, modem->FileTotal());
  EXPECT_EQ("a.txt", modem->RecvFileName());
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, dir.Entries());  // no temporary file left
}

TEST_F(ReceivingTest, EmptyMessageAndEmptyFileRaiseNoProgress) {
  WriteFileBytes(dir / "e.txt", ToBytes("old content"));
  ASSERT_TRUE(peer.Send(Concat({MessageFrame({}), FileFrame("e.txt", {})})));
  ASSERT_TRUE(events->WaitFiles(1));
  ASSERT_EQ(1u, events->Messages().size());
  EXPECT_TRUE(events->Messages()[0].data.empty());
  EXPECT_TRUE(events->Messages()[0].zero_terminated);
  EXPECT_EQ(Bytes{0}, modem->MsgBuffer(0));
  EXPECT_TRUE(events->Received().empty());
  EXPECT_TRUE(ReadFileBytes(dir / "e.txt").empty());  // replaced by the empty file
}

TEST_F(ReceivingTest, ChunkBoundaryPayloadsAndMarkersInside) {
  const Bytes markers(256, 0x05);
  ASSERT_TRUE(peer.Send(
      Concat({MessageFrame(Pattern(255)), MessageFrame(markers), FileFrame("m.bin", markers)})));
  ASSERT_TRUE(events->WaitFiles(1));
  ASSERT_EQ(2u, events->Messages().size());
  EXPECT_EQ(Pattern(255), events->Messages()[0].data);
  EXPECT_EQ(markers, events->Messages()[1].data);
  EXPECT_EQ(markers, ReadFileBytes(dir / "m.bin"));
}

TEST_F(ReceivingTest, NoiseBeforeAMarkerIsDropped) {
  ASSERT_TRUE(peer.Send(Concat({ToBytes("line noise \xff\x00\x06"), MessageFrame(ToBytes("one")),
                                ToBytes("junk between frames"), MessageFrame(ToBytes("two"))})));
  ASSERT_TRUE(events->WaitMessages(2));
  EXPECT_EQ(ToBytes("one"), events->Messages()[0].data);
  EXPECT_EQ(ToBytes("two"), events->Messages()[1].data);
}

TEST_F(ReceivingTest, FramesInOneBurstAreAllDelivered) {
  ASSERT_TRUE(peer.Send(Concat({MessageFrame(ToBytes("first")), FileFrame("b.txt", Pattern(1000)),
                                MessageFrame(ToBytes("last"))})));
  ASSERT_TRUE(events->WaitMessages(2));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(ToBytes("first"), events->Messages()[0].data);
  EXPECT_EQ(ToBytes("last"), events->Messages()[1].data);
  EXPECT_EQ(Pattern(1000), ReadFileBytes(dir / "b.txt"));
}

TEST_F(ReceivingTest, FrameArrivingOneBytePerWrite) {
  const Bytes frame = FileFrame("slow.bin", Pattern(600));
  for (std::uint8_t byte : frame) ASSERT_TRUE(peer.Send(Bytes{byte}));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(600), ReadFileBytes(dir / "slow.bin"));
  ExpectProgressUpTo(events->Received(), 600, dcFile);
}

TEST_F(ReceivingTest, AnyKindOtherThanZeroIsAFile) {
  ASSERT_TRUE(peer.Send(Frame(2, "k2.bin", Pattern(10))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(10), ReadFileBytes(dir / "k2.bin"));
  ASSERT_FALSE(events->Received().empty());
  EXPECT_EQ(2, events->Received().back().kind);  // Kind as received
}

TEST_F(ReceivingTest, WithoutHandlersMessagesAreStoredAndFilesSaved) {
  const TMsgReceiveEvent recorded = modem->OnMsgReceive();
  modem->SetOnMsgReceive(nullptr);
  modem->SetOnLineReceive(nullptr);
  // A file frame after the message tells when the message has been taken.
  ASSERT_TRUE(peer.Send(Concat({MessageFrame(ToBytes("kept")), FileFrame("sync1", {})})));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(ToBytes(std::string("kept") + '\0'), modem->MsgBuffer(4));

  modem->SetOnFileReceive(nullptr);
  modem->SetOnMsgReceive(recorded);
  SendAndSync(FileFrame("quiet.txt", Pattern(40)), 0);
  EXPECT_EQ(Pattern(40), ReadFileBytes(dir / "quiet.txt"));
  EXPECT_TRUE(events->Received().empty());
}

TEST_F(ReceivingTest, SaveFolderEndingInSeparatorGivesOneSeparator) {
  modem->SetSaveFileDir(dir.path() + "/");
  ASSERT_TRUE(peer.Send(FileFrame("s.txt", Pattern(5))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(dir.path() + "/s.txt", events->Files()[0]);
  EXPECT_EQ(Pattern(5), ReadFileBytes(dir / "s.txt"));
}

TEST_F(ReceivingTest, ExistingFileIsReplaced) {
  WriteFileBytes(dir / "r.txt", Pattern(5000, 7));
  ASSERT_TRUE(peer.Send(FileFrame("r.txt", Pattern(20, 8))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(20, 8), ReadFileBytes(dir / "r.txt"));
}

TEST_F(ReceivingTest, MessageBufferLastsUntilTheNextMessageFrame) {
  // The recorder's handler copies each buffer it is given, as a host that keeps data must.
  ASSERT_TRUE(peer.Send(MessageFrame(ToBytes("first"))));
  ASSERT_TRUE(events->WaitMessages(1));
  // A file frame leaves the buffer alone; the next message replaces it.
  ASSERT_TRUE(peer.Send(FileFrame("f", {})));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(ToBytes(std::string("first") + '\0'), modem->MsgBuffer(5));
  ASSERT_TRUE(peer.Send(MessageFrame(ToBytes("second"))));
  ASSERT_TRUE(events->WaitMessages(2));
  EXPECT_EQ(ToBytes(std::string("second") + '\0'), modem->MsgBuffer(6));
  EXPECT_EQ(ToBytes("first"), events->Messages()[0].data);
}

TEST_F(ReceivingTest, FileNameWithColonArrivesWhole) {
  ASSERT_TRUE(peer.Send(FileFrame("10:00.log", ToBytes("tick"))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(dir / "10:00.log", events->Files()[0]);
  EXPECT_EQ("10:00.log", modem->RecvFileName());
  EXPECT_EQ(ToBytes("tick"), ReadFileBytes(dir / "10:00.log"));
}

}  // namespace
}  // namespace quodem
