// Consecutive calls between two processes: this test's component waits on line 0 ("101"),
// the soak_peer program dials it from line 1. Every call moves a message and a file in each
// direction, and each must arrive identical. Descriptors, threads and resident memory of
// both processes must not grow from call to call: they are compared after call 5 and after
// the last call.
//
// The waiting side keeps one component for every call (or, with
// QUODEM_SOAK_COMPONENT_PER_CALL=1, makes one per call); the dialing side makes each call with
// a new component (see soak_peer.cpp).
//
// QUODEM_SOAK_CALLS sets the number of calls (default 50; 1000 for a long run by hand).
// 50 calls take a few seconds, also under the sanitizers.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "soak/soak_support.h"
#include "support/call_fixture.h"

extern char** environ;

namespace quodem::soak {
namespace {

int CallCount() {
  if (const char* text = std::getenv("QUODEM_SOAK_CALLS")) {
    const int n = std::atoi(text);
    if (n > 0) return n;
  }
  return 50;
}

// The peer process, killed if it is still there when the test ends.
class Peer {
 public:
  explicit Peer(const std::string& work) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    control_ = pair[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    std::string path = QUODEM_SOAK_PEER_PATH;
    char* argv[] = {path.data(), const_cast<char*>(work.c_str()), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
  }
  ~Peer() {
    if (control_ >= 0) ::close(control_);
    if (pid_ > 0) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
  }
  bool Started() const { return pid_ > 0 && control_ >= 0; }
  int Control() const { return control_; }
  // The peer's exit status once it has ended by itself (-1: killed, not ended or not started).
  int Join() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int control_ = -1;
};

// Answers call `call` on a component that is waiting already: receives the dialer's message
// and file, checks them, sends the answer, and waits for the dialer to hang up. Every call
// must succeed the first time: a call lost while being set up is a failure. Returns what
// went wrong, "" when the call succeeded.
std::string AnswerCall(CallTracker& events, SoakQuodem& modem, Peer& peer, int call,
                       const std::string& save, const std::string& outgoing) {
  const std::string tag = std::to_string(call) + " 0";
  const std::size_t messages = events.Messages().size();
  const std::size_t files = events.Files().size();
  events.BeginCall();
  if (!SendLine(peer.Control(), "CALL " + tag)) return "the peer is gone";
  std::string line;
  if (!WaitOrLine(
          [&] {
            auto now = events.Now();
            return (now.messages > messages && now.files > files) || now.ended;
          },
          peer.Control(), line) ||
      events.Now().files <= files || events.Now().messages <= messages) {
    if (!line.empty()) return "lost; the peer says: " + line + "; states: " + events.History();
    return "lost; states: " + events.History();
  }
  events.ArmIdle();
  if (events.Messages().back() != DialerMessage(call)) return "wrong message";
  if (events.Files().back() != save + "/" + kDialerFileName) return "saved elsewhere";
  if (ReadFileBytes(events.Files().back()) != DialerFile(call)) return "file differs";
  const std::string answer = AnswerMessage(call);
  if (!WriteFileBytes(outgoing, AnswerFile(call))) return "cannot write the answer file";
  if (!modem.SendBuffer(answer.data(), static_cast<int>(answer.size())) ||
      !modem.SendFile(outgoing)) {
    return "the answer could not be sent; states: " + events.History();
  }
  line = ReadLine(peer.Control());
  if (line != "OK " + tag) return "the peer says: " + line;
  if (!events.WaitIdle()) return "no idle after the hang-up; states: " + events.History();
  if (!modem.WaitReadersDone()) return "reader still running";
  if (!events.Errors().empty()) return "telephony errors were reported";
  return "";
}

TEST(TwoProcessSoak, ConsecutiveCallsMoveEveryTransferIntactAndHoldNoMoreResources) {
  const int calls = CallCount();
  calltest::TempDir here;
  calltest::TempDir there;
  ASSERT_TRUE(std::filesystem::create_directory(there / "save"));
  ASSERT_TRUE(std::filesystem::create_directory(there / "out"));
  ASSERT_TRUE(std::filesystem::create_directory(here / "save"));
  ASSERT_TRUE(std::filesystem::create_directory(here / "out"));

  // Started before this process makes any thread of its own.
  Peer peer(there.path());
  ASSERT_TRUE(peer.Started());

  const std::string save = here / "save";
  const std::string outgoing = here / "out/" + std::string(kAnswerFileName);
  // By default one component answers every call, waiting again from its csIdle handler;
  // QUODEM_SOAK_COMPONENT_PER_CALL=1 gives each call a component of its own.
  const char* per_call = std::getenv("QUODEM_SOAK_COMPONENT_PER_CALL");
  const bool one_component = per_call == nullptr || std::string(per_call) != "1";
  int idle_runs = 0;
  Resources after_five;
  auto make = [&](CallTracker& events, SoakQuodem& modem) {
    events.Attach(modem);
    modem.SetLineIndex(0);
    modem.SetSaveFileDir(save);
  };
  if (one_component) {
    CallTracker events;
    SoakQuodem modem;
    make(events, modem);
    events.KeepWaiting(true);
    modem.Wait();
    for (int call = 0; call < calls; ++call) {
      ASSERT_EQ("", AnswerCall(events, modem, peer, call, save, outgoing)) << "call " << call;
      if (call == 4) after_five = Probe();
    }
    events.KeepWaiting(false);
    idle_runs = events.IdleRuns();
  } else {
    for (int call = 0; call < calls; ++call) {
      {
        CallTracker events;
        SoakQuodem modem;
        make(events, modem);
        events.KeepWaiting(true);
        modem.Wait();
        ASSERT_EQ("", AnswerCall(events, modem, peer, call, save, outgoing)) << "call " << call;
        events.KeepWaiting(false);
        idle_runs += events.IdleRuns();
      }
      if (call == 4) after_five = Probe();
    }
  }
  std::vector<std::string> saved = here.Entries();
  EXPECT_EQ((std::vector<std::string>{"out", "save"}), saved);
  EXPECT_EQ(1, CountEntries((here / "save").c_str())) << "a temporary file was left behind";

  if (calls > 5) {
    const Resources last = ProbeSettled(after_five);
    std::printf("this process after call 5: %s; after call %d: %s\n", Describe(after_five).c_str(),
                calls, Describe(last).c_str());
    EXPECT_TRUE(WithinSlack(after_five, last))
        << "this process after call 5: " << Describe(after_five) << "; after call " << calls << ": "
        << Describe(last);
  }

  ASSERT_TRUE(SendLine(peer.Control(), "QUIT"));
  std::istringstream result(ReadLine(peer.Control()));
  std::string tag;
  Resources peer_five, peer_last;
  result >> tag >> peer_five.fds >> peer_five.threads >> peer_five.rss_kib >> peer_last.fds >>
      peer_last.threads >> peer_last.rss_kib;
  ASSERT_EQ("RES", tag);
  EXPECT_EQ(0, peer.Join());
  RecordProperty("idle_runs", idle_runs);
  std::printf("%d calls (%s), none lost, %d idle runs of the waiting side\n", calls,
              one_component ? "one waiting component" : "a component per call", idle_runs);
  if (calls > 5) {
    std::printf("peer after call 5: %s; after call %d: %s\n", Describe(peer_five).c_str(), calls,
                Describe(peer_last).c_str());
    EXPECT_TRUE(WithinSlack(peer_five, peer_last))
        << "peer after call 5: " << Describe(peer_five) << "; after call " << calls << ": "
        << Describe(peer_last);
  }
  EXPECT_EQ(1, CountEntries((there / "save").c_str()));
}

}  // namespace
}  // namespace quodem::soak
