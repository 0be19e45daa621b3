// The emulator as a terminal program meets it: the tool's emulate command with two or three
// modems calling each other over the local exchange, or a host over TCP, driven through the
// pseudo-terminals by a DTE of the test's own.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "interop/interop_support.h"

namespace quodem::interop {
namespace {

using Clock = std::chrono::steady_clock;

// Modem `a` calls `b`, which answers with ATA; both see CONNECT.
void Connect(Dte& a, Dte& b, const std::string& number) {
  a.Command("ATE0");
  b.Command("ATE0S0=0");
  a.Send("ATD" + number + "\r");
  b.Expect("\r\nRING\r\n");
  b.Send("ATA\r");
  b.Expect("\r\nCONNECT");
  a.Expect("\r\nCONNECT");
  a.Expect("\r\n");
  b.Expect("\r\n");
}

TEST(Emulator, CallCarriesEveryByteBothWaysAndEscapeKeepsTheCall) {
  EmulatorProcess emulator({"101", "102"});
  Dte a(emulator.Path("101"));
  Dte b(emulator.Path("102"));
  Connect(a, b, "102");
  std::string all;
  for (int i = 0; i < 4096; ++i) all += static_cast<char>(i * 7 + i / 256);
  const std::string data = all + "+++\r\nNO CARRIER\r\nATH0\r\n";
  a.Send(data);
  EXPECT_TRUE(b.ReadExactly(data.size()) == data);
  b.Send(data);
  EXPECT_TRUE(a.ReadExactly(data.size()) == data);
  // The escape: silence, +++ (which reaches the far end), silence, OK; the call stays.
  std::this_thread::sleep_for(kEscapePause);
  a.Send("+++");
  a.Expect("\r\nOK\r\n");
  EXPECT_EQ(b.ReadExactly(3), "+++");
  a.Command("ATS12?", "050");
  a.Send("ATO\r");
  a.Expect("\r\nCONNECT 57600\r\n");
  b.Send("still there");
  EXPECT_EQ(a.ReadExactly(11), "still there");
  std::this_thread::sleep_for(kEscapePause);
  a.Send("+++");
  a.Expect("\r\nOK\r\n");
  a.Command("ATH");
  // b keeps carrier ignored (CLOCAL): it is told in words, and can dial again.
  b.Expect("\r\nNO CARRIER\r\n");
  b.Command("AT");
}

TEST(Emulator, BusyWhenTheNumberIsInACallNoCarrierWhenNobodyHoldsIt) {
  EmulatorProcess emulator({"101", "102", "103"});
  Dte a(emulator.Path("101"));
  Dte b(emulator.Path("102"));
  Dte c(emulator.Path("103"));
  Connect(b, c, "103");
  a.Command("ATE0X4");
  a.Send("ATD102\r");
  a.Expect("\r\nBUSY\r\n");
  a.Send("ATD103\r");
  a.Expect("\r\nBUSY\r\n");
  a.Send("ATD5550199\r");
  a.Expect("\r\nNO CARRIER\r\n");
  // X0 does not tell busy apart.
  a.Send("ATX0D102\r");
  a.Expect("\r\nNO CARRIER\r\n");
  // Dialling its own number: busy, as the line is taken by the dial itself.
  a.Send("ATX4D101\r");
  a.Expect("\r\nBUSY\r\n");
}

TEST(Emulator, AnyCharacterAbortsTheDialAndS0AnswersWithoutTheDte) {
  EmulatorProcess emulator({"101", "102"});
  Dte a(emulator.Path("101"));
  Dte b(emulator.Path("102"));
  a.Command("ATE0");
  b.Command("ATE0S0=2");
  a.Send("ATD102\r\n");  // the LF after the CR is no abort
  b.Expect("\r\nRING\r\n");
  a.Send("x");
  a.Expect("\r\nNO CARRIER\r\n");
  a.Command("AT");
  // Until the exchange has told 102 that the caller gave up, 102 is still taken.
  ASSERT_TRUE(emulator.WaitForLog("102: the caller gave up"));
  // Auto-answer on the second ring (6 s apart).
  a.Send("ATD102\r");
  b.Expect("\r\nRING\r\n\r\nRING\r\n\r\nCONNECT");
  a.Expect("\r\nCONNECT");
}

TEST(Emulator, FarEndHangupHangsUpADeviceWithoutClocalAfterItsData) {
  EmulatorProcess emulator({"101", "102"});
  Dte a(emulator.Path("101"), /*local=*/false);
  Dte b(emulator.Path("102"));
  Connect(a, b, "102");
  // The far end sends and hangs up at once: the data arrives, then the device ends, with no
  // text after the data.
  const std::string last = "the last words " + std::string(20000, 'w');
  b.Send(last);
  // The escape's guard time counts from when the emulator last read data from b: only once
  // the data has crossed (a busy machine may take a while) does the silence begin.
  EXPECT_TRUE(a.ReadExactly(last.size()) == last);
  std::this_thread::sleep_for(kEscapePause);
  b.Send("+++");
  b.Expect("\r\nOK\r\n");
  b.Command("ATH");
  EXPECT_TRUE(a.WaitForHangup());
  a.Close();
  // The path works again for the next client.
  Dte again(emulator.Path("101"));
  again.Command("AT");
}

TEST(Emulator, DtrDropAndCloseHangUp) {
  EmulatorProcess emulator({"101", "102"});
  {
    Dte a(emulator.Path("101"));
    Dte b(emulator.Path("102"));
    Connect(a, b, "102");
    a.SetSpeed(B0);  // DTR off, as C-Kermit and cu hang up
    b.Expect("\r\nNO CARRIER\r\n");
    a.SetSpeed(B57600);
    a.Command("AT");
    Connect(a, b, "102");
    a.Close();  // the last close of the device drops DTR too
    b.Expect("\r\nNO CARRIER\r\n");
  }
}

TEST(Emulator, DtrDropWaitsForTheDataWrittenBeforeItAtALowRate) {
  // 16 KB at 1920 bytes/s take over eight seconds to cross: the device holds them, the DTE
  // drops DTR for a second and raises it again, as a hang-up does. The far end still gets
  // every byte, then the hang-up.
  EmulatorProcess emulator({"101", "102"}, {"--speed", "19200"});
  Dte a(emulator.Path("101"));
  Dte b(emulator.Path("102"));
  Connect(a, b, "102");
  const std::string data = tool::testing::RandomBytes(16 * 1024, 19);
  a.Send(data);
  a.SetSpeed(B0);
  std::this_thread::sleep_for(std::chrono::seconds(1));  // how long a hang-up holds DTR low
  a.SetSpeed(B57600);
  EXPECT_TRUE(b.ReadExactly(data.size()) == data);
  b.Expect("\r\nNO CARRIER\r\n");
  a.Expect("\r\nNO CARRIER\r\n");
}

TEST(Emulator, DialsAHostOverTcpAndReportsTheSpeedItPaces) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const int port = ntohs(address.sin_port);

  EmulatorProcess emulator({"101"}, {"--speed", "9600"});
  Dte a(emulator.Path("101"));
  a.Command("ATE0");
  a.Send("ATDT\"127.0.0.1:" + std::to_string(port) + "\"\r");
  a.Expect("\r\nCONNECT 9600\r\n");
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  // 1920 bytes at 960 bytes/s cannot arrive in much less than two seconds.
  const std::string data(1920, 'p');
  const auto start = Clock::now();
  ASSERT_EQ(write(peer, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  EXPECT_TRUE(a.ReadExactly(data.size()) == data);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1500));
  a.Send("to the host");
  char buffer[64];
  std::string got;
  while (got.size() < 11) {
    ssize_t n = read(peer, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, "to the host");
  close(peer);  // the host hangs up
  a.Expect("\r\nNO CARRIER\r\n");
  close(listener);
  // A host that refuses.
  a.Send("ATD127.0.0.1:" + std::to_string(port) + "\r");
  a.Expect("\r\nNO CARRIER\r\n");
}

}  // namespace
}  // namespace quodem::interop
