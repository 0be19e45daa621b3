// Runs a stdin/stdout program (sz, rz) over a socket: listens for or connects one stream
// socket, makes it the program's standard input and output, and executes the program in its
// own place, so that time(1) measures the program itself. This is how a user would run
// ZMODEM over the same kind of link the component uses.
//
//   pipe_bridge listen  unix:PATH|tcp:HOST:PORT [--ready FILE] -- PROGRAM ARGS...
//   pipe_bridge connect unix:PATH|tcp:HOST:PORT -- PROGRAM ARGS...
#include "bench_socket.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s listen|connect ADDRESS [--ready FILE] -- PROGRAM ARGS...\n",
                 argv[0]);
    return 2;
  }
  std::string mode = argv[1];
  bench::Address address = bench::ParseAddress(argv[2]);
  const char* ready = nullptr;
  int i = 3;
  if (std::strcmp(argv[i], "--ready") == 0 && i + 1 < argc) {
    ready = argv[i + 1];
    i += 2;
  }
  if (i >= argc || std::strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
    std::fprintf(stderr, "missing -- PROGRAM\n");
    return 2;
  }
  char** program = argv + i + 1;

  int fd;
  if (mode == "listen") {
    int listener = bench::Listen(address);
    bench::MarkReady(ready);
    fd = bench::AcceptOne(listener);
    close(listener);
    if (address.is_unix) unlink(address.path.c_str());
  } else if (mode == "connect") {
    fd = bench::Connect(address);
  } else {
    std::fprintf(stderr, "mode must be listen or connect\n");
    return 2;
  }
  if (dup2(fd, 0) < 0 || dup2(fd, 1) < 0) bench::Die("dup2");
  close(fd);
  execvp(program[0], program);
  bench::Die(std::string("exec ") + program[0]);
}
