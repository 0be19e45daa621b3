#include "platform/posix/port.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace quodem::posix {

namespace ops = descriptor_ops;

namespace {

// How much PURGE_RXCLEAR drops from a descriptor that cannot tell its queue length. Bounded
// so that a peer sending without pause cannot keep the purge going.
constexpr std::size_t kUnknownQueueDiscardLimit = 64 * 1024;

}  // namespace

std::shared_ptr<Port> Port::Create(int fd, std::shared_ptr<PortObserver> observer,
                                   PortOptions options, DWORD* error) {
  if (fd < 0) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
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
      initial_(options_.initial_input) {
  // Error counts start from what the driver has counted so far.
  if (kind_ == ops::Kind::kTerminal) ops::ReadLineErrorCounts(fd_, &error_counts_);
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
}

bool Port::DtrRaised() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dtr_;
}

std::size_t Port::BlockedCallers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocked_callers_;
}

DWORD Port::Read(void* dest, DWORD bytes, DWORD* count, OVERLAPPED* block) {
  // Like the system it stands in for, starting a transfer resets the block's event. hEvent
  // is never written by the port, so reading it here needs no lock.
  if (block->hEvent != 0) ResetEvent(block->hEvent);
  Aftermath after;
  DWORD result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    result = Start(read_, true, dest, bytes, count, block, after);
  }
  RunAftermath(after);
  return result;
}

DWORD Port::Write(const void* source, DWORD bytes, DWORD* count, OVERLAPPED* block) {
  if (block->hEvent != 0) ResetEvent(block->hEvent);
  Aftermath after;
  DWORD result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // The buffer is only ever read from on this path.
    result = Start(write_, false, const_cast<void*>(source), bytes, count, block, after);
  }
  RunAftermath(after);
  return result;
}

DWORD Port::Start(Transfer& transfer, bool is_read, void* data, DWORD bytes, DWORD* count,
                  OVERLAPPED* block, Aftermath& after) {
  if (closed_) return ERROR_INVALID_HANDLE;
  if (transfer.active) return ERROR_INVALID_PARAMETER;
  block->Internal = STATUS_PENDING;
  block->InternalHigh = 0;
  transfer.active = true;
  transfer.block = block;
  transfer.data = static_cast<unsigned char*>(data);
  transfer.size = bytes;
  transfer.done = 0;
  // The fast path: whatever the descriptor takes or gives now moves on the caller's thread,
  // and a transfer that completes here never involves the engine.
  if (is_read) {
    ProgressRead(after);
  } else {
    ProgressWrite(after);
  }
  if (transfer.active) {
    UpdateInterest(after);
    if (count != nullptr) *count = 0;
    return ERROR_IO_PENDING;
  }
  if (count != nullptr) *count = static_cast<DWORD>(block->InternalHigh);
  return static_cast<DWORD>(block->Internal);
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

void Port::ProgressWrite(Aftermath& after) {
  while (write_.done < write_.size) {
    const ops::IoResult r =
        ops::WriteSome(fd_, kind_, write_.data + write_.done, write_.size - write_.done);
    switch (r.outcome) {
      case ops::Outcome::kMoved:
        write_.done += static_cast<DWORD>(r.bytes);
        break;
      case ops::Outcome::kWouldBlock:
        return;
      case ops::Outcome::kEndOfStream:
        Finish(write_, ERROR_BROKEN_PIPE, after);
        return;
      case ops::Outcome::kFailed:
        Finish(write_, ops::IsDisconnect(r.error) ? ERROR_BROKEN_PIPE : ERROR_GEN_FAILURE, after);
        return;
    }
  }
  Finish(write_, ERROR_SUCCESS, after);
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
  if (closed_) return;
  std::uint32_t wanted = 0;
  if (!end_of_stream_ && (read_.active || data_wanted_)) wanted |= EPOLLIN | EPOLLRDHUP;
  if (write_.active) wanted |= EPOLLOUT;
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
  if (write_.active) Finish(write_, ERROR_GEN_FAILURE, after);
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
    if (closed_) return;
    const bool hung_up = (events & (EPOLLHUP | EPOLLERR)) != 0;
    if (write_.active) {
      const DWORD before = write_.done;
      ProgressWrite(after);
      // A peer that has hung up never drains the rest: a pty master, for one, goes on taking
      // bytes after its slave closed and then reports POLLHUP without ever becoming writable.
      if (write_.active && hung_up && write_.done == before) {
        Finish(write_, ERROR_BROKEN_PIPE, after);
      }
    }
    if (read_.active) {
      ProgressRead(after);
      // Hung up with nothing left, yet read() said "later": nothing can arrive any more.
      if (read_.active && hung_up && ops::BytesWaiting(fd_) <= 0) {
        NoteEndOfStream(after);
        Finish(read_, ERROR_HANDLE_EOF, after);
      }
    }
    if (data_wanted_ && !end_of_stream_) {
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
    stat->cbOutQue = write_.active ? write_.size - write_.done : 0;
  }
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
    if ((flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0 && write_.active) {
      Finish(write_, ERROR_OPERATION_ABORTED, after);
    }
    // A terminal driver has an output queue of its own, as a serial driver does (unless the
    // creator sees to it that what was written still goes out before it hangs up).
    if ((flags & PURGE_TXCLEAR) != 0 && kind_ == ops::Kind::kTerminal &&
        !options_.lines_owned_by_creator) {
      ops::FlushTerminalOutput(fd_);
    }
    if ((flags & PURGE_RXABORT) != 0 && read_.active) {
      Finish(read_, ERROR_OPERATION_ABORTED, after);
    }
    if ((flags & PURGE_RXCLEAR) != 0) DiscardInput(after);
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
    if (read_.active) Finish(read_, ERROR_OPERATION_ABORTED, after);
    if (write_.active) Finish(write_, ERROR_OPERATION_ABORTED, after);
    data_wanted_ = false;
    event_changed_.notify_all();
  }
  // The descriptor stays open until the last caller still inside the port has left; the
  // destructor closes it.
  RunAftermath(after);
}

void Port::RunAftermath(const Aftermath& after) {
  for (int i = 0; i < after.event_count; ++i) SetEvent(after.events[i]);
  if (after.hangup && observer_) observer_->OnPeerHangup();
}

}  // namespace quodem::posix
