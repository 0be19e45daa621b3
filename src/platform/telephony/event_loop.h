// The telephony service's event loop: descriptor readiness (epoll), timers and tasks posted
// from other threads, all run on the service's dispatcher thread.
//
// Locking: the loop belongs to the service, and every member except Post() and Wake() is
// used with the service lock held. Handlers run on the dispatcher thread with that lock held,
// so they may change any service state, but they must never block or call a telephony
// callback. Post() and Wake() take only a private lock and may be called from any thread,
// including from inside another component's callbacks (port observers).
//
// A watch is named by a token that is never reused. Readiness collected while the lock was
// free is matched to its token again under the lock, so a watch removed in the meantime
// (and a descriptor number reused by a new watch) never reaches a stale handler.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/posix/unique_fd.h"

namespace quodem::telephony {

class EventLoop {
 public:
  using Token = std::uint64_t;
  using Clock = std::chrono::steady_clock;
  using IoHandler = std::function<void(std::uint32_t events)>;
  using Task = std::function<void()>;

  // Throws std::system_error when epoll or the wake-up descriptor cannot be created.
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Level-triggered watch of `fd` for `events` (EPOLLIN, EPOLLOUT, EPOLLRDHUP...). The
  // descriptor must stay open until Unwatch. Returns 0 when epoll refuses the descriptor.
  Token Watch(int fd, std::uint32_t events, IoHandler handler);
  void Modify(Token token, std::uint32_t events);
  void Unwatch(Token token);  // 0 and unknown tokens are ignored

  Token StartTimer(std::chrono::milliseconds after, Task task);
  void CancelTimer(Token token);  // 0 and unknown tokens are ignored

  // Any thread, no service lock needed: the task runs later on the dispatcher thread with the
  // service lock held.
  void Post(Task task);
  // Any thread: makes a pending WaitForEvents return.
  void Wake();

  // Dispatcher thread only. Without the service lock: waits until a watched descriptor is
  // ready, a timer may be due or Wake() was called (timeout_ms -1: no limit).
  void WaitForEvents(int timeout_ms);
  // Dispatcher thread, service lock held: runs posted tasks, ready handlers and due timers.
  void Dispatch();
  // Service lock held: milliseconds until the next timer (-1 when none).
  int MillisecondsToNextTimer() const;

 private:
  struct Watched {
    int fd;
    std::shared_ptr<IoHandler> handler;
  };
  struct Timer {
    Clock::time_point due;
    std::shared_ptr<Task> task;
  };

  void RunPosted();
  void RunDueTimers();

  posix::UniqueFd epoll_fd_;
  posix::UniqueFd wake_fd_;
  Token next_token_ = 1;
  std::map<Token, Watched> watched_;
  std::map<Token, Timer> timers_;
  std::set<std::pair<Clock::time_point, Token>> timer_order_;
  // Filled by WaitForEvents (dispatcher thread only), consumed by Dispatch.
  std::vector<epoll_event> ready_;
  int ready_count_ = 0;

  std::mutex posted_lock_;
  std::vector<Task> posted_;
};

}  // namespace quodem::telephony
