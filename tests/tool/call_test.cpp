// Whole calls between two tool processes over the test's private exchange: what is sent
// arrives intact and in order, the JSON events say exactly what happened, and the exit
// statuses tell a script how the call went.
#include <gtest/gtest.h>

#include <map>

#include "json.h"
#include "sha256.h"
#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

// A receiver on line 1 (number 102) that answers one call and saves into `saves`.
class Receiver {
 public:
  explicit Receiver(const std::string& saves)
      : tool_({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"}) {
    ready_ = tool_.WaitForEvent("waiting").has_value();
  }
  bool Ready() const { return ready_; }
  BackgroundTool& Tool() { return tool_; }

 private:
  BackgroundTool tool_;
  bool ready_ = false;
};

// The last progress event of each transfer must say size == total; collects those totals.
std::vector<std::int64_t> CompletedTotals(const std::vector<JsonLine>& events,
                                          const std::string& name) {
  std::vector<std::int64_t> totals;
  for (const JsonLine& event : EventsNamed(events, name)) {
    EXPECT_LE(event.Integer("size").value_or(-1), event.Integer("total").value_or(-2));
    if (event.Integer("size") == event.Integer("total")) totals.push_back(*event.Integer("total"));
  }
  return totals;
}

TEST(ToolCall, MessagesAndFilesArriveIntactAndInOrder) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  const std::string big = RandomBytes(3 * 1024 * 1024 + 17, 1);
  const std::string small = RandomBytes(300, 2);
  WriteFile(outbox + "/big.bin", big);
  WriteFile(outbox + "/small name é.txt", small);
  WriteFile(outbox + "/empty", "");
  // Bytes that are not text: the hex member carries them exactly.
  const std::string odd = std::string("\xFF\x01") + "tab\there \"q\" \xE3\x83\x95";

  Receiver receiver(saves);
  ASSERT_TRUE(receiver.Ready()) << receiver.Tool().Err();
  const ToolResult dial = RunTool(
      {"dial", "102", "--json", "--message", "hello", "--send", outbox + "/big.bin", "--message",
       odd, "--send", outbox + "/small name é.txt", "--send", outbox + "/empty", "--message", ""});
  EXPECT_EQ(dial.status, 0) << dial.err;
  EXPECT_EQ(receiver.Tool().Finish(), 0) << receiver.Tool().Err();

  // The files, byte for byte, and nothing else (no temporary file) in the folder.
  EXPECT_EQ(Sha256Hex(ReadFile(saves + "/big.bin")), Sha256Hex(big));
  EXPECT_EQ(Sha256Hex(ReadFile(saves + "/small name é.txt")), Sha256Hex(small));
  EXPECT_EQ(ReadFile(saves + "/empty"), "");
  EXPECT_EQ(ListDir(saves), (std::vector<std::string>{"big.bin", "empty", "small name é.txt"}));

  const std::vector<JsonLine> got = receiver.Tool().Result().Events();
  // Messages and files in the order sent.
  std::vector<std::string> order;
  for (const JsonLine& event : got) {
    if (EventName(event) == "message") order.push_back("m:" + *event.String("hex"));
    if (EventName(event) == "file") order.push_back("f:" + *event.String("path"));
  }
  EXPECT_EQ(order, (std::vector<std::string>{
                       "m:" + HexEncode("hello"), "f:" + saves + "/big.bin", "m:" + HexEncode(odd),
                       "f:" + saves + "/small name é.txt", "f:" + saves + "/empty", "m:"}));
  const std::vector<JsonLine> messages = EventsNamed(got, "message");
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].String("text"), "hello");
  EXPECT_EQ(messages[0].Integer("size"), 5);
  EXPECT_EQ(messages[1].String("text"), "\xEF\xBF\xBD\x01tab\there \"q\" \xE3\x83\x95");
  EXPECT_EQ(messages[2].Integer("size"), 0);
  const std::vector<JsonLine> files = EventsNamed(got, "file");
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].Integer("size"), static_cast<std::int64_t>(big.size()));
  EXPECT_EQ(files[2].Integer("size"), 0);

  // Progress: every transfer with a payload ends with size == total, with the totals of its
  // own frame (empty payloads have no progress at all).
  EXPECT_EQ(CompletedTotals(got, "received"),
            (std::vector<std::int64_t>{5, static_cast<std::int64_t>(big.size()), 18, 300}));
  EXPECT_EQ(CompletedTotals(dial.Events(), "sent"),
            (std::vector<std::int64_t>{5, static_cast<std::int64_t>(big.size()), 18, 300}));
  for (const JsonLine& event : EventsNamed(dial.Events(), "sent")) {
    const bool message = event.Integer("total") == 5 || event.Integer("total") == 18;
    EXPECT_EQ(event.String("kind"), message ? "message" : "file");
  }

  // Both sides saw the call connect and end.
  for (const std::vector<JsonLine>& events : {got, dial.Events()}) {
    std::vector<std::string> states;
    for (const JsonLine& event : EventsNamed(events, "state")) {
      states.push_back(*event.String("state"));
      if (states.back() == "csConnected") {
        EXPECT_EQ(event.Integer("value"), 8);
      }
    }
    EXPECT_NE(std::find(states.begin(), states.end(), "csConnected"), states.end());
    EXPECT_EQ(states.back(), "csIdle");
  }
  EXPECT_TRUE(EventsNamed(dial.Events(), "error").empty());
}

TEST(ToolCall, PlainOutputHasNoControlSequences) {
  const std::string saves = MakeDir("saves");
  Receiver receiver(saves);
  ASSERT_TRUE(receiver.Ready());
  const ToolResult dial = RunTool({"dial", "102", "--message", "\x1b[31mred\x07"});
  EXPECT_EQ(dial.status, 0) << dial.err;
  EXPECT_NE(dial.out.find("call: connected"), std::string::npos) << dial.out;
  EXPECT_NE(dial.out.find("sent message"), std::string::npos) << dial.out;
  EXPECT_EQ(dial.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(receiver.Tool().Finish(), 0);
}

TEST(ToolCall, DialWithNothingToSendStaysUntilTheFarEndHangsUp) {
  const std::string saves = MakeDir("saves");
  const std::string chat_saves = MakeDir("chat-saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/note.txt", "a note");
  // The far end is an interactive chat that answers, sends what is typed, and quits.
  BackgroundTool chat({"chat", "--wait", "--line", "1", "--save-dir", chat_saves}, {}, true);
  ASSERT_TRUE(chat.WaitForText("waiting for a call")) << chat.Err();
  BackgroundTool dial({"dial", "102", "--json", "--save-dir", saves});
  ASSERT_TRUE(chat.WaitForText("connected:")) << chat.Err();
  chat.Input("first line\n/send " + outbox + "/note.txt\n/bogus\n//slash\n/quit\n");
  EXPECT_EQ(chat.Finish(), 0) << chat.Err();
  EXPECT_NE(chat.Err().find("unknown chat command /bogus"), std::string::npos) << chat.Err();

  ASSERT_EQ(dial.Finish(), 0) << dial.Err();
  const std::vector<JsonLine> got = dial.Result().Events();
  const std::vector<JsonLine> messages = EventsNamed(got, "message");
  ASSERT_EQ(messages.size(), 2u) << dial.Result().out;
  EXPECT_EQ(messages[0].String("text"), "first line");
  EXPECT_EQ(messages[1].String("text"), "/slash");
  EXPECT_EQ(ReadFile(saves + "/note.txt"), "a note");
  EXPECT_EQ(EventsNamed(got, "file").at(0).String("path"), saves + "/note.txt");
}

TEST(ToolCall, CallsThatCannotBeMadeEndWithStatusTwo) {
  // Nobody waits on 102.
  const ToolResult nobody = RunTool({"dial", "102", "--json", "--message", "x"});
  EXPECT_EQ(nobody.status, 2) << nobody.err;
  EXPECT_TRUE(EventsNamed(nobody.Events(), "message").empty());

  // A number that cannot be translated: the telephony error, in hex on standard error and as
  // an error event.
  const ToolResult bad = RunTool({"dial", "12ab", "--json", "--message", "x"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("0x80000010"), std::string::npos) << bad.err;
  const std::vector<JsonLine> errors = EventsNamed(bad.Events(), "error");
  ASSERT_EQ(errors.size(), 1u) << bad.out;
  EXPECT_EQ(errors[0].Integer("code"), static_cast<std::int32_t>(0x80000010));
}

}  // namespace
}  // namespace quodem::tool::testing
