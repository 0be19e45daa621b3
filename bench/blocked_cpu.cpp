// Shows that a thread blocked in the system services' waits uses no CPU.
//
// For each wait, a thread blocks for about three seconds and is then released by the main
// thread. The blocked thread reads its own CPU clock (CLOCK_THREAD_CPUTIME_ID) just before it
// blocks and right after it wakes, so the figure covers exactly the wait. One more case looks
// at the whole process while a WaitCommEvent waits on a port whose peer has hung up: nothing
// can arrive any more, and neither the waiter nor the I/O engine may spin on the dead
// descriptor.
//
// Prints the CPU time and its share of the elapsed time for each case, and exits with 1 when
// any share reaches 1%.
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "quodem/platform/posix/descriptor_port.h"
#include "quodem/platform/system.h"

namespace {

using quodem::BOOL;
using quodem::DWORD;
using quodem::HANDLE;

constexpr auto kBlockFor = std::chrono::seconds(3);
constexpr double kLimitPercent = 1.0;

double ClockSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Measure {
  double cpu = 0;
  double elapsed = 0;
  bool ok = false;  // the wait ended the way the case expects
  double Percent() const { return elapsed > 0 ? 100.0 * cpu / elapsed : 100.0; }
};

// Runs `wait` on a new thread, measured on that thread's CPU clock; `release` runs on this
// thread after kBlockFor.
Measure BlockedThread(const std::function<bool()>& wait, const std::function<void()>& release) {
  Measure m;
  std::thread waiter([&] {
    const double cpu0 = ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double wall0 = ClockSeconds(CLOCK_MONOTONIC);
    m.ok = wait();
    m.cpu = ClockSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    m.elapsed = ClockSeconds(CLOCK_MONOTONIC) - wall0;
  });
  std::this_thread::sleep_for(kBlockFor);
  release();
  waiter.join();
  return m;
}

bool SocketPort(HANDLE* port, int* peer) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
  *port = quodem::posix::CreatePortFromDescriptor(sv[0]);
  *peer = sv[1];
  return *port != 0;
}

int failures = 0;

void Report(const char* name, const Measure& m, const char* scope) {
  const bool pass = m.ok && m.Percent() < kLimitPercent;
  if (!pass) ++failures;
  std::printf("%-52s %s CPU %8.3f ms over %6.3f s = %6.3f%%  %s%s\n", name, scope, m.cpu * 1e3,
              m.elapsed, m.Percent(), pass ? "ok" : "FAIL",
              m.ok ? "" : " (the wait did not end as expected)");
}

}  // namespace

int main() {
  std::printf("CPU used while blocked (limit %.1f%% of elapsed time)\n", kLimitPercent);

  {
    HANDLE port;
    int peer;
    if (!SocketPort(&port, &peer)) return 2;
    quodem::SetCommMask(port, quodem::EV_RXCHAR);
    Measure m = BlockedThread(
        [&] {
          DWORD word = 0;
          return quodem::WaitCommEvent(port, &word, nullptr) && word == quodem::EV_RXCHAR;
        },
        [&] { (void)!write(peer, "x", 1); });
    Report("WaitCommEvent until a byte arrives", m, "thread ");
    quodem::CloseHandle(port);
    close(peer);
  }

  {
    HANDLE port;
    int peer;
    if (!SocketPort(&port, &peer)) return 2;
    char buf[4];
    quodem::OVERLAPPED block;
    if (quodem::ReadFile(port, buf, sizeof buf, nullptr, &block) ||
        quodem::GetLastError() != quodem::ERROR_IO_PENDING) {
      return 2;
    }
    Measure m = BlockedThread(
        [&] {
          DWORD count = 0;
          return quodem::GetOverlappedResult(port, &block, &count, quodem::TRUE) && count == 4;
        },
        [&] { (void)!write(peer, "abcd", 4); });
    Report("GetOverlappedResult (waiting) until a read completes", m, "thread ");
    quodem::CloseHandle(port);
    close(peer);
  }

  {
    HANDLE event = quodem::CreateEventA(nullptr, quodem::TRUE, quodem::FALSE, nullptr);
    if (event == 0) return 2;
    Measure m = BlockedThread(
        [&] {
          return quodem::WaitForSingleObject(event, quodem::INFINITE) == quodem::WAIT_OBJECT_0;
        },
        [&] { quodem::SetEvent(event); });
    Report("WaitForSingleObject until the event is set", m, "thread ");
    quodem::CloseHandle(event);
  }

  {
    HANDLE port;
    int peer;
    if (!SocketPort(&port, &peer)) return 2;
    quodem::SetCommMask(port, quodem::EV_RXCHAR);
    close(peer);  // hung up before the wait: the wait must block, and nothing may spin
    const double cpu0 = ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    Measure m = BlockedThread(
        [&] {
          DWORD word = 1;
          return quodem::WaitCommEvent(port, &word, nullptr) && word == 0;
        },
        [&] { quodem::SetCommMask(port, quodem::EV_RXCHAR); });
    m.cpu = ClockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    Report("WaitCommEvent after the peer hung up (whole process)", m, "process");
    quodem::CloseHandle(port);
  }

  return failures == 0 ? 0 : 1;
}
