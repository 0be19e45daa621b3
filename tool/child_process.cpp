#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace quodem::tool {

namespace {

void ClosePair(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) ::close(fds[i]);
  }
}

// Owns the pipes and spawn attributes while the child is being started.
struct SpawnSetup {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ClosePair(in);
    ClosePair(out);
    ClosePair(err);
  }
};

void MakePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
  }
}

int StatusOf(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return 255;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const SpawnOptions& options) {
  SpawnSetup setup;
  if (options.pipe_stdin) {
    MakePipe(setup.in);
    posix_spawn_file_actions_adddup2(&setup.actions, setup.in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.pipe_stdout) {
    MakePipe(setup.out);
    if (options.stdout_pipe_size > 0) ::fcntl(setup.out[0], F_SETPIPE_SZ, options.stdout_pipe_size);
    posix_spawn_file_actions_adddup2(&setup.actions, setup.out[1], STDOUT_FILENO);
  }
  if (options.pipe_stderr) {
    MakePipe(setup.err);
    posix_spawn_file_actions_adddup2(&setup.actions, setup.err[1], STDERR_FILENO);
  }
  // The child starts with default signal handling and nothing blocked, whatever this
  // process has set up for itself.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &empty);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (options.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&setup.attributes, 0);
  }
  posix_spawnattr_setflags(&setup.attributes, flags);

  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : options.env) env[name] = value;
  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_text;
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  const int result = ::posix_spawn(&pid_, program.c_str(), &setup.actions, &setup.attributes,
                                   argv.data(), envp.data());
  if (result != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(result));
  }
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  // Keep the parent's ends; the child's ends close with `setup`.
  if (options.pipe_stdin) std::swap(stdin_, setup.in[1]);
  if (options.pipe_stdout) std::swap(stdout_, setup.out[0]);
  if (options.pipe_stderr) std::swap(stderr_, setup.err[0]);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int wait_status = 0;
    while (::waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {pidfd_, stdin_, stdout_, stderr_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ChildProcess::CloseStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

void ChildProcess::CloseStdout() {
  if (stdout_ >= 0) ::close(stdout_);
  stdout_ = -1;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
  if (status_) return status_;
  if (pidfd_ >= 0) {
    pollfd fd = {pidfd_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      const int ready = ::poll(&fd, 1, static_cast<int>(std::max<long>(0, left.count())));
      if (ready > 0) break;
      if (ready == 0) return std::nullopt;
      if (errno != EINTR) break;
    }
  }
  // Without a pidfd (an old kernel) this waits without the limit.
  int wait_status = 0;
  pid_t result;
  while ((result = ::waitpid(pid_, &wait_status, 0)) < 0 && errno == EINTR) {
  }
  if (result != pid_) return std::nullopt;
  status_ = StatusOf(wait_status);
  if (WIFSIGNALED(wait_status)) term_signal_ = WTERMSIG(wait_status);
  return status_;
}

bool LineReader::Next(std::string& line) {
  for (;;) {
    const auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return true;
    }
    if (eof_) {
      if (buffer_.empty()) return false;
      line.swap(buffer_);
      buffer_.clear();
      return true;
    }
    char chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string ReadAll(int fd) {
  std::string all;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return all;
    all.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace quodem::tool
