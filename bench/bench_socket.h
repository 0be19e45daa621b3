// Socket helpers shared by the benchmark's baseline programs (link_sender, link_reader,
// pipe_bridge). An address is "unix:PATH" (a Unix-domain stream socket, like the local
// exchange's) or "tcp:HOST:PORT" (IPv4, like the TCP line on loopback). Plain blocking
// sockets: these programs are the yardstick, so they do the least a program can do.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

[[noreturn]] inline void Die(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

struct Address {
  bool is_unix = true;
  std::string path;  // unix
  sockaddr_in inet{};
};

inline Address ParseAddress(const std::string& text) {
  Address a;
  if (text.rfind("unix:", 0) == 0) {
    a.path = text.substr(5);
    if (a.path.empty() || a.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
      std::fprintf(stderr, "bad unix path: %s\n", text.c_str());
      std::exit(2);
    }
    return a;
  }
  if (text.rfind("tcp:", 0) == 0) {
    std::string rest = text.substr(4);
    auto colon = rest.rfind(':');
    if (colon == std::string::npos) {
      std::fprintf(stderr, "bad tcp address (tcp:HOST:PORT): %s\n", text.c_str());
      std::exit(2);
    }
    a.is_unix = false;
    a.inet.sin_family = AF_INET;
    a.inet.sin_port = htons(static_cast<uint16_t>(std::atoi(rest.substr(colon + 1).c_str())));
    if (inet_pton(AF_INET, rest.substr(0, colon).c_str(), &a.inet.sin_addr) != 1) {
      std::fprintf(stderr, "bad IPv4 host: %s\n", text.c_str());
      std::exit(2);
    }
    return a;
  }
  std::fprintf(stderr, "address must be unix:PATH or tcp:HOST:PORT: %s\n", text.c_str());
  std::exit(2);
}

inline sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  return sa;
}

// Listens on `a` and returns the listening descriptor. A stale Unix socket file is removed.
inline int Listen(const Address& a) {
  int fd = socket(a.is_unix ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  if (a.is_unix) {
    unlink(a.path.c_str());
    sockaddr_un sa = UnixAddress(a.path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Die("bind " + a.path);
  } else {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a.inet), sizeof a.inet) != 0) Die("bind");
  }
  if (listen(fd, 1) != 0) Die("listen");
  return fd;
}

inline int AcceptOne(int listener) {
  int fd;
  do {
    fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) Die("accept");
  return fd;
}

// Connects to `a`, retrying for up to 10 s while nobody listens yet (the script starts the
// listener first and waits for it, so this is only a guard against a slow start).
inline int Connect(const Address& a) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = socket(a.is_unix ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Die("socket");
    int rc;
    if (a.is_unix) {
      sockaddr_un sa = UnixAddress(a.path);
      rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } else {
      rc = connect(fd, reinterpret_cast<const sockaddr*>(&a.inet), sizeof a.inet);
    }
    if (rc == 0) return fd;
    int err = errno;
    close(fd);
    if (err != ENOENT && err != ECONNREFUSED) {
      errno = err;
      Die("connect");
    }
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  errno = ETIMEDOUT;
  Die("connect");
}

// Creates `path` (empty) to tell the script that the listener is ready.
inline void MarkReady(const char* path) {
  if (path == nullptr) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Die(std::string("open ") + path);
  close(fd);
}

// Writes all of `size` bytes, retrying after short writes and EINTR.
inline bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace bench
