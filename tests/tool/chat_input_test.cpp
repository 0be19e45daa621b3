// Bounded input for chat: a typed line longer than a message can carry is refused as it is
// typed, without being kept, and the lines after it are sent as usual.
#include <gtest/gtest.h>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

constexpr std::chrono::seconds kQuick(20);

TEST(ToolChatInput, ALineLongerThanAMessageIsRefusedAndReadingGoesOn) {
  BackgroundTool receiver(
      {"wait", "--once", "--line", "1", "--save-dir", MakeDir("saves"), "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  // The longest message that fits, a line one byte too long, a line without end for 64 MiB
  // (kept whole and searched again for every read, it would take minutes), and a short one.
  const std::string input = std::string(65535, 'a') + "\n" + std::string(65536, 'b') + "\n" +
                            std::string(64 << 20, 'z') + "\nstill here\n";
  const ToolResult chat = RunTool({"chat", "102"}, input, {}, kQuick);
  EXPECT_EQ(chat.status, 0) << chat.err;
  EXPECT_NE(chat.err.find("longer than 65535 bytes"), std::string::npos) << chat.err;
  EXPECT_EQ(receiver.Finish(kQuick), 0) << receiver.Err();
  const std::vector<JsonLine> messages = EventsNamed(receiver.Result().Events(), "message");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].Integer("size"), 65535);
  EXPECT_EQ(messages[1].String("text"), "still here");
}

}  // namespace
}  // namespace quodem::tool::testing
