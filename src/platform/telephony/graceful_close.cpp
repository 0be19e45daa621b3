#include "platform/telephony/graceful_close.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace quodem::telephony {

GracefulCloser::~GracefulCloser() {
  for (auto& [id, entry] : entries_) {
    loop_.Unwatch(entry.watch);
    loop_.CancelTimer(entry.timer);
    close(entry.fd);
  }
}

void GracefulCloser::Close(int fd, std::chrono::milliseconds limit) {
  if (fd < 0) return;
  if (shutdown(fd, SHUT_WR) != 0) {
    close(fd);  // not connected (any more): nothing can be lost
    return;
  }
  std::uint64_t id = next_id_++;
  EventLoop::Token watch =
      loop_.Watch(fd, EPOLLIN | EPOLLRDHUP, [this, id](std::uint32_t) { Drain(id); });
  if (watch == 0) {
    close(fd);
    return;
  }
  EventLoop::Token timer = loop_.StartTimer(limit, [this, id] { Finish(id); });
  entries_.emplace(id, Entry{fd, watch, timer});
}

void GracefulCloser::Drain(std::uint64_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  char discard[4096];
  // Bounded per wake-up so a peer that keeps sending cannot hold the dispatcher.
  for (int round = 0; round < 16; ++round) {
    ssize_t n = recv(it->second.fd, discard, sizeof discard, MSG_DONTWAIT);
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
  close(it->second.fd);
  entries_.erase(it);
}

}  // namespace quodem::telephony
