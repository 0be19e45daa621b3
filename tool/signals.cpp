#include "signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "output.h"

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

SignalWatcher::SignalWatcher(std::function<void(int)> on_stop) : on_stop_(std::move(on_stop)) {
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
  bool watch_output = true;
  for (;;) {
    // An output nobody can read any more shows POLLERR (a pipe) or POLLHUP (a socket, a
    // terminal that hung up) without asking for any event; other outputs show nothing.
    pollfd fds[2] = {{pipe_[0], POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    if (::poll(fds, watch_output ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watch_output && fds[1].revents != 0) {
      watch_output = false;  // once is enough (and a closed descriptor shows POLLNVAL)
      if ((fds[1].revents & (POLLERR | POLLHUP)) != 0) {
        LimitOutputWaiting(kOutputGrace);
        on_stop_(SIGPIPE);
      }
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    unsigned char byte = 0;
    const ssize_t n = ::read(pipe_[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == 0) return;
    LimitOutputWaiting(kOutputGrace);
    on_stop_(byte);
  }
}

void IgnoreBrokenPipes() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace quodem::tool
