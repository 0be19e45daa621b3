// Ctrl-C in the middle of a transfer, on either side: the interrupted tool hangs up cleanly
// and exits 130, the other side sees the hang-up and ends as it should, and neither leaves a
// temporary file or a socket behind.
//
// To interrupt reliably in mid-transfer the test stops the other process (SIGSTOP) once the
// transfer has begun: the socket buffers fill and the transfer stands still until SIGCONT.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

constexpr std::size_t kBigFile = 8 * 1024 * 1024;

bool IsFileProgress(const JsonLine& event, const std::string& name) {
  return EventName(event) == name && event.String("kind") == "file";
}

// No socket of either side may remain in the exchange folder.
void ExpectExchangeClean() {
  const char* exchange = std::getenv("QUODEM_EXCHANGE_DIR");
  ASSERT_NE(exchange, nullptr);
  for (const std::string& name : ListDir(exchange)) {
    EXPECT_FALSE(std::filesystem::is_socket(std::string(exchange) + "/" + name))
        << "socket left in the exchange folder: " << name;
  }
}

TEST(ToolInterrupt, CtrlCOnTheSenderHangsUpAndTheReceiverDropsThePartialFile) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/big.bin", RandomBytes(kBigFile, 3));
  BackgroundTool receiver({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool sender({"dial", "102", "--json", "--send", outbox + "/big.bin"});

  ASSERT_TRUE(
      receiver.WaitForEvent([](const JsonLine& e) { return IsFileProgress(e, "received"); }));
  receiver.Signal(SIGSTOP);
  ASSERT_TRUE(sender.WaitForEvent([](const JsonLine& e) { return IsFileProgress(e, "sent"); }));
  sender.Signal(SIGINT);
  const int sender_status = sender.Finish();
  receiver.Signal(SIGCONT);
  EXPECT_EQ(sender_status, 130) << sender.Err();

  // The receiver sees the hang-up, drops the incomplete frame, says so and ends its one call
  // with the status of a file not saved.
  EXPECT_EQ(receiver.Finish(), 4) << receiver.Err();
  const std::vector<JsonLine> got = receiver.Result().Events();
  EXPECT_TRUE(EventsNamed(got, "file").empty()) << receiver.Result().out;
  ASSERT_EQ(EventsNamed(got, "file-failed").size(), 1u) << receiver.Result().out;
  EXPECT_EQ(EventsNamed(got, "file-failed")[0].String("name"), "big.bin");
  EXPECT_EQ(ListDir(saves), std::vector<std::string>{});
  ExpectExchangeClean();
}

TEST(ToolInterrupt, CtrlCOnTheReceiverFailsTheSendWithStatusThree) {
  const std::string saves = MakeDir("saves");
  const std::string outbox = MakeDir("outbox");
  WriteFile(outbox + "/big.bin", RandomBytes(kBigFile, 4));
  BackgroundTool receiver({"wait", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool sender({"dial", "102", "--json", "--send", outbox + "/big.bin"});

  ASSERT_TRUE(
      receiver.WaitForEvent([](const JsonLine& e) { return IsFileProgress(e, "received"); }));
  sender.Signal(SIGSTOP);
  receiver.Signal(SIGINT);
  const int receiver_status = receiver.Finish();
  sender.Signal(SIGCONT);
  EXPECT_EQ(receiver_status, 130) << receiver.Err();
  EXPECT_EQ(ListDir(saves), std::vector<std::string>{});

  EXPECT_EQ(sender.Finish(), 3) << sender.Err();
  const std::vector<JsonLine> failed = EventsNamed(sender.Result().Events(), "send-failed");
  ASSERT_EQ(failed.size(), 1u) << sender.Result().out;
  EXPECT_EQ(failed[0].String("kind"), "file");
  EXPECT_EQ(failed[0].String("message"), "ファイル転送に失敗しました");
  EXPECT_NE(sender.Err().find("ファイル転送に失敗しました"), std::string::npos);
  ExpectExchangeClean();
}

TEST(ToolInterrupt, CtrlCWhileDialingOrConnectedIdleEndsWith130) {
  const std::string saves = MakeDir("saves");
  BackgroundTool receiver({"wait", "--once", "--line", "1", "--save-dir", saves, "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting"));
  BackgroundTool dialer({"dial", "102", "--json", "--stay"});
  const auto connected = [](const JsonLine& e) {
    return EventName(e) == "state" && e.String("state") == "csConnected";
  };
  // Both sides hold the call's port. (A call cut before the receiver's component took its
  // port never counts as connected there: notifications are coalesced, and the receiver
  // would rightly go on waiting for its one call.)
  ASSERT_TRUE(dialer.WaitForEvent(connected));
  ASSERT_TRUE(receiver.WaitForEvent(connected));
  dialer.Signal(SIGTERM);
  EXPECT_EQ(dialer.Finish(), 130) << dialer.Err();
  EXPECT_EQ(receiver.Finish(), 0) << receiver.Err();
  ExpectExchangeClean();
}

}  // namespace
}  // namespace quodem::tool::testing
