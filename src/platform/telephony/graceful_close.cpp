#include "platform/telephony/graceful_close.h"

#include <sys/socket.h>
#include <cerrno>
#include <utility>

namespace quodem::telephony {

GracefulCloser::~GracefulCloser() {
  for (auto& [id, entry] : entries_) {
    loop_.Unwatch(entry.watch);
    loop_.CancelTimer(entry.timer);
  }
}

void GracefulCloser::Close(posix::UniqueFd fd, std::chrono::milliseconds limit) {
  if (!fd) return;
  // Not connected (any more): nothing can be lost, and `fd` closes on return.
  if (shutdown(fd.get(), SHUT_WR) != 0) return;
  std::uint64_t id = next_id_++;
  EventLoop::Token watch =
      loop_.Watch(fd.get(), EPOLLIN | EPOLLRDHUP, [this, id](std::uint32_t) { Drain(id); });
  if (watch == 0) return;
  EventLoop::Token timer = loop_.StartTimer(limit, [this, id] { Finish(id); });
  entries_.emplace(id, Entry{std::move(fd), watch, timer});
}

void GracefulCloser::Drain(std::uint64_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  char discard[4096];
  // Bounded per wake-up so a peer that keeps sending cannot hold the dispatcher.
  for (int round = 0; round < 16; ++round) {
    ssize_t n = recv(it->second.fd.get(), discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    Finish(id);  // end of stream or an error: the peer is done
    return;
  }
}

void GracefulCloser::Finish(std::uint64_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  loop_.Unwatch(it->second.watch);
  loop_.CancelTimer(it->second.timer);
  entries_.erase(it);  // closes the descriptor
}

}  // namespace quodem::telephony
