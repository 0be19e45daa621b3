// Running another program (the demo's receiver; the tests' tool processes): started with
// posix_spawn, with chosen environment variables and optional pipes to its standard input,
// output and error, waited for with a time limit (a pidfd, so the wait blocks without a
// polling loop), and killed and reaped by the destructor if it is still running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quodem::tool {

struct SpawnOptions {
  std::vector<std::pair<std::string, std::string>> env;  // set in the child's environment
  bool pipe_stdin = false;                               // otherwise /dev/null
  bool pipe_stdout = false;                              // otherwise inherited
  bool pipe_stderr = false;                              // otherwise inherited
  bool new_process_group = false;
  int stdout_pipe_size = 0;  // > 0: the capacity of the standard output pipe (F_SETPIPE_SZ)
};

class ChildProcess {
 public:
  // Throws std::runtime_error when the program cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const SpawnOptions& options = {});
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // The parent's ends of the pipes asked for (-1 otherwise). Owned by this object.
  int StdinFd() const { return stdin_; }
  int StdoutFd() const { return stdout_; }
  int StderrFd() const { return stderr_; }
  // Closes the pipe to the child's standard input (the child reads end of input).
  void CloseStdin();
  // Closes the pipe from the child's standard output (the child's writes fail from then on).
  // Not while another thread reads from StdoutFd().
  void CloseStdout();

  void Signal(int signal);
  // Waits at most `limit` for the child to end; its exit status (128 + the signal's number
  // when a signal ended it), or nothing when it still runs.
  std::optional<int> Wait(std::chrono::milliseconds limit);
  // After Wait returned a status: the signal that ended the child, 0 when it exited.
  int TermSignal() const { return term_signal_; }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::optional<int> status_;
  int term_signal_ = 0;
};

// Reads lines from a descriptor, blocking until each is complete.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next line without its newline; false at the end of input (a last unterminated line
  // is returned first).
  bool Next(std::string& line);

 private:
  int fd_;
  std::string buffer_;
  bool eof_ = false;
};

// Everything the descriptor delivers until the end of input.
std::string ReadAll(int fd);

}  // namespace quodem::tool
