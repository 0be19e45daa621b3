// The port's transmit queue on a socket pair: writes complete once their bytes are queued,
// a full queue makes a write wait for the far end, the queue reaches the descriptor in large
// writes, and purge, close, a hang-up and the end of the process each keep or drop exactly
// what they should.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "port_test_support.h"

extern char** environ;

namespace quodem::port_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kChunk = 255;

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 13 + i / 253);
  return data;
}

posix::Port& PortOf(HANDLE handle) {
  return *posix::HandleTable::Instance().FindAs<posix::Port>(handle);
}

// An OVERLAPPED block with an event of its own, so that waits on it can be bounded.
struct GuardedBlock {
  OVERLAPPED block;
  GuardedBlock() { block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~GuardedBlock() { CloseHandle(block.hEvent); }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;
  // The result once the transfer has ended; a transfer still running after the hang guard
  // fails the test and is aborted.
  BOOL Await(HANDLE port, DWORD* count) {
    if (WaitForSingleObject(block.hEvent, kGuardMs) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the transfer never ended";
      PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT);
    }
    return GetOverlappedResult(port, &block, count, FALSE);
  }
};

// Starts a write and returns its error at once (ERROR_SUCCESS when it completed); one that
// went pending is aborted, so nothing waits on a line that will not take it.
DWORD WriteNow(HANDLE port, const char* text) {
  OVERLAPPED block;
  DWORD count = 0;
  if (WriteFile(port, text, static_cast<DWORD>(std::strlen(text)), &count, &block)) {
    return ERROR_SUCCESS;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    PurgeComm(port, PURGE_TXABORT);
    GetOverlappedResult(port, &block, &count, TRUE);
  }
  return error;
}

// Reads from `fd` until the end of the stream (or a read fails: the socket's receive time-out
// guards against a hang).
std::string ReadToEnd(int fd, bool* ended) {
  timeval limit{static_cast<time_t>(kGuard.count()), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      *ended = n == 0;
      return out;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// Writes 255-byte pieces of `data` while they complete at once. Returns the bytes of the
// writes that did; `*pending` tells whether the next one went pending on `block`.
std::size_t WriteUntilPending(HANDLE port, const std::string& data, OVERLAPPED* block,
                              bool* pending, std::size_t* writes = nullptr) {
  std::size_t done = 0;
  std::size_t count_writes = 0;
  *pending = false;
  while (done + kChunk <= data.size()) {
    DWORD count = 0;
    ++count_writes;
    if (!WriteFile(port, data.data() + done, kChunk, &count, block)) {
      *pending = GetLastError() == ERROR_IO_PENDING;
      break;
    }
    EXPECT_EQ(kChunk, count);
    done += kChunk;
  }
  if (writes != nullptr) *writes = count_writes;
  return done;
}

class PortQueueTest : public SocketPortTest {
 protected:
  void SetUp() override { Reopen({}); }
  // A new pair whose far end gives up a read after the hang guard instead of blocking.
  void Reopen(const posix::PortOptions& options) {
    Open(options);
    timeval limit{static_cast<time_t>(kGuard.count()), 0};
    ASSERT_EQ(0, setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit));
  }
};

TEST_F(PortQueueTest, AFullQueueMakesAWriteWaitUntilTheFarEndReads) {
  const std::string data = Pattern(32u << 20);
  GuardedBlock block;
  bool pending = false;
  std::size_t writes = 0;
  const std::size_t before = WriteUntilPending(port, data, &block.block, &pending, &writes);
  ASSERT_TRUE(pending) << "the socket and the queue took " << before << " bytes";
  // Every write before completed at once with its bytes queued, and the queue is full now.
  COMSTAT stat;
  ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
  EXPECT_GE(stat.cbOutQue, PortOf(port).QueueCapacity());
  // The queue went to the socket in large writes, not one system call per write.
  EXPECT_LT(PortOf(port).DescriptorWrites() * 4, writes);

  const std::size_t total = before + kChunk;
  std::string received;
  std::thread reader([&] { received = PeerRead(total); });
  DWORD count = 0;
  EXPECT_TRUE(block.Await(port, &count));
  EXPECT_EQ(kChunk, count);
  reader.join();
  EXPECT_TRUE(received == data.substr(0, total));
}

TEST_F(PortQueueTest, BytesOfAShortBurstAllArriveWithoutAnotherWrite) {
  // The first write goes out at once; the others are queued and must not wait for more.
  for (const char* piece : {"a", "bc", "def"}) {
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(port, piece, static_cast<DWORD>(std::strlen(piece)), &count, nullptr));
  }
  EXPECT_EQ("abcdef", PeerRead(6));
}

TEST_F(PortQueueTest, PurgeAndCloseDeliverWhatWasAcceptedAndAbortTheRest) {
  const std::string data = Pattern(16u << 20);
  for (const bool purge_first : {true, false}) {
    SCOPED_TRACE(purge_first ? "purge, then close" : "close with the write pending");
    Reopen({});
    OVERLAPPED block;
    DWORD count = 0;
    ASSERT_FALSE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &count, &block));
    ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
    if (purge_first) {
      ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
      EXPECT_FALSE(GetOverlappedResult(port, &block, &count, FALSE));
      EXPECT_EQ(ERROR_OPERATION_ABORTED, GetLastError());
      // The accepted bytes are still queued: a purge does not take them back.
      COMSTAT stat;
      ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
      EXPECT_EQ(PortOf(port).QueueCapacity(), stat.cbOutQue);
      ASSERT_TRUE(CloseHandle(port));
    } else {
      BOOL ok = TRUE;
      DWORD error = 0;
      std::thread waiter([&] {
        ok = GetOverlappedResult(port, &block, &count, TRUE);
        error = GetLastError();
      });
      AwaitBlocked(port, 1);
      ASSERT_TRUE(CloseHandle(port));
      waiter.join();
      EXPECT_FALSE(ok);
      EXPECT_EQ(ERROR_OPERATION_ABORTED, error);
    }
    port = 0;
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, data.size());
    // Exactly the accepted bytes arrive, then the end of the stream.
    bool ended = false;
    const std::string received = ReadToEnd(peer, &ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(count, received.size());
    EXPECT_TRUE(received == data.substr(0, count));
  }
}

TEST_F(PortQueueTest, AHangUpByTheFarEndFailsAQueuedWrite) {
  const std::string data = Pattern(16u << 20);
  for (const bool closes : {true, false}) {
    SCOPED_TRACE(closes ? "the far end closes" : "the far end shuts its side down");
    Reopen({});
    GuardedBlock block;
    DWORD count = 0;
    ASSERT_FALSE(
        WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &count, &block.block));
    ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
    if (closes) {
      ClosePeer();
    } else {
      // The hang-up shows when the port reads the end of the stream.
      shutdown(peer, SHUT_WR);
      char c;
      EXPECT_FALSE(ReadFile(port, &c, 1, &count, nullptr));
      EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
    }
    EXPECT_FALSE(block.Await(port, &count));
    EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
    EXPECT_LT(count, data.size());
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(0u, stat.cbOutQue);  // nothing left that could still go
    EXPECT_EQ(ERROR_BROKEN_PIPE, WriteNow(port, "x"));
  }
}

TEST_F(PortQueueTest, OutputWatchHearsWhenAcceptedOutputHasGone) {
  const std::string data = Pattern(32u << 20);
  for (const bool reads : {true, false}) {
    SCOPED_TRACE(reads ? "the far end reads" : "the far end never reads, the port is closed");
    posix::PortOptions options;
    options.output_watch = std::make_shared<posix::OutputWatch>();
    Reopen(options);
    EXPECT_FALSE(options.output_watch->CallWhenDrained([] {}));  // nothing queued yet
    GuardedBlock block;
    bool pending = false;
    const std::size_t before = WriteUntilPending(port, data, &block.block, &pending);
    ASSERT_TRUE(pending);

    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    ASSERT_TRUE(options.output_watch->CallWhenDrained([&] {
      // Notified under the lock: the waiter may end the round (and these) once it is free.
      std::lock_guard<std::mutex> hold(lock);
      ++calls;
      changed.notify_all();
    }));
    std::string received;
    bool ended = false;
    if (reads) {
      std::thread reader([&] { received = PeerRead(before + kChunk); });
      DWORD count = 0;
      EXPECT_TRUE(block.Await(port, &count));
      reader.join();
      EXPECT_EQ(before + kChunk, received.size());
    } else {
      // Closed, the port waits for the stalled far end only so long, then lets go: the
      // descriptor closes without the queued bytes.
      ASSERT_TRUE(CloseHandle(port));
      port = 0;
      std::unique_lock<std::mutex> hold(lock);
      EXPECT_TRUE(changed.wait_for(hold, kGuard, [&] { return calls > 0; }));
      hold.unlock();
      received = ReadToEnd(peer, &ended);
      EXPECT_TRUE(ended);
      EXPECT_LT(received.size(), before);
      EXPECT_TRUE(received == data.substr(0, received.size()));
    }
    std::unique_lock<std::mutex> hold(lock);
    EXPECT_TRUE(changed.wait_for(hold, kGuard, [&] { return calls > 0; }));
    EXPECT_EQ(1, calls);
  }
}

TEST_F(PortQueueTest, WritesRacingACloseDeliverExactlyWhatWasAccepted) {
  // A writer of small pieces, a reader at the far end and a close from a third thread: the
  // far end gets precisely the bytes the writes reported as handed over, in order.
  const std::string data = Pattern(64u << 20);
  std::atomic<std::size_t> accepted{0};
  std::thread writer([&] {
    OVERLAPPED block;
    const HANDLE handle = port;
    for (std::size_t offset = 0; offset + kChunk <= data.size(); offset += kChunk) {
      DWORD count = 0;
      if (!WriteFile(handle, data.data() + offset, kChunk, &count, &block)) {
        if (GetLastError() != ERROR_IO_PENDING) break;
        const BOOL ok = GetOverlappedResult(handle, &block, &count, TRUE);
        accepted += count;
        if (!ok) break;
        continue;
      }
      accepted += count;
    }
  });
  std::string received;
  bool ended = false;
  std::thread reader([&] { received = ReadToEnd(peer, &ended); });
  while (accepted.load() < (1u << 20)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(CloseHandle(port));
  port = 0;
  writer.join();
  reader.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(accepted.load(), received.size());
  EXPECT_TRUE(received == data.substr(0, received.size()));
}

TEST_F(PortQueueTest, APacedPortSendsNoFasterThanItsRate) {
  constexpr std::uint32_t kRate = 20000;
  constexpr std::size_t kTotal = 30000;
  posix::PortOptions options;
  options.bytes_per_second = kRate;
  Reopen(options);
  // Half a second of line time: writes, and the progress reported after each, keep pace.
  EXPECT_EQ(kRate / 2, PortOf(port).QueueCapacity());

  const std::string data = Pattern(kTotal);
  std::string received;
  const Clock::time_point start = Clock::now();
  Clock::time_point last_write_done;
  std::thread writer([&] {
    GuardedBlock block;
    for (std::size_t offset = 0; offset < kTotal; offset += kChunk) {
      const DWORD n = static_cast<DWORD>(std::min<std::size_t>(kChunk, kTotal - offset));
      DWORD count = 0;
      if (!WriteFile(port, data.data() + offset, n, &count, &block.block)) {
        ASSERT_EQ(ERROR_IO_PENDING, GetLastError());
        ASSERT_TRUE(block.Await(port, &count));
      }
      ASSERT_EQ(n, count);
    }
    last_write_done = Clock::now();
  });
  received = PeerRead(kTotal);
  const Clock::time_point arrived = Clock::now();
  writer.join();
  EXPECT_TRUE(received == data);
  // Lower bounds only (a pace is a minimum time): the first slice may go at once.
  const double slice = kRate * 0.02;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  EXPECT_GE(seconds(arrived - start), (kTotal - slice) / kRate);
  EXPECT_GE(seconds(last_write_done - start), (kTotal - kRate / 2 - slice) / kRate);
}

TEST(PortQueueOnATerminal, HoldsHalfASecondAtTheLineSpeed) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  char name[128];
  ASSERT_EQ(0, ptsname_r(master, name, sizeof name));
  for (const auto& [code, capacity] : {std::pair{B115200, 5760u}, std::pair{B9600, 512u}}) {
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    termios mode;
    ASSERT_EQ(0, tcgetattr(slave, &mode));
    cfmakeraw(&mode);
    cfsetospeed(&mode, code);
    ASSERT_EQ(0, tcsetattr(slave, TCSANOW, &mode));
    const HANDLE port = posix::OpenSerialPort(name);
    close(slave);
    ASSERT_NE(0u, port);
    EXPECT_EQ(capacity, PortOf(port).QueueCapacity());
    // Senders learn it as a Win32 program does, to size writes that complete at once.
    COMMPROP properties;
    ASSERT_TRUE(GetCommProperties(port, &properties));
    EXPECT_EQ(capacity, properties.dwCurrentTxQueue);
    CloseHandle(port);
    EXPECT_FALSE(GetCommProperties(port, &properties));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  }
  close(master);
}

// The child's side of QueuedOutputGoesOutBeforeTheProcessEnds: runs only when started by it.
TEST(PortExitChild, FillsTheQueueAndExits) {
  const char* socket_fd = std::getenv("QUODEM_EXIT_TEST_SOCKET");
  const char* report_fd = std::getenv("QUODEM_EXIT_TEST_REPORT");
  if (socket_fd == nullptr || report_fd == nullptr) GTEST_SKIP() << "run by its parent only";
  const HANDLE port = posix::CreatePortFromDescriptor(std::atoi(socket_fd));
  ASSERT_NE(0u, port);
  const std::string data = Pattern(32u << 20);
  OVERLAPPED block;
  bool pending = false;
  std::size_t accepted = WriteUntilPending(port, data, &block, &pending);
  ASSERT_TRUE(pending);
  // The pending write stops with what it handed over; the far end will not read until this
  // process is on its way out.
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT));
  DWORD count = 0;
  GetOverlappedResult(port, &block, &count, TRUE);
  accepted += count;
  const std::string report = std::to_string(accepted) + "\n";
  ASSERT_EQ(static_cast<ssize_t>(report.size()),
            write(std::atoi(report_fd), report.data(), report.size()));
  std::exit(0);  // with the port open and its queue full
}

TEST(PortExit, QueuedOutputGoesOutBeforeTheProcessEnds) {
  // The child inherits its end of the socket and of the report pipe, and nothing else.
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
  int report[2];
  ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
  ASSERT_EQ(0, fcntl(sv[1], F_SETFD, 0));
  ASSERT_EQ(0, fcntl(report[1], F_SETFD, 0));
  std::vector<std::string> env_text = {"QUODEM_EXIT_TEST_SOCKET=" + std::to_string(sv[1]),
                                       "QUODEM_EXIT_TEST_REPORT=" + std::to_string(report[1])};
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=PortExitChild.FillsTheQueueAndExits";
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(0, posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, env.data()));
  close(sv[1]);
  close(report[1]);

  std::string told;
  char c;
  while (read(report[0], &c, 1) == 1 && c != '\n') told += c;
  close(report[0]);
  ASSERT_FALSE(told.empty()) << "the child reported nothing";
  // The child is exiting now. Reading only a moment later gives a process that did not wait
  // for its queue the time to end without it; one that waits (up to the stall limit) loses
  // nothing however long this takes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  bool ended = false;
  const std::string received = ReadToEnd(sv[0], &ended);
  close(sv[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(ended);
  EXPECT_EQ(std::stoull(told), received.size());
  EXPECT_TRUE(received == Pattern(32u << 20).substr(0, received.size()));
}

}  // namespace
}  // namespace quodem::port_test
