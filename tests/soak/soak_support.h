// Shared by the soak tests and their peer program (tests/soak/peer/): what each call of a
// soak moves, the per-process resource probes, and a component whose calls a test can follow
// one by one.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quodem/component/quodem.h"

namespace quodem::soak {

using Bytes = std::vector<std::uint8_t>;

// Hang guard for every wait: generous, never a measurement.
constexpr auto kGuard = std::chrono::seconds(20);

// Under the sanitizers resident memory also holds their quarantine and shadow memory, so it
// is allowed to grow more (kRssSlackKib).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Deterministic bytes: both processes of a soak compute what the other must have received.
inline Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

// What call `call` carries in each direction. File sizes vary from call to call (0 included)
// so that chunking and the rest write are exercised with many lengths.
inline std::string DialerMessage(int call) {
  return "call " + std::to_string(call) + " from the dialer";
}
inline std::string AnswerMessage(int call) {
  return "answer to call " + std::to_string(call);
}
inline Bytes DialerFile(int call) {
  return Pattern(static_cast<std::size_t>((call * 7919) % 70000), static_cast<std::uint32_t>(call));
}
inline Bytes AnswerFile(int call) {
  return Pattern(static_cast<std::size_t>((call * 104729) % 50000),
                 static_cast<std::uint32_t>(1000000 + call));
}
constexpr const char* kDialerFileName = "from-dialer.bin";
constexpr const char* kAnswerFileName = "from-answerer.bin";

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline bool WriteFileBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

inline int CountEntries(const char* dir) {
  int count = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    }
    closedir(d);
  }
  return count;
}

// The soak's two processes talk in lines over a socket: "CALL n", "OK n", "FAIL n why",
// "QUIT", "RES ...". Reads are bounded by the guard.
inline bool SendLine(int fd, const std::string& line) {
  std::string text = line + "\n";
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}
// "" when the other side closed, failed or said nothing within the guard.
inline std::string ReadLine(int fd) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + kGuard;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return "";
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    if (c == '\n') return line;
    line += c;
  }
}

// Waits until `done` holds or a line can be read from `fd` (then read into `line`), at most
// the guard; checks every 10 ms. Returns true when `done` held.
template <typename Done>
bool WaitOrLine(Done&& done, int fd, std::string& line) {
  line.clear();
  const auto end = std::chrono::steady_clock::now() + kGuard;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) == 1) {
      line = ReadLine(fd);
      return false;
    }
  }
  return done();
}

// What a process holds: open descriptors, threads, resident memory.
struct Resources {
  int fds = 0;
  int threads = 0;
  long rss_kib = 0;
};

inline Resources Probe() {
  Resources r;
  r.fds = CountEntries("/proc/self/fd") - 1;  // the probe's own descriptor of the folder
  r.threads = CountEntries("/proc/self/task");
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) r.rss_kib = std::atol(line.c_str() + 6);
  }
  return r;
}

// How much a process may have grown between the two probes without counting as a leak.
// A worker thread that has finished with its component may still be exiting for a moment,
// hence one thread. Resident memory moves with the allocator's caches and, under the
// sanitizers, their quarantine and shadow memory.
constexpr int kFdSlack = 0;
constexpr int kThreadSlack = 1;
constexpr long kRssSlackKib = kSanitized ? 48 * 1024 : 4 * 1024;

inline bool WithinSlack(const Resources& before, const Resources& after) {
  return after.fds <= before.fds + kFdSlack && after.threads <= before.threads + kThreadSlack &&
         after.rss_kib <= before.rss_kib + kRssSlackKib;
}

// Probes until the process is back within the slack of `before` or the guard ends (threads
// that finished their work exit a moment later); returns the last probe.
inline Resources ProbeSettled(const Resources& before) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  Resources now = Probe();
  while (!WithinSlack(before, now) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = Probe();
  }
  return now;
}

inline std::string Describe(const Resources& r) {
  return std::to_string(r.fds) + " descriptors, " + std::to_string(r.threads) + " threads, " +
         std::to_string(r.rss_kib) + " KiB resident";
}

// Follows the calls of one component, one at a time: notes when the port of the current call
// was taken over and when the call reached the idle state, and collects what arrives.
// Handlers record under the lock and return; waits are bounded by the guard. Declare the
// tracker before the component, so that the component (whose workers raise the handlers)
// is destroyed first.
//
// Keeping a line waiting. The end of a call closes the line and restarts the session, so a
// host that keeps answering calls calls Wait from its csIdle handler: KeepWaiting does that.
// csIdle may be raised more than once for one ended call; a Wait on a line that is waiting
// already leaves it as it is (and keeps it open when its call ends), so no call offered at
// that moment is turned away.
class CallTracker {
 public:
  void Attach(TQuodem& modem) {
    modem.SetOnLineState([this](TQuodem* sender, CallState state) {
      const bool held = sender->CommHandle() != INVALID_HANDLE_VALUE;
      Change([&] {
        if (held) port_taken_ = true;
        if (state == csIdle) {
          idle_ = true;
          ended_ = ended_ || port_taken_;
          ++idle_runs_;
        }
        history_ +=
            std::string(history_.empty() ? "" : " ") + CallStateName(state) + (held ? "+port" : "");
      });
      if (state == csIdle && keep_waiting_.load()) sender->Wait();
    });
    modem.SetOnLineErr([this](TQuodem*, LONG code) { Change([&] { errors_.push_back(code); }); });
    modem.SetOnMsgReceive([this](TQuodem*, const char* buffer, DWORD size) {
      std::string text(buffer, size);
      const bool terminated = buffer[size] == 0;
      Change([&] { messages_.push_back(terminated ? text : text + " (not zero-terminated)"); });
    });
    modem.SetOnFileReceive(
        [this](TQuodem*, const std::string& path) { Change([&] { files_.push_back(path); }); });
  }

  // From now on every csIdle is followed by a Wait on the handler's thread (see above).
  void KeepWaiting(bool on) { keep_waiting_.store(on); }

  // Forgets the previous call's states; call before Dial or Wait.
  void BeginCall() {
    Change([&] {
      port_taken_ = idle_ = ended_ = false;
      history_.clear();
    });
  }
  // The states raised since BeginCall, for failure messages ("+port": raised while the
  // component held the port).
  std::string History() {
    std::lock_guard<std::mutex> lock(lock_);
    return history_;
  }
  // A state event raised while the component held the port: its reader runs.
  bool WaitPortTaken() {
    return Wait([&] { return port_taken_; });
  }
  // The call was connected (true), or it ended or failed before that (false); the guard
  // gives false too.
  bool WaitConnectedOrEnded() {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_for(lock, kGuard, [&] { return port_taken_ || idle_ || !errors_.empty(); });
    return port_taken_;
  }
  // Forgets an idle state seen so far: call once the current call is known to be under way
  // (its first bytes arrived), so that a late idle run of the previous call is not taken for
  // the end of this one.
  void ArmIdle() {
    Change([&] { idle_ = false; });
  }
  // The call has ended and the session has been restarted.
  bool WaitIdle() {
    return Wait([&] { return idle_; });
  }
  bool WaitReceived(std::size_t messages, std::size_t files) {
    return Wait([&] { return messages_.size() >= messages && files_.size() >= files; });
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(lock_);
    return messages_;
  }
  std::vector<std::string> Files() {
    std::lock_guard<std::mutex> lock(lock_);
    return files_;
  }
  // What a side of the soak watches for while the other side may give up the call.
  struct Snapshot {
    bool port_taken;
    bool idle;  // an idle state came since BeginCall
    bool ended;
    bool failed;  // a telephony error was reported
    std::size_t messages;
    std::size_t files;
  };
  Snapshot Now() {
    std::lock_guard<std::mutex> lock(lock_);
    return {port_taken_, idle_, ended_, !errors_.empty(), messages_.size(), files_.size()};
  }

  // How many times idle handling ran (raised csIdle) in all.
  int IdleRuns() {
    std::lock_guard<std::mutex> lock(lock_);
    return idle_runs_;
  }
  std::vector<LONG> Errors() {
    std::lock_guard<std::mutex> lock(lock_);
    return errors_;
  }

 private:
  template <typename F>
  void Change(F&& change) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      change();
    }
    changed_.notify_all();
  }
  template <typename F>
  bool Wait(F&& done) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kGuard, done);
  }

  std::mutex lock_;
  std::condition_variable changed_;
  bool port_taken_ = false;
  bool idle_ = false;
  bool ended_ = false;  // an idle state came after the port of this call was taken
  int idle_runs_ = 0;
  std::string history_;
  std::atomic<bool> keep_waiting_{false};
  std::vector<LONG> errors_;
  std::vector<std::string> messages_;
  std::vector<std::string> files_;
};

// A TQuodem that can wait until none of its reader workers runs any more.
class SoakQuodem : public TQuodem {
 public:
  // As every class derived from TQuodem must: no worker may call in while this part goes.
  ~SoakQuodem() override { StopWorkers(); }
  bool WaitReadersDone() {
    std::unique_lock<std::mutex> lock(FReaderLock);
    return FReadersDone.wait_for(lock, kGuard, [this] { return FLiveReaders == 0; });
  }
};

}  // namespace quodem::soak
