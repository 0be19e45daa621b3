#include "session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace quodem::tool {

namespace {

// How long a hang-up may take before the tool stops waiting for the idle state. Only a guard:
// the local exchange reaches idle within milliseconds.
constexpr std::chrono::seconds kHangUpLimit(10);

}  // namespace

CallSession::CallSession(Reporter& reporter, int line, const std::string& save_dir)
    : reporter_(reporter) {
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
  modem_->SetSaveFileDir(save_dir);
  // The handlers reach the component through Sender, never through modem_: they may still
  // run while the destructor below destroys it, when modem_ is already empty.
  modem_->SetOnLineState([this](TQuodem* sender, CallState state) { OnLineState(*sender, state); });
  modem_->SetOnLineErr([this](TQuodem*, LONG code) { OnLineErr(code); });
  modem_->SetOnSentState([this](TQuodem*, DWORD size, Dataclass kind) { OnSentState(size, kind); });
  modem_->SetOnLineReceive(
      [this](TQuodem* sender, DWORD size, Dataclass kind) { OnLineReceive(*sender, size, kind); });
  modem_->SetOnMsgReceive(
      [this](TQuodem*, const char* buffer, DWORD size) { OnMsgReceive(buffer, size); });
  modem_->SetOnFileReceive([this](TQuodem*, const std::string& path) { OnFileReceive(path); });
}

CallSession::~CallSession() {
  modem_.reset();  // no handler runs after this
  SetShowMessageHandler(previous_show_message_);
  reporter_.Finish();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void CallSession::BeginCall() {
  std::lock_guard<std::mutex> lock(lock_);
  connected_ = connected_reported_ = disconnected_ = idle_ = busy_ = call_active_ = false;
  errors_ = 0;
}

bool CallSession::HostCall(const std::function<void()>& operation) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    host_call_ = true;
    host_thread_ = std::this_thread::get_id();
    host_errors_ = 0;
  }
  operation();
  std::lock_guard<std::mutex> lock(lock_);
  host_call_ = false;
  return host_errors_ == 0;
}

bool CallSession::Dial(const std::string& number) {
  modem_->SetDialString(number);
  if (!HostCall([this] { modem_->Dial(); })) return false;
  std::lock_guard<std::mutex> lock(lock_);
  call_active_ = true;
  return true;
}

bool CallSession::Wait() {
  return HostCall([this] { modem_->Wait(); });
}

void CallSession::Cut() {
  modem_->Cut();
}

bool CallSession::RunSend(Dataclass kind, const std::function<bool()>& send) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (interrupted_) return false;
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
    return interrupted_ || connected_ || idle_ || disconnected_ || busy_ || errors_ > 0;
  });
  if (interrupted_) return Outcome::kInterrupted;
  return connected_ ? Outcome::kConnected : Outcome::kEnded;
}

CallSession::Outcome CallSession::WaitForEnd() {
  {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [this] { return interrupted_ || idle_ || disconnected_; });
    if (interrupted_) return Outcome::kInterrupted;
    if (idle_) return Outcome::kEnded;
  }
  // Disconnected: the component has cut the call itself and idle follows; if the service
  // never reports it, hang up once more so that the line is released.
  if (!WaitForIdle(kHangUpLimit)) {
    modem_->Cut();
    WaitForIdle(kHangUpLimit);
  }
  return Interrupted() ? Outcome::kInterrupted : Outcome::kEnded;
}

bool CallSession::WaitForIdle(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, limit, [this] { return idle_; });
}

void CallSession::HangUpAfterInterrupt() {
  modem_->Cut();
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!call_active_) return;  // only the line was open; destroying the component closes it
  }
  if (!WaitForIdle(kHangUpLimit)) {
    reporter_.Problem("the line did not reach the idle state after hanging up");
  }
}

void CallSession::Interrupt() {
  bool cut_now;
  {
    std::lock_guard<std::mutex> lock(lock_);
    interrupted_ = true;
    cut_now = sending_;
    Notify();
  }
  // A send blocks the main thread until its last byte is written; cutting ends it at once.
  if (cut_now) modem_->Cut();
}

bool CallSession::Interrupted() const {
  std::lock_guard<std::mutex> lock(lock_);
  return interrupted_;
}

bool CallSession::WasConnected() const {
  std::lock_guard<std::mutex> lock(lock_);
  return connected_;
}

bool CallSession::CallEnded() const {
  std::lock_guard<std::mutex> lock(lock_);
  return idle_ || disconnected_;
}

bool CallSession::WasBusy() const {
  std::lock_guard<std::mutex> lock(lock_);
  return busy_;
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

void CallSession::OnLineState(TQuodem& modem, CallState state) {
  // The call counts as connected once the component holds its port: only then can anything
  // be sent. Notifications are coalesced and each event carries the state recorded when it
  // is raised, so csConnected may be raised by the run that answered, before the port is
  // taken, and the run that took the port may already raise a later state (csDisconnected
  // when the far end hung up at once). The port stays held from the run that took it until
  // the next run cuts, so a held port here is the sure sign. The user therefore sees
  // csConnected exactly once per call, when the port is held, just before the state raised.
  const bool port_held = modem.CommHandle() != INVALID_HANDLE_VALUE;
  bool announce_connected = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (port_held && !connected_reported_) {
      announce_connected = true;
      connected_reported_ = true;
    }
  }
  if (announce_connected) reporter_.State(csConnected);
  if (state != csConnected) reporter_.State(state);
  std::lock_guard<std::mutex> lock(lock_);
  if (port_held) connected_ = true;
  switch (state) {
    case csBusy:
      busy_ = true;
      break;
    case csDisconnected:
      disconnected_ = true;
      break;
    case csIdle:
      idle_ = true;
      break;
    default:
      break;
  }
  call_active_ = state != csIdle;
  Notify();
}

void CallSession::OnLineErr(LONG code) {
  reporter_.LineError(code);
  std::lock_guard<std::mutex> lock(lock_);
  ++errors_;
  // Dial and Wait report their own failures on the calling thread; an error from state
  // handling may arrive on the event worker while Dial is still running.
  if (host_call_ && std::this_thread::get_id() == host_thread_) ++host_errors_;
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

void CallSession::OnMsgReceive(const char* buffer, DWORD size) {
  receiving_ = false;
  receive_size_ = 0;
  reporter_.Message(std::string_view(buffer, size));
}

void CallSession::OnFileReceive(const std::string& path) {
  receiving_ = false;
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  reporter_.FileSaved(path, error ? receive_size_ : size);
  receive_size_ = 0;
}

}  // namespace quodem::tool
