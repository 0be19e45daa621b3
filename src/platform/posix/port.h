// A port: one descriptor opened for overlapped use, behind a HANDLE (see platform/system.h
// for the behaviour callers see, and platform/posix/descriptor_port.h for creating one).
//
// Locking. Everything mutable, including the caller's OVERLAPPED fields and the bytes of the
// caller's buffers while an operation is pending, is touched only under the port's one
// mutex. Completion therefore happens entirely under the lock, and once PurgeComm or
// CloseHandle has returned nothing touches those buffers and blocks any more. Events are set,
// the observer and an OutputWatch's `then` are called after the lock is released, from
// whichever thread completed the operation (a caller or the engine). Lock order: under its
// own lock a port takes only leaf locks (the engine's, for deadlines; ExitDrain's; an
// OutputWatch's), and no code holds one of those while it takes a port's lock.
//
// Reading ahead. Bytes stay in the descriptor until a read asks for them. The exceptions: the
// creator's initial input (PortOptions), and, after a hang-up shows while a WaitCommEvent
// waits, one byte read to tell the end of the stream from bytes still on their way (see
// OnReady). The port holds these, counts them in cbInQue and hands them to the next read
// first; PURGE_RXCLEAR drops them.
//
// Transmitting. A write copies its bytes into the port's transmit queue and completes at once
// while the queue has room; one that finds it full stays pending and completes when its last
// byte is in. The queue goes to the descriptor in large writes, each with whatever is queued
// (and the rest of a pending write, gathered without copying):
//   - on the writing thread once kDrainThreshold bytes have gathered, or a write waits for
//     room, as long as the descriptor took everything it was offered last time;
//   - on the engine thread when the descriptor, having taken less than it was offered,
//     reports room again (until then nobody offers it anything);
//   - on the engine thread kFlushDelay after bytes were queued that nothing else sent, so the
//     last bytes of a burst never wait for the next one;
//   - straight from the caller's buffer, on the caller's thread, for the first write after
//     the port has sent nothing for kFlushDelay: a lone write goes out at once, and a write
//     to a peer that has gone fails at once, as without a queue.
// A paced port (PortOptions::bytes_per_second) sends only what its pace allows, in slices of
// kPaceSlice of line time, from whichever thread finds one due (the engine's timer, a writer).
// Bytes once accepted belong to the line: a purge does not take them back (on a terminal,
// PURGE_TXCLEAR does, as a serial driver's does), and a closed port lives on until they are
// handed over (see Lifetime). A descriptor that fails, or a peer that hangs up, drops them and
// fails the pending write and every later one.
//
// Lifetime. The port is held by shared_ptr: by the handle table until its handle is closed,
// by every call while it runs, by the engine while it runs OnReady or OnTimer, and by itself
// while, closed, it still hands accepted output to the descriptor (until all of it is
// handed over, the descriptor fails, or nothing has moved for kLingerStall). The descriptor
// is owned by the port and closed only in its destructor, after it left the engine, so a
// closed handle can never lead to a descriptor number that has meanwhile been reused, and the
// peer sees the end of the stream only after the last accepted byte.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/descriptor_ops.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/io_engine.h"
#include "platform/posix/transmit_queue.h"
#include "quodem/platform/posix/descriptor_port.h"
#include "quodem/platform/system.h"

namespace quodem::posix {

class Port final : public Object,
                   public IoEngine::Client,
                   public std::enable_shared_from_this<Port> {
 public:
  // Takes ownership of `fd` (closed on failure). Null with `*error` set on failure.
  static std::shared_ptr<Port> Create(int fd, std::shared_ptr<PortObserver> observer,
                                      PortOptions options, DWORD* error);
  using Clock = IoEngine::Clock;

  static constexpr std::size_t kQueueBytes = 64 * 1024;
  static constexpr std::size_t kDrainThreshold = 32 * 1024;
  static constexpr std::chrono::microseconds kFlushDelay{1000};
  static constexpr std::chrono::milliseconds kPaceSlice{20};
  static constexpr std::chrono::seconds kLingerStall{3};

  Port(int fd, descriptor_ops::Kind kind, std::shared_ptr<PortObserver> observer,
       PortOptions options);
  ~Port() override;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // The operations below return ERROR_SUCCESS or the Win32 error of the failure; the
  // functions of system.h turn that into BOOL and the last error.

  // Starts a transfer on `block`. ERROR_SUCCESS: complete, `*count` filled. ERROR_IO_PENDING:
  // going on in the background. Another error: ended at once (after moving `*count` bytes),
  // or refused (ERROR_INVALID_HANDLE after close, ERROR_INVALID_PARAMETER when a transfer of
  // the same direction is already pending; `*count` untouched then).
  DWORD Read(void* dest, DWORD bytes, DWORD* count, OVERLAPPED* block);
  DWORD Write(const void* source, DWORD bytes, DWORD* count, OVERLAPPED* block);
  DWORD GetResult(OVERLAPPED* block, DWORD* count, bool wait);
  DWORD ClearError(DWORD* errors, COMSTAT* stat);
  DWORD Properties(COMMPROP* properties);
  DWORD SetMask(DWORD mask);
  DWORD GetMask(DWORD* mask);
  DWORD WaitEvent(DWORD* event_word);
  DWORD Escape(DWORD function);
  DWORD Purge(DWORD flags);

  void OnHandleClosed() override;
  void OnReady(std::uint32_t events) override;
  void OnTimer() override;

  // The DTR state last asked for with EscapeCommFunction (recorded also where the
  // descriptor has no modem lines).
  bool DtrRaised() const;
  // Threads asleep in WaitCommEvent or a waiting GetOverlappedResult on this port.
  std::size_t BlockedCallers() const;
  // The transmit queue's capacity, and how many system calls have handed it to the
  // descriptor so far (for tests of how the port writes).
  std::size_t QueueCapacity() const;
  std::uint64_t DescriptorWrites() const;

 private:
  // One pending transfer. `block` and `data` belong to the caller.
  struct Transfer {
    bool active = false;
    OVERLAPPED* block = nullptr;
    unsigned char* data = nullptr;
    DWORD size = 0;
    DWORD done = 0;
  };
  // What must happen once the lock is released. A port that stops lingering hands its last
  // reference over, so that it is dropped after everything else here has run.
  struct Aftermath {
    HANDLE events[2] = {0, 0};
    int event_count = 0;
    bool hangup = false;
    std::function<void()> drained;  // an OutputWatch's `then`
    std::shared_ptr<Port> release;
  };

  DWORD StartRead(void* data, DWORD bytes, DWORD* count, OVERLAPPED* block, Aftermath& after);
  void ProgressRead(Aftermath& after);
  void Finish(Transfer& transfer, DWORD status, Aftermath& after);
  // Transmitting (see the top of this file).
  void AcceptPending(Aftermath& after);
  void Pump(Aftermath& after);
  void Drain(Clock::time_point now, std::size_t limit, Aftermath& after);
  void SendPaced(Clock::time_point now, Aftermath& after);
  void Handed(std::size_t bytes, Clock::time_point now, Aftermath& after);
  void FailOutput(DWORD error, Aftermath& after);
  bool HoldsOutput() const { return !tx_queue_.Empty() && tx_error_ == ERROR_SUCCESS; }
  void UpdateTimer(Aftermath& after);
  // Brings the output counts (ExitDrain, OutputWatch) and lingering in line with the queue.
  void SyncOutput(Aftermath& after);
  void NoteBytesRead(std::size_t bytes, Aftermath& after);
  // Looks for the end-of-stream text in `n` bytes just read; returns how many of them come
  // before it (all `n` when it did not complete), ending the stream when it did. `*earlier`:
  // how many bytes of the text came before `data`.
  std::size_t ScanForEndText(const unsigned char* data, std::size_t n, std::size_t* earlier,
                             Aftermath& after);
  void NoteEndOfStream(Aftermath& after);
  void DiscardInput(Aftermath& after);
  void ProbeForEnd(Aftermath& after);
  std::uint64_t ReadAllowance() const;
  // Bytes a read could take now (the held byte included; none from the descriptor after
  // end of stream), or -1 when the descriptor cannot tell.
  long QueuedForReading() const;
  void UpdateInterest(Aftermath& after);
  void RunAftermath(const Aftermath& after);

  const int fd_;
  const descriptor_ops::Kind kind_;
  const std::shared_ptr<PortObserver> observer_;
  const PortOptions options_;
  std::uint64_t engine_id_ = 0;  // set once by Create, under the lock

  mutable std::mutex lock_;
  // Two conditions, so that a transfer ending does not wake a WaitCommEvent and data coming
  // does not wake a GetOverlappedResult.
  std::condition_variable transfer_ended_;  // a transfer ended (also by purge or close)
  std::condition_variable event_changed_;   // the mask changed, data came, watch failed, closed
  std::size_t result_waiters_ = 0;          // GetOverlappedResult callers asleep
  bool closed_ = false;
  Transfer read_;
  Transfer write_;
  DWORD mask_ = 0;
  std::uint64_t mask_changes_ = 0;
  std::uint64_t data_signals_ = 0;
  std::uint64_t watch_failures_ = 0;
  std::size_t blocked_callers_ = 0;
  bool data_wanted_ = false;  // a WaitCommEvent waits for data and has not been told yet
  bool end_of_stream_ = false;
  // One byte taken by ProbeForEnd; the next read gets it before anything else.
  bool holding_ = false;
  unsigned char held_ = 0;
  // PortOptions::initial_input not read yet (from initial_at_ on).
  std::string initial_;
  std::size_t initial_at_ = 0;
  // How much of PortOptions::end_of_stream_text the last bytes read matched, and the
  // text's failure function (the longest proper prefix that is also a suffix, per length).
  std::size_t end_matched_ = 0;
  std::vector<std::size_t> end_fallback_;
  bool hangup_reported_ = false;
  bool dtr_ = false;
  std::uint64_t total_read_ = 0;
  bool armed_ = false;
  std::uint32_t armed_events_ = 0;
  descriptor_ops::LineErrorCounts error_counts_;

  // Transmitting.
  TransmitQueue tx_queue_;
  DWORD tx_error_ = ERROR_SUCCESS;    // the line refused output: every later write fails so
  bool tx_blocked_ = false;           // the descriptor took less than offered: wait for room
  Clock::time_point tx_last_sent_{};  // when bytes last went to the descriptor
  bool tx_flush_planned_ = false;     // queued bytes wait for the engine at tx_flush_at_
  Clock::time_point tx_flush_at_{};
  std::uint64_t tx_system_calls_ = 0;
  std::uint64_t tx_bytes_sent_ = 0;
  double pace_credit_ = 0;  // bytes a paced port may send now
  Clock::time_point pace_credit_at_{};
  bool pace_idle_ = true;          // nothing was queued when the credit was last brought up to date
  Clock::time_point pace_next_{};  // when the next slice is due (a paced port with output)
  bool timer_set_ = false;
  Clock::time_point timer_at_{};
  bool output_counted_ = false;
  Clock::time_point closed_at_{};
  std::shared_ptr<Port> lingering_;  // the port's own reference while it drains after close
};

}  // namespace quodem::posix
