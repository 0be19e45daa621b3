#include "session.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "command.h"
#include "quodem/platform/telephony_service.h"
#include "text.h"

namespace quodem::tool {

namespace {

Failure TelephonyFailure(LONG code) {
  return Failure{"telephony", "telephony error " + FormatResultCode(code), code};
}

}  // namespace

CallSession::CallSession(Reporter& reporter, int line, const ReceiveRules& rules)
    : reporter_(reporter), rules_(rules) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  previous_show_message_ = SetShowMessageHandler([this](const std::string& text) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      last_show_message_ = text;
    }
    reporter_.Problem(text);
  });
  modem_ = std::make_unique<TQuodem>();
  modem_->SetLineIndex(line);
  modem_->SetSaveFileDir(rules_.save_dir);
  modem_->SetReplaceFiles(rules_.replace);
  // The handlers reach the component through Sender, never through modem_: they may still
  // run while the destructor below destroys it, when modem_ is already empty.
  modem_->SetOnLineState([this](TQuodem* sender, CallState state) { OnLineState(*sender, state); });
  modem_->SetOnLineErr([this](TQuodem*, LONG code) { OnLineErr(code); });
  modem_->SetOnSentState([this](TQuodem*, DWORD size, Dataclass kind) { OnSentState(size, kind); });
  modem_->SetOnLineReceive(
      [this](TQuodem* sender, DWORD size, Dataclass kind) { OnLineReceive(*sender, size, kind); });
  modem_->SetOnMsgReceive([this](TQuodem* sender, const char* buffer, DWORD size) {
    OnMsgReceive(*sender, buffer, size);
  });
  modem_->SetOnFileReceive(
      [this](TQuodem* sender, const std::string& path) { OnFileReceive(*sender, path); });
  modem_->SetOnFileAccept([this](TQuodem*, const std::string& name, DWORD, bool& accept) {
    OnFileAccept(name, accept);
  });
  modem_->SetOnFileError([this](TQuodem*, const std::string& name, const std::string& reason) {
    OnFileError(name, reason);
  });
}

CallSession::~CallSession() {
  modem_.reset();  // no handler runs after this
  SetShowMessageHandler(previous_show_message_);
  reporter_.Finish();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

int CallSession::EndWith(int status) {
  modem_.reset();  // no handler runs after this
  std::lock_guard<std::mutex> lock(lock_);
  return status == kExitOk && files_not_saved_ > 0 ? kExitFileNotSaved : status;
}

void CallSession::BeginCall() {
  const std::uint64_t serial = telephony::LastCallEnding().serial;
  std::lock_guard<std::mutex> lock(lock_);
  phase_ = CallPhase::kNone;
  connected_ = outgoing_ = false;
  last_reported_.reset();
  held_errors_.clear();
  host_errors_.clear();
  ending_serial_ = serial;
}

bool CallSession::HostCall(const std::function<void()>& operation) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    host_call_ = true;
    host_thread_ = std::this_thread::get_id();
    host_errors_.clear();
  }
  operation();
  std::lock_guard<std::mutex> lock(lock_);
  host_call_ = false;
  return host_errors_.empty();
}

bool CallSession::Dial(const std::string& number) {
  modem_->SetDialString(number);
  {
    // Before Dial: the call's states may come before it returns.
    std::lock_guard<std::mutex> lock(lock_);
    phase_ = CallPhase::kSettingUp;
    outgoing_ = true;
  }
  if (HostCall([this] { modem_->Dial(); })) return true;
  std::lock_guard<std::mutex> lock(lock_);
  if (phase_ == CallPhase::kSettingUp) phase_ = CallPhase::kNone;
  return false;
}

bool CallSession::Wait() {
  return HostCall([this] { modem_->Wait(); });
}

void CallSession::HangUp() {
  // A call the line has ended is cut by the component itself.
  if (!CallEnded()) modem_->Cut();
  if (!WaitForIdle(kHangUpLimit)) {
    reporter_.Problem("the line did not reach the idle state after hanging up");
  }
}

bool CallSession::RunSend(Dataclass kind, const std::function<bool()>& send) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (interrupt_signal_ != 0) return false;
    sending_ = true;
    last_show_message_.clear();
  }
  bool ok = false;
  std::string failure;
  try {
    ok = send();
  } catch (const std::exception& e) {
    // The file could not be loaded (it was readable when the command began).
    failure = e.what();
    reporter_.Problem(failure);
  }
  std::lock_guard<std::mutex> lock(lock_);
  sending_ = false;
  if (!ok) {
    if (failure.empty()) failure = last_show_message_;
    reporter_.SendFailed(kind, failure);
  }
  return ok;
}

bool CallSession::SendMessage(std::string_view text) {
  send_name_.clear();
  send_total_ = text.size();
  send_first_ = true;
  return RunSend(dcMessage,
                 [&] { return modem_->SendBuffer(text.data(), static_cast<int>(text.size())); });
}

bool CallSession::SendFile(const std::string& path) {
  send_name_ = ExtractFileName(path);
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  send_total_ = error ? 0 : size;
  send_first_ = true;
  return RunSend(dcFile, [&] { return modem_->SendFile(path); });
}

CallSession::Outcome CallSession::WaitForConnection() {
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] {
    return interrupt_signal_ != 0 || phase_ == CallPhase::kConnected ||
           phase_ == CallPhase::kEnding || phase_ == CallPhase::kOver ||
           (outgoing_ && !held_errors_.empty());
  });
  if (interrupt_signal_ != 0) return Outcome::kInterrupted;
  return connected_ ? Outcome::kConnected : Outcome::kEnded;
}

CallSession::Outcome CallSession::WaitForEnd() {
  {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] {
      return interrupt_signal_ != 0 || phase_ == CallPhase::kEnding || phase_ == CallPhase::kOver;
    });
    if (interrupt_signal_ != 0) return Outcome::kInterrupted;
    if (phase_ == CallPhase::kOver) return Outcome::kEnded;
  }
  // Ended on the line: the component has cut the call itself and idle follows; if the
  // service never reports it, hang up once more so that the line is released.
  if (!WaitForIdle(kHangUpLimit)) {
    modem_->Cut();
    WaitForIdle(kHangUpLimit);
  }
  return Interrupted() ? Outcome::kInterrupted : Outcome::kEnded;
}

bool CallSession::WaitForIdle(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(
      lock, limit, [this] { return phase_ == CallPhase::kOver || phase_ == CallPhase::kNone; });
}

void CallSession::HangUpAfterInterrupt() {
  modem_->Cut();
  {
    std::lock_guard<std::mutex> lock(lock_);
    // Only the line was open, or the call is over: destroying the component closes the line.
    if (phase_ == CallPhase::kNone || phase_ == CallPhase::kOver) return;
  }
  if (!WaitForIdle(kHangUpLimit)) {
    reporter_.Problem("the line did not reach the idle state after hanging up");
  }
}

void CallSession::Interrupt(int signal) {
  bool cut_now;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (interrupt_signal_ == 0) interrupt_signal_ = signal;
    cut_now = sending_;
    Notify();
  }
  // A send blocks the main thread until its last byte is written; cutting ends it at once.
  if (cut_now) modem_->Cut();
}

bool CallSession::Interrupted() const {
  std::lock_guard<std::mutex> lock(lock_);
  return interrupt_signal_ != 0;
}

int CallSession::InterruptStatus() const {
  std::lock_guard<std::mutex> lock(lock_);
  return interrupt_signal_ == SIGPIPE ? kExitOutputClosed : kExitInterrupted;
}

bool CallSession::WasConnected() const {
  std::lock_guard<std::mutex> lock(lock_);
  return connected_;
}

bool CallSession::CallEnded() const {
  std::lock_guard<std::mutex> lock(lock_);
  return phase_ == CallPhase::kEnding || phase_ == CallPhase::kOver;
}

std::vector<LONG> CallSession::HostErrors() const {
  std::lock_guard<std::mutex> lock(lock_);
  return host_errors_;
}

std::vector<LONG> CallSession::HeldErrors() const {
  std::lock_guard<std::mutex> lock(lock_);
  return held_errors_;
}

std::optional<DWORD> CallSession::DisconnectMode() const {
  const telephony::CallEnding ending = telephony::LastCallEnding();
  std::lock_guard<std::mutex> lock(lock_);
  if (ending.serial <= ending_serial_) return std::nullopt;
  return ending.mode;
}

void CallSession::DrainWake() {
  char buffer[64];
  while (::read(wake_[0], buffer, sizeof buffer) > 0) {
  }
}

void CallSession::Notify() {
  changed_.notify_all();
  const char byte = 1;
  // A full pipe already wakes the reader; nothing is lost by dropping this byte.
  ssize_t ignored = ::write(wake_[1], &byte, 1);
  (void)ignored;
}

void CallSession::ReportState(CallState state, unsigned rate) {
  if (last_reported_ == state) return;
  last_reported_ = state;
  reporter_.State(state, rate);
}

void CallSession::AnnounceConnected(const TQuodem& modem) {
  // The call counts as connected once the component holds its port: only then can anything
  // be sent or received. Notifications are coalesced and each event carries the state
  // recorded when it is raised, so csConnected may be raised by the run that answered,
  // before the port is taken, and the run that took the port may already raise a later
  // state (csDisconnected when the far end hung up at once); the reader it starts may even
  // report received bytes first. The port stays held from the run that took it until the
  // next run cuts, so a held port here is the sure sign, and whoever sees it first reports
  // csConnected.
  if (connected_ || modem.CommHandle() == INVALID_HANDLE_VALUE) return;
  if (phase_ != CallPhase::kNone && phase_ != CallPhase::kSettingUp) return;
  connected_ = true;
  phase_ = CallPhase::kConnected;
  // The rate the call connected at, as the line tells it (a modem's CONNECT rate; 0 when
  // the line has none).
  LINECALLINFO info{};
  info.dwTotalSize = sizeof info;
  const HCALL call = CallRecord.Call.load();
  const unsigned rate = call != 0 && lineGetCallInfoA(call, &info) == 0 ? info.dwRate : 0;
  ReportState(csConnected, rate);
  // Held back while the call was set up; the call connected, so they are worth telling.
  for (LONG code : held_errors_) reporter_.Failed(TelephonyFailure(code));
  held_errors_.clear();
}

void CallSession::OnLineState(TQuodem& modem, CallState state) {
  std::lock_guard<std::mutex> lock(lock_);
  // After idle nothing belongs to this call any more; an idle state without a call is a
  // repeat for one already over (the component raises it for every late notification).
  if (phase_ == CallPhase::kOver) return;
  if (phase_ == CallPhase::kNone) {
    if (state == csIdle) return;
    phase_ = CallPhase::kSettingUp;
  }
  AnnounceConnected(modem);
  switch (state) {
    case csConnected:
      break;  // reported by AnnounceConnected, when the port is held
    case csBusy:
    case csDisconnected:
      ReportState(state);
      phase_ = CallPhase::kEnding;
      break;
    case csIdle:
      // A call that connected is disconnected before it is idle, whether or not the
      // component raised that state.
      if (phase_ == CallPhase::kConnected) ReportState(csDisconnected);
      ReportState(csIdle);
      phase_ = CallPhase::kOver;
      if (!connected_ && !outgoing_ && interrupt_signal_ == 0) {
        // A caller who connected and left at once (a port scan): whatever state handling
        // ran into on the way is no telephony error.
        reporter_.Note("the caller hung up before the call was connected");
      }
      held_errors_.clear();
      break;
    default:
      ReportState(state);
      break;
  }
  Notify();
}

void CallSession::OnLineErr(LONG code) {
  std::lock_guard<std::mutex> lock(lock_);
  if (host_call_ && std::this_thread::get_id() == host_thread_) {
    // Dial and Wait report their own failures on the calling thread, for the command to tell
    // in its own words; an error from state handling may arrive on the event worker while
    // Dial is still running.
    host_errors_.push_back(code);
  } else if (phase_ == CallPhase::kSettingUp || (phase_ == CallPhase::kEnding && !connected_)) {
    held_errors_.push_back(code);
  } else {
    reporter_.Failed(TelephonyFailure(code));
  }
  Notify();
}

void CallSession::OnSentState(DWORD size, Dataclass kind) {
  TransferUpdate update;
  update.direction = Direction::kSend;
  update.kind = kind;
  update.name = send_name_;
  update.size = size;
  update.total = send_total_;
  update.first = send_first_;
  send_first_ = false;
  reporter_.Progress(update);
}

void CallSession::OnLineReceive(TQuodem& modem, DWORD size, Dataclass kind) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    AnnounceConnected(modem);
  }
  // A new frame begins when none is open, when the count goes back, when the kind changes,
  // or when the last one reached its total without a completion event (a frame the reader
  // dropped).
  const bool first = !receiving_ || size < receive_size_ || kind != receive_kind_ ||
                     receive_size_ >= receive_total_;
  if (first) {
    receiving_ = true;
    receive_kind_ = kind;
    // The header's totals, read now: DataTotal and FileTotal hold this frame's values at its
    // first progress report, and FileTotal changes again with our next SendFile.
    receive_total_ = kind == dcMessage ? modem.DataTotal() : modem.FileTotal();
  }
  receive_size_ = size;
  TransferUpdate update;
  update.direction = Direction::kReceive;
  update.kind = kind == dcMessage ? dcMessage : dcFile;
  update.size = size;
  update.total = receive_total_;
  update.first = first;
  reporter_.Progress(update);
}

void CallSession::OnMsgReceive(TQuodem& modem, const char* buffer, DWORD size) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    AnnounceConnected(modem);
  }
  receiving_ = false;
  receive_size_ = 0;
  reporter_.Message(std::string_view(buffer, size));
}

void CallSession::OnFileReceive(TQuodem& modem, const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    AnnounceConnected(modem);
  }
  receiving_ = false;
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  // With ReplaceFiles false a name already taken is saved as "name (1).ext": say so.
  const std::string saved_name = ExtractFileName(path);
  reporter_.FileSaved(path, error ? receive_size_ : size,
                      saved_name == accepted_name_ ? std::string() : accepted_name_);
  receive_size_ = 0;
}

void CallSession::OnFileAccept(const std::string& name, bool& accept) {
  accepted_name_ = name;
  std::string refusal;
  if (rules_.save_dir.empty()) {
    refusal = "no folder to save files in (--save-dir was not given)";
  } else if (!name.empty() && name.front() == '.' && !rules_.allow_hidden) {
    refusal = "a hidden name (it begins with a dot; --allow-hidden accepts it)";
  }
  if (refusal.empty()) return;
  accept = false;
  std::lock_guard<std::mutex> lock(lock_);
  refusal_ = std::move(refusal);
}

void CallSession::OnFileError(const std::string& name, const std::string& reason) {
  receiving_ = false;
  receive_size_ = 0;
  std::string why = reason;
  {
    std::lock_guard<std::mutex> lock(lock_);
    ++files_not_saved_;
    // The component says "refused by the host" for a refusal of OnFileAccept: say ours.
    if (!refusal_.empty()) why = std::move(refusal_);
    refusal_.clear();
  }
  reporter_.FileFailed(name, why);
}

}  // namespace quodem::tool
