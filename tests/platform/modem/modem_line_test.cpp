// The modem provider through the telephony API, against a scripted modem on the master side
// of a pseudo-terminal (the line's device is a symbolic link to the slave): what each final
// reply makes of a dial, an init the modem refuses, an incoming call with caller ID answered
// with ATA, data both ways, carrier loss, and lock files.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/telephony_harness.h"

namespace quodem::telephony_test {
namespace {

using telephony::ListLines;
using telephony::NumberHold;
using telephony::ServiceProblem;

// A modem that answers each command line (up to its CR) with what `reply` returns for it.
// Runs on a thread of its own; Hangup() closes its side, which the line sees as the end of
// the device (carrier loss on a device without modem-control lines).
class ScriptedModem {
 public:
  explicit ScriptedModem(const std::string& link) : link_(link) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(0, grantpt(master_));
    EXPECT_EQ(0, unlockpt(master_));
    unlink(link_.c_str());
    EXPECT_EQ(0, symlink(ptsname(master_), link_.c_str()));
    // Keeps the slave open so that the master reads no hang-up between the line's opens.
    hold_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(hold_, 0);
  }
  ~ScriptedModem() {
    Stop();
    if (hold_ >= 0) close(hold_);
    if (master_ >= 0) close(master_);
    unlink(link_.c_str());
  }

  // Starts answering; `reply` gets each command without its CR.
  void Run(std::function<std::string(const std::string&)> reply) {
    reply_ = std::move(reply);
    thread_ = std::thread([this] { Loop(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Unprompted text (RING, caller ID, CONNECT) or call data.
  void Say(const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(master_, text.data(), text.size()));
  }
  // Reads `count` bytes of call data (the loop must be stopped).
  std::string ReadData(std::size_t count) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[512];
      ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  // Carrier loss: the device's far side goes away.
  void Hangup() {
    Stop();
    if (hold_ >= 0) close(hold_);
    hold_ = -1;
    close(master_);
    master_ = -1;
  }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
  }
  bool WaitForCommand(const std::string& command) {
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (std::chrono::steady_clock::now() < end) {
      for (const std::string& seen : Commands()) {
        if (seen == command) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

 private:
  void Loop() {
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
      char buffer[256];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
        std::string command = pending.substr(0, cr);
        pending.erase(0, cr + 1);
        {
          std::lock_guard<std::mutex> guard(lock_);
          commands_.push_back(command);
        }
        std::string answer = reply_(command);
        if (!answer.empty()) Say(answer);
      }
    }
  }

  std::string link_;
  int master_ = -1;
  int hold_ = -1;
  std::function<std::string(const std::string&)> reply_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> commands_;
};

std::string Final(const std::string& text) {
  return "\r\n" + text + "\r\n";
}

class ModemLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = TestRoot() + "/ttyModem" + std::to_string(getpid());
    locks_ = TestRoot() + "/locks";
    mkdir(locks_.c_str(), 0700);
    std::string path = TestRoot() + "/modem.conf";
    std::ofstream(path) << "[line]\nprovider = modem\nname = Test modem\ndevice = " << device_
                        << "\nlock_dir = " << locks_
                        << "\ncommand_timeout = 2\nconnect_timeout = 10\nguard_ms = 100\n";
    env_ = std::make_unique<ScopedEnv>("QUODEM_CONFIG", path);
    modem_ = std::make_unique<ScriptedModem>(device_);
  }
  void TearDown() override { modem_.reset(); }

  std::string device_;
  std::string locks_;
  std::unique_ptr<ScopedEnv> env_;
  std::unique_ptr<ScriptedModem> modem_;
};

TEST_F(ModemLineTest, EachFinalReplyToADialEndsTheCallWithItsReason) {
  std::atomic<int> dials{0};
  const std::vector<std::pair<std::string, DWORD>> cases = {
      {"BUSY", LINEDISCONNECTMODE_BUSY},
      {"NO CARRIER", LINEDISCONNECTMODE_NOANSWER},
      {"NO ANSWER", LINEDISCONNECTMODE_NOANSWER},
      {"NO DIALTONE", LINEDISCONNECTMODE_NODIALTONE},
      {"NO DIAL TONE", LINEDISCONNECTMODE_NODIALTONE},
      {"ERROR", LINEDISCONNECTMODE_BADADDRESS},
      {"VOICE", LINEDISCONNECTMODE_INCOMPATIBLE},
      {"DELAYED", LINEDISCONNECTMODE_BLOCKED},
      {"7", LINEDISCONNECTMODE_BUSY},  // a numeric result code
  };
  modem_->Run([&](const std::string& command) {
    if (command.rfind("ATD", 0) == 0) {
      const std::string& reply = cases.at(static_cast<std::size_t>(dials++)).first;
      return Final("RINGING") + Final(reply);
    }
    return Final("OK");
  });
  Party party(0);
  for (const auto& [reply, mode] : cases) {
    HCALL call = party.Dial("555-0199");
    EXPECT_EQ(party.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED).param2, mode) << reply;
    std::vector<DWORD> states = party.recorder.States(call);
    EXPECT_EQ(states.front(), LINECALLSTATE_DIALING) << reply;
    EXPECT_NE(std::find(states.begin(), states.end(), LINECALLSTATE_RINGBACK), states.end())
        << reply;
    const bool busy = std::find(states.begin(), states.end(), LINECALLSTATE_BUSY) != states.end();
    EXPECT_EQ(busy, mode == LINEDISCONNECTMODE_BUSY) << reply;
    party.HangUp(call);
  }
  // The init went out (always verbose, the answer mode and carrier wait), then the dials with
  // the number's formatting dropped and tone dialling.
  std::vector<std::string> commands = modem_->Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[0], "ATZ");
  EXPECT_EQ(commands[1], "ATE0V1Q0X4&C1&D2S0=0");
  EXPECT_EQ(commands[2], "ATV1S0=0S7=10");
  EXPECT_EQ(commands[3], "ATDT5550199");
  // Dial strings that would end the command and run others are refused before anything goes.
  HCALL none = 0;
  for (const char* bad : {"555;ATH", "\"555\"", "555\r", ""}) {
    EXPECT_EQ(lineMakeCallA(party.line, &none, bad, 0, nullptr), LINEERR_INVALADDRESS) << bad;
  }
  modem_->Stop();  // its script uses this test's locals
}

TEST_F(ModemLineTest, ARefusedInitClosesTheLineSayingWhichCommandAndWhatItAnswered) {
  modem_->Run([](const std::string& command) {
    return Final(command == "ATE0V1Q0X4&C1&D2S0=0" ? "ERROR" : "OK");
  });
  Party party(0);
  party.recorder.WaitFor([](const Note& n) { return n.message == LINE_CLOSE; }, "LINE_CLOSE");
  const std::string problem = ServiceProblem();
  EXPECT_NE(problem.find("ERROR"), std::string::npos) << problem;
  EXPECT_NE(problem.find("ATE0V1Q0X4&C1&D2S0=0"), std::string::npos) << problem;
}

TEST_F(ModemLineTest, RingWithCallerIdIsAnsweredCarriesDataAndCarrierLossEndsIt) {
  modem_->Run([](const std::string& command) {
    return command == "ATA" ? Final("CONNECT 28800/ARQ/V34") + "early" : Final("OK");
  });
  Party party(0);
  ASSERT_TRUE(modem_->WaitForCommand("ATV1S0=0S7=10"));
  modem_->Say(Final("RING") + Final("DATE=1209") + Final("NMBR=5550123") + Final("RING"));
  HCALL call = party.recorder.WaitOffered();
  EXPECT_EQ(ListLines().at(0).caller, "5550123");
  LINECALLINFO info{};
  info.dwTotalSize = sizeof info;
  ASSERT_EQ(lineGetCallInfoA(call, &info), 0);
  EXPECT_EQ(info.dwRate, 0u);  // offered, not connected: no rate yet
  party.Answer(call);
  EXPECT_EQ(ListLines().at(0).rate, 28800u);
  // The call's information carries the CONNECT rate too.
  ASSERT_EQ(lineGetCallInfoA(call, &info), 0);
  EXPECT_EQ(info.dwRate, 28800u);
  EXPECT_EQ(info.dwUsedSize, sizeof info);
  EXPECT_EQ(info.dwMediaMode, LINEMEDIAMODE_DATAMODEM);
  info.dwTotalSize = sizeof info - 1;
  EXPECT_EQ(lineGetCallInfoA(call, &info), LINEERR_STRUCTURETOOSMALL);
  EXPECT_EQ(lineGetCallInfoA(call + 1000, &info), LINEERR_INVALCALLHANDLE);
  modem_->Stop();  // the device carries data now
  PortId port = TakePort(call);
  ASSERT_EQ(port.result, 0);
  // What came right behind the CONNECT line is the call's first data.
  EXPECT_EQ(ReadCount(port.port, 5), "early");
  modem_->Say("\r\nNO CARRIER\r\n+++");  // only data: carrier = auto ignores the text
  EXPECT_EQ(ReadCount(port.port, 17), "\r\nNO CARRIER\r\n+++");
  ASSERT_TRUE(WriteAll(port.port, "to the far end"));
  EXPECT_EQ(modem_->ReadData(14), "to the far end");

  modem_->Hangup();
  // The port reads the end of the device; the line reports carrier loss.
  EXPECT_EQ(ReadToEnd(port.port), "");
  EXPECT_EQ(party.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED).param2,
            LINEDISCONNECTMODE_NORMAL);
  CloseHandle(port.port);
  party.HangUp(call);
}

TEST_F(ModemLineTest, LockFilesUnderBothNamesAndALiveHolderRefusesTheOpen) {
  modem_->Run([](const std::string&) { return Final("OK"); });
  const std::string given = "LCK.." + device_.substr(device_.rfind('/') + 1);
  char target[64] = {};
  ASSERT_GT(readlink(device_.c_str(), target, sizeof target - 1), 0);
  const std::string resolved =
      "LCK.." + std::string(target).substr(std::string(target).rfind('/') + 1);
  // A live process (a child that waits) holds the device under the resolved name only.
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    pause();
    _exit(0);
  }
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(holder));
  std::ofstream(locks_ + "/" + resolved) << text;
  EXPECT_EQ(ListLines().at(0).hold, NumberHold::kHeldElsewhere);
  EXPECT_EQ(ListLines().at(0).holder_pid, holder);
  Party party;
  HLINE line = 0;
  EXPECT_EQ(lineOpenA(party.app, 0, &line, kSupportedApiHigh, 0, 0, kOwnerAndMonitor,
                      LINEMEDIAMODE_DATAMODEM, nullptr),
            LINEERR_ALLOCATED);
  EXPECT_NE(ServiceProblem().find(std::to_string(holder)), std::string::npos) << ServiceProblem();
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // A stale lock (its process gone) is removed and the device taken, under both names.
  Party again(0);
  EXPECT_EQ(ListLines().at(0).hold, NumberHold::kHeldHere);
  for (const std::string& name : {given, resolved}) {
    std::ifstream lock(locks_ + "/" + name);
    std::string content((std::istreambuf_iterator<char>(lock)), {});
    EXPECT_EQ(content, std::string(10 - std::to_string(getpid()).size(), ' ') +
                           std::to_string(getpid()) + "\n")
        << name;
  }
}

}  // namespace
}  // namespace quodem::telephony_test
