// TCP lines on loopback: a line listening on an ephemeral port, calls to it by address and
// by name, refusals, and an address some other socket holds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "telephony_harness.h"

namespace quodem::telephony_test {
namespace {

using telephony::ListLines;
using telephony::NumberHold;

// A plain listening socket on an ephemeral loopback port, standing for another program.
struct ForeignListener {
  int fd = -1;
  int port = 0;
  ForeignListener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, 4), 0);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~ForeignListener() { close(fd); }
};

class TcpLine : public ::testing::Test {
 protected:
  // Device 0 is a TCP line listening on `listen`.
  void UseListenAddress(const std::string& listen) {
    std::string path = TestRoot() + "/tcp.conf";
    std::ofstream(path) << "[line]\nprovider = tcp\nname = Loopback\nlisten = " << listen
                        << "\nport = 6400\n";
    env_ = std::make_unique<ScopedEnv>("QUODEM_CONFIG", path);
  }
  void TearDown() override { telephony::testing::ResetFaults(); }

  std::unique_ptr<ScopedEnv> env_;
};

TEST_F(TcpLine, CallOnAnEphemeralPortCarriesBytesAndHangsUpCleanly) {
  UseListenAddress("127.0.0.1:0");
  Party waiter(0);
  auto lines = ListLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].provider, "tcp");
  EXPECT_EQ(lines[0].hold, NumberHold::kHeldHere);
  std::string address = lines[0].address;
  ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
  ASSERT_NE(address, "127.0.0.1:0");

  Party caller(0);  // the same line in another session: the address is held, outgoing only
  HCALL call = caller.Dial(address);
  caller.recorder.WaitState(call, LINECALLSTATE_CONNECTED);  // raw TCP: no answer signal
  HCALL offered = waiter.recorder.WaitOffered();
  PortId out = TakePort(call);
  ASSERT_EQ(out.result, 0);
  EXPECT_EQ(out.name, "tcp:" + address);
  // The caller may write before the answer; the callee reads it after answering.
  ASSERT_TRUE(WriteAll(out.port, "first"));
  waiter.Answer(offered);
  PortId in = TakePort(offered);
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.name.rfind("tcp:127.0.0.1:", 0), 0u);
  EXPECT_EQ(ReadCount(in.port, 5), "first");

  // A large write followed at once by the hang-up arrives whole (no reset).
  std::string payload;
  for (int i = 0; payload.size() < 2000000; ++i) payload += std::to_string(i * 7) + ";";
  std::thread writer([&] {
    EXPECT_TRUE(WriteAll(in.port, payload));
    waiter.HangUp(offered);
  });
  EXPECT_EQ(ReadToEnd(out.port), payload);
  writer.join();
  caller.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
  caller.HangUp(call);
  CloseHandle(in.port);
  CloseHandle(out.port);
}

TEST_F(TcpLine, DialsAHostNameThroughTheResolver) {
  UseListenAddress("127.0.0.1:0");
  Party waiter(0);
  std::string address = ListLines()[0].address;
  std::string port = address.substr(address.rfind(':') + 1);
  Party caller(0);
  HCALL call = caller.Dial("localhost:" + port);
  caller.recorder.WaitState(call, LINECALLSTATE_CONNECTED);
  HCALL offered = waiter.recorder.WaitOffered();
  waiter.Answer(offered);
  caller.HangUp(call);
  waiter.recorder.WaitState(offered, LINECALLSTATE_DISCONNECTED);
}

TEST_F(TcpLine, RefusedConnectionIsBusyAndBadAddressesAreRefused) {
  UseListenAddress("127.0.0.1:0");
  int closed_port;
  {
    ForeignListener gone;
    closed_port = gone.port;
  }
  Party caller(0, LINECALLPRIVILEGE_NONE);
  HCALL call = caller.Dial("127.0.0.1:" + std::to_string(closed_port));
  caller.recorder.WaitState(call, LINECALLSTATE_BUSY);
  EXPECT_EQ(caller.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED).param2,
            LINEDISCONNECTMODE_BUSY);
  caller.HangUp(call);
  for (const char* bad : {"", "a b", "host:99999", "[::1", "/tmp/x", "300.1.1.1"}) {
    HCALL none = 0;
    EXPECT_EQ(lineMakeCallA(caller.line, &none, bad, 0, nullptr), LINEERR_INVALADDRESS) << bad;
  }
  // A name that does not resolve ends as a bad address, reported after the call started.
  HCALL unknown = caller.Dial("no-such-host.invalid:80");
  EXPECT_EQ(caller.recorder.WaitState(unknown, LINECALLSTATE_DISCONNECTED).param2,
            LINEDISCONNECTMODE_BADADDRESS);
}

TEST_F(TcpLine, AddressHeldByAnotherProgramLeavesOutgoingCalls) {
  ForeignListener other;
  UseListenAddress("127.0.0.1:" + std::to_string(other.port));
  EXPECT_EQ(ListLines()[0].hold, NumberHold::kHeldElsewhere);
  Party mine(0);  // succeeds, outgoing only
  EXPECT_EQ(ListLines()[0].hold, NumberHold::kHeldElsewhere);
  HCALL call = mine.Dial("127.0.0.1:" + std::to_string(other.port));
  mine.recorder.WaitState(call, LINECALLSTATE_CONNECTED);
  int accepted = accept(other.fd, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  PortId port = TakePort(call);
  ASSERT_TRUE(WriteAll(port.port, "raw"));
  char buffer[3];
  ASSERT_EQ(read(accepted, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "raw");
  close(accepted);
  EXPECT_EQ(ReadToEnd(port.port), "");
  mine.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
  CloseHandle(port.port);
}

TEST_F(TcpLine, FaultsAddressTheBoundAddress) {
  UseListenAddress("127.0.0.1:0");
  Party waiter(0);
  std::string address = ListLines()[0].address;
  telephony::testing::NumberFaults faults;
  faults.busy = true;
  telephony::testing::SetNumberFaults(address, faults);
  Party caller(0);
  HCALL call = caller.Dial(address);
  // Connected at once (raw TCP), then the waiting side closes: a hang-up.
  caller.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
  EXPECT_TRUE(telephony::testing::CloseLineByService(address));
  waiter.recorder.WaitFor([](const Note& n) { return n.message == LINE_CLOSE; }, "LINE_CLOSE");
  EXPECT_EQ(ListLines()[0].hold, NumberHold::kFree);
}

// Between two calls of one waiter (its line closed and opened again) no other program can
// take the port: it stays bound, and the reopened line listens on the same port.
TEST_F(TcpLine, AWaiterKeepsItsPortBetweenCalls) {
  UseListenAddress("127.0.0.1:0");
  auto waiter = std::make_unique<Party>(0);
  const std::string address = ListLines()[0].address;
  ASSERT_EQ(lineClose(waiter->line), 0);

  sockaddr_in taken{};
  taken.sin_family = AF_INET;
  taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  taken.sin_port = htons(static_cast<std::uint16_t>(std::stoi(address.substr(10))));
  int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_NE(bind(other, reinterpret_cast<sockaddr*>(&taken), sizeof taken), 0)
      << "another program bound " << address << " between two calls";
  close(other);

  waiter->Open(0);
  EXPECT_EQ(telephony::LineAddressHeld(waiter->line), 0);
  EXPECT_EQ(ListLines()[0].address, address);
  Party caller(0);
  HCALL call = caller.Dial(address);
  caller.recorder.WaitState(call, LINECALLSTATE_CONNECTED);
  waiter->recorder.WaitOffered();
}

// A line that dials out stops listening for the call's length; a waiter can take the port.
TEST_F(TcpLine, ADialingLineGivesItsPortBack) {
  ForeignListener far;
  UseListenAddress("127.0.0.1:0");
  Party dialer(0);
  EXPECT_EQ(telephony::LineAddressHeld(dialer.line), 0);
  HCALL call = dialer.Dial("127.0.0.1:" + std::to_string(far.port));
  EXPECT_EQ(telephony::LineAddressHeld(dialer.line), LINEERR_RESOURCEUNAVAIL);
  Party waiter(0);
  EXPECT_EQ(telephony::LineAddressHeld(waiter.line), 0);
  dialer.HangUp(call);
}

}  // namespace
}  // namespace quodem::telephony_test
