#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quodem::tool {

namespace {

std::atomic<int> g_write_end{-1};
std::atomic<int> g_signals_seen{0};
struct sigaction g_previous_int;
struct sigaction g_previous_term;

extern "C" void OnSignal(int signal) {
  const int saved_errno = errno;
  if (g_signals_seen.fetch_add(1) >= 1) {
    // The clean hang-up is already under way and the user insists.
    ::_exit(130);
  }
  const int fd = g_write_end.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved_errno;
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> on_signal)
    : on_signal_(std::move(on_signal)) {
  if (::pipe2(pipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  g_signals_seen.store(0);
  g_write_end.store(pipe_[1]);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &g_previous_int);
  ::sigaction(SIGTERM, &action, &g_previous_term);
  thread_ = std::thread([this] { Run(); });
}

SignalWatcher::~SignalWatcher() {
  ::sigaction(SIGINT, &g_previous_int, nullptr);
  ::sigaction(SIGTERM, &g_previous_term, nullptr);
  g_write_end.store(-1);
  const unsigned char stop = 0;
  while (::write(pipe_[1], &stop, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void SignalWatcher::Run() {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t n = ::read(pipe_[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return;
    on_signal_(byte);
  }
}

}  // namespace quodem::tool
