// The process-wide I/O engine: one thread waiting in epoll for the descriptors of ports that
// have an operation in the background, and for the deadlines ports set themselves.
//
// Each descriptor is registered with EPOLLONESHOT and armed only while its port needs to hear
// about it (a pending read or WaitCommEvent wants EPOLLIN|EPOLLRDHUP, output waiting for room
// wants EPOLLOUT). After each wake-up the descriptor stays disarmed until its port arms it
// again, so an idle or hung-up connection costs no wake-ups and can never make the engine spin.
//
// Deadlines: each registration may have one (Schedule replaces it, Cancel removes it). All of
// them share one timerfd in the epoll set, set to the earliest, so a port with nothing to do
// at a time costs nothing, and a port that never schedules never wakes the engine.
//
// The engine never holds a pointer to a port: epoll carries a registration id, looked up in a
// map of weak references at each wake-up, so a port that is gone is simply not found. The
// engine keeps a strong reference only while it runs one port's OnReady or OnTimer, and runs
// it without any engine lock held; a port may therefore be destroyed on the engine thread.
//
// Arming is epoll_ctl(EPOLL_CTL_MOD) from whichever thread changes the port's needs; the
// kernel applies it to the epoll_wait already in progress, so no extra wake-up channel is
// needed. The engine thread starts with the first registration, is detached, and the engine
// itself is never destroyed, so nothing has to be torn down in order at process exit.
//
// Locking: the engine's lock is taken inside a port's lock (Schedule, Cancel), never the
// other way round; callbacks run with no engine lock held.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace quodem::posix {

class IoEngine {
 public:
  using Clock = std::chrono::steady_clock;

  class Client {
   public:
    virtual ~Client() = default;
    // Runs on the engine thread after the armed descriptor reported `events` (epoll bits).
    // The descriptor is disarmed when this is called.
    virtual void OnReady(std::uint32_t events) = 0;
    // Runs on the engine thread once the deadline set with Schedule has come (the deadline is
    // gone by then). May also run late or, rarely, once after a Cancel that raced with it:
    // look at the state afresh.
    virtual void OnTimer() {}
  };

  static IoEngine& Instance();

  // Adds `fd` to the epoll set, disarmed. Returns the registration id, or 0 with errno set
  // (for example EPERM for a regular file, which epoll cannot watch).
  std::uint64_t Watch(int fd, std::weak_ptr<Client> client);
  // Arms the descriptor for one report of `events`. False with errno on failure.
  bool Arm(std::uint64_t id, int fd, std::uint32_t events);
  // Removes the descriptor and its deadline; call before closing it.
  void Forget(std::uint64_t id, int fd);

  // Sets the registration's one deadline (replacing an earlier one). False when the timer
  // could not be set (the deadline is then dropped).
  bool Schedule(std::uint64_t id, Clock::time_point when);
  void Cancel(std::uint64_t id);

 private:
  IoEngine();
  bool StartThread();
  void Run();
  // With lock_ held: points the timerfd at the earliest deadline (or disarms it).
  bool ArmTimerLocked();
  void RunDueTimers();

  int epoll_fd_ = -1;
  int timer_fd_ = -1;
  std::mutex lock_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Client>> clients_;
  std::uint64_t next_id_ = 1;
  bool thread_started_ = false;
  std::unordered_map<std::uint64_t, Clock::time_point> deadlines_;
  std::set<std::pair<Clock::time_point, std::uint64_t>> deadline_order_;
  bool timer_armed_ = false;
  Clock::time_point timer_set_for_{};
};

}  // namespace quodem::posix
