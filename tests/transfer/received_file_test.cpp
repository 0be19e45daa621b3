// The temporary file of an incoming file frame, in both forms (unnamed, and the named
// fallback): it gets its name only when committed, replaces or keeps what is there as asked,
// and leaves nothing behind otherwise. And the sweep of the named files killed receivers left.
#include "transfer/received_file.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using calltest::Bytes;
using calltest::ReadFileBytes;
using calltest::TempDir;
using calltest::ToBytes;
using calltest::WriteFileBytes;

// Runs each test with unnamed temporary files (where the file system has them) and with the
// named fallback forced.
class ReceivedFileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ForceNamedReceiveFiles(GetParam()); }
  void TearDown() override { ForceNamedReceiveFiles(false); }

  std::unique_ptr<ReceivedFile> Start(const std::string& content) {
    std::error_code error;
    auto file = ReceivedFile::Create(dir.path(), error);
    EXPECT_FALSE(error) << error.message();
    if (file) {
      EXPECT_EQ(GetParam(), file->Named());
      EXPECT_FALSE(file->Write(content.data(), content.size()));
    }
    return file;
  }

  TempDir dir;
};

TEST_P(ReceivedFileTest, ReplacingCommitSwapsTheTargetInOneStep) {
  WriteFileBytes(dir / "a.txt", ToBytes("old"));
  auto file = Start("new content");
  ASSERT_TRUE(file);
  // Until the commit the old file is untouched, and only a named fallback is visible.
  EXPECT_EQ(ToBytes("old"), ReadFileBytes(dir / "a.txt"));
  EXPECT_EQ(GetParam() ? 2u : 1u, dir.Entries().size());

  std::string saved;
  ASSERT_FALSE(file->Commit("a.txt", true, saved));
  EXPECT_EQ(dir / "a.txt", saved);
  file.reset();
  EXPECT_EQ(ToBytes("new content"), ReadFileBytes(dir / "a.txt"));
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, dir.Entries());
}

TEST_P(ReceivedFileTest, KeepingCommitTakesTheFirstFreeNumberedName) {
  WriteFileBytes(dir / "r.pdf", ToBytes("first"));
  WriteFileBytes(dir / "r (1).pdf", ToBytes("second"));
  auto file = Start("third");
  ASSERT_TRUE(file);
  // A file that appears after the content started is not replaced either.
  WriteFileBytes(dir / "r (2).pdf", ToBytes("meanwhile"));
  std::string saved;
  ASSERT_FALSE(file->Commit("r.pdf", false, saved));
  EXPECT_EQ(dir / "r (3).pdf", saved);
  EXPECT_EQ(ToBytes("third"), ReadFileBytes(saved));
  EXPECT_EQ(ToBytes("first"), ReadFileBytes(dir / "r.pdf"));
  EXPECT_EQ(ToBytes("meanwhile"), ReadFileBytes(dir / "r (2).pdf"));

  // A free name is used as it is; a folder or a dangling link takes a name as a file does.
  ASSERT_EQ(0, ::mkdir((dir / "d").c_str(), 0700));
  ASSERT_EQ(0, ::symlink("nowhere", (dir / "link").c_str()));
  for (const char* name : {"free", "d", "link"}) {
    file = Start(name);
    ASSERT_TRUE(file);
    ASSERT_FALSE(file->Commit(name, false, saved));
    EXPECT_EQ(dir / name + (std::string(name) == "free" ? "" : " (1)"), saved);
  }
  EXPECT_EQ((std::vector<std::string>{"d", "d (1)", "free", "link", "link (1)", "r (1).pdf",
                                      "r (2).pdf", "r (3).pdf", "r.pdf"}),
            dir.Entries());
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
}

TEST_P(ReceivedFileTest, FailedCommitAndDiscardLeaveNothing) {
  // Dropped before the commit.
  auto file = Start("partial");
  ASSERT_TRUE(file);
  file.reset();
  EXPECT_TRUE(dir.Entries().empty());

  // A folder in the way of a replacing commit.
  ASSERT_EQ(0, ::mkdir((dir / "busy").c_str(), 0700));
  ASSERT_EQ(0, ::mkdir((dir / "busy/inner").c_str(), 0700));
  file = Start("x");
  ASSERT_TRUE(file);
  std::string saved;
  EXPECT_EQ(std::errc::is_a_directory, file->Commit("busy", true, saved));
  EXPECT_TRUE(saved.empty());
  file.reset();
  EXPECT_EQ(std::vector<std::string>{"busy"}, dir.Entries());

  // The folder removed while the content was being written.
  const std::string sub = dir / "sub";
  ASSERT_EQ(0, ::mkdir(sub.c_str(), 0700));
  std::error_code error;
  file = ReceivedFile::Create(sub, error);
  ASSERT_TRUE(file);
  std::filesystem::remove_all(sub);
  EXPECT_EQ(std::errc::no_such_file_or_directory, file->Commit("gone.txt", true, saved));
  EXPECT_EQ(std::vector<std::string>{"busy"}, dir.Entries());
}

TEST_P(ReceivedFileTest, CreateReportsTheSystemsError) {
  std::error_code error;
  EXPECT_FALSE(ReceivedFile::Create(dir / "missing", error));
  EXPECT_EQ(std::errc::no_such_file_or_directory, error);
  EXPECT_FALSE(ReceivedFile::Create("", error));
  EXPECT_EQ(std::errc::invalid_argument, error);
  WriteFileBytes(dir / "plain", {});
  EXPECT_FALSE(ReceivedFile::Create(dir / "plain", error));
  EXPECT_EQ(std::errc::not_a_directory, error);
  EXPECT_EQ(std::vector<std::string>{"plain"}, dir.Entries());
}

INSTANTIATE_TEST_SUITE_P(Forms, ReceivedFileTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

// The sweep removes exactly the stale temporary files of killed receivers.
TEST(RemoveStaleReceiveFiles, OnlyUnlockedFilesOfThePatternOwnedByThisUser) {
  TempDir dir;
  const std::string stale = dir / ".quodem-Ab3xYz.part";
  const std::string live = dir / ".quodem-LIVE00.part";
  WriteFileBytes(stale, ToBytes("left by a killed receiver"));
  WriteFileBytes(live, ToBytes("being written"));
  const int held = ::open(live.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, ::flock(held, LOCK_EX | LOCK_NB));
  // Near misses of the pattern, and a link or a FIFO with its name, are not ours to remove.
  for (const char* name : {".quodem-abc.part", ".quodem-Ab3xYz.partial", "quodem-Ab3xYz.part",
                           ".quodem-Ab-xYz.part", ".quodem-probe-Ab3xYz"}) {
    WriteFileBytes(dir / name, {});
  }
  ASSERT_EQ(0, ::symlink(stale.c_str(), (dir / ".quodem-LINK00.part").c_str()));
  ASSERT_EQ(0, ::mkfifo((dir / ".quodem-FIFO00.part").c_str(), 0600));
  // A file of another user (only root can make one) stays.
  const bool root = ::geteuid() == 0;
  if (root) {
    WriteFileBytes(dir / ".quodem-OTHER0.part", {});
    ASSERT_EQ(0, ::chown((dir / ".quodem-OTHER0.part").c_str(), 65534, 65534));
  }

  RemoveStaleReceiveFiles(dir.path());
  std::vector<std::string> expected = {".quodem-Ab-xYz.part",  ".quodem-Ab3xYz.partial",
                                       ".quodem-FIFO00.part",  ".quodem-LINK00.part",
                                       ".quodem-LIVE00.part",  ".quodem-abc.part",
                                       ".quodem-probe-Ab3xYz", "quodem-Ab3xYz.part"};
  if (root) expected.insert(expected.begin() + 5, ".quodem-OTHER0.part");
  EXPECT_EQ(expected, dir.Entries());

  // Once its writer has gone, the live one is stale too.
  ::close(held);
  RemoveStaleReceiveFiles(dir.path());
  EXPECT_FALSE(std::filesystem::exists(live));
  RemoveStaleReceiveFiles(dir / "missing");  // nothing to do, no failure
}

TEST(RemoveStaleReceiveFiles, NeverTakesAFileOfALiveReceiver) {
  // Both forms of a live receiver's file survive a sweep of its folder.
  TempDir dir;
  for (bool named : {false, true}) {
    ForceNamedReceiveFiles(named);
    std::error_code error;
    auto file = ReceivedFile::Create(dir.path(), error);
    ForceNamedReceiveFiles(false);
    ASSERT_TRUE(file);
    ASSERT_FALSE(file->Write("abc", 3));
    RemoveStaleReceiveFiles(dir.path());
    std::string saved;
    ASSERT_FALSE(file->Commit(named ? "named" : "unnamed", true, saved));
    EXPECT_EQ(ToBytes("abc"), ReadFileBytes(saved));
  }
  EXPECT_EQ((std::vector<std::string>{"named", "unnamed"}), dir.Entries());
}

}  // namespace
}  // namespace quodem
