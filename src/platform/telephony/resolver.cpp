#include "platform/telephony/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace quodem::telephony {

Resolver::~Resolver() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Resolver::Resolve(const std::string& host, int port, Done done) {
  std::lock_guard<std::mutex> guard(lock_);
  requests_.push_back(Request{host, port, std::move(done)});
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  wake_.notify_one();
}

bool Resolver::ParseNumeric(const std::string& host, int port, SocketAddress* address) {
  *address = SocketAddress{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address->storage);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    address->length = sizeof(sockaddr_in);
    return true;
  }
  *address = SocketAddress{};
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address->storage);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    address->length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

void Resolver::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return stopping_ || !requests_.empty(); });
    if (stopping_) return;
    Request request = std::move(requests_.front());
    requests_.pop_front();
    guard.unlock();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(request.port);
    int rc = getaddrinfo(request.host.c_str(), service.c_str(), &hints, &found);
    std::vector<SocketAddress> addresses;
    std::string problem;
    if (rc != 0) {
      problem = "cannot resolve " + request.host + ": " + gai_strerror(rc);
    } else {
      for (addrinfo* info = found; info != nullptr; info = info->ai_next) {
        if (info->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, info->ai_addr, info->ai_addrlen);
        address.length = info->ai_addrlen;
        addresses.push_back(address);
      }
      freeaddrinfo(found);
      if (addresses.empty()) problem = "no address for " + request.host;
    }
    loop_.Post([done = std::move(request.done), addresses = std::move(addresses),
                problem = std::move(problem)]() mutable {
      done(std::move(addresses), std::move(problem));
    });
    guard.lock();
  }
}

}  // namespace quodem::telephony
