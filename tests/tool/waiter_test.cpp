// A waiter keeps its number: another process dialing from the same line never keeps it
// from waiting, and it answers every call while other processes dial and look at the lines.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

// A process that dials from line 0 holds line 0's number for its call only: a waiter on
// line 0 starts meanwhile, says the number is in use by an outgoing call, and answers the
// first call that comes once that call has ended.
TEST(ToolWaiter, StartsWhileAnotherProcessDialsFromItsLine) {
  const std::string saves = MakeDir("saves");
  BackgroundTool far({"wait", "--line", "1", "--once", "--save-dir", saves, "--json"});
  ASSERT_TRUE(far.WaitForEvent("waiting").has_value()) << far.Err();
  BackgroundTool dialer({"chat", "102", "--line", "0", "--save-dir", saves}, {}, true);
  ASSERT_TRUE(dialer.WaitForText("connected:")) << dialer.Err();

  BackgroundTool waiter({"wait", "--line", "0", "--once", "--save-dir", saves, "--json"});
  ASSERT_TRUE(waiter.WaitForEvent("waiting").has_value()) << waiter.Err();
  const ToolResult busy = RunTool({"dial", "101", "--line", "1", "--message", "too early"});
  EXPECT_NE(busy.status, 0);  // the dialer's number is busy while its call lasts

  dialer.CloseInput();
  EXPECT_EQ(dialer.Finish(), 0) << dialer.Err();
  EXPECT_EQ(far.Finish(), 0) << far.Err();
  ToolResult call;
  // The waiter takes the number over a moment after the dialer's line has gone; until then a
  // call finds it busy. A few tries, no timing assumed.
  for (int attempt = 0; attempt < 50; ++attempt) {
    call = RunTool({"dial", "101", "--line", "1", "--message", "to line 0"});
    if (call.status == 0) break;
  }
  EXPECT_EQ(call.status, 0) << call.err;
  EXPECT_EQ(waiter.Finish(), 0) << waiter.Err();
  bool got = false;
  for (const JsonLine& event : EventsNamed(waiter.Result().Events(), "message")) {
    got = got || event.String("text") == "to line 0";
  }
  EXPECT_TRUE(got);
  EXPECT_NE(waiter.Err().find("in use by another process's outgoing call"), std::string::npos)
      << waiter.Err();
}

// Calls keep coming to a waiter while, between them, other processes open its line to dial
// out and look at who holds the numbers: every call is answered.
TEST(ToolWaiter, AnswersEveryCallWhileOthersUseItsLine) {
  const std::string saves = MakeDir("saves");
  BackgroundTool waiter({"wait", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(waiter.WaitForEvent("waiting").has_value()) << waiter.Err();
  std::atomic<bool> done{false};
  std::thread others([&] {
    while (!done.load()) {
      RunTool({"dial", "999", "--line", "1"});  // nobody holds 999: busy at once
      RunTool({"lines"});
    }
  });
  constexpr int kCalls = 8;
  int answered = 0;
  for (int call = 0; call < kCalls; ++call) {
    const ToolResult result =
        RunTool({"dial", "102", "--line", "0", "--message", "call " + std::to_string(call)});
    if (result.status == 0) ++answered;
    EXPECT_EQ(result.status, 0) << "call " << call << ": " << result.err;
  }
  done.store(true);
  others.join();
  EXPECT_EQ(answered, kCalls);
  waiter.Signal(SIGINT);
  waiter.Finish();
  EXPECT_EQ(EventsNamed(waiter.Result().Events(), "message").size(),
            static_cast<std::size_t>(kCalls));
}

}  // namespace
}  // namespace quodem::tool::testing
