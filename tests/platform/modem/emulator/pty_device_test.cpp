// The emulator's pseudo-terminal as a client program meets it: settings changes and B0 seen
// through packet mode, a close seen as the client gone, and carrier loss (a new device at the
// same path, then the old one hung up), also for a client that reopens the path at once.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/telephony/modem/emulator/pty_device.h"

namespace quodem::telephony::modem::emulator {
namespace {

std::string LinkPath(const std::string& name) {
  const char* root = std::getenv("QUODEM_TEST_ROOT");
  return std::string(root != nullptr ? root : "/tmp") + "/" + name;
}

// Reads from the master until something other than "would block" comes (bounded).
PtyDevice::ReadResult NextEvent(PtyDevice& pty) {
  for (int i = 0; i < 100; ++i) {
    PtyDevice::ReadResult r = pty.Read(256);
    if (r.kind != PtyDevice::ReadResult::Kind::kWouldBlock) return r;
    pollfd p{pty.fd(), POLLIN, 0};
    poll(&p, 1, 100);
  }
  return {};
}

int OpenClient(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

TEST(PtyDevice, SeesSettingsDataAndCloseOfItsClient) {
  const std::string link = LinkPath("ttyP1");
  PtyDevice pty(link, 0600);
  EXPECT_EQ(std::filesystem::read_symlink(link), pty.SlavePath());
  EXPECT_FALSE(pty.ClientPresent());
  EXPECT_EQ(pty.Write("lost"), -1);  // nobody there: nothing is kept for a later client

  int client = OpenClient(link);
  ASSERT_GE(client, 0);
  EXPECT_TRUE(pty.ClientPresent());
  char buffer[16];
  EXPECT_EQ(read(client, buffer, sizeof buffer), -1);  // "lost" did not wait for it
  termios t{};
  tcgetattr(client, &t);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // raw from the start
  EXPECT_EQ(t.c_cflag & CLOCAL, 0u);
  cfsetospeed(&t, B0);
  tcsetattr(client, TCSANOW, &t);
  EXPECT_EQ(NextEvent(pty).kind, PtyDevice::ReadResult::Kind::kSettingsChanged);
  termios seen = pty.Settings();
  EXPECT_EQ(cfgetospeed(&seen), B0);
  EXPECT_TRUE(pty.ExtendedProcessing());

  ASSERT_EQ(write(client, "AT\r", 3), 3);
  PtyDevice::ReadResult data = NextEvent(pty);
  EXPECT_EQ(data.kind, PtyDevice::ReadResult::Kind::kData);
  EXPECT_EQ(data.data, "AT\r");
  EXPECT_EQ(pty.Write("\r\nOK\r\n"), 6);
  // The kernel hands what the master took to the client's input a moment later.
  std::size_t unread = 0;
  for (int i = 0; i < 200 && unread == 0; ++i) {
    unread = pty.UnreadByClient();
    if (unread == 0) poll(nullptr, 0, 10);
  }
  EXPECT_EQ(unread, 6u);

  close(client);
  EXPECT_EQ(NextEvent(pty).kind, PtyDevice::ReadResult::Kind::kClientGone);
  EXPECT_FALSE(pty.ClientPresent());
}

void ExpectHungUp(int client) {
  char buffer[16];
  ssize_t n = -1;
  for (int i = 0; i < 100; ++i) {
    n = read(client, buffer, sizeof buffer);
    if (!(n < 0 && errno == EAGAIN)) break;
    pollfd p{client, POLLIN, 0};
    poll(&p, 1, 100);
  }
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << "read gave " << n;
  EXPECT_EQ(write(client, "x", 1), -1);
}

TEST(PtyDevice, HangUpEndsTheClientAndThePathWorksAgain) {
  const std::string link = LinkPath("ttyP2");
  {
    PtyDevice pty(link, 0600);
    const std::string first = pty.SlavePath();
    int client = OpenClient(link);
    ASSERT_GE(client, 0);
    pty.HangUp();
    ExpectHungUp(client);
    close(client);
    EXPECT_FALSE(pty.ClientPresent());
    EXPECT_NE(pty.SlavePath(), first);
    EXPECT_FALSE(std::filesystem::exists(first));  // the old device is gone
    EXPECT_EQ(std::filesystem::read_symlink(link), pty.SlavePath());
    // The next client finds a raw line again and is heard.
    client = OpenClient(link);
    ASSERT_GE(client, 0);
    termios t{};
    tcgetattr(client, &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    ASSERT_EQ(write(client, "ATZ\r", 4), 4);
    PtyDevice::ReadResult r = NextEvent(pty);
    while (r.kind == PtyDevice::ReadResult::Kind::kSettingsChanged) r = NextEvent(pty);
    EXPECT_EQ(r.data, "ATZ\r");
    close(client);
  }
  EXPECT_FALSE(std::filesystem::exists(link));  // removed with the device
}

// A client that reopens the path the moment its device is hung up (mgetty respawned, a script
// that redials) is a new client: the device it finds is set up, its own settings stay and what
// it types is heard. The hanging-up side runs at idle priority on the client's CPU, so the
// client runs as soon as it can see the hang-up, as on a busy machine.
TEST(PtyDevice, AClientThatReopensAtOnceAfterAHangUpIsHeard) {
  const std::string link = LinkPath("ttyP4");
  PtyDevice pty(link, 0600);
  int old_client = OpenClient(link);
  ASSERT_GE(old_client, 0);
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);

  int new_client = -1;
  std::thread client([&] {
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    pollfd p{old_client, POLLIN, 0};
    char byte;
    while (poll(&p, 1, 10000) > 0) {  // until the device ends (bounded against a hang)
      ssize_t n = read(old_client, &byte, 1);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    }
    new_client = OpenClient(link);
    if (new_client < 0) return;
    termios t{};
    tcgetattr(new_client, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL;
    tcsetattr(new_client, TCSANOW, &t);
    [[maybe_unused]] ssize_t n = write(new_client, "AT\r", 3);
  });
  std::thread hanging_up([&] {
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    sched_param idle{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
    pty.HangUp();
  });
  hanging_up.join();
  client.join();
  close(old_client);
  ASSERT_GE(new_client, 0) << std::strerror(errno);
  EXPECT_TRUE(pty.ClientPresent());
  EXPECT_NE(pty.Settings().c_cflag & CLOCAL, 0u);  // the client's settings, not the defaults
  PtyDevice::ReadResult r = NextEvent(pty);
  while (r.kind == PtyDevice::ReadResult::Kind::kSettingsChanged) r = NextEvent(pty);
  EXPECT_EQ(r.kind, PtyDevice::ReadResult::Kind::kData);
  EXPECT_EQ(r.data, "AT\r");
  close(new_client);
}

TEST(PtyDevice, RefusesAPathThatIsNoLink) {
  const std::string path = LinkPath("plain-file");
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f) std::fclose(f);
  }
  EXPECT_THROW(PtyDevice(path, 0600), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

}  // namespace
}  // namespace quodem::telephony::modem::emulator
