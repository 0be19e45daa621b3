// Standard output and standard error as the tool writes them: a reader that has gone away
// (`quodem wait --json | head -2`) or one that has stopped reading (a pipe nobody drains)
// must never hold the tool or kill it.
//
// SIGPIPE is ignored by the tool, so writing to a vanished reader fails (EPIPE) instead of
// ending the process; the output counts as closed from then on. When the output is a pipe, a
// terminal or a socket it is written without blocking (a pipe or terminal through a private
// open file description of its own, so the flags of the one the tool inherited, shared with
// the shell, stay as they are): a write that finds it full waits in poll, where a limit set
// later (LimitWaiting, when Ctrl-C comes) still reaches it. Regular files are written
// plainly; they do not block for long.
//
// Thread-safe: one write at a time per output, whole, in the order the writers came.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace quodem::tool {

class Output {
 public:
  // Writes to `fd` (not owned).
  explicit Output(int fd);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Writes all of `bytes`, waiting while the reader is slow. False when nothing more can be
  // written: the reader has gone (Closed), the write failed, or the wait was given up after
  // LimitWaiting's limit; from then on every write is dropped, so a reader never sees a line
  // after a broken one.
  bool Write(std::string_view bytes);
  // The reader has gone (the pipe or socket has no reader any more).
  bool Closed() const { return closed_.load(); }
  // The descriptor written to, as given (for isatty and the terminal's width).
  int Fd() const { return fd_; }

  // From now on a write waits for a reader that does not read at most until `limit` from
  // now (a write waiting at this moment included); then the output is given up. Meant for
  // the end: after Ctrl-C the tool still says how the call ended, but does not wait for a
  // stalled reader to hear it.
  void LimitWaiting(std::chrono::milliseconds limit);

 private:
  // Until the output can take more bytes; false when the limit passed or the reader went.
  bool WaitWritable();

  int fd_;
  int write_fd_;  // fd_, or a non-blocking description of the same pipe or terminal
  bool owns_write_fd_ = false;
  bool socket_ = false;        // written with send(MSG_DONTWAIT | MSG_NOSIGNAL)
  bool non_blocking_ = false;  // write_fd_ never blocks: waits happen in WaitWritable
  int wake_ = -1;              // eventfd: LimitWaiting wakes a waiting write

  std::mutex write_lock_;  // one write at a time
  std::atomic<bool> closed_{false};
  std::atomic<bool> given_up_{false};
  std::atomic<std::int64_t> deadline_ns_;  // steady clock; INT64_MAX: no limit
};

// The tool's standard output and standard error (created on first use).
Output& StandardOutput();
Output& StandardError();

// LimitWaiting on both.
void LimitOutputWaiting(std::chrono::milliseconds limit);

}  // namespace quodem::tool
