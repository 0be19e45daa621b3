// Who may call a TCP line: a waiter shows the address it really listens on, and with `allow`
// a caller outside the list is reset before anything is read and never becomes a call.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tool_runner.h"

namespace quodem::tool::testing {
namespace {

// A configuration whose one line is a TCP line on an ephemeral loopback port.
std::string TcpConfig(const std::string& allow) {
  const std::string path = MakeDir("config") + "/tcp.conf";
  WriteFile(path, "[line]\nprovider = tcp\nlisten = 127.0.0.1:0\nallow = " + allow + "\n");
  return path;
}

// Connects to 127.0.0.1:`port` from `source` (loopback takes any 127/8 source) and returns
// what reading then gives: the errno of a failed read (ECONNRESET for a reset), or 0.
int KnockFrom(const char* source, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
  timeval guard{std::chrono::seconds(kEventGuard).count(), 0};  // a regression fails, not hangs
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  char byte;
  const ssize_t n = ::read(fd, &byte, 1);
  const int error = n < 0 ? errno : 0;
  ::close(fd);
  return error;
}

TEST(ToolTcpAccess, ACallerOutsideTheAllowListNeverBecomesACall) {
  BackgroundTool waiter({"wait", "--line", "0", "--json", "--save-dir", MakeDir("saves")},
                        {{"QUODEM_CONFIG", TcpConfig("127.0.0.1, 10.0.0.0/8, fd00::/8")}});
  const std::optional<JsonLine> waiting = waiter.WaitForEvent("waiting");
  ASSERT_TRUE(waiting.has_value()) << waiter.Err();
  // The port really listened on, not the configured 0.
  const std::string address = waiting->String("address").value_or("");
  ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
  ASSERT_NE(address, "127.0.0.1:0");

  EXPECT_EQ(KnockFrom("127.0.0.2", std::stoi(address.substr(10))), ECONNRESET);
  // From an allowed address (line 2 of the default lines dials from 127.0.0.1).
  EXPECT_EQ(RunTool({"dial", address, "--line", "2", "--message", "let me in"}).status, 0);
  ASSERT_TRUE(waiter.WaitForEvents("waiting", 2));
  waiter.Signal(SIGINT);
  EXPECT_EQ(waiter.Finish(), 130) << waiter.Err();
  // One call only: the stranger's, accepted first, was never offered.
  const std::vector<JsonLine> events = waiter.Result().Events();
  std::size_t connected = 0;
  for (const JsonLine& state : EventsNamed(events, "state")) {
    connected += state.String("state") == "csConnected";
  }
  EXPECT_EQ(connected, 1u);
  EXPECT_EQ(EventsNamed(events, "waiting").size(), 2u);
  const std::vector<JsonLine> messages = EventsNamed(events, "message");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].String("text"), "let me in");
}

TEST(ToolTcpAccess, AnAllowListThatIsNotAddressesIsAConfigurationError) {
  const ToolResult result = RunTool({"lines"}, "", {{"QUODEM_CONFIG", TcpConfig("localhost")}});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("allow: 'localhost' is not an IPv4 or IPv6 address"), std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace quodem::tool::testing
