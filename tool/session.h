// One command's use of the component: creates it on a chosen line, turns its events into
// reports, and lets the main thread wait for what matters (connected, call ended, reader
// finished, interrupted) on a condition variable fed by the event handlers.
//
// What the user sees of a call is one event per real change, in order. The component
// coalesces notifications and may raise the same state again (after idle, every late
// notification raises csIdle once more), so the session follows each call through its
// phases and reports a state only when it changes: csConnected exactly once, when the
// component holds the call's port (before anything received on it), csDisconnected before
// csIdle for a call that connected (supplied when the component went straight to idle), and
// nothing for an idle state that belongs to a call already over.
//
// Telephony errors. Errors of Dial and Wait are kept for the command to report with its own
// words (HostErrors). Errors from state handling while a call is being set up are held back
// until the call connects; an incoming call that ends without connecting (a caller who
// connected and left at once, a port scan) is one quiet note instead.
//
// Threads. The main thread calls everything except Interrupt. The event handlers run on the
// component's workers and touch only the state behind `lock_` and the reporter; sends run on
// the main thread, so OnSentState does too. Interrupt runs on the signal watcher's thread:
// it marks the session interrupted and, when a send is running on the main thread, cuts the
// call at once so that the send ends instead of running to its end.
//
// Lock order: lock_, then the reporter's lock, then the output's (reports that must keep
// their order are made with lock_ held).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quodem/component/quodem.h"
#include "reporter.h"

namespace quodem::tool {

// How long a hang-up may take before the tool stops waiting for the idle state. Only a guard:
// the local exchange reaches idle within milliseconds.
constexpr std::chrono::seconds kHangUpLimit(10);

// What becomes of the files the far end sends.
struct ReceiveRules {
  // The folder they are saved in (absolute, resolved); "" refuses every file.
  std::string save_dir;
  bool replace = false;       // a file of the same name is replaced (else saved as "a (1).txt")
  bool allow_hidden = false;  // names that begin with a dot are accepted (else refused)
  bool created = false;       // save_dir was made for this run
};

// Where the current call is.
enum class CallPhase {
  kNone,       // no call since BeginCall (a Wait may have opened the line)
  kSettingUp,  // dialled, or offered: not connected yet
  kConnected,  // the component holds the call's port
  kEnding,     // the line has ended the call (busy, disconnected); idle follows
  kOver,       // idle: the call is over
};

class CallSession {
 public:
  // Creates the component on `line` (already checked), receiving files as `rules` say: every
  // file not saved (refused here, or failed in the component) is reported and counted.
  // Installs a ShowMessage handler that reports the text as a problem and keeps it for the
  // failed send's report.
  CallSession(Reporter& reporter, int line, const ReceiveRules& rules);
  // Destroys the component: it hangs up and waits until its workers have let go, so the
  // reader has finished the last frame (saved its file, raised its event) and no temporary
  // file is left when this returns.
  ~CallSession();

  CallSession(const CallSession&) = delete;
  CallSession& operator=(const CallSession&) = delete;

  TQuodem& Modem() { return *modem_; }

  // Ends the session's use of the component as the destructor does (the reader finishes the
  // last frame), then returns `status`, or kExitFileNotSaved instead of kExitOk when a
  // received file was not saved. The command's last call; Modem() is gone after it.
  int EndWith(int status);

  // Forgets the last call (its phase, errors and ending); the interrupt stays.
  void BeginCall();
  // Dial and Wait: false when the operation reported a telephony error at once (HostErrors
  // has it); the call then did not start.
  bool Dial(const std::string& number);
  bool Wait();
  // Hangs up (unless the line has ended the call, which the component then cuts itself) and
  // waits for the idle state, at most kHangUpLimit (said when it does not come).
  void HangUp();

  // One frame each, reported as sent progress; false when the send failed (reported as
  // send-failed) or the session was interrupted before it began.
  bool SendMessage(std::string_view text);
  bool SendFile(const std::string& path);

  enum class Outcome {
    kConnected,    // the call is connected
    kEnded,        // it ended (busy, disconnected, idle), or failed, without connecting
    kInterrupted,  // a signal came, or standard output was closed
  };
  // Until the call connects, ends or fails, or the session is interrupted.
  Outcome WaitForConnection();
  // Until the call has ended (idle, or disconnected and then idle within a short while) or
  // the session is interrupted. kConnected is never returned.
  Outcome WaitForEnd();
  // Until the call is idle, at most `limit`; true when it is.
  bool WaitForIdle(std::chrono::milliseconds limit);

  // Hangs up after an interrupt: Cut, then, when a call exists, a bounded wait for idle.
  void HangUpAfterInterrupt();

  // `signal`: SIGINT or SIGTERM, or SIGPIPE when standard output has lost its reader.
  void Interrupt(int signal);
  bool Interrupted() const;
  // The exit status for the interrupt: 130 for a signal, 141 for a closed output.
  int InterruptStatus() const;
  bool WasConnected() const;
  // The call has ended (busy, disconnected or idle) since BeginCall.
  bool CallEnded() const;

  // The telephony errors Dial or Wait reported while they ran (in order).
  std::vector<LONG> HostErrors() const;
  // The errors state handling reported for the call before it connected, not reported.
  std::vector<LONG> HeldErrors() const;
  // How the line ended this call (a LINEDISCONNECTMODE_ value), when it said so.
  std::optional<DWORD> DisconnectMode() const;

  // A descriptor that becomes readable whenever the session's state changes (for a main
  // loop that also waits for other input with poll). Drain it with DrainWake.
  int WakeFd() const { return wake_[0]; }
  void DrainWake();

 private:
  void OnLineState(TQuodem& modem, CallState state);
  void OnLineErr(LONG code);
  void OnSentState(DWORD size, Dataclass kind);
  void OnLineReceive(TQuodem& modem, DWORD size, Dataclass kind);
  void OnMsgReceive(TQuodem& modem, const char* buffer, DWORD size);
  void OnFileReceive(TQuodem& modem, const std::string& path);
  // Reader worker: refuses what `rules_` refuse; a refused name's reason is kept for
  // OnFileError, which reports every file not saved.
  void OnFileAccept(const std::string& name, bool& accept);
  void OnFileError(const std::string& name, const std::string& reason);
  // With lock_ held: reports csConnected once the component holds the port.
  void AnnounceConnected(const TQuodem& modem);
  // With lock_ held: reports `state` unless it is the one reported last; `rate` as
  // Reporter::State has it.
  void ReportState(CallState state, unsigned rate = 0);
  void Notify();  // with lock_ held
  // Runs Dial or Wait; false when it reported an error on this thread while it ran.
  bool HostCall(const std::function<void()>& operation);
  bool RunSend(Dataclass kind, const std::function<bool()>& send);

  Reporter& reporter_;
  const ReceiveRules rules_;
  std::unique_ptr<TQuodem> modem_;
  TShowMessageHandler previous_show_message_;
  int wake_[2] = {-1, -1};

  mutable std::mutex lock_;
  std::condition_variable changed_;
  // The current call.
  CallPhase phase_ = CallPhase::kNone;
  bool connected_ = false;  // it reached kConnected
  bool outgoing_ = false;   // dialled here
  std::optional<CallState> last_reported_;
  std::vector<LONG> held_errors_;
  std::uint64_t ending_serial_ = 0;  // telephony::LastCallEnding().serial at BeginCall
  // Dial or Wait running on host_thread_, and what it reported.
  bool host_call_ = false;
  std::thread::id host_thread_;
  std::vector<LONG> host_errors_;
  int interrupt_signal_ = 0;  // 0: not interrupted
  bool sending_ = false;
  std::string last_show_message_;
  int files_not_saved_ = 0;
  std::string refusal_;  // why OnFileAccept refused the frame being received

  // The send in progress (main thread only).
  std::string send_name_;
  std::uint64_t send_total_ = 0;
  bool send_first_ = false;

  // The frame being received (reader worker only).
  std::string accepted_name_;  // the name OnFileAccept was asked about
  bool receiving_ = false;
  Dataclass receive_kind_ = dcMessage;
  std::uint64_t receive_size_ = 0;
  std::uint64_t receive_total_ = 0;
};

}  // namespace quodem::tool
