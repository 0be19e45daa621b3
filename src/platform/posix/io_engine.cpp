#include "platform/posix/io_engine.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace quodem::posix {

namespace {

// epoll data of the timerfd; registrations count from 1.
constexpr std::uint64_t kTimerEntry = 0;

}  // namespace

IoEngine& IoEngine::Instance() {
  // Never destroyed: ports may still be closed by threads that outlive static destruction.
  static IoEngine* engine = new IoEngine;
  return *engine;
}

IoEngine::IoEngine()
    : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)),
      timer_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (epoll_fd_ >= 0 && timer_fd_ >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kTimerEntry;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, &event) != 0) {
      close(timer_fd_);
      timer_fd_ = -1;
    }
  }
}

bool IoEngine::StartThread() {
  // The engine thread takes no signals: the host's handlers run on the host's threads.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    std::thread([this] { Run(); }).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) errno = EAGAIN;
  return started;
}

std::uint64_t IoEngine::Watch(int fd, std::weak_ptr<Client> client) {
  if (epoll_fd_ < 0) {
    errno = EMFILE;
    return 0;
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (!thread_started_) {
    if (!StartThread()) return 0;
    thread_started_ = true;
  }
  const std::uint64_t id = next_id_++;
  // Registered disarmed. The kernel still reports EPOLLHUP/EPOLLERR once on a disarmed
  // one-shot entry; the port ignores a report it did not ask for.
  epoll_event event{};
  event.events = EPOLLONESHOT;
  event.data.u64 = id;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
  clients_.emplace(id, std::move(client));
  return id;
}

bool IoEngine::Arm(std::uint64_t id, int fd, std::uint32_t events) {
  epoll_event event{};
  event.events = events | EPOLLONESHOT;
  event.data.u64 = id;
  return epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &event) == 0;
}

void IoEngine::Forget(std::uint64_t id, int fd) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    clients_.erase(id);
    auto it = deadlines_.find(id);
    if (it != deadlines_.end()) {
      deadline_order_.erase({it->second, id});
      deadlines_.erase(it);
    }
  }
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

bool IoEngine::Schedule(std::uint64_t id, Clock::time_point when) {
  std::lock_guard<std::mutex> guard(lock_);
  if (timer_fd_ < 0) return false;
  auto it = deadlines_.find(id);
  if (it != deadlines_.end()) {
    if (it->second == when) return true;
    deadline_order_.erase({it->second, id});
    it->second = when;
  } else {
    deadlines_.emplace(id, when);
  }
  deadline_order_.insert({when, id});
  if (ArmTimerLocked()) return true;
  deadline_order_.erase({when, id});
  deadlines_.erase(id);
  return false;
}

void IoEngine::Cancel(std::uint64_t id) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = deadlines_.find(id);
  if (it == deadlines_.end()) return;
  deadline_order_.erase({it->second, id});
  deadlines_.erase(it);
  // The timerfd may still fire for the cancelled deadline; the engine then finds nothing due
  // and sets it for the next one. Leaving it saves a system call on every cancel.
}

bool IoEngine::ArmTimerLocked() {
  if (deadline_order_.empty()) return true;
  const Clock::time_point earliest = deadline_order_.begin()->first;
  // Already set for this deadline or an earlier one: that wake-up looks at the list again.
  if (timer_armed_ && timer_set_for_ <= earliest) return true;
  const auto since_boot =
      std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch()).count();
  itimerspec deadline{};
  // An all-zero time would disarm the timer: the earliest a deadline can mean is 1 ns.
  deadline.it_value.tv_sec = static_cast<time_t>(since_boot / 1000000000);
  deadline.it_value.tv_nsec = static_cast<long>(since_boot % 1000000000);
  if (since_boot <= 0) deadline.it_value.tv_nsec = 1;
  if (timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &deadline, nullptr) != 0) return false;
  timer_armed_ = true;
  timer_set_for_ = earliest;
  return true;
}

void IoEngine::RunDueTimers() {
  std::uint64_t expirations = 0;
  [[maybe_unused]] ssize_t n = read(timer_fd_, &expirations, sizeof expirations);
  std::vector<std::shared_ptr<Client>> due;
  {
    std::lock_guard<std::mutex> guard(lock_);
    timer_armed_ = false;
    const Clock::time_point now = Clock::now();
    while (!deadline_order_.empty() && deadline_order_.begin()->first <= now) {
      const std::uint64_t id = deadline_order_.begin()->second;
      deadline_order_.erase(deadline_order_.begin());
      deadlines_.erase(id);
      auto it = clients_.find(id);
      if (it == clients_.end()) continue;
      if (std::shared_ptr<Client> client = it->second.lock()) due.push_back(std::move(client));
    }
    // A failure here would leave later deadlines unserved; there is nothing better to do than
    // to try again at the next wake-up, which every new deadline causes.
    ArmTimerLocked();
  }
  for (const std::shared_ptr<Client>& client : due) client->OnTimer();
}

void IoEngine::Run() {
  constexpr int kBatch = 64;
  epoll_event events[kBatch];
  for (;;) {
    const int n = epoll_wait(epoll_fd_, events, kBatch, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Only a corrupted epoll descriptor gets here; every pending operation would hang.
      std::abort();
    }
    for (int i = 0; i < n; ++i) {
      // epoll_event is packed on x86-64: its fields are copied out rather than bound to
      // references, which would be misaligned.
      const std::uint64_t id = events[i].data.u64;
      const std::uint32_t ready = events[i].events;
      if (id == kTimerEntry) {
        RunDueTimers();
        continue;
      }
      std::shared_ptr<Client> client;
      {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = clients_.find(id);
        if (it != clients_.end()) client = it->second.lock();
      }
      if (client) client->OnReady(ready);
    }
  }
}

}  // namespace quodem::posix
