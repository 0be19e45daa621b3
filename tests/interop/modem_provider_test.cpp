// The modem provider end to end: two quodem processes, each on a modem line, calling each
// other through two modems of the emulator. Messages and files cross both ways intact; busy
// and unreachable numbers fail the call; the emulator going away in mid-file ends the call on
// both sides and leaves no partial file.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "interop/interop_support.h"
#include "sha256.h"

namespace quodem::interop {
namespace {

using tool::JsonLine;
using tool::testing::BackgroundTool;
using tool::testing::Env;
using tool::testing::EventName;
using tool::testing::EventsNamed;
using tool::testing::ListDir;
using tool::testing::MakeDir;
using tool::testing::RandomBytes;
using tool::testing::ReadFile;
using tool::testing::RunTool;
using tool::testing::ToolResult;
using tool::testing::WriteFile;

std::vector<std::string> States(const std::vector<JsonLine>& events) {
  std::vector<std::string> states;
  for (const JsonLine& event : EventsNamed(events, "state"))
    states.push_back(*event.String("state"));
  return states;
}

bool Has(const std::vector<std::string>& states, const std::string& state) {
  return std::find(states.begin(), states.end(), state) != states.end();
}

// `from` dials `number` and sends a message and a file to a `quodem wait --once` on `to`.
void SendOneWay(const Env& from, const Env& to, const std::string& number, const std::string& tag) {
  const std::string saves = MakeDir("saves-" + tag);
  const std::string outbox = MakeDir("outbox-" + tag);
  const std::string content = RandomBytes(5 * 1024 * 1024 + 3, tag.size() + 7);
  WriteFile(outbox + "/" + tag + ".bin", content);
  BackgroundTool receiver({"wait", "--once", "--save-dir", saves, "--json"}, to);
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  // The waiting process holds the device, and its lock files say so to everybody.
  const ToolResult lines = RunTool({"lines", "--json"}, "", to);
  ASSERT_EQ(lines.Events().size(), 1u) << lines.out;
  EXPECT_EQ(lines.Events()[0].String("hold"), "held-elsewhere");
  EXPECT_EQ(lines.Events()[0].Integer("pid"), receiver.Pid());
  const ToolResult dial = RunTool(
      {"dial", number, "--json", "--message", "hi " + tag, "--send", outbox + "/" + tag + ".bin"},
      "", from);
  EXPECT_EQ(dial.status, 0) << dial.err;
  EXPECT_EQ(receiver.Finish(), 0) << receiver.Err();
  EXPECT_EQ(ListDir(saves), std::vector<std::string>{tag + ".bin"});
  EXPECT_EQ(tool::Sha256Hex(ReadFile(saves + "/" + tag + ".bin")), tool::Sha256Hex(content));
  const std::vector<JsonLine> got = receiver.Result().Events();
  const std::vector<JsonLine> messages = EventsNamed(got, "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].String("text"), "hi " + tag);
  for (const std::vector<JsonLine>& events : {got, dial.Events()}) {
    const std::vector<std::string> states = States(events);
    const bool receiver_side = &events == &got;
    EXPECT_TRUE(Has(states, "csConnected")) << receiver_side;
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), "csIdle")
        << (receiver_side ? "receiver " : "dialer ") << testing::PrintToString(states);
  }
}

TEST(ModemProvider, QuodemToQuodemCarriesAMessageAndAFileBothWays) {
  EmulatorProcess emulator({"101", "102"});
  const Env a = ModemLine("a", emulator.Path("101"));
  const Env b = ModemLine("b", emulator.Path("102"));
  SendOneWay(a, b, "102", "forth");
  SendOneWay(b, a, "101", "back");
}

TEST(ModemProvider, BusyAndUnreachableNumbersFailTheCall) {
  EmulatorProcess emulator({"101", "102", "103"});
  // 102 has called 103, which answered; both driven as a terminal program would. The number
  // of the modem that answered is held, so a caller hears busy.
  Dte b(emulator.Path("102"));
  Dte c(emulator.Path("103"));
  b.Command("ATE0");
  c.Command("ATE0S0=1");
  b.Send("ATD103\r");
  b.Expect("\r\nCONNECT");
  c.Expect("\r\nCONNECT");

  const Env a = ModemLine("a", emulator.Path("101"));
  const ToolResult busy = RunTool({"dial", "103", "--json", "--message", "x"}, "", a);
  // (Whether the tool says "busy" depends on the component: busy and disconnected come
  // together and it may pass on only the second. The provider's tests check the modes.)
  EXPECT_EQ(busy.status, 2) << busy.err;
  EXPECT_FALSE(Has(States(busy.Events()), "csConnected"));

  const ToolResult nobody = RunTool({"dial", "5550199", "--json", "--message", "x"}, "", a);
  EXPECT_EQ(nobody.status, 2) << nobody.err;
  // NO CARRIER before a connection is a call nobody answered.
  EXPECT_NE(nobody.err.find("did not answer"), std::string::npos) << nobody.err;
  EXPECT_FALSE(Has(States(nobody.Events()), "csConnected"));

  // After two failed calls the line still dials: the modem is back in command state.
  const ToolResult again = RunTool({"dial", "103", "--json", "--message", "x"}, "", a);
  EXPECT_EQ(again.status, 2) << again.err;
  EXPECT_FALSE(Has(States(again.Events()), "csConnected"));
}

TEST(ModemProvider, AMissingDeviceIsListedAsSuchAndCannotDial) {
  const Env gone = ModemLine("gone", MakeDir("dev") + "/ttyNothing");
  const ToolResult lines = RunTool({"lines"}, "", gone);
  EXPECT_NE(lines.out.find("missing"), std::string::npos) << lines.out;
  const ToolResult dial = RunTool({"dial", "102", "--message", "x"}, "", gone);
  EXPECT_NE(dial.status, 0);
  EXPECT_NE(dial.err.find("ttyNothing"), std::string::npos) << dial.err;
}

TEST(ModemProvider, CarrierLossInMidFileEndsTheCallOnBothSidesWithoutAPartialFile) {
  // Paced at 9600 bits/s, 200 KB take minutes: the emulator goes long before the end.
  EmulatorProcess emulator({"101", "102"}, {"--speed", "9600"});
  const Env a = ModemLine("a", emulator.Path("101"));
  const Env b = ModemLine("b", emulator.Path("102"));
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/big.bin", RandomBytes(200 * 1024, 5));
  BackgroundTool receiver({"wait", "--once", "--save-dir", saves, "--json"}, b);
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool sender({"dial", "102", "--json", "--send", outbox + "/big.bin"}, a);
  ASSERT_TRUE(receiver.WaitForEvent([](const JsonLine& event) {
    return EventName(event) == "received" && event.Integer("size").value_or(0) > 0;
  })) << receiver.Err();

  emulator.Tool().Signal(SIGTERM);  // hangs up every call and removes its devices
  EXPECT_EQ(emulator.Tool().Finish(), 0);

  EXPECT_EQ(sender.Finish(), 3) << sender.Err();
  // The receiver says the file was not saved (status 4).
  EXPECT_EQ(receiver.Finish(), 4) << receiver.Err();
  EXPECT_EQ(EventsNamed(receiver.Result().Events(), "file-failed").size(), 1u);
  for (BackgroundTool* side : {&sender, &receiver}) {
    const std::vector<std::string> states = States(side->Result().Events());
    EXPECT_TRUE(Has(states, "csConnected"));
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), "csIdle");
  }
  EXPECT_TRUE(EventsNamed(receiver.Result().Events(), "file").empty());
  EXPECT_EQ(ListDir(saves), std::vector<std::string>{});
}

}  // namespace
}  // namespace quodem::interop
