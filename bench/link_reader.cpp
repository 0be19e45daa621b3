// The link's limit, receiving side: accepts one connection and writes everything it reads
// into a file until the sender closes. Reads are large (64 KiB), as a receiver that knows the
// frame's length can make them.
//
//   link_reader unix:PATH|tcp:HOST:PORT OUTPUT_FILE [READY_FILE]
//   link_reader --free-port     prints a TCP port on 127.0.0.1 that is free right now
#include <array>

#include "bench_socket.h"

namespace {

int PrintFreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) bench::Die("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) bench::Die("bind");
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) bench::Die("getsockname");
  std::printf("%u\n", ntohs(sa.sin_port));
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0) return PrintFreePort();
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s unix:PATH|tcp:HOST:PORT OUTPUT [READY_FILE]\n", argv[0]);
    return 2;
  }
  bench::Address address = bench::ParseAddress(argv[1]);
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) bench::Die(std::string("open ") + argv[2]);
  int listener = bench::Listen(address);
  bench::MarkReady(argc > 3 ? argv[3] : nullptr);
  int fd = bench::AcceptOne(listener);
  close(listener);
  if (address.is_unix) unlink(address.path.c_str());

  std::array<char, 64 * 1024> buffer;
  for (;;) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) bench::Die("read");
    if (n == 0) break;
    if (!bench::WriteAll(out, buffer.data(), static_cast<size_t>(n))) bench::Die("write");
  }
  close(fd);
  if (close(out) != 0) bench::Die("close");
  return 0;
}
