#include "output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

namespace quodem::tool {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

Output::Output(int fd) : fd_(fd), write_fd_(fd), deadline_ns_(kNoLimit) {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || wake_ < 0) return;  // written plainly
  if (S_ISSOCK(info.st_mode)) {
    socket_ = true;
    non_blocking_ = true;
    return;
  }
  if (!S_ISFIFO(info.st_mode) && !(S_ISCHR(info.st_mode) && ::isatty(fd) == 1)) return;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (own >= 0) {
    write_fd_ = own;
    owns_write_fd_ = true;
    non_blocking_ = true;
  } else if (errno == ENXIO && S_ISFIFO(info.st_mode)) {
    closed_ = true;  // a pipe without a reader
  }
}

Output::~Output() {
  if (owns_write_fd_) ::close(write_fd_);
  if (wake_ >= 0) ::close(wake_);
}

bool Output::Write(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(write_lock_);
  if (closed_ || given_up_) return false;
  while (!bytes.empty()) {
    const ssize_t n =
        socket_ ? ::send(write_fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                : ::write(write_fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && non_blocking_) {
      if (WaitWritable()) continue;
      if (!closed_) given_up_ = true;
      return false;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      closed_ = true;
    } else {
      given_up_ = true;  // a full disk, a broken device: the rest would be incomplete
    }
    return false;
  }
  return true;
}

bool Output::WaitWritable() {
  for (;;) {
    const std::int64_t deadline = deadline_ns_.load();
    int timeout = -1;
    if (deadline != kNoLimit) {
      const std::int64_t left = deadline - NowNs();
      if (left <= 0) return false;
      timeout = static_cast<int>((left + 999999) / 1000000);
    }
    pollfd fds[2] = {{write_fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;  // interrupted, or the limit: looked at again above
    if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
      closed_ = true;
      return false;
    }
    if ((fds[0].revents & POLLOUT) != 0) return true;
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t count;
      while (::read(wake_, &count, sizeof count) > 0) {
      }
    }
  }
}

void Output::LimitWaiting(std::chrono::milliseconds limit) {
  const std::int64_t deadline =
      NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count();
  std::int64_t current = deadline_ns_.load();
  while (deadline < current && !deadline_ns_.compare_exchange_weak(current, deadline)) {
  }
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(wake_, &one, sizeof one);
    (void)ignored;
  }
}

Output& StandardOutput() {
  static Output* output = new Output(STDOUT_FILENO);  // used until the very end of the process
  return *output;
}

Output& StandardError() {
  static Output* output = new Output(STDERR_FILENO);
  return *output;
}

void LimitOutputWaiting(std::chrono::milliseconds limit) {
  StandardOutput().LimitWaiting(limit);
  StandardError().LimitWaiting(limit);
}

}  // namespace quodem::tool
