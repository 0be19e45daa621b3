// What an idle connected call costs: two processes, one waiting on a line and one dialing it,
// connect and then send nothing. Over the idle window this program reads each process's CPU
// time (user + system, all threads, from /proc/<pid>/stat) and prints it as a percentage of
// one core. A reader worker blocked in WaitCommEvent and an event worker blocked on its event
// should cost nothing; any polling shows up here.
//
//   idle_call [--seconds N] [--wait-line I] [--dial-line J] [--number TEXT]
//             [--dial-config FILE]
//
// Prints one line: "idle SECONDS WAITER_PERCENT DIALER_PERCENT". Exits 1 when the call could
// not be set up. The environment (QUODEM_EXCHANGE_DIR, QUODEM_CONFIG) chooses the lines;
// --dial-config gives the dialing process a configuration file of its own (a TCP line that
// must not listen on the waiting side's address).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "quodem/component/quodem.h"

namespace {

using namespace std::chrono_literals;

struct Options {
  double seconds = 5;
  int wait_line = 1;
  int dial_line = 0;
  std::string number = "102";
  std::string dial_config;
};

// Runs one side of the call in a child process. Reports 'L' once listening (waiter only),
// 'C' once connected, then blocks until the parent writes to (or closes) `control`.
[[noreturn]] void RunSide(bool waiter, const Options& options, int report, int control) {
  int status = 1;
  if (!waiter && !options.dial_config.empty())
    setenv("QUODEM_CONFIG", options.dial_config.c_str(), 1);
  {
    quodem::TQuodem modem;
    std::mutex lock;
    std::condition_variable changed;
    bool connected = false;
    modem.SetOnLineState([&](quodem::TQuodem*, quodem::CallState state) {
      std::lock_guard<std::mutex> guard(lock);
      if (state == quodem::csConnected) connected = true;
      changed.notify_all();
    });
    modem.SetOnLineErr([&](quodem::TQuodem*, quodem::LONG code) {
      std::fprintf(stderr, "idle_call (%s): telephony error 0x%08X\n", waiter ? "waiter" : "dialer",
                   static_cast<unsigned>(code));
    });
    if (waiter) {
      modem.SetLineIndex(options.wait_line);
      modem.Wait();
      if (write(report, "L", 1) != 1) std::_Exit(1);
    } else {
      modem.SetLineIndex(options.dial_line);
      modem.SetDialString(options.number);
      modem.Dial();
    }
    std::unique_lock<std::mutex> guard(lock);
    if (changed.wait_for(guard, 20s, [&] { return connected; })) {
      guard.unlock();
      if (write(report, "C", 1) == 1) {
        char c;
        (void)!read(control, &c, 1);
        status = 0;
      }
    } else {
      std::fprintf(stderr, "idle_call (%s): no connection within 20 s\n",
                   waiter ? "waiter" : "dialer");
    }
    modem.Cut();
  }
  std::_Exit(status);
}

struct Child {
  pid_t pid = -1;
  int report = -1;   // parent reads
  int control = -1;  // parent writes
};

Child Start(bool waiter, const Options& options) {
  int report[2], control[2];
  if (pipe(report) != 0 || pipe(control) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (pid == 0) {
    close(report[0]);
    close(control[1]);
    RunSide(waiter, options, report[1], control[0]);
  }
  close(report[1]);
  close(control[0]);
  return Child{pid, report[0], control[1]};
}

bool Expect(const Child& child, char what) {
  char c = 0;
  return read(child.report, &c, 1) == 1 && c == what;
}

// User + system clock ticks of every thread of the process.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name (field 2) may contain spaces; fields are counted after its ')'.
  auto close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream fields(text.substr(close_paren + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::atoll(field.c_str());
    if (index == 15) {
      stime = std::atoll(field.c_str());
      return utime + stime;
    }
  }
  return -1;
}

void Stop(Child& child) {
  if (child.pid < 0) return;
  close(child.control);
  int status = 0;
  for (int i = 0; i < 200; ++i) {  // up to 20 s for a clean hang-up, then kill
    if (waitpid(child.pid, &status, WNOHANG) == child.pid) return;
    std::this_thread::sleep_for(100ms);
  }
  kill(child.pid, SIGKILL);
  waitpid(child.pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--seconds")
      options.seconds = std::atof(argv[i + 1]);
    else if (name == "--wait-line")
      options.wait_line = std::atoi(argv[i + 1]);
    else if (name == "--dial-line")
      options.dial_line = std::atoi(argv[i + 1]);
    else if (name == "--number")
      options.number = argv[i + 1];
    else if (name == "--dial-config")
      options.dial_config = argv[i + 1];
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }

  Child waiter = Start(true, options);
  if (!Expect(waiter, 'L')) {
    std::fprintf(stderr, "idle_call: the waiting side did not start\n");
    Stop(waiter);
    return 1;
  }
  Child dialer = Start(false, options);
  bool ok = Expect(dialer, 'C') && Expect(waiter, 'C');
  if (!ok) {
    std::fprintf(stderr, "idle_call: the call did not connect\n");
    Stop(dialer);
    Stop(waiter);
    return 1;
  }
  // Let the connection's own start-up (takeover, reader start) settle first.
  std::this_thread::sleep_for(500ms);
  long long w0 = CpuTicks(waiter.pid), d0 = CpuTicks(dialer.pid);
  auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
  long long w1 = CpuTicks(waiter.pid), d1 = CpuTicks(dialer.pid);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  Stop(dialer);
  Stop(waiter);
  if (w0 < 0 || w1 < 0 || d0 < 0 || d1 < 0) {
    std::fprintf(stderr, "idle_call: cannot read /proc/<pid>/stat\n");
    return 1;
  }
  double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf("idle %.2f %.3f %.3f\n", elapsed, 100.0 * (w1 - w0) / tick / elapsed,
              100.0 * (d1 - d0) / tick / elapsed);
  return 0;
}
