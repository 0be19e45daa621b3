// A line's listening socket, watched on the service's event loop: every connection waiting
// is accepted and handed to the line. When the process runs out of descriptors, accepting
// pauses for a moment rather than spinning on a listener that stays readable.
//
// Used from the threads that run a provider's code (under the service lock); the handler
// runs on the event loop's thread.
#pragma once

#include <sys/socket.h>

#include <functional>

#include "platform/posix/unique_fd.h"
#include "platform/telephony/event_loop.h"

namespace quodem::telephony {

class Listener {
 public:
  using Accepted = std::function<void(int fd, const sockaddr_storage& peer)>;

  explicit Listener(EventLoop& loop) : loop_(loop) {}
  ~Listener() { Close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Takes `fd`, a bound, listening, non-blocking socket, and starts watching it. The handler
  // gets each accepted connection (non-blocking, close-on-exec) and owns it. False, with `fd`
  // closed, when the loop cannot watch it.
  bool Start(posix::UniqueFd fd, Accepted on_accepted);
  // Stops watching and closes the socket; nothing when not listening.
  void Close();
  // Stops watching and hands the socket over without closing it (connections already queued
  // on it stay queued); empty when not listening.
  posix::UniqueFd Detach();
  bool Listening() const { return fd_.valid(); }

 private:
  bool Watch();
  void Accept();

  EventLoop& loop_;
  Accepted on_accepted_;
  posix::UniqueFd fd_;
  EventLoop::Token watch_ = 0;
  EventLoop::Token retry_timer_ = 0;
};

}  // namespace quodem::telephony
