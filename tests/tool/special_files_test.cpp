// Special files and the exchange folder: a FIFO wherever a regular file is expected gets a
// clear error at once instead of an open() that waits for a writer, and no spelling of a
// link's path passes for the exchange folder. Every case runs with a short guard, so that a
// regression (a hang) fails instead of holding the test run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "quodem/platform/telephony_service.h"
#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

constexpr std::chrono::seconds kQuick(20);

// The test's exchange folder, created when missing.
std::string Exchange() {
  return telephony::ExchangeDirectory();
}

// Status 1, one line on standard error mentioning every text in `mentions`.
void ExpectRefused(const ToolResult& result, const std::vector<std::string>& mentions) {
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  for (const std::string& mention : mentions) {
    EXPECT_NE(result.err.find(mention), std::string::npos) << result.err;
  }
}

TEST(ToolSpecialFiles, AFifoIsRefusedAtOnceWhereverAFileIsExpected) {
  const std::string fifo = MakeDir("special") + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  ExpectRefused(RunTool({"lines"}, "", {{"QUODEM_CONFIG", fifo}}, kQuick), {fifo, "FIFO"});
  ExpectRefused(RunTool({"dial", "102", "--send", fifo}, "", {}, kQuick), {fifo, "FIFO"});

  // A FIFO at a lock file's path: the line list is still shown, and the line cannot wait.
  const std::string lock = Exchange() + "/102.lock";
  ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
  EXPECT_EQ(RunTool({"lines"}, "", {}, kQuick).status, 0);
  ExpectRefused(RunTool({"wait", "--line", "1"}, "", {}, kQuick), {lock, "FIFO"});
  ::unlink(lock.c_str());
}

TEST(ToolSpecialFiles, ChatRefusesToSendAFifoAndGoesOn) {
  const std::string fifo = MakeDir("special") + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  BackgroundTool receiver(
      {"wait", "--once", "--line", "1", "--save-dir", MakeDir("saves"), "--json"});
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool chat({"chat", "102"}, {}, true);
  ASSERT_TRUE(chat.WaitForText("connected:")) << chat.Err();
  chat.Input("/send " + fifo + "\nafter the fifo\n/quit\n");
  EXPECT_EQ(chat.Finish(kQuick), 0) << chat.Err();
  EXPECT_NE(chat.Err().find("FIFO"), std::string::npos) << chat.Err();
  EXPECT_EQ(receiver.Finish(kQuick), 0);
  const std::vector<JsonLine> messages = EventsNamed(receiver.Result().Events(), "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].String("text"), "after the fifo");
}

TEST(ToolSpecialFiles, SomethingElseAtTheNumbersSocketPathIsLeftAndNamed) {
  const std::string socket_path = Exchange() + "/102";
  ASSERT_EQ(::mkdir(socket_path.c_str(), 0700), 0);
  ExpectRefused(RunTool({"wait", "--line", "1"}, "", {}, kQuick),
                {socket_path, "is a folder, not the number's socket"});
  EXPECT_EQ(::rmdir(socket_path.c_str()), 0);  // still there, untouched
}

TEST(ToolExchangeFolder, ALinkIsRefusedHoweverItIsSpelled) {
  const std::string root = MakeDir("folders");
  const std::string real = root + "/real";
  const std::string link = root + "/link";
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  for (const std::string& spelling : {link, link + "/", link + "/.", link + "//./"}) {
    ExpectRefused(RunTool({"lines"}, "", {{"QUODEM_EXCHANGE_DIR", spelling}}, kQuick),
                  {"symbolic link"});
    ExpectRefused(RunTool({"wait", "--line", "1"}, "", {{"QUODEM_EXCHANGE_DIR", spelling}}, kQuick),
                  {"symbolic link"});
  }
  EXPECT_EQ(ListDir(real), std::vector<std::string>{});  // no lock file in the link's target
}

}  // namespace
}  // namespace quodem::tool::testing
