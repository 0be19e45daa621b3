#include "platform/posix/exit_drain.h"

#include <cstdlib>
#include <mutex>

namespace quodem::posix {

ExitDrain& ExitDrain::Instance() {
  // Never destroyed: it is used by the exit handler and by ports closed during exit.
  static ExitDrain* drain = new ExitDrain;
  return *drain;
}

void ExitDrain::Install() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit([] { ExitDrain::Instance().Wait(); }); });
}

void ExitDrain::Add() {
  std::lock_guard<std::mutex> guard(lock_);
  ++holding_;
}

void ExitDrain::Remove() {
  bool none;
  {
    std::lock_guard<std::mutex> guard(lock_);
    --holding_;
    none = holding_ == 0;
  }
  if (none) changed_.notify_all();
}

void ExitDrain::Moved() {
  std::lock_guard<std::mutex> guard(lock_);
  ++moves_;
}

void ExitDrain::Wait() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    const std::uint64_t moves = moves_;
    if (changed_.wait_for(guard, kStallLimit, [this] { return holding_ == 0; })) return;
    if (moves_ == moves) return;  // nothing moved for the whole limit
  }
}

}  // namespace quodem::posix
