#include "platform/posix/io_engine.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <thread>

namespace quodem::posix {

IoEngine& IoEngine::Instance() {
  // Never destroyed: ports may still be closed by threads that outlive static destruction.
  static IoEngine* engine = new IoEngine;
  return *engine;
}

IoEngine::IoEngine() : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)) {}

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
  }
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
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
