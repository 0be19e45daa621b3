// A received file that the folder or the disk will not take: each is reported once through
// OnFileError with the system's reason, nothing is left behind, and the next frame arrives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "support/call_fixture.h"
#include "support/self_spawn.h"

namespace quodem {
namespace {

using namespace calltest;
using FileError = Recorder::FileError;

class SaveFailuresTest : public CallFixture {
 protected:
  // After a failure, a good file still arrives and is saved.
  void ExpectNextFileSaved(const std::string& folder, std::size_t files_before) {
    ASSERT_TRUE(peer.Send(FileFrame("next.bin", Pattern(700, 9))));
    ASSERT_TRUE(events->WaitFiles(files_before + 1));
    EXPECT_EQ(folder + "/next.bin", events->Files().back());
    EXPECT_EQ(Pattern(700, 9), ReadFileBytes(folder + "/next.bin"));
  }
};

TEST_F(SaveFailuresTest, FolderRemovedWhileAFileArrives) {
  const std::string inbox = dir / "inbox";
  std::filesystem::create_directory(inbox);
  modem->SetSaveFileDir(inbox);
  const Bytes frame = FileFrame("gone.bin", Pattern(100000));
  ASSERT_TRUE(peer.Send(Bytes(frame.begin(), frame.begin() + 30000)));
  ASSERT_TRUE(events->WaitProgress(1));
  std::filesystem::remove_all(inbox);
  SendAndSync(Bytes(frame.begin() + 30000, frame.end()), 0);
  EXPECT_EQ((std::vector<FileError>{{"gone.bin", "No such file or directory"}}),
            events->FileErrors());
  EXPECT_TRUE(dir.Entries().empty());
  std::filesystem::create_directory(inbox);
  ExpectNextFileSaved(inbox, 0);
}

TEST_F(SaveFailuresTest, AWriteTheSystemRefuses) {
  // A file size limit makes the system refuse writes past it (as a full disk would).
  struct rlimit previous;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &previous));
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = previous;
  limited.rlim_cur = 64 * 1024;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  SendAndSync(FileFrame("big.bin", Pattern(200000)), 0);
  setrlimit(RLIMIT_FSIZE, &previous);
  signal(SIGXFSZ, old_handler);

  EXPECT_EQ((std::vector<FileError>{{"big.bin", "File too large"}}), events->FileErrors());
  EXPECT_TRUE(dir.Entries().empty());
  ExpectNextFileSaved(dir.path(), 0);
}

// Root writes into a folder whatever its mode, so as root this runs in a child process whose
// effective user is "nobody" (see ReadOnlyFolderAsAnotherUser). The child is told its work
// folder through QUODEM_NOBODY_WORK and switches user before anything else is set up.
class AsNobodyWhenAsked {
 protected:
  AsNobodyWhenAsked() {
    const char* work = std::getenv("QUODEM_NOBODY_WORK");
    if (work == nullptr) return;
    work_ = work;
    setenv("QUODEM_TEST_ROOT", work, 1);
    setenv("QUODEM_EXCHANGE_DIR", (work_ + "/exchange").c_str(), 1);
    setenv("QUODEM_CONFIG", (work_ + "/no-such-lines.conf").c_str(), 1);
    // The saved user stays root, so that the end of the child can switch back and clean up.
    if (setresuid(65534, 65534, 0) != 0) Note("skip: cannot switch to user nobody");
  }
  ~AsNobodyWhenAsked() {
    if (!work_.empty() && geteuid() != 0 && seteuid(0) != 0) std::abort();
  }
  // Tells the parent how the child ended.
  void Note(const std::string& text) {
    if (work_.empty()) return;
    std::ofstream(work_ + "/outcome") << text;
  }

  std::string work_;
};

class ReadOnlyFolderTest : public AsNobodyWhenAsked, public SaveFailuresTest {};

TEST_F(ReadOnlyFolderTest, IsReportedAsRefused) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root writes into read-only folders; as root this test runs as user "
                    "nobody through SaveFailures.ReadOnlyFolderAsAnotherUser";
  }
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0555));
  SendAndSync(FileFrame("ro.txt", Pattern(100)), 0);
  ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0700));
  EXPECT_EQ((std::vector<FileError>{{"ro.txt", "Permission denied"}}), events->FileErrors());
  EXPECT_TRUE(dir.Entries().empty());
  ExpectNextFileSaved(dir.path(), 0);
  if (!HasFailure()) Note("passed");
}

TEST(SaveFailures, ReadOnlyFolderAsAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "not root: ReadOnlyFolderTest runs as this user";
  char pattern[] = "/tmp/quodem-nobody-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string work = pattern;
  ASSERT_EQ(0, chown(work.c_str(), 65534, 65534));
  const pid_t child =
      SpawnSelf("ReadOnlyFolderTest.IsReportedAsRefused", {"QUODEM_NOBODY_WORK=" + work});
  ASSERT_GT(child, 0);
  const int status = WaitChild(child);
  std::string outcome;
  std::getline(std::ifstream(work + "/outcome"), outcome);
  std::filesystem::remove_all(work);
  if (outcome.rfind("skip: ", 0) == 0) GTEST_SKIP() << outcome.substr(6);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ("passed", outcome);
}

}  // namespace
}  // namespace quodem
