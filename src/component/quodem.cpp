// TQuodem: construction, destruction, published properties and event accessors. Line
// control lives in line/, port I/O in link/, sending and receiving in transfer/.
#include "quodem/component/quodem.h"

#include <charconv>
#include <memory>
#include <string>

#include "line/call_table.h"
#include "line/inbox.h"
#include "line/quodem_thread.h"
#include "transfer/read_modem_thread.h"

namespace quodem {
namespace {

// The current directory, however long; "." when it cannot be read.
std::string CurrentDirectory() {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) break;
    std::string buffer(needed, '\0');
    DWORD length = GetCurrentDirectoryA(needed, buffer.data());
    if (length == 0) break;
    if (length < needed) {  // it fitted (length excludes the zero)
      buffer.resize(length);
      return buffer;
    }
    // The directory changed to a longer one in between: ask again.
  }
  return ".";
}

TQuodem& AsQuodem(TComponent& component) {
  return static_cast<TQuodem&>(component);
}
const TQuodem& AsQuodem(const TComponent& component) {
  return static_cast<const TQuodem&>(component);
}

TPropInfo EventProperty(const char* name, const char* type) {
  TPropInfo info;
  info.name = name;
  info.type = type;
  info.is_event = true;
  return info;
}

}  // namespace

const char* CallStateName(CallState state) {
  static constexpr const char* kNames[] = {
      "csIdle",        "csOffering", "csAccepted",     "csDialTone",  "csDialing",
      "csRingBack",    "csBusy",     "csSpecialInfo",  "csConnected", "csProceeding",
      "csConferenced", "csOnHold",   "csDisconnected", "csUnknown",
  };
  return state <= csUnknown ? kNames[state] : "csUnknown";
}

TQuodem::TQuodem(TComponent* Owner)
    : TComponent(Owner),
      FCalls(std::make_unique<line::CallTable>()),
      FInbox(std::make_shared<line::Inbox>()) {
  // Strings start empty, LineIndex at -1, no port held and FLocalCut clear (member
  // initialisers). The notification event is shared by name with every component and the
  // callback; the stop event is this component's own.
  FLineEvent = CreateEventA(nullptr, TRUE, FALSE, kLineEventName);
  FStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // During construction no OnLineErr handler can be assigned: a failed session start only
  // leaves the table empty and its code in CallRecord.LastResult.
  ModemInit();
  FEventThread = TThread::Create<TQuodemThread>(false, this);
  std::string directory = CurrentDirectory();
  std::lock_guard<std::mutex> lock(FFieldLock);
  FSaveFileDir = std::move(directory);
}

TQuodem::~TQuodem() {
  StopWorkers();
  if (FLineEvent != 0) {
    CloseHandle(FLineEvent);
    FLineEvent = 0;
  }

  {
    // Every line still open is closed and the session ended; notifications about them no
    // longer reach this component.
    std::lock_guard<std::mutex> calls(FCallLock);
    for (const line::LineOpen& open : FCalls->Opens()) {
      if (open.open) lineClose(open.line);
      line::UnregisterOpen(open.id);
    }
    FCalls->Clear();
    {
      std::lock_guard<std::mutex> lock(FLineLock);
      FCallParams.reset();
    }
    if (HLINEAPP app = FLineApp.exchange(0); app != 0) lineShutdown(app);
  }
  if (FStopEvent != 0) CloseHandle(FStopEvent);
  std::lock_guard<std::mutex> receive(FReceiveLock);
  FMsgBuffer.reset();
}

void TQuodem::StopWorkers() {
  if (!FEventThread) return;  // stopped already
  Cut();

  // Wake this component's event worker only (setting the shared event would make every
  // other component run its state handling) and wait until it can no longer touch us.
  FEventThread->Terminate();
  SetEvent(FStopEvent);
  if (!FEventThread->IsCurrentThread()) FEventThread->WaitFor();
  FEventThread.reset();

  // A notification handled after the Cut above may have taken a port over and started a
  // reader; release that too.
  bool held;
  {
    std::lock_guard<std::mutex> cut(FCutLock);
    held = FReadThread != nullptr || FCommHandle.load() != INVALID_HANDLE_VALUE;
  }
  if (held) Cut();

  // Readers that Cut let go may still be finishing a frame on their own threads; the last
  // thing each does is to count itself out here.
  std::unique_lock<std::mutex> lock(FReaderLock);
  FReadersDone.wait(lock, [this] { return FLiveReaders == 0; });
}

std::vector<TPropInfo> TQuodem::PublishedProperties() const {
  std::vector<TPropInfo> props;

  TPropInfo line_index;
  line_index.name = "LineIndex";
  line_index.type = "int";
  line_index.default_value = "-1";
  line_index.get = [](const TComponent& c) { return std::to_string(AsQuodem(c).LineIndex()); };
  line_index.set = [](TComponent& c, const std::string& text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
      throw EPropertyError("LineIndex: not an integer: " + text);
    }
    AsQuodem(c).SetLineIndex(value);
  };
  props.push_back(std::move(line_index));

  TPropInfo file_total;
  file_total.name = "FileTotal";
  file_total.type = "unsigned long";
  file_total.writable = false;
  file_total.get = [](const TComponent& c) { return std::to_string(AsQuodem(c).FileTotal()); };
  props.push_back(std::move(file_total));

  TPropInfo data_total;
  data_total.name = "DataTotal";
  data_total.type = "unsigned long";
  data_total.writable = false;
  data_total.get = [](const TComponent& c) { return std::to_string(AsQuodem(c).DataTotal()); };
  props.push_back(std::move(data_total));

  TPropInfo dial_string;
  dial_string.name = "DialString";
  dial_string.type = "string";
  dial_string.default_value = "''";
  dial_string.get = [](const TComponent& c) { return AsQuodem(c).DialString(); };
  dial_string.set = [](TComponent& c, const std::string& text) { AsQuodem(c).SetDialString(text); };
  props.push_back(std::move(dial_string));

  TPropInfo save_dir;
  save_dir.name = "SaveFileDir";
  save_dir.type = "string";
  save_dir.get = [](const TComponent& c) { return AsQuodem(c).SaveFileDir(); };
  save_dir.set = [](TComponent& c, const std::string& text) { AsQuodem(c).SetSaveFileDir(text); };
  props.push_back(std::move(save_dir));

  props.push_back(EventProperty("OnLineState", "TCallStateEvent"));
  props.push_back(EventProperty("OnLineErr", "TLineErrEvent"));
  props.push_back(EventProperty("OnSentState", "TTransferEvent"));
  props.push_back(EventProperty("OnLineReceive", "TTransferEvent"));
  props.push_back(EventProperty("OnMsgReceive", "TMsgReceiveEvent"));
  props.push_back(EventProperty("OnFileReceive", "TFileReceiveEvent"));

  // Beyond the classic design, after everything it had, so the order of what existed stays.
  TPropInfo replace_files;
  replace_files.name = "ReplaceFiles";
  replace_files.type = "bool";
  replace_files.default_value = "True";
  replace_files.get = [](const TComponent& c) {
    return std::string(AsQuodem(c).ReplaceFiles() ? "True" : "False");
  };
  replace_files.set = [](TComponent& c, const std::string& text) {
    if (text != "True" && text != "False") {
      throw EPropertyError("ReplaceFiles: not True or False: " + text);
    }
    AsQuodem(c).SetReplaceFiles(text == "True");
  };
  props.push_back(std::move(replace_files));
  props.push_back(EventProperty("OnFileError", "TFileErrorEvent"));
  props.push_back(EventProperty("OnFileAccept", "TFileAcceptEvent"));
  return props;
}

std::string TQuodem::DialString() const {
  std::lock_guard<std::mutex> lock(FFieldLock);
  return FDialString;
}
void TQuodem::SetDialString(const std::string& value) {
  std::lock_guard<std::mutex> lock(FFieldLock);
  FDialString = value;
}
std::string TQuodem::SaveFileDir() const {
  std::lock_guard<std::mutex> lock(FFieldLock);
  return FSaveFileDir;
}
void TQuodem::SetSaveFileDir(const std::string& value) {
  std::lock_guard<std::mutex> lock(FFieldLock);
  FSaveFileDir = value;
}

std::vector<std::string> TQuodem::LineNames() const {
  std::lock_guard<std::mutex> lock(FLineLock);
  return FLineNames.Items();
}

// Closures are copied out under FEventLock and called by the caller after the lock is gone,
// so a handler may replace handlers or call back into the component.
TCallStateEvent TQuodem::OnLineState() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnLineState;
}
void TQuodem::SetOnLineState(TCallStateEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnLineState = std::move(handler);
}
TLineErrEvent TQuodem::OnLineErr() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnLineErr;
}
void TQuodem::SetOnLineErr(TLineErrEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnLineErr = std::move(handler);
}
TTransferEvent TQuodem::OnSentState() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnSentState;
}
void TQuodem::SetOnSentState(TTransferEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnSentState = std::move(handler);
}
TTransferEvent TQuodem::OnLineReceive() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnLineReceive;
}
void TQuodem::SetOnLineReceive(TTransferEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnLineReceive = std::move(handler);
}
TMsgReceiveEvent TQuodem::OnMsgReceive() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnMsgReceive;
}
void TQuodem::SetOnMsgReceive(TMsgReceiveEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnMsgReceive = std::move(handler);
}
TFileReceiveEvent TQuodem::OnFileReceive() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnFileReceive;
}
void TQuodem::SetOnFileReceive(TFileReceiveEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnFileReceive = std::move(handler);
}

TFileErrorEvent TQuodem::OnFileError() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnFileError;
}
void TQuodem::SetOnFileError(TFileErrorEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnFileError = std::move(handler);
}
TFileAcceptEvent TQuodem::OnFileAccept() const {
  std::lock_guard<std::mutex> lock(FEventLock);
  return FOnFileAccept;
}
void TQuodem::SetOnFileAccept(TFileAcceptEvent handler) {
  std::lock_guard<std::mutex> lock(FEventLock);
  FOnFileAccept = std::move(handler);
}

}  // namespace quodem
