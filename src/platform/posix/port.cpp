#include "platform/posix/port.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/posix/exit_drain.h"

namespace quodem::posix {

namespace ops = descriptor_ops;

namespace {

// How much PURGE_RXCLEAR drops from a descriptor that cannot tell its queue length. Bounded
// so that a peer sending without pause cannot keep the purge going.
constexpr std::size_t kUnknownQueueDiscardLimit = 64 * 1024;

// A paced port's queue holds about half a second of line time: enough to keep the line busy
// between writes, little enough that a writer's progress follows the line.
// The same goes for a terminal, whose driver paces the line at its baud rate: a sender's
// progress follows a serial modem too, and PURGE_TXCLEAR (which clears a terminal's queue)
// drops no more than that.
std::size_t CapacityFor(int fd, ops::Kind kind, const PortOptions& options) {
  std::uint32_t rate = options.bytes_per_second;
  if (rate == 0 && kind == ops::Kind::kTerminal) rate = ops::TerminalBytesPerSecond(fd);
  if (rate == 0) return Port::kQueueBytes;
  return std::clamp<std::size_t>(rate / 2, 512, Port::kQueueBytes);
}

// The bytes one slice of line time carries on a paced port (at least one).
double PaceSlice(std::uint32_t bytes_per_second) {
  return std::max(1.0, bytes_per_second * std::chrono::duration<double>(Port::kPaceSlice).count());
}

}  // namespace

std::shared_ptr<Port> Port::Create(int fd, std::shared_ptr<PortObserver> observer,
                                   PortOptions options, DWORD* error) {
  if (fd < 0) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  ExitDrain::Instance().Install();
  if (!ops::PrepareForPort(fd)) {
    *error = errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_GEN_FAILURE;
    close(fd);
    return nullptr;
  }
  std::shared_ptr<Port> port;
  try {
    port = std::make_shared<Port>(fd, ops::Classify(fd), std::move(observer), options);
  } catch (const std::bad_alloc&) {
    close(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  // From here the port owns the descriptor and closes it when dropped. The engine may look
  // at the port (a hang-up shows even on a disarmed descriptor) before Watch returns; the id
  // is stored under the lock, as everything OnReady reads.
  const std::uint64_t id = IoEngine::Instance().Watch(fd, port);
  const int watch_error = errno;
  {
    std::lock_guard<std::mutex> guard(port->lock_);
    port->engine_id_ = id;
  }
  if (id == 0) {
    // EPERM: a regular file or directory, which never blocks and cannot be watched.
    *error = watch_error == EPERM ? ERROR_NOT_SUPPORTED : ERROR_GEN_FAILURE;
    return nullptr;
  }
  return port;
}

Port::Port(int fd, ops::Kind kind, std::shared_ptr<PortObserver> observer, PortOptions options)
    : fd_(fd),
      kind_(kind),
      observer_(std::move(observer)),
      options_(std::move(options)),
      initial_(options_.initial_input),
      tx_queue_(CapacityFor(fd, kind, options_)) {
  // Error counts start from what the driver has counted so far.
  if (kind_ == ops::Kind::kTerminal) ops::ReadLineErrorCounts(fd_, &error_counts_);
  if (options_.bytes_per_second > 0) pace_credit_ = PaceSlice(options_.bytes_per_second);
  const std::string& text = options_.end_of_stream_text;
  end_fallback_.assign(text.size(), 0);
  for (std::size_t i = 1, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != text[k]) k = end_fallback_[k - 1];
    if (text[i] == text[k]) ++k;
    end_fallback_[i] = k;
  }
}

Port::~Port() {
  if (engine_id_ != 0) IoEngine::Instance().Forget(engine_id_, fd_);
  close(fd_);
  // Only a port that could not linger (or never got a handle) still counts output here.
  if (output_counted_) {
    ExitDrain::Instance().Remove();
    if (options_.output_watch) {
      if (std::function<void()> then = options_.output_watch->Remove()) then();
    }
  }
}

bool Port::DtrRaised() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dtr_;
}

std::size_t Port::BlockedCallers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocked_callers_;
}

std::size_t Port::QueueCapacity() const {
  return tx_queue_.Capacity();  // fixed at construction
}

std::uint64_t Port::DescriptorWrites() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tx_system_calls_;
}

DWORD Port::Read(void* dest, DWORD bytes, DWORD* count, OVERLAPPED* block) {
  // Like the system it stands in for, starting a transfer resets the block's event. hEvent
  // is never written by the port, so reading it here needs no lock.
  if (block->hEvent != 0) ResetEvent(block->hEvent);
  Aftermath after;
  DWORD result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    result = StartRead(dest, bytes, count, block, after);
    SyncOutput(after);  // reading the end of the stream drops the output
  }
  RunAftermath(after);
  return result;
}

DWORD Port::StartRead(void* data, DWORD bytes, DWORD* count, OVERLAPPED* block, Aftermath& after) {
  if (closed_) return ERROR_INVALID_HANDLE;
  if (read_.active) return ERROR_INVALID_PARAMETER;
  block->Internal = STATUS_PENDING;
  block->InternalHigh = 0;
  read_ = Transfer{true, block, static_cast<unsigned char*>(data), bytes, 0};
  // The fast path: whatever the descriptor gives now moves on the caller's thread, and a
  // read that completes here never involves the engine.
  ProgressRead(after);
  if (read_.active) {
    UpdateInterest(after);
    if (count != nullptr) *count = 0;
    return ERROR_IO_PENDING;
  }
  if (count != nullptr) *count = static_cast<DWORD>(block->InternalHigh);
  return static_cast<DWORD>(block->Internal);
}

DWORD Port::Write(const void* source, DWORD bytes, DWORD* count, OVERLAPPED* block) {
  if (block->hEvent != 0) ResetEvent(block->hEvent);
  Aftermath after;
  DWORD result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return ERROR_INVALID_HANDLE;
    if (write_.active) return ERROR_INVALID_PARAMETER;
    if (tx_error_ != ERROR_SUCCESS) {
      if (count != nullptr) *count = 0;
      return tx_error_;
    }
    block->Internal = STATUS_PENDING;
    block->InternalHigh = 0;
    // The buffer is only ever read from on this path.
    write_ =
        Transfer{true, block, static_cast<unsigned char*>(const_cast<void*>(source)), bytes, 0};
    // The clock is read only where it matters: most writes of a burst just append.
    if (options_.bytes_per_second == 0 && tx_queue_.Empty() && !tx_blocked_) {
      const Clock::time_point now = Clock::now();
      if (now - tx_last_sent_ >= kFlushDelay) {
        Drain(now, SIZE_MAX, after);  // an idle port: straight from the caller's buffer
      }
    }
    AcceptPending(after);
    Pump(after);
    SyncOutput(after);
    if (write_.active) {
      if (count != nullptr) *count = 0;
      result = ERROR_IO_PENDING;
    } else {
      if (count != nullptr) *count = static_cast<DWORD>(block->InternalHigh);
      result = static_cast<DWORD>(block->Internal);
    }
  }
  RunAftermath(after);
  return result;
}

void Port::ProgressRead(Aftermath& after) {
  while (read_.done < read_.size) {
    if (initial_at_ < initial_.size()) {
      const std::size_t n =
          std::min<std::size_t>(read_.size - read_.done, initial_.size() - initial_at_);
      std::memcpy(read_.data + read_.done, initial_.data() + initial_at_, n);
      initial_at_ += n;
      std::size_t earlier = 0;
      const std::size_t kept = ScanForEndText(read_.data + read_.done, n, &earlier, after);
      read_.done = read_.done - std::min<DWORD>(static_cast<DWORD>(earlier), read_.done) +
                   static_cast<DWORD>(kept);
      if (end_of_stream_) initial_at_ = initial_.size();
      continue;
    }
    if (holding_) {
      read_.data[read_.done++] = held_;
      holding_ = false;
      continue;
    }
    if (end_of_stream_) {
      Finish(read_, ERROR_HANDLE_EOF, after);
      return;
    }
    // Never more than the read asks for (nothing is read ahead), nor past the fault-injection
    // limit.
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(read_.size - read_.done, ReadAllowance()));
    if (want == 0) {
      NoteBytesRead(0, after);  // the limit is reached: drop the line now
      continue;
    }
    const ops::IoResult r = ops::ReadSome(fd_, kind_, read_.data + read_.done, want);
    switch (r.outcome) {
      case ops::Outcome::kMoved: {
        std::size_t earlier = 0;
        const std::size_t kept = ScanForEndText(read_.data + read_.done, r.bytes, &earlier, after);
        // Bytes of the end text that came before this chunk are dropped from this read too.
        read_.done = read_.done - std::min<DWORD>(static_cast<DWORD>(earlier), read_.done) +
                     static_cast<DWORD>(kept);
        NoteBytesRead(r.bytes, after);
        break;
      }
      case ops::Outcome::kWouldBlock:
        return;
      case ops::Outcome::kEndOfStream:
        NoteEndOfStream(after);
        Finish(read_, ERROR_HANDLE_EOF, after);
        return;
      case ops::Outcome::kFailed:
        Finish(read_, ERROR_GEN_FAILURE, after);
        return;
    }
  }
  Finish(read_, ERROR_SUCCESS, after);
}

void Port::AcceptPending(Aftermath& after) {
  if (!write_.active) return;
  write_.done +=
      static_cast<DWORD>(tx_queue_.Append(write_.data + write_.done, write_.size - write_.done));
  if (write_.done == write_.size) Finish(write_, ERROR_SUCCESS, after);
}

void Port::Pump(Aftermath& after) {
  if (tx_error_ == ERROR_SUCCESS && !tx_blocked_) {
    if (options_.bytes_per_second > 0) {
      SendPaced(Clock::now(), after);
    } else if (tx_queue_.Size() >= kDrainThreshold || write_.active || closed_) {
      Drain(Clock::now(), SIZE_MAX, after);
    } else if (!tx_queue_.Empty()) {
      // Bytes that nothing else sends go at tx_flush_at_, on the engine (OnTimer).
      if (!tx_flush_planned_) {
        tx_flush_planned_ = true;
        tx_flush_at_ = Clock::now() + kFlushDelay;
      } else if (timer_set_ && timer_at_ == tx_flush_at_) {
        return;  // nothing changed since the last write: spare UpdateTimer the look
      }
    }
  }
  UpdateTimer(after);
}

void Port::Drain(Clock::time_point now, std::size_t limit, Aftermath& after) {
  while (!tx_blocked_ && tx_error_ == ERROR_SUCCESS && limit > 0) {
    // The queue first, then (unpaced) the rest of a pending write from the caller's buffer.
    iovec pieces[3];
    int count = tx_queue_.Front(limit, pieces);
    std::size_t offered = std::min(limit, tx_queue_.Size());
    if (options_.bytes_per_second == 0 && write_.active && offered == tx_queue_.Size()) {
      const std::size_t rest = std::min<std::size_t>(write_.size - write_.done, limit - offered);
      if (rest > 0) {
        pieces[count++] = {write_.data + write_.done, rest};
        offered += rest;
      }
    }
    if (offered == 0) break;
    ++tx_system_calls_;
    const ops::IoResult r = ops::WriteSomeV(fd_, kind_, pieces, count);
    switch (r.outcome) {
      case ops::Outcome::kMoved:
        Handed(r.bytes, now, after);
        limit -= std::min(limit, r.bytes);
        // Less than offered: the descriptor is full, and nobody offers it more until it says
        // it has room (otherwise every write would cost a refused system call).
        if (r.bytes < offered) tx_blocked_ = true;
        break;
      case ops::Outcome::kWouldBlock:
        tx_blocked_ = true;
        break;
      case ops::Outcome::kEndOfStream:
        FailOutput(ERROR_BROKEN_PIPE, after);
        return;
      case ops::Outcome::kFailed:
        FailOutput(ops::IsDisconnect(r.error) ? ERROR_BROKEN_PIPE : ERROR_GEN_FAILURE, after);
        return;
    }
  }
  if (tx_queue_.Empty()) tx_flush_planned_ = false;
  if (tx_blocked_) UpdateInterest(after);
}

void Port::SendPaced(Clock::time_point now, Aftermath& after) {
  const double rate = options_.bytes_per_second;
  const double slice = PaceSlice(options_.bytes_per_second);
  // Credit builds up with line time. After an idle spell it is one slice at most, so a line
  // that sat idle does not send faster afterwards; while output waits it may reach half a
  // second, so a timer that fires late costs no line time.
  const double most = pace_idle_ ? slice : std::max(slice, rate / 2);
  pace_credit_ = std::min(
      most, pace_credit_ + rate * std::chrono::duration<double>(now - pace_credit_at_).count());
  pace_credit_at_ = now;
  pace_idle_ = tx_queue_.Empty();
  if (pace_idle_) return;
  if (pace_credit_ >= std::min(slice, static_cast<double>(tx_queue_.Size()))) {
    const std::uint64_t before = tx_bytes_sent_;
    Drain(now, static_cast<std::size_t>(pace_credit_), after);
    pace_credit_ -= static_cast<double>(tx_bytes_sent_ - before);
  }
  pace_idle_ = tx_queue_.Empty();
  if (!pace_idle_) {
    const double missing =
        std::max(0.0, std::min(slice, static_cast<double>(tx_queue_.Size())) - pace_credit_);
    pace_next_ = now + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(missing / rate));
  }
}

void Port::Handed(std::size_t bytes, Clock::time_point now, Aftermath& after) {
  const std::size_t from_queue = std::min(bytes, tx_queue_.Size());
  tx_queue_.Consume(from_queue);
  if (bytes > from_queue) write_.done += static_cast<DWORD>(bytes - from_queue);
  tx_last_sent_ = now;
  tx_bytes_sent_ += bytes;
  ExitDrain::Instance().Moved();
  if (write_.active && write_.done == write_.size) Finish(write_, ERROR_SUCCESS, after);
  AcceptPending(after);
  if (!tx_queue_.Empty() && !tx_flush_planned_) {
    tx_flush_planned_ = true;
    tx_flush_at_ = now + kFlushDelay;
  }
}

void Port::FailOutput(DWORD error, Aftermath& after) {
  if (tx_error_ == ERROR_SUCCESS) tx_error_ = error;
  tx_queue_.Clear();
  tx_blocked_ = false;
  tx_flush_planned_ = false;
  if (write_.active) Finish(write_, tx_error_, after);
}

void Port::UpdateTimer(Aftermath& after) {
  bool wanted = false;
  Clock::time_point at{};
  auto want = [&](Clock::time_point when) {
    if (!wanted || when < at) at = when;
    wanted = true;
  };
  if (tx_error_ == ERROR_SUCCESS && !tx_queue_.Empty()) {
    if (tx_blocked_) {
      // A closed port gives up on a descriptor that takes nothing for too long.
      if (closed_) want(std::max(tx_last_sent_, closed_at_) + kLingerStall);
    } else if (options_.bytes_per_second > 0) {
      want(pace_next_);
    } else if (tx_flush_planned_) {
      want(tx_flush_at_);
    }
  }
  if (!wanted) {
    if (timer_set_) IoEngine::Instance().Cancel(engine_id_);
    timer_set_ = false;
    return;
  }
  if (timer_set_ && timer_at_ == at) return;
  if (IoEngine::Instance().Schedule(engine_id_, at)) {
    timer_set_ = true;
    timer_at_ = at;
    return;
  }
  // No timer to be had (the engine could not create one): send at once, whatever the pace,
  // rather than never; and a closed port cannot wait for a stalled descriptor.
  timer_set_ = false;
  if (closed_ && tx_blocked_) {
    FailOutput(ERROR_OPERATION_ABORTED, after);
  } else {
    Drain(Clock::now(), SIZE_MAX, after);
  }
}

void Port::SyncOutput(Aftermath& after) {
  const bool holds = HoldsOutput();
  if (holds != output_counted_) {
    output_counted_ = holds;
    if (holds) {
      ExitDrain::Instance().Add();
      if (options_.output_watch) options_.output_watch->Add();
    } else {
      ExitDrain::Instance().Remove();
      if (options_.output_watch) after.drained = options_.output_watch->Remove();
    }
  }
  if (closed_ && !holds && lingering_) after.release = std::move(lingering_);
}

void Port::OnTimer() {
  Aftermath after;
  {
    std::lock_guard<std::mutex> guard(lock_);
    timer_set_ = false;
    const Clock::time_point now = Clock::now();
    if (closed_ && tx_blocked_ && HoldsOutput() &&
        now >= std::max(tx_last_sent_, closed_at_) + kLingerStall) {
      FailOutput(ERROR_OPERATION_ABORTED, after);
    }
    // A planned flush that has come goes now; one moved later by the writer's drains waits.
    if (tx_flush_planned_ && now >= tx_flush_at_ && !tx_blocked_ &&
        options_.bytes_per_second == 0) {
      Drain(now, SIZE_MAX, after);
    }
    Pump(after);
    SyncOutput(after);
  }
  RunAftermath(after);
}

void Port::Finish(Transfer& transfer, DWORD status, Aftermath& after) {
  OVERLAPPED* block = transfer.block;
  block->Internal = status;
  block->InternalHigh = transfer.done;
  if (block->hEvent != 0 && after.event_count < 2)
    after.events[after.event_count++] = block->hEvent;
  transfer = Transfer{};
  // Only a GetOverlappedResult asleep on this port cares; waking nobody keeps the common case
  // (a transfer done on the caller's own thread) free of wake-ups.
  if (result_waiters_ > 0) transfer_ended_.notify_all();
}

std::uint64_t Port::ReadAllowance() const {
  const std::uint64_t limit = options_.drop_after_bytes_read;
  return total_read_ >= limit ? 0 : limit - total_read_;
}

void Port::NoteBytesRead(std::size_t bytes, Aftermath& after) {
  total_read_ += bytes;
  if (!end_of_stream_ && total_read_ >= options_.drop_after_bytes_read) {
    // Injected carrier drop: the line goes down in both directions, and from now on the
    // port behaves as after a hang-up. (Only a socket can be shut down; on a terminal the
    // port merely stops reading.)
    ops::ShutdownBoth(fd_, kind_);
    NoteEndOfStream(after);
  }
}

std::size_t Port::ScanForEndText(const unsigned char* data, std::size_t n, std::size_t* earlier,
                                 Aftermath& after) {
  *earlier = 0;
  const std::string& text = options_.end_of_stream_text;
  if (text.empty() || end_of_stream_) return n;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = static_cast<char>(data[i]);
    while (end_matched_ > 0 && text[end_matched_] != c)
      end_matched_ = end_fallback_[end_matched_ - 1];
    if (text[end_matched_] == c) ++end_matched_;
    if (end_matched_ == text.size()) {
      const std::size_t in_chunk = std::min(i + 1, text.size());
      *earlier = text.size() - in_chunk;
      end_matched_ = 0;
      NoteEndOfStream(after);
      return i + 1 - in_chunk;
    }
  }
  return n;
}

void Port::NoteEndOfStream(Aftermath& after) {
  end_of_stream_ = true;
  // The peer has hung up (or the line dropped): what it was still to be sent can no longer
  // reach anybody.
  FailOutput(ERROR_BROKEN_PIPE, after);
  if (!hangup_reported_) {
    hangup_reported_ = true;
    after.hangup = true;
  }
}

long Port::QueuedForReading() const {
  const long held = (holding_ ? 1 : 0) + static_cast<long>(initial_.size() - initial_at_);
  if (end_of_stream_) return held;
  const long queued = ops::BytesWaiting(fd_);
  if (queued < 0) return held > 0 ? held : -1;
  return held + static_cast<long>(
                    std::min<std::uint64_t>(static_cast<std::uint64_t>(queued), ReadAllowance()));
}

void Port::ProbeForEnd(Aftermath& after) {
  if (ReadAllowance() == 0) {
    NoteBytesRead(0, after);
    return;
  }
  const ops::IoResult r = ops::ReadSome(fd_, kind_, &held_, 1);
  if (r.outcome == ops::Outcome::kMoved) {
    std::size_t earlier = 0;
    holding_ = ScanForEndText(&held_, 1, &earlier, after) == 1;  // not when it ended the text
    NoteBytesRead(1, after);
    return;
  }
  // End of stream; or hung up with nothing to read and no end to be seen, where waiting on
  // would only spin on the hang-up.
  NoteEndOfStream(after);
}

void Port::DiscardInput(Aftermath& after) {
  holding_ = false;
  initial_at_ = initial_.size();
  end_matched_ = 0;
  const long queued = ops::BytesWaiting(fd_);
  std::size_t left = queued < 0 ? kUnknownQueueDiscardLimit : static_cast<std::size_t>(queued);
  unsigned char scratch[4096];
  while (left > 0 && !end_of_stream_) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::min(left, sizeof scratch), ReadAllowance()));
    if (want == 0) {
      NoteBytesRead(0, after);
      return;
    }
    const ops::IoResult r = ops::ReadSome(fd_, kind_, scratch, want);
    if (r.outcome == ops::Outcome::kEndOfStream) NoteEndOfStream(after);
    if (r.outcome != ops::Outcome::kMoved) return;
    left -= r.bytes;
    NoteBytesRead(r.bytes, after);
  }
}

void Port::UpdateInterest(Aftermath& after) {
  std::uint32_t wanted = 0;
  if (!closed_ && !end_of_stream_ && (read_.active || data_wanted_)) {
    wanted |= EPOLLIN | EPOLLRDHUP;
  }
  if (tx_blocked_) wanted |= EPOLLOUT;
  // Armed with the same events: the report is still to come (or OnReady is about to run and
  // will look at the state afresh), so nothing to do. Nothing wanted: an armed entry may
  // still fire once, and OnReady then finds nothing to do and leaves it disarmed.
  if (wanted == 0 || (armed_ && armed_events_ == wanted)) return;
  if (IoEngine::Instance().Arm(engine_id_, fd_, wanted)) {
    armed_ = true;
    armed_events_ = wanted;
    return;
  }
  // The kernel refused to watch the descriptor (out of memory): end what would otherwise
  // wait for ever.
  if (read_.active) Finish(read_, ERROR_GEN_FAILURE, after);
  if (tx_blocked_) FailOutput(ERROR_GEN_FAILURE, after);
  if (data_wanted_) {
    data_wanted_ = false;
    ++watch_failures_;
    event_changed_.notify_all();
  }
}

void Port::OnReady(std::uint32_t events) {
  Aftermath after;
  {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = false;
    const bool hung_up = (events & (EPOLLHUP | EPOLLERR)) != 0;
    if (tx_blocked_ && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
      // Room again: what waited goes now (a paced port sends what its pace allows).
      const std::uint64_t before = tx_bytes_sent_;
      const Clock::time_point now = Clock::now();
      tx_blocked_ = false;
      if (options_.bytes_per_second > 0) {
        SendPaced(now, after);
      } else {
        Drain(now, SIZE_MAX, after);
      }
      // A peer that has hung up never drains the rest: a pty master, for one, goes on taking
      // bytes after its slave closed and then reports POLLHUP without ever becoming writable.
      if (tx_blocked_ && hung_up && tx_bytes_sent_ == before) FailOutput(ERROR_BROKEN_PIPE, after);
    }
    if (read_.active) {
      ProgressRead(after);
      // Hung up with nothing left, yet read() said "later": nothing can arrive any more.
      if (read_.active && hung_up && ops::BytesWaiting(fd_) <= 0) {
        NoteEndOfStream(after);
        Finish(read_, ERROR_HANDLE_EOF, after);
      }
    }
    if (data_wanted_ && !end_of_stream_ && !closed_) {
      long queued = QueuedForReading();
      if (queued <= 0 && (events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0) {
        // Hung up, and apparently nothing left. A pty, though, hands bytes over through a
        // kernel work queue, and FIONREAD does not count the last ones until they are through;
        // only read() waits for them. So one byte is read (and held for the next read) to
        // tell the end from data still on its way. At the end, the hang-up is reported and
        // input no longer watched: the waiter blocks until the mask changes or the port closes.
        ProbeForEnd(after);
        queued = QueuedForReading();
      }
      if (queued > 0 || (queued < 0 && (events & EPOLLIN) != 0)) {
        data_wanted_ = false;
        ++data_signals_;
        event_changed_.notify_all();
      }
    }
    UpdateInterest(after);
    UpdateTimer(after);
    SyncOutput(after);
  }
  RunAftermath(after);
}

DWORD Port::GetResult(OVERLAPPED* block, DWORD* count, bool wait) {
  std::unique_lock<std::mutex> guard(lock_);
  if (block->Internal == STATUS_PENDING) {
    const bool ours =
        (read_.active && read_.block == block) || (write_.active && write_.block == block);
    // A block marked pending that no transfer of this port uses would never complete.
    if (!ours) return closed_ ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
    if (!wait) return ERROR_IO_INCOMPLETE;
    // Every pending transfer ends (completion, failure, purge or close), so this returns.
    ++blocked_callers_;
    ++result_waiters_;
    transfer_ended_.wait(guard, [block] { return block->Internal != STATUS_PENDING; });
    --result_waiters_;
    --blocked_callers_;
  }
  if (count != nullptr) *count = static_cast<DWORD>(block->InternalHigh);
  return static_cast<DWORD>(block->Internal);
}

DWORD Port::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return ERROR_INVALID_HANDLE;
  // The only error state a descriptor keeps is a serial driver's line error counters;
  // the bits report what they counted since the last call. Only terminals have them; asking
  // a socket would cost a failing system call on every poll of the input queue.
  DWORD bits = 0;
  ops::LineErrorCounts now;
  if (kind_ == ops::Kind::kTerminal && ops::ReadLineErrorCounts(fd_, &now)) {
    if (now.frame != error_counts_.frame) bits |= CE_FRAME;
    if (now.overrun != error_counts_.overrun) bits |= CE_OVERRUN;
    if (now.parity != error_counts_.parity) bits |= CE_RXPARITY;
    if (now.brk != error_counts_.brk) bits |= CE_BREAK;
    if (now.buffer_overrun != error_counts_.buffer_overrun) bits |= CE_RXOVER;
    error_counts_ = now;
  }
  if (errors != nullptr) *errors = bits;
  if (stat != nullptr) {
    const long queued = QueuedForReading();
    stat->fFlags = 0;
    // The port itself holds no received bytes: all of them are still in the descriptor.
    stat->cbInQue = queued > 0 ? static_cast<DWORD>(queued) : 0;
    stat->cbOutQue =
        static_cast<DWORD>(tx_queue_.Size()) + (write_.active ? write_.size - write_.done : 0);
  }
  return ERROR_SUCCESS;
}

DWORD Port::Properties(COMMPROP* properties) {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return ERROR_INVALID_HANDLE;
  if (properties == nullptr) return ERROR_INVALID_PARAMETER;
  *properties = COMMPROP{};
  properties->dwMaxTxQueue = static_cast<DWORD>(tx_queue_.Capacity());
  properties->dwCurrentTxQueue = properties->dwMaxTxQueue;
  return ERROR_SUCCESS;
}

DWORD Port::SetMask(DWORD mask) {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return ERROR_INVALID_HANDLE;
  mask_ = mask;
  ++mask_changes_;
  data_wanted_ = false;
  event_changed_.notify_all();
  return ERROR_SUCCESS;
}

DWORD Port::GetMask(DWORD* mask) {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return ERROR_INVALID_HANDLE;
  *mask = mask_;
  return ERROR_SUCCESS;
}

DWORD Port::WaitEvent(DWORD* event_word) {
  Aftermath after;
  DWORD result = ERROR_SUCCESS;
  {
    std::unique_lock<std::mutex> guard(lock_);
    if (closed_) return ERROR_INVALID_HANDLE;
    if (mask_ == 0) {
      *event_word = 0;
      return ERROR_SUCCESS;
    }
    // Bytes already waiting count as an event: a byte that arrived just before the wait
    // would otherwise go unnoticed until the next one.
    if ((mask_ & EV_RXCHAR) != 0) {
      if (QueuedForReading() > 0) {
        *event_word = EV_RXCHAR;
        return ERROR_SUCCESS;
      }
      if (!end_of_stream_) {
        data_wanted_ = true;
        UpdateInterest(after);
        SyncOutput(after);
      }
    }
    const std::uint64_t mask_changes = mask_changes_;
    const std::uint64_t data_signals = data_signals_;
    const std::uint64_t watch_failures = watch_failures_;
    ++blocked_callers_;
    event_changed_.wait(guard, [&] {
      return closed_ || mask_changes_ != mask_changes || data_signals_ != data_signals ||
             watch_failures_ != watch_failures;
    });
    --blocked_callers_;
    if (closed_) {
      result = ERROR_OPERATION_ABORTED;
    } else if (mask_changes_ != mask_changes) {
      *event_word = 0;
    } else if (data_signals_ != data_signals) {
      *event_word = mask_ & EV_RXCHAR;
    } else {
      result = ERROR_GEN_FAILURE;
    }
  }
  RunAftermath(after);
  return result;
}

DWORD Port::Escape(DWORD function) {
  if (function != SETDTR && function != CLRDTR) return ERROR_INVALID_PARAMETER;
  const bool raise = function == SETDTR;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return ERROR_INVALID_HANDLE;
    // Sockets and pty masters have no modem lines (ENOTTY/EINVAL): the request is still
    // recorded, and the observer, standing in for the line, hears about it below. So does a
    // device whose lines belong to the port's creator.
    if (!options_.lines_owned_by_creator && !ops::SetDtr(fd_, raise) && errno != ENOTTY &&
        errno != EINVAL) {
      return ERROR_GEN_FAILURE;
    }
    dtr_ = raise;
  }
  if (observer_) observer_->OnDtrChanged(raise);
  return ERROR_SUCCESS;
}

DWORD Port::Purge(DWORD flags) {
  constexpr DWORD kAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((flags & ~kAll) != 0) return ERROR_INVALID_PARAMETER;
  Aftermath after;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return ERROR_INVALID_HANDLE;
    // The pending write ends with what it handed over so far; those bytes are the line's.
    if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0 && write_.active) {
      Finish(write_, ERROR_OPERATION_ABORTED, after);
    }
    // A terminal is a serial line: clearing its output drops the port's queue and the
    // driver's, as a serial driver's purge does (there is no graceful hang-up to keep them
    // for), unless the creator sees to it that what was written still goes out before it
    // hangs up. On a socket the queue stays, as the kernel's socket buffer does.
    if ((flags & PURGE_TXCLEAR) != 0 && kind_ == ops::Kind::kTerminal &&
        !options_.lines_owned_by_creator) {
      tx_queue_.Clear();
      tx_blocked_ = false;
      tx_flush_planned_ = false;
      ops::FlushTerminalOutput(fd_);
      UpdateTimer(after);
    }
    if ((flags & PURGE_RXABORT) != 0 && read_.active) {
      Finish(read_, ERROR_OPERATION_ABORTED, after);
    }
    if ((flags & PURGE_RXCLEAR) != 0) DiscardInput(after);
    SyncOutput(after);
  }
  RunAftermath(after);
  return ERROR_SUCCESS;
}

void Port::OnHandleClosed() {
  Aftermath after;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    closed_ = true;
    closed_at_ = Clock::now();
    if (read_.active) Finish(read_, ERROR_OPERATION_ABORTED, after);
    if (write_.active) Finish(write_, ERROR_OPERATION_ABORTED, after);
    data_wanted_ = false;
    event_changed_.notify_all();
    // Accepted output still goes out: the port keeps itself alive until it has.
    if (HoldsOutput()) {
      lingering_ = shared_from_this();
      Pump(after);
    }
    UpdateInterest(after);
    SyncOutput(after);
  }
  // The descriptor stays open until the last caller still inside the port has left (and
  // the accepted output has gone); the destructor closes it.
  RunAftermath(after);
}

void Port::RunAftermath(const Aftermath& after) {
  for (int i = 0; i < after.event_count; ++i) SetEvent(after.events[i]);
  if (after.hangup && observer_) observer_->OnPeerHangup();
  if (after.drained) after.drained();
}

}  // namespace quodem::posix
