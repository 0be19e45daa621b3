// C-Kermit against the emulator: dialling with two of its modem types (their init strings,
// +++ guard and speed-0 hang-up), its dial status for busy and no answer, answering, and a
// binary file sent from one Kermit to another through two emulated modems.
#include <gtest/gtest.h>

#include <thread>

#include "interop/interop_support.h"

namespace quodem::interop {
namespace {

// Dials NUMBER on LINE with modem type TYPE; exits 1 with the dial status printed when the
// dial fails; sends a line, waits for PONG, hangs up.
constexpr const char* kDialScript = R"(set modem type \%1
set line \%2
if fail exit 3 cannot open the line
set speed 57600
set flow rts/cts
set dial timeout 8
dial \%3
asg \%9 \v(dialstatus)
echo DIALSTATUS=\%9
if not = \%9 0 exit 1
output hello-from-kermit\13
input 20 PONG
if fail exit 4 no PONG
hangup
exit 0
)";

constexpr const char* kAnswerScript = R"(set modem type usrobotics
set line \%1
if fail exit 3 cannot open the line
set speed 57600
set flow rts/cts
answer 40
if fail exit 1 no call
input 20 PING
if fail exit 4 no PING
output PONG\13
input 20 BYE
hangup
exit 0
)";

constexpr const char* kReceiveScript = R"(set modem type usrobotics
set line \%1
if fail exit 3 cannot open the line
set speed 57600
set flow rts/cts
set file type binary
set file collision overwrite
cd \%2
answer 60
if fail exit 1 no call
receive
if fail exit 2 receive failed
input 30 NEVER
exit 0
)";

constexpr const char* kSendScript = R"(set modem type usrobotics
set line \%1
if fail exit 3 cannot open the line
set speed 57600
set flow rts/cts
set file type binary
set dial timeout 30
dial \%2
if fail exit 1 dial failed
send \%3
if fail exit 2 send failed
hangup
exit 0
)";

class Kermit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("kermit")) GTEST_SKIP() << "C-Kermit is not installed (Debian: ckermit)";
  }
  ProgramResult Run(const char* script, const std::vector<std::string>& args) {
    std::vector<std::string> all = {WriteScript("script.ksc", script), "="};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram("kermit", all);
  }
};

// The far end of a dial: answers by itself and replies to Kermit's line.
void AnswerAndReply(Dte& far) {
  far.Expect("\r\nCONNECT");
  far.Expect("hello-from-kermit");
  far.Send("PONG\r\n");
  far.Expect("\r\nNO CARRIER\r\n");  // Kermit hangs up
}

TEST_F(Kermit, DialsAsUsRoboticsAndGenericHighSpeedAndTalks) {
  for (const char* type : {"usrobotics", "generic-high-speed"}) {
    SCOPED_TRACE(type);
    EmulatorProcess emulator({"101", "102"});
    Dte far(emulator.Path("102"));
    far.Command("ATE0S0=1");
    std::thread answerer([&far] { AnswerAndReply(far); });
    ProgramResult kermit = Run(kDialScript, {type, emulator.Path("101"), "102"});
    answerer.join();
    EXPECT_EQ(kermit.status, 0) << kermit.output;
    EXPECT_NE(kermit.output.find("DIALSTATUS=0"), std::string::npos) << kermit.output;
  }
}

TEST_F(Kermit, DialStatusSaysBusyAndNoAnswer) {
  EmulatorProcess emulator({"101", "102", "103", "104"});
  Dte b(emulator.Path("102"));
  Dte c(emulator.Path("103"));
  c.Command("ATE0");
  b.Command("ATE0S0=1");
  c.Send("ATD102\r");
  c.Expect("\r\nCONNECT");
  b.Expect("\r\nCONNECT");
  ProgramResult busy = Run(kDialScript, {"usrobotics", emulator.Path("101"), "102"});
  EXPECT_EQ(busy.status, 1) << busy.output;
  EXPECT_NE(busy.output.find("DIALSTATUS=22"), std::string::npos) << busy.output;
  // 104 rings and nobody answers: Kermit's dial time-out (S7) runs out.
  Dte d(emulator.Path("104"));
  d.Command("ATE0S0=0");
  ProgramResult unanswered = Run(kDialScript, {"usrobotics", emulator.Path("101"), "104"});
  EXPECT_EQ(unanswered.status, 1) << unanswered.output;
  EXPECT_NE(unanswered.output.find("DIALSTATUS=26"), std::string::npos) << unanswered.output;
  d.Expect("\r\nRING\r\n");
}

TEST_F(Kermit, AnswersAnIncomingCall) {
  EmulatorProcess emulator({"101", "102"});
  BackgroundProgram kermit("kermit",
                           {WriteScript("answer.ksc", kAnswerScript), "=", emulator.Path("102")});
  ASSERT_TRUE(emulator.WaitForLog("102: a client opened the device"));
  Dte caller(emulator.Path("101"));
  caller.Command("ATE0");
  caller.Send("ATD102\r");
  caller.Expect("\r\nCONNECT");
  caller.Send("PING\r");
  caller.Expect("PONG");
  caller.Send("BYE\r");
  ProgramResult result = kermit.Finish();
  EXPECT_EQ(result.status, 0) << result.output;
}

TEST_F(Kermit, SendsABinaryFileToAnotherKermit) {
  EmulatorProcess emulator({"101", "102"});
  const std::string inbox = tool::testing::MakeDir("inbox");
  const std::string file = tool::testing::MakeDir("outbox") + "/payload.bin";
  const std::string content = tool::testing::RandomBytes(200 * 1024, 14);
  tool::testing::WriteFile(file, content);
  BackgroundProgram receiver(
      "kermit", {WriteScript("receive.ksc", kReceiveScript), "=", emulator.Path("102"), inbox});
  ASSERT_TRUE(emulator.WaitForLog("102: a client opened the device"));
  ProgramResult sender = RunProgram(
      "kermit", {WriteScript("send.ksc", kSendScript), "=", emulator.Path("101"), "102", file},
      std::chrono::seconds(120));
  EXPECT_EQ(sender.status, 0) << sender.output;
  ProgramResult received = receiver.Finish(std::chrono::seconds(60));
  EXPECT_TRUE(tool::testing::ReadFile(inbox + "/payload.bin") == content)
      << "the received file differs; receiver said: " << received.output;
}

}  // namespace
}  // namespace quodem::interop
