// Signals and pipes: a reader of standard output that goes away or stops reading never kills
// or holds the tool; it hangs up cleanly (status 141 for a closed output, 130 for a signal)
// and leaves no partial file. Every case runs with a short guard, so that a regression (a
// tool that hangs) fails instead of holding the test run.
//
// To act in mid-transfer reliably the other side is stopped (SIGSTOP) once the transfer has
// begun: the socket buffers fill and the transfer stands still until SIGCONT.
#include <gtest/gtest.h>
#include <signal.h>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

constexpr std::chrono::seconds kQuick(20);
constexpr std::size_t kBigFile = 8 * 1024 * 1024;

bool IsFileProgress(const JsonLine& event, const std::string& name) {
  return EventName(event) == name && event.String("kind") == "file";
}

TEST(ToolSignals, AReceiverWhoseOutputIsClosedHangsUpAndKeepsNoPartialFile) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/big.bin", RandomBytes(kBigFile, 5));
  BackgroundTool receiver({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool sender({"dial", "102", "--json", "--send", outbox + "/big.bin"});
  ASSERT_TRUE(
      receiver.WaitForEvent([](const JsonLine& e) { return IsFileProgress(e, "received"); }));
  sender.Signal(SIGSTOP);
  // Nothing more is written while the sender stands still: the receiver must notice the
  // closed output by itself.
  receiver.CloseOutput();
  const int status = receiver.Finish(kQuick);
  sender.Signal(SIGCONT);
  EXPECT_EQ(status, 141) << receiver.Err();
  EXPECT_EQ(receiver.Result().signal, 0);  // it ended by itself, not by SIGPIPE
  EXPECT_EQ(ListDir(saves), std::vector<std::string>{});
  EXPECT_EQ(sender.Finish(kQuick), 3) << sender.Err();
}

TEST(ToolSignals, ADialerWhoseOutputIsClosedInMidSendHangsUp) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/big.bin", RandomBytes(kBigFile, 6));
  BackgroundTool receiver({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool sender({"dial", "102", "--json", "--send", outbox + "/big.bin"});
  ASSERT_TRUE(sender.WaitForEvent([](const JsonLine& e) { return IsFileProgress(e, "sent"); }));
  receiver.Signal(SIGSTOP);  // the send blocks
  sender.CloseOutput();
  const int status = sender.Finish(kQuick);
  receiver.Signal(SIGCONT);
  EXPECT_EQ(status, 141) << sender.Err();
  EXPECT_EQ(sender.Result().signal, 0);
  EXPECT_EQ(receiver.Finish(kQuick), 4) << receiver.Err();  // the partial file not saved
  EXPECT_TRUE(EventsNamed(receiver.Result().Events(), "file").empty());
  EXPECT_EQ(ListDir(saves), std::vector<std::string>{});
}

TEST(ToolSignals, AWaiterWhoseOutputIsClosedEndsAndFreesTheNumber) {
  BackgroundTool waiter({"wait", "--json", "--line", "1"});
  ASSERT_TRUE(waiter.WaitForEvent("waiting")) << waiter.Err();
  waiter.CloseOutput();
  EXPECT_EQ(waiter.Finish(kQuick), 141) << waiter.Err();
  EXPECT_EQ(waiter.Result().signal, 0);
  EXPECT_EQ(RunTool({"lines", "--json"}).Events().at(1).String("hold"), "free");
}

// A service manager sends SIGTERM once; a waiter whose output pipe is full (nobody reads
// it) must still end, and soon.
TEST(ToolSignals, SigtermEndsAWaiterWhoseOutputNobodyReads) {
  ToolOptions options;
  options.output_pipe_size = 4096;
  BackgroundTool waiter({"wait", "--json", "--line", "1"}, options);
  ASSERT_TRUE(waiter.WaitForEvent("waiting")) << waiter.Err();
  waiter.StopReadingOutput();
  // Each message event holds the message twice (hex and text): a few fill the pipe, and the
  // waiter's reader stands in its write.
  std::vector<std::string> args = {"dial", "102"};
  for (int i = 0; i < 8; ++i) {
    args.push_back("--message");
    args.push_back(std::string(3000, static_cast<char>('a' + i)));
  }
  EXPECT_EQ(RunTool(args, "", {}, kQuick).status, 0);
  waiter.Signal(SIGTERM);
  EXPECT_EQ(waiter.Finish(kQuick), 130) << waiter.Err();
  EXPECT_EQ(waiter.Result().signal, 0);
}

TEST(ToolSignals, DemoInterruptedWhilePreparingRemovesItsFile) {
  const std::string temp = MakeDir("tmp");
  BackgroundTool demo({"demo", "--size", "256M"}, {{"TMPDIR", temp}});
  ASSERT_TRUE(demo.WaitForText("preparing")) << demo.Err();
  demo.Signal(SIGINT);
  EXPECT_EQ(demo.Finish(kQuick), 130) << demo.Err();
  EXPECT_EQ(demo.Result().signal, 0);
  EXPECT_EQ(ListDir(temp), std::vector<std::string>{});
}

}  // namespace
}  // namespace quodem::tool::testing
