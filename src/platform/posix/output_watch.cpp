// OutputWatch: see quodem/platform/posix/descriptor_port.h.
#include "quodem/platform/posix/descriptor_port.h"

#include <utility>

namespace quodem::posix {

bool OutputWatch::CallWhenDrained(std::function<void()> then) {
  std::lock_guard<std::mutex> guard(lock_);
  if (holding_ == 0) return false;
  then_ = std::move(then);
  return true;
}

void OutputWatch::Add() {
  std::lock_guard<std::mutex> guard(lock_);
  ++holding_;
}

std::function<void()> OutputWatch::Remove() {
  std::lock_guard<std::mutex> guard(lock_);
  --holding_;
  if (holding_ != 0) return nullptr;
  return std::exchange(then_, nullptr);
}

}  // namespace quodem::posix
