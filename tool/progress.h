// Measuring one direction of transfer for progress reports: when a report is worth showing
// (the first, the last, and otherwise at most one per interval), the rate since the transfer
// began and the time left.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace quodem::tool {

// A monotonic clock read without a system call or a hardware counter (its ticks are a few
// milliseconds apart): progress is reported after every 255 bytes, and reading a fine clock
// each time cost the sender as much as handing the bytes over.
struct CoarseClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<CoarseClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
  }
};

class TransferMeter {
 public:
  using Clock = CoarseClock;

  struct Reading {
    bool show = false;
    bool done = false;      // size has reached total
    double elapsed = 0;     // seconds since the first report
    double rate = -1;       // bytes per second, -1 while unknown
    double remaining = -1;  // seconds left, -1 while unknown
  };

  explicit TransferMeter(std::chrono::milliseconds interval) : interval_(interval) {}

  // `first` starts a new transfer (its clock starts at the time of this report).
  Reading Update(std::uint64_t size, std::uint64_t total, bool first,
                 Clock::time_point now = Clock::now());

 private:
  std::chrono::milliseconds interval_;
  Clock::time_point start_{};
  Clock::time_point last_shown_{};
  bool active_ = false;
};

}  // namespace quodem::tool
