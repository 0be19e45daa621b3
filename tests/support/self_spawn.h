// Test support: runs one test of this test program in a child process. The child gets the
// parent's environment plus the given variables, and runs only the tests `filter` selects; a
// child test finds its instructions in those variables (and skips when they are absent).
// Header-only.
#pragma once

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace quodem::calltest {

// Starts the child; -1 when it cannot be started.
inline pid_t SpawnSelf(const std::string& filter, std::vector<std::string> variables) {
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (std::string& v : variables) env.push_back(v.data());
  env.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string filter_arg = "--gtest_filter=" + filter;
  char* argv[] = {self.data(), filter_arg.data(), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, env.data()) != 0) return -1;
  return child;
}

// Waits for the child to end; its wait status.
inline int WaitChild(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Reads one byte from `fd`, waiting at most `timeout_ms`; -1 on time-out, end or error.
inline int ReadByteWithin(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return -1;
  unsigned char byte = 0;
  return read(fd, &byte, 1) == 1 ? byte : -1;
}

}  // namespace quodem::calltest
