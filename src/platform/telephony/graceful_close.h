// Closing a connected socket without losing or resetting anything: the sending side is shut
// down first, so every byte already handed to the socket still reaches the peer, then
// whatever the peer still sends is read and thrown away until it closes too (or a few
// seconds pass) and only then is the descriptor closed. Closing a TCP socket with unread
// data would send a reset that can destroy data still on its way to the peer.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>

#include "platform/posix/unique_fd.h"
#include "platform/telephony/event_loop.h"

namespace quodem::telephony {

class GracefulCloser {
 public:
  explicit GracefulCloser(EventLoop& loop) : loop_(loop) {}
  ~GracefulCloser();  // closes whatever is still lingering
  GracefulCloser(const GracefulCloser&) = delete;
  GracefulCloser& operator=(const GracefulCloser&) = delete;

  // Takes `fd` over (service lock held).
  void Close(posix::UniqueFd fd, std::chrono::milliseconds limit = std::chrono::seconds(3));
  // Descriptors still lingering (for tests of the service itself).
  std::size_t lingering() const { return entries_.size(); }

 private:
  struct Entry {
    posix::UniqueFd fd;
    EventLoop::Token watch;
    EventLoop::Token timer;
  };
  void Finish(std::uint64_t id);
  void Drain(std::uint64_t id);

  EventLoop& loop_;
  std::uint64_t next_id_ = 1;
  std::map<std::uint64_t, Entry> entries_;
};

}  // namespace quodem::telephony
