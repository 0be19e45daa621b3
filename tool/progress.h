// Measuring one direction of transfer for progress reports: when a report is worth showing
// (the first, the last, and otherwise at most one per interval), the rate since the transfer
// began and the time left.
#pragma once

#include <chrono>
#include <cstdint>

namespace quodem::tool {

class TransferMeter {
 public:
  using Clock = std::chrono::steady_clock;

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
