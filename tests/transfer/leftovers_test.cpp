// Nothing left behind: a receiver killed with SIGKILL in the middle of a file leaves nothing
// in its save folder, and where named temporary files have to be used, what it left is
// removed by the next reader that starts in that folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "support/call_fixture.h"
#include "support/self_spawn.h"
#include "transfer/received_file.h"

namespace quodem {
namespace {

using namespace calltest;

// The receiving child: waits on line 1 ("102"; the parent's own tests wait on "101"), saves
// into $QUODEM_KILL_WORK/inbox, and writes to the pipe $QUODEM_KILL_PIPE 'w' once waiting
// ('e' when the Wait failed) and 'p' at its first progress report. It waits to be killed; should
// that not come, it ends by itself after the guard.
TEST(KilledReceiverChild, Receives) {
  const char* work = std::getenv("QUODEM_KILL_WORK");
  const char* exchange = std::getenv("QUODEM_KILL_EXCHANGE");
  const char* pipe = std::getenv("QUODEM_KILL_PIPE");
  if (work == nullptr || exchange == nullptr || pipe == nullptr) {
    GTEST_SKIP() << "run by KilledReceiver only";
  }
  setenv("QUODEM_EXCHANGE_DIR", exchange, 1);
  ForceNamedReceiveFiles(std::getenv("QUODEM_KILL_NAMED") != nullptr);
  const int report = std::atoi(pipe);
  std::mutex lock;
  std::condition_variable never;
  TQuodem modem;
  modem.SetSaveFileDir(std::string(work) + "/inbox");
  std::atomic<bool> reported{false};
  modem.SetOnLineReceive([&](TQuodem*, DWORD, Dataclass) {
    if (!reported.exchange(true)) (void)!write(report, "p", 1);
  });
  bool failed = false;
  modem.SetOnLineErr([&](TQuodem*, LONG) { failed = true; });  // raised inside Wait
  modem.SetLineIndex(1);
  modem.Wait();
  ASSERT_EQ(1, write(report, failed ? "e" : "w", 1));
  std::unique_lock<std::mutex> guard(lock);
  never.wait_for(guard, 3 * kGuard);
}

class KilledReceiver : public ::testing::TestWithParam<bool> {
 protected:
  // Starts the child, sends it the first part of a file frame, and kills it once it has
  // written some of it.
  void KillInMidFile() {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    inbox = work / "inbox";
    std::filesystem::create_directory(inbox);
    std::vector<std::string> env = {
        "QUODEM_KILL_WORK=" + work.path(),
        std::string("QUODEM_KILL_EXCHANGE=") + std::getenv("QUODEM_EXCHANGE_DIR"),
        "QUODEM_KILL_PIPE=" + std::to_string(fds[1])};
    if (GetParam()) env.push_back("QUODEM_KILL_NAMED=1");
    const pid_t child = SpawnSelf("KilledReceiverChild.Receives", env);
    ::close(fds[1]);
    ASSERT_GT(child, 0);
    const bool waiting = ReadByteWithin(fds[0], kGuardMs) == 'w';
    bool progressed = false;
    if (waiting) {
      RawPeer peer;
      const Bytes frame = FileFrame("big.bin", Pattern(1 << 20));
      if (peer.Dial("102", 0) && peer.Send(Bytes(frame.begin(), frame.begin() + 200000))) {
        progressed = ReadByteWithin(fds[0], kGuardMs) == 'p';
      }
      ::kill(child, SIGKILL);
      const int status = WaitChild(child);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    } else {
      ::kill(child, SIGKILL);
      WaitChild(child);
    }
    ::close(fds[0]);
    ASSERT_TRUE(waiting);
    ASSERT_TRUE(progressed);
  }
  std::vector<std::string> InboxEntries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(inbox)) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }

  TempDir work;
  std::string inbox;
};

TEST_P(KilledReceiver, LeavesNothingOnceTheNextReaderStarts) {
  ASSERT_NO_FATAL_FAILURE(KillInMidFile());
  const std::vector<std::string> left = InboxEntries();
  if (!GetParam()) {
    EXPECT_TRUE(left.empty());  // the content never had a name
    return;
  }
  // The named fallback leaves its temporary file, until a reader starts in the folder.
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ(0u, left[0].rfind(".quodem-", 0));

  RawPeer peer;
  struct Receiver {
    TestQuodem modem;
    Recorder events{modem};
    ~Receiver() { modem.StopWorkers(); }  // no handler runs once the recorder goes
  } next;
  next.modem.SetSaveFileDir(inbox);
  next.modem.SetLineIndex(0);  // "101": the killed child's "102" is left alone
  next.modem.Wait();
  ASSERT_TRUE(peer.Dial("101"));
  ASSERT_TRUE(next.events.WaitPortTaken());
  // The reader removes stale files before it waits for its first frame.
  ASSERT_TRUE(peer.Send(MessageFrame(ToBytes("sync"))));
  ASSERT_TRUE(next.events.WaitMessages(1));
  EXPECT_TRUE(InboxEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(Forms, KilledReceiver, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

}  // namespace
}  // namespace quodem
