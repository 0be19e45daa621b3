// Host name lookups for TCP lines. getaddrinfo blocks, so it runs on a thread of its own;
// the answer comes back as a task on the dispatcher thread. Lookups run one at a time in
// the order asked.
#pragma once

#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/telephony/event_loop.h"

namespace quodem::telephony {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

class Resolver {
 public:
  // `addresses` is empty on failure; `problem` then says why.
  using Done = std::function<void(std::vector<SocketAddress> addresses, std::string problem)>;

  explicit Resolver(EventLoop& loop) : loop_(loop) {}
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Any thread. `done` runs later on the dispatcher thread with the service lock held; it
  // must find out itself whether whoever asked still exists.
  void Resolve(const std::string& host, int port, Done done);

  // Numeric hosts need no thread: fills `*address` and returns true for an IPv4/IPv6
  // literal.
  static bool ParseNumeric(const std::string& host, int port, SocketAddress* address);

 private:
  struct Request {
    std::string host;
    int port;
    Done done;
  };
  void Run();

  EventLoop& loop_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Request> requests_;
  bool stopping_ = false;
  std::thread thread_;  // started by the first request
};

}  // namespace quodem::telephony
