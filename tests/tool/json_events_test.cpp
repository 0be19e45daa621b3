// JSON a program can trust: one event per real change, in order, for call after call, and
// names and paths whose bytes are not UTF-8 given with their bytes.
#include <gtest/gtest.h>
#include <signal.h>

#include "json.h"
#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

// The events of one call, checked: no state twice, csConnected before anything sent or
// received, and the call ends csDisconnected, csIdle.
void ExpectOneCallInOrder(const std::vector<JsonLine>& call, const std::string& side) {
  std::vector<std::string> states;
  bool connected = false;
  for (const JsonLine& event : call) {
    const std::string name = EventName(event);
    if (name == "state") {
      const std::string state = *event.String("state");
      EXPECT_EQ(std::count(states.begin(), states.end(), state), 0) << side << ": twice " << state;
      states.push_back(state);
      connected = connected || state == "csConnected";
    } else if (name == "sent" || name == "received" || name == "message" || name == "file") {
      EXPECT_TRUE(connected) << side << ": " << name << " before csConnected";
    }
  }
  ASSERT_GE(states.size(), 3u) << side;
  EXPECT_EQ(std::vector<std::string>(states.end() - 2, states.end()),
            (std::vector<std::string>{"csDisconnected", "csIdle"}))
      << side;
  EXPECT_TRUE(connected) << side;
}

TEST(ToolJson, CallAfterCallEachChangeIsOneEventInOrder) {
  constexpr int kCalls = 8;
  BackgroundTool waiter({"wait", "--line", "1", "--json", "--save-dir", MakeDir("saves")});
  ASSERT_TRUE(waiter.WaitForEvent("waiting")) << waiter.Err();
  for (int i = 0; i < kCalls; ++i) {
    const ToolResult dial =
        RunTool({"dial", "102", "--json", "--message", "m" + std::to_string(i)});
    ASSERT_EQ(dial.status, 0) << dial.err;
    ExpectOneCallInOrder(dial.Events(), "dialer " + std::to_string(i));
    // The waiter opens its line again after each call; the next call waits for that.
    ASSERT_TRUE(waiter.WaitForEvents("waiting", static_cast<std::size_t>(i + 2)));
  }
  waiter.Signal(SIGINT);
  EXPECT_EQ(waiter.Finish(), 130) << waiter.Err();

  // One "waiting" before each call and one after the last; between two of them one call.
  std::vector<std::vector<JsonLine>> calls;
  for (const JsonLine& event : waiter.Result().Events()) {
    if (EventName(event) == "waiting") {
      calls.emplace_back();
    } else {
      ASSERT_FALSE(calls.empty()) << "an event before the first waiting";
      calls.back().push_back(event);
    }
  }
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(kCalls + 1));
  EXPECT_TRUE(calls.back().empty());
  for (int i = 0; i < kCalls; ++i) {
    ExpectOneCallInOrder(calls[i], "waiter, call " + std::to_string(i));
    const std::vector<JsonLine> messages = EventsNamed(calls[i], "message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].String("text"), "m" + std::to_string(i));
  }
}

TEST(ToolJson, NamesAndPathsThatAreNotUtf8CarryTheirBytes) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  const std::string name = "caf\xE9 \xFF.txt";
  WriteFile(outbox + "/" + name, "latin-1 name");
  BackgroundTool receiver({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  EXPECT_EQ(RunTool({"dial", "102", "--send", outbox + "/" + name}).status, 0);
  ASSERT_EQ(receiver.Finish(), 0) << receiver.Err();
  const std::vector<JsonLine> files = EventsNamed(receiver.Result().Events(), "file");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].String("path_hex"), HexEncode(saves + "/" + name));
  EXPECT_EQ(files[0].String("path"), DecodeUtf8Lossy(saves + "/" + name));
  EXPECT_EQ(ReadFile(saves + "/" + name), "latin-1 name");

  // Line names come from the configuration file, in whatever bytes it holds.
  const std::string config = MakeDir("config") + "/lines.conf";
  WriteFile(config, "[line]\nprovider = exchange\nname = Caf\xE9\nnumber = 201\n");
  const ToolResult lines = RunTool({"lines", "--json"}, "", {{"QUODEM_CONFIG", config}});
  ASSERT_EQ(lines.status, 0) << lines.err;
  EXPECT_EQ(lines.Events().at(0).String("name_hex"), HexEncode("Caf\xE9"));
  // Plain UTF-8 names carry no bytes besides.
  EXPECT_FALSE(RunTool({"lines", "--json"}).Events().at(0).Has("name_hex"));
}

}  // namespace
}  // namespace quodem::tool::testing
