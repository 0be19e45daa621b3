// One command's use of the component: creates it on a chosen line, turns its events into
// reports, and lets the main thread wait for what matters (connected, call ended, reader
// finished, interrupted) on a condition variable fed by the event handlers.
//
// Threads. The main thread calls everything except Interrupt. The event handlers run on the
// component's workers and touch only the state behind `lock_` and the reporter (which has its
// own lock); sends run on the main thread, so OnSentState does too. Interrupt runs on the
// signal watcher's thread: it marks the session interrupted and, when a send is running on
// the main thread, cuts the call at once so that the send ends instead of running to its end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "quodem/component/quodem.h"
#include "reporter.h"

namespace quodem::tool {

class CallSession {
 public:
  // Creates the component on `line` (already checked) with received files saved in
  // `save_dir` (absolute). Installs a ShowMessage handler that reports the text as a problem
  // and keeps it for the failed send's report.
  CallSession(Reporter& reporter, int line, const std::string& save_dir);
  // Destroys the component: it hangs up and waits until its workers have let go, so the
  // reader has finished the last frame (saved its file, raised its event) and no temporary
  // file is left when this returns.
  ~CallSession();

  CallSession(const CallSession&) = delete;
  CallSession& operator=(const CallSession&) = delete;

  TQuodem& Modem() { return *modem_; }

  // Forgets what the last call did (connected, ended, busy, errors); the interrupt stays.
  void BeginCall();
  // Dial and Wait: false when the operation reported a telephony error at once (it has been
  // reported); the call then did not start.
  bool Dial(const std::string& number);
  bool Wait();
  void Cut();

  // One frame each, reported as sent progress; false when the send failed (reported as
  // send-failed) or the session was interrupted before it began.
  bool SendMessage(std::string_view text);
  bool SendFile(const std::string& path);

  enum class Outcome {
    kConnected,    // the call is connected
    kEnded,        // it ended (idle or disconnected), was busy, or failed, without connecting
    kInterrupted,  // a signal came
  };
  // Until the call connects, ends or fails, or a signal comes.
  Outcome WaitForConnection();
  // Until the call has ended (idle, or disconnected and then idle within a short while) or a
  // signal comes. kConnected is never returned.
  Outcome WaitForEnd();
  // Until the call is idle, at most `limit`; true when it is.
  bool WaitForIdle(std::chrono::milliseconds limit);

  // Hangs up after Ctrl-C: Cut, then, when a call exists, a bounded wait for the idle state.
  void HangUpAfterInterrupt();

  void Interrupt();
  bool Interrupted() const;
  bool WasConnected() const;
  bool WasBusy() const;
  // The call has reached idle or disconnected since BeginCall.
  bool CallEnded() const;

  // A descriptor that becomes readable whenever the session's state changes (for a main
  // loop that also waits for other input with poll). Drain it with DrainWake.
  int WakeFd() const { return wake_[0]; }
  void DrainWake();

 private:
  void OnLineState(TQuodem& modem, CallState state);
  void OnLineErr(LONG code);
  void OnSentState(DWORD size, Dataclass kind);
  void OnLineReceive(TQuodem& modem, DWORD size, Dataclass kind);
  void OnMsgReceive(const char* buffer, DWORD size);
  void OnFileReceive(const std::string& path);
  void Notify();  // with lock_ held
  // Runs Dial or Wait; false when it reported an error on this thread while it ran.
  bool HostCall(const std::function<void()>& operation);
  bool RunSend(Dataclass kind, const std::function<bool()>& send);

  Reporter& reporter_;
  std::unique_ptr<TQuodem> modem_;
  TShowMessageHandler previous_show_message_;
  int wake_[2] = {-1, -1};

  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool connected_ = false;  // the component has held the call's port
  bool connected_reported_ = false;
  bool disconnected_ = false;
  bool idle_ = false;
  bool busy_ = false;
  bool call_active_ = false;  // a call exists: dialled, or a state other than idle seen
  int errors_ = 0;
  bool host_call_ = false;  // Dial or Wait is running on host_thread_
  std::thread::id host_thread_;
  int host_errors_ = 0;
  bool interrupted_ = false;
  bool sending_ = false;
  std::string last_show_message_;

  // The send in progress (main thread only).
  std::string send_name_;
  std::uint64_t send_total_ = 0;
  bool send_first_ = false;

  // The frame being received (reader worker only).
  bool receiving_ = false;
  Dataclass receive_kind_ = dcMessage;
  std::uint64_t receive_size_ = 0;
  std::uint64_t receive_total_ = 0;
};

}  // namespace quodem::tool
