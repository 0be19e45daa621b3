// What a hostile or broken peer can send, and what it gets: nothing outside the save folder,
// no memory on announcement, no partial files, and a stream that stays in step.
#include <gtest/gtest.h>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;

class HostileInputTest : public CallFixture {
 protected:
  // The save folder sits one level down, so a name that climbs out would show up here.
  void SetUp() override {
    CallFixture::SetUp();
    inbox = dir / "inbox";
    std::filesystem::create_directory(inbox);
    modem->SetSaveFileDir(inbox);
  }
  std::vector<std::string> InboxEntries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(inbox)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Ends the call from the far end and waits until the reader has let go of everything.
  void HangUpAndSettle() {
    peer.HangUp();
    ASSERT_TRUE(events->WaitCallEnded());
    ASSERT_TRUE(modem->WaitReadersDone());
  }

  std::string inbox;
};

TEST_F(HostileInputTest, DirectoryPartsOfNamesAreDropped) {
  ASSERT_TRUE(peer.Send(
      Concat({FileFrame("../up.txt", Pattern(3, 1)), FileFrame("..\\win.txt", Pattern(3, 2)),
              FileFrame("/abs/abs.txt", Pattern(3, 3)), FileFrame("C:\\drive.txt", Pattern(3, 4)),
              FileFrame("C:x.txt", Pattern(3, 5))})));
  ASSERT_TRUE(events->WaitFiles(5));
  EXPECT_EQ((std::vector<std::string>{inbox + "/up.txt", inbox + "/win.txt", inbox + "/abs.txt",
                                      inbox + "/drive.txt", inbox + "/x.txt"}),
            events->Files());
  EXPECT_EQ(Pattern(3, 1), ReadFileBytes(inbox + "/up.txt"));
  EXPECT_EQ(Pattern(3, 5), ReadFileBytes(inbox + "/x.txt"));
  EXPECT_EQ("x.txt", modem->RecvFileName());
  EXPECT_EQ(std::vector<std::string>{"inbox"}, dir.Entries());
}

TEST_F(HostileInputTest, UnusableNamesAreReadAndDropped) {
  SendAndSync(
      Concat({FileFrame("", Pattern(10)), FileFrame("..", Pattern(10)), FileFrame(".", Pattern(10)),
              FileFrame("x/..", Pattern(10)), Concat({RawHead(dcFile, 0, 10), Pattern(10)})}),
      0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_TRUE(InboxEntries().empty());
  EXPECT_EQ(std::vector<std::string>{"inbox"}, dir.Entries());
}

TEST_F(HostileInputTest, NameLengthAbove255IsReadAndDropped) {
  const Bytes name(300, 'n');
  SendAndSync(Concat({RawHead(dcFile, 300, 20), name, Pattern(20)}), 0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_TRUE(InboxEntries().empty());
  // The limit itself is accepted.
  ASSERT_TRUE(peer.Send(FileFrame(std::string(254, 'k'), Pattern(4))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(4), ReadFileBytes(inbox + "/" + std::string(254, 'k')));
}

TEST_F(HostileInputTest, HugeAnnouncedSizeCostsNothingAndLeavesNoFile) {
  // 4 GiB - 1 announced, a little sent, then the far end hangs up.
  ASSERT_TRUE(peer.Send(Concat(
      {RawHead(dcFile, 6, 0xFFFFFFFFu), ToBytes(std::string("h.bin") + '\0'), Pattern(100000)})));
  ASSERT_TRUE(events->WaitProgress(1));
  EXPECT_EQ(0xFFFFFFFFu, modem->FileTotal());
  HangUpAndSettle();
  EXPECT_TRUE(events->Files().empty());
  EXPECT_TRUE(InboxEntries().empty());
  EXPECT_EQ(100000u, events->Received().back().size);
}

TEST_F(HostileInputTest, MissingSaveFolderDropsTheFileButNotTheStream) {
  modem->SetSaveFileDir(dir / "missing");
  SendAndSync(FileFrame("lost.txt", Pattern(1000)), 0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  // The next frame is read from its marker, and with a usable folder it is saved.
  modem->SetSaveFileDir(inbox);
  ASSERT_TRUE(peer.Send(FileFrame("kept.txt", Pattern(1000))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(1000), ReadFileBytes(inbox + "/kept.txt"));
}

TEST_F(HostileInputTest, SaveOverAFolderFailsQuietly) {
  std::filesystem::create_directories(inbox + "/taken/inner");
  SendAndSync(FileFrame("taken", Pattern(50)), 0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_EQ(std::vector<std::string>{"taken"}, InboxEntries());
}

TEST_F(HostileInputTest, PeerHangingUpInMidFrameLeavesNoTrace) {
  WriteFileBytes(inbox + "/half.bin", ToBytes("previous"));
  const Bytes frame = FileFrame("half.bin", Pattern(10000));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + 5000)));
  ASSERT_TRUE(events->WaitProgress(1));
  HangUpAndSettle();
  EXPECT_TRUE(events->Files().empty());
  EXPECT_EQ(std::vector<std::string>{"half.bin"}, InboxEntries());
  EXPECT_EQ(ToBytes("previous"), ReadFileBytes(inbox + "/half.bin"));
}

TEST_F(HostileInputTest, MessageCutShortRaisesNothing) {
  const Bytes frame = MessageFrame(Pattern(3000));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + 1000)));
  ASSERT_TRUE(events->WaitProgress(1));
  HangUpAndSettle();
  EXPECT_TRUE(events->Messages().empty());
}

}  // namespace
}  // namespace quodem
