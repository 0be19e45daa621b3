// Overlapped reads and writes on ports over real descriptors (socket pairs, ptys, a pipe):
// the fast path, going pending, completion, hang-up, purge, close and the fault injection.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "port_test_support.h"

namespace quodem::port_test {
namespace {

std::vector<char> Pattern(std::size_t size) {
  std::vector<char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  return data;
}

// Large enough to fill any socket or pty buffer, so a write of it has to wait.
constexpr std::size_t kHuge = 8u << 20;

using PortTransferTest = SocketPortTest;

TEST_F(PortTransferTest, WriteGoesPendingAndCompletesWhenThePeerDrains) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(0u, event);
  const std::vector<char> data = Pattern(kHuge);
  OVERLAPPED block;
  block.hEvent = event;
  DWORD written = 1;
  ASSERT_FALSE(WriteFile(port, data.data(), kHuge, &written, &block));
  ASSERT_EQ(ERROR_IO_PENDING, GetLastError());

  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &block, &count, FALSE));
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  COMSTAT stat;
  ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
  EXPECT_GT(stat.cbOutQue, 0u);
  EXPECT_LT(stat.cbOutQue, kHuge);

  std::string received;
  std::thread drain([&] { received = PeerRead(kHuge); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, kGuardMs));
  EXPECT_TRUE(GetOverlappedResult(port, &block, &count, FALSE));
  EXPECT_EQ(kHuge, count);
  drain.join();
  EXPECT_TRUE(received == std::string(data.begin(), data.end()));
  ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
  EXPECT_EQ(0u, stat.cbOutQue);
  CloseHandle(event);
}

TEST_F(PortTransferTest, TransfersTheDescriptorCanTakeCompleteAtOnceAndSetTheEvent) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED block;
  block.hEvent = event;
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(port, "hello", 5, &count, &block));
  EXPECT_EQ(5u, count);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ("hello", PeerRead(5));

  // Bytes already waiting: the read takes exactly what it asks for and leaves the rest.
  PeerWrite("0123456789");
  char buf[8] = {};
  ASSERT_TRUE(ReadFile(port, buf, 4, &count, &block));
  EXPECT_EQ(4u, count);
  EXPECT_EQ("0123", std::string(buf, 4));
  EXPECT_EQ(6u, InQueue());
  DWORD again = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &block, &again, FALSE));
  EXPECT_EQ(4u, again);

  // A read of nothing completes at once, whatever waits.
  ASSERT_TRUE(ReadFile(port, buf, 0, &count, &block));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(6u, InQueue());
  CloseHandle(event);
}

TEST_F(PortTransferTest, ReadCompletesOnlyWhenEveryRequestedByteHasArrived) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PeerWrite("abc");
  char buf[11];
  std::memset(buf, '#', sizeof buf);
  OVERLAPPED block;
  block.hEvent = event;
  DWORD count = 99;
  ASSERT_FALSE(ReadFile(port, buf, 10, &count, &block));
  ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
  EXPECT_FALSE(GetOverlappedResult(port, &block, &count, FALSE));
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

  PeerWrite("defg");
  EXPECT_FALSE(GetOverlappedResult(port, &block, &count, FALSE));  // 7 of 10 at most
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

  PeerWrite("hij");
  ASSERT_TRUE(GetOverlappedResult(port, &block, &count, TRUE));
  EXPECT_EQ(10u, count);
  EXPECT_EQ("abcdefghij#", std::string(buf, 11));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, kGuardMs));
  CloseHandle(event);
}

TEST_F(PortTransferTest, OnlyOneReadAtATimeAndForeignBlocksAreRefused) {
  PeerWrite("ab");
  char buf[4] = {};
  OVERLAPPED block;
  ASSERT_FALSE(ReadFile(port, buf, 4, nullptr, &block));
  ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
  char other[4];
  OVERLAPPED second;
  EXPECT_FALSE(ReadFile(port, other, 4, nullptr, &second));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  // Marked pending, but no transfer of this port uses it: waiting on it would never end.
  second.Internal = STATUS_PENDING;
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &second, &count, TRUE));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

  PeerWrite("cd");
  ASSERT_TRUE(GetOverlappedResult(port, &block, &count, TRUE));
  EXPECT_EQ("abcd", std::string(buf, 4));
}

TEST_F(PortTransferTest, PurgeEndsPendingTransfersWithTheCountAlreadyMoved) {
  HANDLE read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE write_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PeerWrite("abc");
  char buf[10];
  std::memset(buf, '#', sizeof buf);
  OVERLAPPED read_block;
  read_block.hEvent = read_event;
  ASSERT_FALSE(ReadFile(port, buf, 10, nullptr, &read_block));
  const std::vector<char> data = Pattern(kHuge);
  OVERLAPPED write_block;
  write_block.hEvent = write_event;
  ASSERT_FALSE(WriteFile(port, data.data(), kHuge, nullptr, &write_block));
  ASSERT_EQ(ERROR_IO_PENDING, GetLastError());

  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &read_block, &count, FALSE));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
  EXPECT_EQ(3u, count);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(read_event, 0));
  // The write is untouched by a read purge.
  EXPECT_FALSE(GetOverlappedResult(port, &write_block, &count, FALSE));
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetLastError());

  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
  EXPECT_FALSE(GetOverlappedResult(port, &write_block, &count, FALSE));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
  EXPECT_GT(count, 0u);
  EXPECT_LT(count, kHuge);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(write_event, 0));

  // After the purge returned, new bytes stay in the descriptor: the buffer is not touched.
  PeerWrite("xyz");
  EXPECT_EQ("abc#######", std::string(buf, 10));
  EXPECT_EQ(3u, InQueue());
  EXPECT_FALSE(PurgeComm(port, 0x10));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  CloseHandle(read_event);
  CloseHandle(write_event);
}

TEST_F(PortTransferTest, CloseEndsAPendingReadAndWakesItsWaiter) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PeerWrite("abc");
  char buf[10];
  OVERLAPPED block;
  block.hEvent = event;
  ASSERT_FALSE(ReadFile(port, buf, 10, nullptr, &block));
  BOOL ok = TRUE;
  DWORD error = 0;
  DWORD count = 0;
  std::thread waiter([&] {
    ok = GetOverlappedResult(port, &block, &count, TRUE);
    error = GetLastError();
  });
  AwaitBlocked(port, 1);
  const HANDLE closed = port;
  ASSERT_TRUE(CloseHandle(closed));
  port = 0;
  waiter.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(ERROR_OPERATION_ABORTED, error);
  EXPECT_EQ(3u, count);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_FALSE(GetOverlappedResult(closed, &block, &count, FALSE));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  // Nobody uses the port any more, so its descriptor is closed: the peer sees end of stream.
  char c;
  EXPECT_EQ(0, read(peer, &c, 1));
  CloseHandle(event);
}

TEST_F(PortTransferTest, HangUpEndsAPendingReadAndEveryLaterReadFailsAtOnce) {
  PeerWrite("abc");
  char buf[10] = {};
  OVERLAPPED block;
  ASSERT_FALSE(ReadFile(port, buf, 10, nullptr, &block));
  ClosePeer();
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &block, &count, TRUE));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(3u, count);
  EXPECT_EQ("abc", std::string(buf, 3));
  ASSERT_TRUE(observer->AwaitHangup());

  count = 7;
  EXPECT_FALSE(ReadFile(port, buf, 10, &count, &block));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(0u, count);
  EXPECT_FALSE(ReadFile(port, buf, 1, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(1, observer->Hangups());
}

TEST_F(PortTransferTest, HangUpIsReportedOnceAndOnlyAfterTheLastByteWasRead) {
  PeerWrite("hello");
  ClosePeer();
  char buf[8];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port, buf, 2, &count, nullptr));
  EXPECT_EQ(0, observer->Hangups());
  EXPECT_EQ(3u, InQueue());
  ASSERT_TRUE(ReadFile(port, buf, 3, &count, nullptr));
  EXPECT_EQ("llo", std::string(buf, 3));
  EXPECT_EQ(0, observer->Hangups());
  EXPECT_FALSE(ReadFile(port, buf, 1, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(1, observer->Hangups());
  EXPECT_FALSE(ReadFile(port, buf, 1, &count, nullptr));
  EXPECT_EQ(1, observer->Hangups());
}

TEST_F(PortTransferTest, BlockingFormsWaitForCompletion) {
  char buf[4] = {};
  DWORD count = 0;
  BOOL ok = FALSE;
  std::thread reader([&] { ok = ReadFile(port, buf, 4, &count, nullptr); });
  AwaitBlocked(port, 1);
  PeerWrite("ab");
  PeerWrite("cd");
  reader.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(4u, count);
  EXPECT_EQ("abcd", std::string(buf, 4));

  const std::vector<char> data = Pattern(kHuge);
  std::thread writer([&] { ok = WriteFile(port, data.data(), kHuge, &count, nullptr); });
  EXPECT_TRUE(PeerRead(kHuge) == std::string(data.begin(), data.end()));
  writer.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(kHuge, count);
}

TEST_F(PortTransferTest, WritesToAHungUpPeerFailWithoutKillingTheProcess) {
  ClosePeer();
  DWORD count = 5;
  OVERLAPPED block;
  EXPECT_FALSE(WriteFile(port, "x", 1, &count, &block));
  EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
  EXPECT_EQ(0u, count);

  // A pipe whose reader is gone would raise SIGPIPE.
  int fds[2];
  ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
  close(fds[0]);
  HANDLE pipe_port = posix::CreatePortFromDescriptor(fds[1]);
  ASSERT_NE(0u, pipe_port);
  EXPECT_FALSE(WriteFile(pipe_port, "x", 1, &count, nullptr));
  EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
  CloseHandle(pipe_port);
}

TEST_F(PortTransferTest, DroppingAfterAByteCountCutsTheLineThere) {
  posix::PortOptions options;
  options.drop_after_bytes_read = 10;
  Open(options);
  PeerWrite("0123456789abcdefghij");
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port, buf, 6, &count, nullptr));
  EXPECT_EQ(0, observer->Hangups());
  std::memset(buf, '#', sizeof buf);
  EXPECT_FALSE(ReadFile(port, buf, 6, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(4u, count);
  EXPECT_EQ("6789##", std::string(buf, 6));  // not one byte past the limit
  EXPECT_EQ(1, observer->Hangups());
  EXPECT_EQ(0u, InQueue());
  EXPECT_FALSE(ReadFile(port, buf, 1, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  // The socket is shut down both ways: the peer sees the line drop too.
  char c;
  EXPECT_EQ(0, read(peer, &c, 1));
  EXPECT_FALSE(WriteFile(port, "x", 1, &count, nullptr));
  EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
}

TEST_F(PortTransferTest, ManyTransfersBetweenTwoPortsArriveIntact) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  HANDLE a = posix::CreatePortFromDescriptor(sv[0]);
  HANDLE b = posix::CreatePortFromDescriptor(sv[1]);
  ASSERT_NE(0u, a);
  ASSERT_NE(0u, b);
  constexpr std::size_t kTotal = 3u << 20;
  const std::vector<char> data = Pattern(kTotal);
  std::thread writer([&] {
    OVERLAPPED block;
    std::size_t sent = 0;
    for (std::size_t chunk = 1; sent < kTotal; chunk = chunk * 3 % 70001 + 1) {
      const DWORD n = static_cast<DWORD>(std::min(chunk, kTotal - sent));
      DWORD count = 0;
      if (!WriteFile(a, data.data() + sent, n, &count, &block)) {
        ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
        ASSERT_TRUE(GetOverlappedResult(a, &block, &count, TRUE));
      }
      ASSERT_EQ(n, count);
      sent += n;
    }
  });
  std::vector<char> received(kTotal);
  OVERLAPPED block;
  std::size_t got = 0;
  for (std::size_t chunk = 5; got < kTotal; chunk = chunk * 7 % 50021 + 1) {
    const DWORD n = static_cast<DWORD>(std::min(chunk, kTotal - got));
    DWORD count = 0;
    if (!ReadFile(b, received.data() + got, n, &count, &block)) {
      ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
      ASSERT_TRUE(GetOverlappedResult(b, &block, &count, TRUE));
    }
    ASSERT_EQ(n, count);
    got += n;
  }
  writer.join();
  EXPECT_TRUE(received == data);
  CloseHandle(a);
  CloseHandle(b);
}

// A pty pair: the slave opened as a serial port, in raw mode.
class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    char name[128];
    ASSERT_EQ(0, ptsname_r(master, name, sizeof name));
    slave_path = name;
  }
  void TearDown() override {
    if (master >= 0) close(master);
  }
  static void MakeRaw(int fd) {
    termios mode;
    ASSERT_EQ(0, tcgetattr(fd, &mode));
    cfmakeraw(&mode);
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &mode));
  }

  int master = -1;
  std::string slave_path;
};

TEST_F(PtyPortTest, SerialPortOnAPtySlaveMovesBytesAndSeesTheHangUp) {
  HANDLE port = posix::OpenSerialPort(slave_path);
  ASSERT_NE(0u, port) << GetLastError();
  int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  MakeRaw(slave);
  close(slave);

  ASSERT_EQ(4, write(master, "ping", 4));
  char buf[4];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port, buf, 4, &count, nullptr));
  EXPECT_EQ("ping", std::string(buf, 4));
  ASSERT_TRUE(WriteFile(port, "pong", 4, &count, nullptr));
  char back[4];
  ASSERT_EQ(4, read(master, back, 4));
  EXPECT_EQ("pong", std::string(back, 4));

  // A pty has no modem lines; the request is still recorded.
  EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
  EXPECT_TRUE(posix::HandleTable::Instance().FindAs<posix::Port>(port)->DtrRaised());

  close(master);
  master = -1;
  EXPECT_FALSE(ReadFile(port, buf, 1, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  CloseHandle(port);
}

TEST_F(PtyPortTest, PendingWriteOnAPtyMasterFailsWhenTheSlaveGoes) {
  int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  MakeRaw(slave);
  auto observer = std::make_shared<RecordingObserver>();
  HANDLE port = posix::CreatePortFromDescriptor(master, observer);
  master = -1;  // the port owns it now
  ASSERT_NE(0u, port);
  const std::vector<char> data = Pattern(1u << 20);
  OVERLAPPED block;
  ASSERT_FALSE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, &block));
  ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
  close(slave);
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &block, &count, TRUE));
  EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
  EXPECT_LT(count, data.size());
  char c;
  EXPECT_FALSE(ReadFile(port, &c, 1, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(1, observer->Hangups());
  CloseHandle(port);
}

// The far side writes and hangs up at once. A pty hands bytes over through a kernel work
// queue, so at the moment the hang-up shows the bytes may not be countable yet: they must
// still wake the wait and be read before the hang-up is reported.
TEST_F(PtyPortTest, BytesSentJustBeforeTheHangUpAreNotLost) {
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    if (master < 0) SetUp();
    int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    MakeRaw(slave);
    auto observer = std::make_shared<RecordingObserver>();
    HANDLE port = posix::CreatePortFromDescriptor(master, observer);
    master = -1;
    ASSERT_NE(0u, port);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_EQ(3, write(slave, "abc", 3));
    close(slave);
    // Only if the wait wrongly took the hang-up for the end of everything does it block;
    // the guard then releases it so the test fails instead of hanging.
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    std::thread guard([&] {
      std::unique_lock<std::mutex> hold(lock);
      if (!cv.wait_for(hold, kGuard, [&] { return done; })) SetCommMask(port, EV_RXCHAR);
    });
    DWORD word = 0;
    const BOOL woke = WaitCommEvent(port, &word, nullptr);
    {
      std::lock_guard<std::mutex> hold(lock);
      done = true;
    }
    cv.notify_all();
    guard.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(EV_RXCHAR, word);
    char buf[3];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(port, buf, 3, &count, nullptr));
    EXPECT_EQ("abc", std::string(buf, count));
    EXPECT_EQ(0, observer->Hangups());
    EXPECT_FALSE(ReadFile(port, buf, 1, &count, nullptr));
    EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
    EXPECT_EQ(1, observer->Hangups());
    CloseHandle(port);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quodem::port_test
