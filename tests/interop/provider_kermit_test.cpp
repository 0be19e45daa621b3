// The modem provider against C-Kermit, both ways, through two modems of the emulator: the
// provider dials a Kermit that answers and sends a message frame that Kermit logs byte for
// byte; a Kermit dials the provider waiting and writes a frame by hand that the component
// delivers as a message. The expected wire bytes are built here from the frame layout (marker
// 0x05; Kind, Reserved, Length as 16 bits and Size as 32 bits, little-endian; the message),
// not by the encoder under test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "interop/interop_support.h"

namespace quodem::interop {
namespace {

using tool::JsonLine;
using tool::testing::BackgroundTool;
using tool::testing::Env;
using tool::testing::EventsNamed;
using tool::testing::MakeDir;
using tool::testing::ReadFile;
using tool::testing::RunTool;
using tool::testing::ToolResult;

// A message frame as it crosses the line.
std::string MessageFrame(const std::string& message) {
  const auto length = static_cast<std::uint16_t>(message.size());
  std::string frame;
  frame += '\x05';  // marker
  frame += '\0';    // Kind: a message
  frame += '\0';    // Reserved
  frame += static_cast<char>(length & 0xFF);
  frame += static_cast<char>(length >> 8);
  frame.append(4, '\0');  // Size: 0 for a message
  return frame + message;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += digits[byte >> 4];
    hex += digits[byte & 0xF];
  }
  return hex;
}

// Both scripts open LINE (argument 1) as the same modem, 8 bits, hardware flow control.
const std::string kLineSetUp = R"(set modem type usrobotics
set line \%1
if fail exit 3 cannot open the line
set speed 57600
set flow rts/cts
set parity none
set command bytesize 8
set terminal bytesize 8
)";

// Answers on LINE, logs what arrives after CONNECT to LOG (binary: INPUT would drop NULs,
// the session log of CONNECT keeps every byte) until END-MARK has come, then hangs up.
const std::string kAnswerAndLogScript = kLineSetUp + R"(set input echo off
set session-log binary
answer 60
if fail exit 1 no call
log session \%2
set terminal trigger END-MARK
connect
close session
hangup
exit 0
)";

// Dials NUMBER on LINE, writes a message frame of 25 bytes of content by hand (\N is a NUL
// in OUTPUT, \{n} the byte n), then hangs up.
const std::string kDialAndWriteScript = kLineSetUp + R"(set dial timeout 30
dial \%2
if fail exit 1 dial failed
output \{5}\N\N\{25}\N\N\N\N\Nkermit\{255}\{5}\{128} says +++hi\N!\{13}\{10}x
if fail exit 2 output failed
hangup
exit 0
)";
// The content of that frame.
const std::string kKermitMessage = std::string("kermit\xff\x05\x80 says +++hi") + '\0' + "!\r\nx";

// A pseudo-terminal for a program's standard input: Kermit's CONNECT needs a terminal for
// its keyboard side, though nobody types.
class Keyboard {
 public:
  Keyboard() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      ADD_FAILURE() << "no pseudo-terminal for the keyboard";
  }
  ~Keyboard() {
    if (master_ >= 0) close(master_);
  }
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;
  std::string Path() const { return master_ >= 0 ? ptsname(master_) : "/dev/null"; }

 private:
  int master_;
};

class ProviderWithKermit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("kermit")) GTEST_SKIP() << "C-Kermit is not installed (Debian: ckermit)";
  }
};

TEST_F(ProviderWithKermit, ProviderDialsKermitWhichReadsTheFrameByteExact) {
  EmulatorProcess emulator({"101", "102"});
  const std::string log = MakeDir("kermit") + "/session.log";
  Keyboard keyboard;
  BackgroundProgram kermit(
      "kermit", {WriteScript("answer.ksc", kAnswerAndLogScript), "=", emulator.Path("102"), log},
      keyboard.Path());
  ASSERT_TRUE(emulator.WaitForLog("102: a client opened the device"));
  // Binary bytes, the frame marker, an escape sequence and the modem's own words in the
  // message: the line is 8-bit transparent both in the provider and in the emulator.
  const std::string message = "\x01\x05\xff\x80 +++ NO CARRIER\r\n\x7f END-MARK";
  const Env line = ModemLine("a", emulator.Path("101"));
  // --stay: the dialer keeps the call until Kermit hangs up, so Kermit reads in CONNECT
  // whatever its speed.
  const ToolResult dial = RunTool({"dial", "102", "--stay", "--message", message}, "", line);
  EXPECT_EQ(dial.status, 0) << dial.err;
  // The emulator connects at the speed of the provider's port (115200 unless configured),
  // and the tool's connected line says so.
  EXPECT_NE(dial.out.find("call: connected at 115200 bit/s\n"), std::string::npos) << dial.out;
  const ProgramResult result = kermit.Finish();
  EXPECT_EQ(result.status, 0) << result.output;
  std::string logged = ReadFile(log);
  // Kermit's ANSWER stops reading at the CR that ends "CONNECT 57600"; the LF after it is
  // the first thing its session log sees.
  if (logged.starts_with("\n")) logged.erase(0, 1);
  EXPECT_EQ(Hex(logged), Hex(MessageFrame(message)));
}

TEST_F(ProviderWithKermit, KermitDialsTheProviderWaitingAndItsFrameArrivesAsAMessage) {
  EmulatorProcess emulator({"101", "102"});
  const Env line = ModemLine("b", emulator.Path("102"));
  BackgroundTool receiver({"wait", "--once", "--json"}, line);
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  const ProgramResult kermit = RunProgram(
      "kermit", {WriteScript("dial.ksc", kDialAndWriteScript), "=", emulator.Path("101"), "102"});
  EXPECT_EQ(kermit.status, 0) << kermit.output;
  EXPECT_EQ(receiver.Finish(), 0) << receiver.Err();
  const std::vector<JsonLine> messages = EventsNamed(receiver.Result().Events(), "message");
  ASSERT_EQ(messages.size(), 1u) << receiver.Err();
  EXPECT_EQ(messages[0].Integer("size"), static_cast<long long>(kKermitMessage.size()));
  EXPECT_EQ(messages[0].String("hex"), Hex(kKermitMessage));
}

}  // namespace
}  // namespace quodem::interop
