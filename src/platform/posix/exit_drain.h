// Output that ports have accepted goes out before the process ends normally.
//
// A write completes once its bytes are in the port's transmit queue, as it would once they
// were in the kernel's socket buffer, and a process may end right after it (return from main,
// exit()). So the first port installs an exit handler that waits until no port holds
// accepted output any more: until every queue is handed to its descriptor, has failed, or no
// queue of the process has moved a byte for kStallLimit (a peer that no longer reads cannot
// hold the exit up for long). The engine thread keeps draining while the handler waits.
// A process that is killed, or ends with _exit() or quick_exit(), loses what its queues still
// held: at most one queue's capacity per port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quodem::posix {

class ExitDrain {
 public:
  static constexpr std::chrono::seconds kStallLimit{3};

  static ExitDrain& Instance();
  // Registers the exit handler (once per process).
  void Install();
  // A port starts or stops holding accepted output (called under that port's lock).
  void Add();
  void Remove();
  // Some port handed bytes to its descriptor.
  void Moved();
  // What the exit handler does: waits while a port holds output and the ports make progress.
  void Wait();

 private:
  ExitDrain() = default;

  std::mutex lock_;
  std::condition_variable changed_;
  std::size_t holding_ = 0;
  std::uint64_t moves_ = 0;
};

}  // namespace quodem::posix
