// Two processes on this machine call each other over the local exchange and exchange
// messages and files, each end a TQuodem. The test binary plays the caller itself: it is
// started again with a filter that selects TwoProcessPeer.Caller and the shared folders in
// its environment.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/call_fixture.h"

extern char** environ;

namespace quodem {
namespace {

using namespace calltest;

// A large transfer can take a while under the sanitizers; still only a hang guard.
constexpr auto kLongGuard = std::chrono::seconds(300);
constexpr std::size_t kBigFile = 50u << 20;
constexpr std::size_t kBackFile = 1u << 20;

// Waits for `done` under the recorder-independent lock of a test.
class Latch {
 public:
  void Add(const std::string& what) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      seen_.push_back(what);
    }
    changed_.notify_all();
  }
  bool WaitFor(const std::string& what) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kLongGuard, [&] {
      return std::find(seen_.begin(), seen_.end(), what) != seen_.end();
    });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
};

void Watch(TQuodem& modem, Latch& latch) {
  // Connected once the state handling has taken the port over (an event's state may be
  // newer than what its handling acted on).
  modem.SetOnLineState([&](TQuodem* sender, CallState) {
    if (sender->CommHandle() != INVALID_HANDLE_VALUE) latch.Add("connected");
  });
  modem.SetOnMsgReceive([&](TQuodem*, const char* buffer, DWORD size) {
    latch.Add("message:" + std::string(buffer, size));
  });
  modem.SetOnFileReceive([&](TQuodem*, const std::string& path) { latch.Add("file:" + path); });
}

// The caller's side; does nothing unless started by TwoProcesses below.
TEST(TwoProcessPeer, Caller) {
  const char* work = std::getenv("QUODEM_PEER_WORK");
  const char* exchange = std::getenv("QUODEM_PEER_EXCHANGE_DIR");
  if (work == nullptr || exchange == nullptr) GTEST_SKIP() << "run by TwoProcesses only";
  setenv("QUODEM_EXCHANGE_DIR", exchange, 1);
  const std::string root = work;

  Latch latch;
  TQuodem modem;
  Watch(modem, latch);
  modem.SetSaveFileDir(root + "/caller-in");
  modem.SetLineIndex(1);
  modem.SetDialString("101");
  modem.Dial();
  ASSERT_TRUE(latch.WaitFor("connected"));
  ASSERT_TRUE(modem.SendBuffer("hello from the caller", 21));
  ASSERT_TRUE(modem.SendFile(root + "/caller-out/big.bin"));
  ASSERT_TRUE(latch.WaitFor("message:hello from the callee"));
  ASSERT_TRUE(latch.WaitFor("file:" + root + "/caller-in/back.bin"));
  EXPECT_EQ(Pattern(kBackFile, 2), ReadFileBytes(root + "/caller-in/back.bin"));
  ASSERT_TRUE(latch.WaitFor("message:bye"));
  modem.Cut();
}

TEST(TwoProcesses, ExchangeMessagesAndA50MegabyteFile) {
  TempDir work;
  for (const char* sub : {"/caller-in", "/caller-out", "/callee-in", "/callee-out"}) {
    std::filesystem::create_directory(work.path() + sub);
  }
  const Bytes big = Pattern(kBigFile, 1);
  WriteFileBytes(work.path() + "/caller-out/big.bin", big);
  WriteFileBytes(work.path() + "/callee-out/back.bin", Pattern(kBackFile, 2));

  Latch latch;
  TQuodem modem;
  Watch(modem, latch);
  modem.SetSaveFileDir(work.path() + "/callee-in");
  modem.SetLineIndex(0);
  modem.Wait();

  const std::string exchange = std::getenv("QUODEM_EXCHANGE_DIR");
  std::vector<std::string> env_text = {"QUODEM_PEER_WORK=" + work.path(),
                                       "QUODEM_PEER_EXCHANGE_DIR=" + exchange};
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=TwoProcessPeer.Caller";
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(0, posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, env.data()));

  EXPECT_TRUE(latch.WaitFor("connected"));
  EXPECT_TRUE(modem.SendBuffer("hello from the callee", 21));
  EXPECT_TRUE(modem.SendFile(work.path() + "/callee-out/back.bin"));
  EXPECT_TRUE(latch.WaitFor("message:hello from the caller"));
  EXPECT_TRUE(latch.WaitFor("file:" + work.path() + "/callee-in/big.bin"));
  EXPECT_TRUE(modem.SendBuffer("bye", 3));

  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_TRUE(big == ReadFileBytes(work.path() + "/callee-in/big.bin"));
}

}  // namespace
}  // namespace quodem
