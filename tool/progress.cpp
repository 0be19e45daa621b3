#include "progress.h"

namespace quodem::tool {

TransferMeter::Reading TransferMeter::Update(std::uint64_t size, std::uint64_t total, bool first,
                                             Clock::time_point now) {
  Reading reading;
  if (first || !active_) {
    start_ = now;
    active_ = true;
    reading.show = true;
  }
  reading.done = size >= total;
  reading.elapsed = std::chrono::duration<double>(now - start_).count();
  if (reading.elapsed > 0) {
    reading.rate = static_cast<double>(size) / reading.elapsed;
    if (reading.rate > 0 && !reading.done) {
      reading.remaining = static_cast<double>(total - size) / reading.rate;
    }
  }
  if (reading.done) {
    reading.show = true;
    reading.remaining = 0;
    active_ = false;
  }
  if (now - last_shown_ >= interval_) reading.show = true;
  if (reading.show) last_shown_ = now;
  return reading;
}

}  // namespace quodem::tool
