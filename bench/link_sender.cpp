// The link's limit for the component's write pattern, sending side: connects, reads the file
// in blocks of about 64 KiB (whole chunks) as it goes, as the component's sender does, and
// writes it in 255-byte write() calls, each completed before the next (a plain blocking write
// per chunk), then the rest, then closes. This is the least work a program can
// do to move a file in the pieces the frame format writes, so the component is measured
// against it.
//
//   link_sender unix:PATH|tcp:HOST:PORT FILE [CHUNK_BYTES]

#include <algorithm>
#include <vector>

#include "bench_socket.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s unix:PATH|tcp:HOST:PORT FILE [CHUNK_BYTES]\n", argv[0]);
    return 2;
  }
  bench::Address address = bench::ParseAddress(argv[1]);
  size_t chunk = argc > 3 ? static_cast<size_t>(std::atol(argv[3])) : 255;
  if (chunk == 0) chunk = 255;

  int file = open(argv[2], O_RDONLY | O_CLOEXEC);
  if (file < 0) bench::Die(std::string("open ") + argv[2]);
  // A block of whole chunks, read as the writes go, so memory stays small whatever the file.
  const size_t block = chunk * std::max<size_t>(1, 65536 / chunk);
  std::vector<char> buffer(block);
  int fd = bench::Connect(address);
  for (;;) {
    size_t filled = 0;
    while (filled < block) {
      ssize_t n = read(file, buffer.data() + filled, block - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) bench::Die("read");
      if (n == 0) break;
      filled += static_cast<size_t>(n);
    }
    for (size_t offset = 0; offset < filled; offset += chunk) {
      size_t n = std::min(chunk, filled - offset);
      if (!bench::WriteAll(fd, buffer.data() + offset, n)) bench::Die("write");
    }
    if (filled < block) break;
  }
  close(file);
  close(fd);
  return 0;
}
