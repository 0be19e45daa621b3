#include "platform/telephony/event_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quodem::telephony {
namespace {

constexpr EventLoop::Token kWakeToken = 0;
constexpr int kMaxEventsPerWait = 64;

}  // namespace

EventLoop::EventLoop() : ready_(kMaxEventsPerWait) {
  epoll_fd_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_fd_) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  wake_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeToken;
  if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, wake_fd_.get(), &ev) != 0) {
    throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
}

EventLoop::~EventLoop() {
  for (auto& [token, watched] : watched_) {
    epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, watched.fd, nullptr);
  }
}

EventLoop::Token EventLoop::Watch(int fd, std::uint32_t events, IoHandler handler) {
  Token token = next_token_++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return 0;
  watched_.emplace(token, Watched{fd, std::make_shared<IoHandler>(std::move(handler))});
  return token;
}

void EventLoop::Modify(Token token, std::uint32_t events) {
  auto it = watched_.find(token);
  if (it == watched_.end()) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  epoll_ctl(epoll_fd_.get(), EPOLL_CTL_MOD, it->second.fd, &ev);
}

void EventLoop::Unwatch(Token token) {
  auto it = watched_.find(token);
  if (it == watched_.end()) return;
  epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
  watched_.erase(it);
}

EventLoop::Token EventLoop::StartTimer(std::chrono::milliseconds after, Task task) {
  Token token = next_token_++;
  Clock::time_point due = Clock::now() + after;
  timers_.emplace(token, Timer{due, std::make_shared<Task>(std::move(task))});
  timer_order_.emplace(due, token);
  Wake();  // the dispatcher may be waiting with a later deadline
  return token;
}

void EventLoop::CancelTimer(Token token) {
  auto it = timers_.find(token);
  if (it == timers_.end()) return;
  timer_order_.erase({it->second.due, token});
  timers_.erase(it);
}

void EventLoop::Post(Task task) {
  {
    std::lock_guard<std::mutex> guard(posted_lock_);
    posted_.push_back(std::move(task));
  }
  Wake();
}

void EventLoop::Wake() {
  std::uint64_t one = 1;
  // A full counter (EAGAIN) still wakes the loop; nothing else can fail here.
  [[maybe_unused]] ssize_t n = write(wake_fd_.get(), &one, sizeof one);
}

void EventLoop::WaitForEvents(int timeout_ms) {
  int n;
  do {
    n = epoll_wait(epoll_fd_.get(), ready_.data(), static_cast<int>(ready_.size()), timeout_ms);
  } while (n < 0 && errno == EINTR);
  ready_count_ = n < 0 ? 0 : n;
}

void EventLoop::Dispatch() {
  RunPosted();
  int count = ready_count_;
  ready_count_ = 0;
  for (int i = 0; i < count; ++i) {
    Token token = ready_[i].data.u64;
    if (token == kWakeToken) {
      std::uint64_t value;
      [[maybe_unused]] ssize_t n = read(wake_fd_.get(), &value, sizeof value);
      continue;
    }
    auto it = watched_.find(token);
    if (it == watched_.end()) continue;  // removed after the wait returned
    // Keep the handler alive while it runs: it may remove its own watch.
    std::shared_ptr<IoHandler> handler = it->second.handler;
    (*handler)(ready_[i].events);
  }
  RunPosted();
  RunDueTimers();
}

int EventLoop::MillisecondsToNextTimer() const {
  if (timer_order_.empty()) return -1;
  auto left = timer_order_.begin()->first - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Round up so the loop never wakes just before the deadline and spins.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

void EventLoop::RunPosted() {
  std::vector<Task> tasks;
  {
    std::lock_guard<std::mutex> guard(posted_lock_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) task();
}

void EventLoop::RunDueTimers() {
  Clock::time_point now = Clock::now();
  while (!timer_order_.empty() && timer_order_.begin()->first <= now) {
    Token token = timer_order_.begin()->second;
    timer_order_.erase(timer_order_.begin());
    auto it = timers_.find(token);
    if (it == timers_.end()) continue;
    std::shared_ptr<Task> task = std::move(it->second.task);
    timers_.erase(it);
    (*task)();
  }
}

}  // namespace quodem::telephony
