// The owner of one descriptor: closes it when it goes, when reset, or when a new one is moved
// in. Move-only. Where ownership is handed on deliberately (to a port, to the graceful closer,
// to a parked address), release() says so at the point it happens.
//
// Not thread-safe by itself: an owner is used by one thread at a time, like the object holding
// it.
#pragma once

#include <unistd.h>

#include <utility>

namespace quodem::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it; the owner is empty afterwards.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and takes `fd` (-1: nothing).
  void reset(int fd = -1) {
    int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) ::close(old);
  }
  // Closes the descriptor and returns close()'s result (0 when nothing was held), for the
  // few places where a failing close means lost data (a file just written).
  int Close() {
    int old = release();
    return old >= 0 ? ::close(old) : 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace quodem::posix
