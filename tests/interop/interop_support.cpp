#include "interop/interop_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace quodem::interop {

using Clock = std::chrono::steady_clock;

bool HaveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin";
  std::stringstream split(dirs);
  std::string dir;
  while (std::getline(split, dir, ':')) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool IsRoot() {
  return geteuid() == 0;
}

std::string WriteScript(const std::string& name, const std::string& text) {
  const std::string path = tool::testing::MakeDir("scripts") + "/" + name;
  tool::testing::WriteFile(path, text);
  return path;
}

tool::testing::Env ModemLine(const std::string& name, const std::string& device,
                             const std::string& extra) {
  const std::string dir = tool::testing::MakeDir("config-" + name);
  const std::string locks = tool::testing::MakeDir("locks-" + name);
  tool::testing::WriteFile(dir + "/lines.conf", "[line]\nprovider = modem\nname = Modem " + name +
                                                    "\ndevice = " + device +
                                                    "\nlock_dir = " + locks + "\n" + extra);
  return {{"QUODEM_CONFIG", dir + "/lines.conf"}};
}

// ---- the emulator ----

EmulatorProcess::EmulatorProcess(const std::vector<std::string>& numbers,
                                 const std::vector<std::string>& extra_args,
                                 const std::string& dir) {
  const std::string folder = dir.empty() ? tool::testing::MakeDir("dev") : dir;
  std::vector<std::string> args = {"emulate"};
  for (const std::string& number : numbers) {
    // Names unique on the machine: lock files of other programs are named after them.
    std::string path = folder + "/ttyQ" + std::to_string(getpid()) + "n" + number;
    paths_.emplace_back(number, path);
    args.push_back("--modem");
    args.push_back(number + "=" + path);
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  tool_ = std::make_unique<tool::testing::BackgroundTool>(args);
  if (!tool_->WaitForText("ready")) ADD_FAILURE() << "the emulator did not start: " << tool_->Err();
}

EmulatorProcess::~EmulatorProcess() {
  tool_->Signal(SIGTERM);
  EXPECT_EQ(tool_->Finish(), 0) << tool_->Err();
  if (::testing::Test::HasFailure()) {  // what the emulator said, for the failure's context
    for (const std::string& line : tool_->Lines())
      std::fprintf(stderr, "emulator: %s\n", line.c_str());
    std::fprintf(stderr, "emulator's errors: %s\n", tool_->Err().c_str());
  }
}

const std::string& EmulatorProcess::Path(const std::string& number) const {
  for (const auto& [n, path] : paths_) {
    if (n == number) return path;
  }
  static const std::string none;
  ADD_FAILURE() << "no modem " << number;
  return none;
}

namespace {

// What a failure message shows of a long text: its end.
std::string Tail(const std::string& text) {
  return text.size() <= 200 ? text : "..." + text.substr(text.size() - 200);
}

}  // namespace

// ---- the DTE ----

Dte::Dte(const std::string& path, bool local, speed_t speed) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
    return;
  }
  termios settings{};
  tcgetattr(fd_, &settings);
  cfmakeraw(&settings);
  settings.c_cflag |= CREAD | HUPCL;
  if (local) {
    settings.c_cflag |= CLOCAL;
  } else {
    settings.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  }
  cfsetspeed(&settings, speed);
  tcsetattr(fd_, TCSANOW, &settings);
}

Dte::~Dte() {
  Close();
}

void Dte::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Dte::Send(const std::string& bytes) {
  std::size_t done = 0;
  const auto end = Clock::now() + kGuard;
  while (done < bytes.size() && Clock::now() < end) {
    ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, 1000);
    } else if (n < 0 && errno != EINTR) {
      ADD_FAILURE() << "write to the modem failed: " << std::strerror(errno);
      return;
    }
  }
  EXPECT_EQ(done, bytes.size()) << "the modem took no more bytes";
}

std::string Dte::Expect(const std::string& text) {
  std::string seen = std::move(pending_);
  pending_.clear();
  const auto end = Clock::now() + kGuard;
  for (;;) {
    std::size_t at = seen.find(text);
    if (at != std::string::npos) {
      pending_ = seen.substr(at + text.size());
      return seen.substr(0, at + text.size());
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      seen.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      ADD_FAILURE() << "the device ended while waiting for \"" << text << "\"; got \"" << Tail(seen)
                    << "\"";
      return seen;
    }
  }
  ADD_FAILURE() << "no \"" << text << "\" from the modem; got \"" << Tail(seen) << "\"";
  return seen;
}

std::string Dte::Command(const std::string& line, const std::string& reply) {
  Send(line + "\r");
  return Expect("\r\n" + reply + "\r\n");
}

std::string Dte::ReadExactly(std::size_t count) {
  std::string got = std::move(pending_);
  pending_.clear();
  const auto end = Clock::now() + kGuard;
  while (got.size() < count && Clock::now() < end) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char buffer[65536];
    ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  EXPECT_EQ(got.size(), count) << "the data stopped short";
  return got;
}

bool Dte::WaitForHangup() {
  const auto end = Clock::now() + kGuard;
  while (Clock::now() < end) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno == EIO)) return true;
    if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
  }
  return false;
}

void Dte::SetSpeed(speed_t speed) {
  termios settings{};
  tcgetattr(fd_, &settings);
  cfsetospeed(&settings, speed);
  tcsetattr(fd_, TCSANOW, &settings);
}

// ---- programs ----

struct BackgroundProgram::State {
  pid_t pid = -1;
  int pidfd = -1;
  std::string output_path;
  std::optional<int> status;
};

BackgroundProgram::BackgroundProgram(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const std::string& stdin_path)
    : state_(std::make_unique<State>()) {
  static int counter = 0;
  state_->output_path = tool::testing::MakeDir("output") + "/" + std::to_string(++counter) + ".txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDWR | O_NOCTTY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, state_->output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  int rc = posix_spawnp(&state_->pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    state_->pid = -1;
    return;
  }
  state_->pidfd = static_cast<int>(syscall(SYS_pidfd_open, state_->pid, 0));
}

BackgroundProgram::~BackgroundProgram() {
  if (state_->pid > 0 && !state_->status) {
    kill(state_->pid, SIGKILL);
    waitpid(state_->pid, nullptr, 0);
  }
  if (state_->pidfd >= 0) close(state_->pidfd);
}

pid_t BackgroundProgram::Pid() const {
  return state_->pid;
}

ProgramResult BackgroundProgram::Finish(std::chrono::seconds guard) {
  ProgramResult result;
  if (state_->pid <= 0) return result;
  if (!state_->status) {
    pollfd p{state_->pidfd, POLLIN, 0};
    bool killed = false;
    if (poll(&p, 1, static_cast<int>(guard.count() * 1000)) <= 0) {
      ADD_FAILURE() << "the program did not end within " << guard.count() << " s";
      kill(state_->pid, SIGKILL);
      killed = true;
    }
    int status = 0;
    waitpid(state_->pid, &status, 0);
    if (killed) {
      state_->status = -1;
    } else {
      state_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  result.status = *state_->status;
  result.output = tool::testing::ReadFile(state_->output_path);
  return result;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::seconds guard, const std::string& stdin_path) {
  BackgroundProgram running(program, args, stdin_path);
  return running.Finish(guard);
}

}  // namespace quodem::interop
