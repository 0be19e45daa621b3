// What a hostile or broken peer can send, and what it gets: nothing outside the save folder,
// no memory on announcement, no partial files, one OnFileError for every file frame that is
// not saved, and a stream that stays in step.
#include <gtest/gtest.h>

#include "support/call_fixture.h"
#include "transfer/file_name.h"

namespace quodem {
namespace {

using namespace calltest;
using FileError = Recorder::FileError;

constexpr char kCallEnded[] = "the call ended before the last byte";
constexpr char kUnusable[] = "unusable name";

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
  EXPECT_TRUE(events->FileErrors().empty());
}

TEST_F(HostileInputTest, UnusableNamesAreReadAndDropped) {
  SendAndSync(
      Concat({FileFrame("", Pattern(10)), FileFrame("..", Pattern(10)), FileFrame(".", Pattern(10)),
              FileFrame("x/..", Pattern(10)), Concat({RawHead(dcFile, 0, 10), Pattern(10)})}),
      0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_TRUE(InboxEntries().empty());
  EXPECT_EQ(std::vector<std::string>{"inbox"}, dir.Entries());
  // One report each, naming what arrived.
  EXPECT_EQ((std::vector<FileError>{{"", kUnusable},
                                    {"..", kUnusable},
                                    {".", kUnusable},
                                    {"x/..", kUnusable},
                                    {"", kUnusable}}),
            events->FileErrors());
  // The name of a receiver's temporary file is not for a peer to take.
  SendAndSync(FileFrame(".quodem-Ab3xYz.part", Pattern(3)), 1);
  EXPECT_EQ((FileError{".quodem-Ab3xYz.part", kUnusable}), events->FileErrors().back());
  // The report of a name shows its bytes printably.
  SendAndSync(FileFrame("a\\\x01/..", Pattern(3)), 2);
  EXPECT_EQ((FileError{"a\\x5C\\x01/..", kUnusable}), events->FileErrors().back());
}

TEST_F(HostileInputTest, NameLengthAbove255IsReadAndDropped) {
  const Bytes name(300, 'n');
  SendAndSync(Concat({RawHead(dcFile, 300, 20), name, Pattern(20)}), 0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_TRUE(InboxEntries().empty());
  EXPECT_EQ((std::vector<FileError>{{std::string(255, 'n') + "...", "name longer than 255 bytes"}}),
            events->FileErrors());
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
  EXPECT_EQ((std::vector<FileError>{{"h.bin", kCallEnded}}), events->FileErrors());
}

TEST_F(HostileInputTest, MissingSaveFolderDropsTheFileButNotTheStream) {
  modem->SetSaveFileDir(dir / "missing");
  SendAndSync(FileFrame("lost.txt", Pattern(1000)), 0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  EXPECT_EQ((std::vector<FileError>{{"lost.txt", "No such file or directory"}}),
            events->FileErrors());
  // The next frame is read from its marker, and with a usable folder it is saved.
  modem->SetSaveFileDir(inbox);
  ASSERT_TRUE(peer.Send(FileFrame("kept.txt", Pattern(1000))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(1000), ReadFileBytes(inbox + "/kept.txt"));
  EXPECT_EQ(1u, events->FileErrors().size());
  // No folder at all: nowhere to save.
  modem->SetSaveFileDir("");
  SendAndSync(FileFrame("nowhere.txt", Pattern(10)), 1);
  EXPECT_EQ((FileError{"nowhere.txt", "no folder to save into"}), events->FileErrors().back());
}

TEST_F(HostileInputTest, SaveOverAFolderIsReported) {
  std::filesystem::create_directories(inbox + "/taken/inner");
  std::filesystem::create_directories(inbox + "/empty");
  SendAndSync(Concat({FileFrame("taken", Pattern(50)), FileFrame("empty", Pattern(50))}), 0);
  EXPECT_TRUE(events->Files().empty());
  EXPECT_EQ((std::vector<std::string>{"empty", "taken"}), InboxEntries());
  EXPECT_EQ((std::vector<FileError>{{"taken", "Is a directory"}, {"empty", "Is a directory"}}),
            events->FileErrors());
  // The next file frame is saved.
  ASSERT_TRUE(peer.Send(FileFrame("after.txt", Pattern(70))));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_EQ(Pattern(70), ReadFileBytes(inbox + "/after.txt"));
  EXPECT_EQ(2u, events->FileErrors().size());
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
  EXPECT_EQ((std::vector<FileError>{{"half.bin", kCallEnded}}), events->FileErrors());
}

TEST_F(HostileInputTest, PeerHangingUpInsideTheNameIsReported) {
  const Bytes frame = FileFrame("a-long-name.bin", Pattern(10));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + kHeadBytes + 6)));
  HangUpAndSettle();
  // Named by what was read of the name before the end (the end of the call may have
  // discarded some of what had arrived).
  const auto errors = events->FileErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(0u, std::string("a-long").rfind(errors[0].name, 0)) << errors[0].name;
  EXPECT_EQ(kCallEnded, errors[0].reason);
  EXPECT_TRUE(InboxEntries().empty());
}

TEST_F(HostileInputTest, MessageCutShortRaisesNothing) {
  const Bytes frame = MessageFrame(Pattern(3000));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + 1000)));
  ASSERT_TRUE(events->WaitProgress(1));
  HangUpAndSettle();
  EXPECT_TRUE(events->Messages().empty());
  EXPECT_TRUE(events->FileErrors().empty());  // not a file frame
}

}  // namespace
}  // namespace quodem
