// ppp's chat dialling and answering through the emulator, as a pppd connect script would;
// mgetty answering a call and ending its session when the far end hangs up.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "interop/interop_support.h"

namespace quodem::interop {
namespace {

// chat talks to the device on its standard input and output.
ProgramResult RunChat(const std::string& device, const std::vector<std::string>& script) {
  std::vector<std::string> args = {"-c", "exec chat \"$@\" <\"$0\" >\"$0\"", device};
  args.insert(args.end(), script.begin(), script.end());
  return RunProgram("/bin/sh", args);
}

class Chat : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("chat")) GTEST_SKIP() << "ppp's chat is not installed (Debian: ppp)";
  }
};

TEST_F(Chat, DialsAndGetsConnectOrTheAbortForBusy) {
  EmulatorProcess emulator({"101", "102", "103"});
  Dte far(emulator.Path("102"));
  far.Command("ATE0S0=1");
  const std::vector<std::string> dial = {"-v",   "-s",      "-t",         "10", "ABORT",
                                         "BUSY", "ABORT",   "NO CARRIER", "",   "ATZ",
                                         "OK",   "ATDT102", "CONNECT",    ""};
  ProgramResult chat = RunChat(emulator.Path("101"), dial);
  EXPECT_EQ(chat.status, 0) << chat.output;
  far.Expect("\r\nCONNECT");
  far.Expect("\r\nNO CARRIER\r\n");  // chat's end closed the device: the call is over
  // 102 in a call with 103: chat meets BUSY, its first abort string.
  Dte other(emulator.Path("103"));
  other.Command("ATE0");
  other.Send("ATD102\r");
  other.Expect("\r\nCONNECT");
  far.Expect("\r\nCONNECT");
  ProgramResult busy = RunChat(emulator.Path("101"), dial);
  EXPECT_EQ(busy.status, 4) << busy.output;
}

TEST_F(Chat, AnswersWithAta) {
  EmulatorProcess emulator({"101", "102"});
  Dte caller(emulator.Path("101"));
  caller.Command("ATE0");
  std::thread dialer([&caller] {
    caller.Send("ATD102\r");
    caller.Expect("\r\nCONNECT");
  });
  ProgramResult chat =
      RunChat(emulator.Path("102"), {"-s", "-v", "-t", "15", "", "ATZ", "OK", "ATS0=0", "OK", "\\c",
                                     "RING", "ATA", "CONNECT", "\\c"});
  dialer.join();
  EXPECT_EQ(chat.status, 0) << chat.output;
}

TEST(Mgetty, AnswersACallAndAFarEndHangupEndsItsSession) {
  if (!HaveProgram("mgetty")) GTEST_SKIP() << "mgetty is not installed (Debian: mgetty)";
  if (!IsRoot()) GTEST_SKIP() << "mgetty runs only as root, and takes a device under /dev";
  EmulatorProcess emulator({"101", "102"}, {}, "/dev");
  const std::string device = std::filesystem::path(emulator.Path("102")).filename();
  BackgroundProgram mgetty("mgetty", {"-D", "-x", "3", "-s", "57600", device});
  Dte caller(emulator.Path("101"));
  caller.Command("ATE0");
  // mgetty initialises the modem first; a call before that rings again 6 s later.
  ASSERT_TRUE(emulator.WaitForLog("102: a client opened the device"));
  caller.Send("ATD102\r");
  caller.Expect("\r\nCONNECT");
  caller.Expect("login:");
  std::this_thread::sleep_for(kEscapePause);
  caller.Send("+++");
  caller.Expect("\r\nOK\r\n");
  caller.Command("ATH");
  // The hang-up reaches mgetty's login as a hang-up of its terminal, which ends it.
  ProgramResult result = mgetty.Finish(std::chrono::seconds(60));
  EXPECT_NE(result.status, -1) << "mgetty's session did not end: " << result.output;
}

}  // namespace
}  // namespace quodem::interop
