// Saying why: a line that cannot take calls names the provider's reason and exits 1; a call
// that fails says which way it failed, in words and as a stable reason in the JSON error
// event; a caller who connects and leaves at once is no telephony error.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "quodem/platform/telephony_service.h"
#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

// The test's exchange folder, created when missing.
std::string Exchange() {
  return telephony::ExchangeDirectory();
}

// The one error event of a run: its reason, and its message as standard error shows it.
void ExpectFailure(const ToolResult& result, int status, const std::string& reason,
                   const std::string& words) {
  EXPECT_EQ(result.status, status) << result.err;
  const std::vector<JsonLine> errors = EventsNamed(result.Events(), "error");
  ASSERT_EQ(errors.size(), 1u) << result.out;
  EXPECT_EQ(errors[0].String("reason"), reason);
  const std::string message = errors[0].String("message").value_or("");
  EXPECT_NE(message.find(words), std::string::npos) << message;
  EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
}

// A Unix-domain socket listening at the number's path, standing for whatever answers there.
class FakeNumber {
 public:
  explicit FakeNumber(const std::string& number) : path_(Exchange() + "/" + number) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 4), 0);
  }
  ~FakeNumber() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  // Accepts one call and answers it with `byte` (in a thread of its own).
  std::thread AnswerWith(char byte) {
    return std::thread([this, byte] {
      const int call = ::accept(fd_, nullptr, nullptr);
      ASSERT_GE(call, 0);
      EXPECT_EQ(::write(call, &byte, 1), 1);
      char ignored;
      ::read(call, &ignored, 1);  // until the caller hangs up
      ::close(call);
    });
  }

 private:
  std::string path_;
  int fd_ = -1;
};

TEST(ToolSayWhy, ALineThatCannotTakeCallsSaysWhyAndExitsOne) {
  const std::string config = MakeDir("config") + "/tcp.conf";
  WriteFile(config, "[line]\nprovider = tcp\nlisten = 192.0.2.1:6400\n");  // not ours
  ExpectFailure(RunTool({"wait", "--json"}, "", {{"QUODEM_CONFIG", config}}), 1, "setup",
                "cannot listen on 192.0.2.1:6400: Cannot assign requested address");

  const std::string lock = Exchange() + "/102.lock";
  ASSERT_EQ(::mkdir(lock.c_str(), 0700), 0);
  ExpectFailure(RunTool({"wait", "--line", "1", "--json"}), 1, "setup",
                "the lock file " + lock + " is a folder");
  ::rmdir(lock.c_str());

  // An exchange folder that is a plain file is no broken configuration.
  const std::string file = MakeDir("not-a-folder") + "/exchange";
  WriteFile(file, "");
  const ToolResult lines = RunTool({"lines"}, "", {{"QUODEM_EXCHANGE_DIR", file}});
  EXPECT_EQ(lines.status, 1);
  EXPECT_NE(lines.err.find(file + " exists but is not a folder"), std::string::npos) << lines.err;
  EXPECT_EQ(lines.err.find("configuration"), std::string::npos) << lines.err;
}

TEST(ToolSayWhy, AFailedCallSaysWhichWayItFailed) {
  ExpectFailure(RunTool({"dial", "102", "--json"}), 2, "unreachable", "nobody is waiting on 102");

  {
    BackgroundTool waiter(
        {"wait", "--once", "--line", "1", "--json", "--save-dir", MakeDir("saves")});
    ASSERT_TRUE(waiter.WaitForEvent("waiting")) << waiter.Err();
    BackgroundTool first({"dial", "102", "--json", "--stay"});
    ASSERT_TRUE(first.WaitForEvent([](const JsonLine& e) {
      return EventName(e) == "state" && e.String("state") == "csConnected";
    }));
    ExpectFailure(RunTool({"dial", "102", "--json"}), 2, "busy", "102 is busy");
    first.Signal(SIGINT);
    EXPECT_EQ(first.Finish(), 130);
    EXPECT_EQ(waiter.Finish(), 0);
  }

  const std::string config = MakeDir("config") + "/quick.conf";
  WriteFile(config, "[exchange]\nanswer_timeout = 1\n");
  {
    FakeNumber silent("102");  // takes the call, never answers
    ExpectFailure(RunTool({"dial", "102", "--json"}, "", {{"QUODEM_CONFIG", config}}), 2,
                  "no-answer", "102 did not answer");
  }
  {
    FakeNumber stranger("102");
    std::thread answer = stranger.AnswerWith('X');  // not the exchange's answer signal
    ExpectFailure(RunTool({"dial", "102", "--json"}), 2, "incompatible",
                  "the far end of 102 is not a modem line");
    answer.join();
  }
}

TEST(ToolSayWhy, CallersWhoLeaveAtOnceAreNoTelephonyErrors) {
  const std::string config = MakeDir("config") + "/tcp.conf";
  WriteFile(config, "[line]\nprovider = tcp\nlisten = 127.0.0.1:0\n");
  BackgroundTool waiter({"wait", "--line", "0", "--save-dir", MakeDir("saves")},
                        {{"QUODEM_CONFIG", config}});
  // Connect and close at once, as a port scan does, again and again; the line keeps its
  // port from call to call.
  std::string first_line;
  for (std::size_t i = 1; i <= 10; ++i) {
    ASSERT_TRUE(waiter.WaitForText("waiting for a call", i)) << waiter.Err();
    std::string line;
    for (const std::string& each : waiter.Lines()) {
      if (each.find("waiting for a call") != std::string::npos) line = each;
    }
    if (i == 1) first_line = line;
    EXPECT_EQ(line, first_line);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port =
        htons(static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1))));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    ::close(fd);
  }
  ASSERT_TRUE(waiter.WaitForText("waiting for a call", 11)) << waiter.Err();
  waiter.Signal(SIGINT);
  EXPECT_EQ(waiter.Finish(), 130);
  EXPECT_EQ(waiter.Err().find("telephony error"), std::string::npos) << waiter.Err();
}

}  // namespace
}  // namespace quodem::tool::testing
