// The link's limit for the component's write pattern, sending side: loads a file into memory,
// connects, and writes it in 255-byte write() calls, each completed before the next (a plain
// blocking write per chunk), then the rest, then closes. This is the least work a program can
// do to move a file in the pieces the frame format writes, so the component is measured
// against it.
//
//   link_sender unix:PATH|tcp:HOST:PORT FILE [CHUNK_BYTES]
#include <sys/stat.h>

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
  struct stat st {};
  if (fstat(file, &st) != 0) bench::Die("fstat");
  std::vector<char> content(static_cast<size_t>(st.st_size));
  size_t loaded = 0;
  while (loaded < content.size()) {
    ssize_t n = read(file, content.data() + loaded, content.size() - loaded);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) bench::Die("read");
    loaded += static_cast<size_t>(n);
  }
  close(file);

  int fd = bench::Connect(address);
  for (size_t offset = 0; offset < content.size(); offset += chunk) {
    size_t n = std::min(chunk, content.size() - offset);
    if (!bench::WriteAll(fd, content.data() + offset, n)) bench::Die("write");
  }
  close(fd);
  return 0;
}
