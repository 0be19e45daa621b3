#include "platform/telephony/listener.h"

#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace quodem::telephony {
namespace {

// How long accepting pauses when descriptors or buffers have run out.
constexpr std::chrono::milliseconds kRetryAfter{200};

}  // namespace

bool Listener::Start(posix::UniqueFd fd, Accepted on_accepted) {
  Close();
  fd_ = std::move(fd);
  on_accepted_ = std::move(on_accepted);
  if (Watch()) return true;
  fd_.reset();
  return false;
}

void Listener::Close() {
  Detach().reset();
}

posix::UniqueFd Listener::Detach() {
  if (!fd_) return {};
  loop_.Unwatch(watch_);
  loop_.CancelTimer(retry_timer_);
  watch_ = 0;
  retry_timer_ = 0;
  return std::move(fd_);
}

bool Listener::Watch() {
  watch_ = loop_.Watch(fd_.get(), EPOLLIN, [this](std::uint32_t) { Accept(); });
  return watch_ != 0;
}

void Listener::Accept() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int fd = accept4(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        loop_.Unwatch(watch_);
        watch_ = 0;
        retry_timer_ = loop_.StartTimer(kRetryAfter, [this] {
          retry_timer_ = 0;
          Watch();
        });
      }
      return;
    }
    on_accepted_(fd, peer);
  }
}

}  // namespace quodem::telephony
