// The host's line operations: Dial, Wait, Cut and the two line dialogs.
#include <cstring>
#include <memory>
#include <string>

#include "line/call_record.h"
#include "quodem/component/quodem.h"
#include "transfer/read_modem_thread.h"

namespace quodem {
namespace {

constexpr DWORD kCallParamsBytes = 176;
constexpr DWORD kTranslateOutputBytes = 1040;
constexpr DWORD kOpenPrivileges = LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;

void Report(TQuodem* component, LONG result) {
  if (auto handler = component->OnLineErr()) handler(component, result);
}

// Copies a string the translation block holds (`size` bytes at `offset`, zero included)
// into `dest` when it fits with its terminating zero; false when it does not fit or lies
// outside the block.
bool CopyTranslated(const std::uint8_t* block, DWORD offset, DWORD size, char* dest,
                    std::size_t capacity) {
  if (offset > kTranslateOutputBytes || size > kTranslateOutputBytes - offset) return false;
  const std::uint8_t* text = block + offset;
  const void* zero = std::memchr(text, 0, size);
  std::size_t length = zero ? static_cast<const std::uint8_t*>(zero) - text : size;
  if (length + 1 > capacity) return false;
  std::memcpy(dest, text, length);
  std::memset(dest + length, 0, capacity - length);
  return true;
}

}  // namespace

void TQuodem::Dial() {
  const int index = LineIndex();
  DWORD device;
  {
    std::lock_guard<std::mutex> lock(FLineLock);
    if (index < 0 || index >= FLineNames.Count()) return;
    device = FLines[index].DeviceId;
  }
  // The dial string must fit CallRecord.DialInput with its zero; a longer one is refused
  // before anything is opened or placed.
  const std::string input = DialString();
  if (input.size() + 1 > sizeof CallRecord.DialInput) {
    CallRecord.LastResult.store(LINEERR_INVALADDRESS);
    Report(this, LINEERR_INVALADDRESS);
    return;
  }

  HLINE line = 0;
  if (OpenLine(device, index, &line) != 0) return;
  const HLINEAPP app = FLineApp.load();
  const DWORD version = FApiVersion.load();

  // The call-parameter block is built once and reused; the call gets a private copy, so a
  // failed open on another thread may release the block meanwhile.
  alignas(LINECALLPARAMS) std::uint8_t params[kCallParamsBytes];
  {
    std::lock_guard<std::mutex> lock(FLineLock);
    if (!FCallParams) {
      FCallParams = std::make_unique<std::uint8_t[]>(kCallParamsBytes);
      LINECALLPARAMS fixed{};
      fixed.dwTotalSize = kCallParamsBytes;
      fixed.dwBearerMode = LINEBEARERMODE_VOICE;
      fixed.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
      fixed.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
      fixed.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
      std::memcpy(FCallParams.get(), &fixed, sizeof fixed);
    }
    std::memcpy(params, FCallParams.get(), kCallParamsBytes);
  }

  {
    std::lock_guard<std::mutex> lock(CallRecord.Strings);
    std::memset(CallRecord.DialInput, 0, sizeof CallRecord.DialInput);
    std::memcpy(CallRecord.DialInput, input.data(), input.size());
  }

  auto storage = std::make_unique<DWORD[]>(kTranslateOutputBytes / sizeof(DWORD));
  auto* block = reinterpret_cast<std::uint8_t*>(storage.get());
  auto* output = reinterpret_cast<LINETRANSLATEOUTPUT*>(block);
  output->dwTotalSize = kTranslateOutputBytes;
  LONG result = lineTranslateAddressA(app, device, version, input.c_str(), 0, 0, output);
  CallRecord.LastResult.store(result);
  if (result != 0) {
    storage.reset();
    Report(this, result);
    Cut();
    return;
  }

  char dialable[sizeof CallRecord.Dialable];
  char displayable[sizeof CallRecord.Displayable];
  if (!CopyTranslated(block, output->dwDialableStringOffset, output->dwDialableStringSize, dialable,
                      sizeof dialable) ||
      !CopyTranslated(block, output->dwDisplayableStringOffset, output->dwDisplayableStringSize,
                      displayable, sizeof displayable)) {
    // The translated address does not fit the call record: refused like a failed
    // translation.
    storage.reset();
    CallRecord.LastResult.store(LINEERR_INVALADDRESS);
    Report(this, LINEERR_INVALADDRESS);
    Cut();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(CallRecord.Strings);
    std::memcpy(CallRecord.Dialable, dialable, sizeof dialable);
    std::memcpy(CallRecord.Displayable, displayable, sizeof displayable);
  }
  CallRecord.TranslateResults.store(output->dwTranslateResults);
  storage.reset();

  {
    std::lock_guard<std::mutex> setup(line::CallSetupLock());
    HCALL call = 0;
    result = lineMakeCallA(line, &call, dialable, 0, reinterpret_cast<LINECALLPARAMS*>(params));
    if (call != 0) CallRecord.Call.store(call);
    CallRecord.LastResult.store(result);
    // A positive result names the request, which goes on; its failure, if any, arrives as
    // LINE_REPLY.
    if (result > 0) line::SetPendingRequest(result);
  }
  if (result > 0) return;
  Report(this, result);
  Cut();
}

void TQuodem::Wait() {
  const int index = LineIndex();
  DWORD device;
  {
    std::lock_guard<std::mutex> lock(FLineLock);
    if (index < 0 || index >= FLineNames.Count()) return;
    device = FLines[index].DeviceId;
  }
  HLINE line = 0;
  OpenLine(device, index, &line);
}

LONG TQuodem::OpenLine(DWORD device, int index, HLINE* line) {
  LONG result;
  {
    // Under the session lock: a line is never opened on a session that idle handling is
    // shutting down, and idle handling sees that a line was opened since its call began.
    std::lock_guard<std::mutex> session(FSessionLock);
    result = lineOpenA(FLineApp.load(), device, line, FApiVersion.load(), 0,
                       reinterpret_cast<DWORD_PTR>(this), kOpenPrivileges, LINEMEDIAMODE_DATAMODEM,
                       nullptr);
    CallRecord.LastResult.store(result);
    if (result == 0) {
      ++FSessionGeneration;
      FLocalCut.store(false);  // a Cut before this call must not count for it
      std::lock_guard<std::mutex> lock(FLineLock);
      FLines[index].Line = *line;
      FOpenLine = *line;
    }
  }
  if (result != 0) {
    {
      std::lock_guard<std::mutex> lock(FLineLock);
      FCallParams.reset();
    }
    Report(this, result);
  }
  return result;
}

void TQuodem::Cut() {
  CallRecord.LastResult.store(lineDrop(CallRecord.Call.load(), nullptr, 0));
  ReleasePort();
  FLocalCut.store(true);
}

void TQuodem::ReleasePort() {
  // Serialised: Cut may run on the host's thread, on the event worker and in the destructor
  // at once; the port is released exactly once. Nothing here waits for a worker: the reader
  // is told to stop, its pending wait and transfers end when the mask is cleared and the
  // port purged and closed, and it ends by itself.
  std::lock_guard<std::recursive_mutex> cut(FCutLock);
  const HANDLE port = FCommHandle.load();
  if (FReadThread) FReadThread->Terminate();
  if (port != INVALID_HANDLE_VALUE) {
    SetCommMask(port, 0);
    EscapeCommFunction(port, CLRDTR);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
  FReadThread.reset();
  if (port != INVALID_HANDLE_VALUE) {
    // Invalid first, so a reader that reads the handle afresh stops using it; a call that
    // raced past that sees a closed handle and fails cleanly.
    FCommHandle.store(INVALID_HANDLE_VALUE);
    CloseHandle(port);
  }
}

void TQuodem::ConfigDlg() {
  const int index = LineIndex();
  DWORD device;
  {
    std::lock_guard<std::mutex> lock(FLineLock);
    if (index < 0 || index >= FLineNames.Count()) return;
    device = FLines[index].DeviceId;
  }
  LONG result = lineConfigDialogA(device, nullptr, nullptr);
  CallRecord.LastResult.store(result);
  if (result != 0) Report(this, result);
}

void TQuodem::TransDlg() {
  const int index = LineIndex();
  DWORD device;
  {
    std::lock_guard<std::mutex> lock(FLineLock);
    if (index < 0 || index >= FLineNames.Count()) return;
    device = FLines[index].DeviceId;
  }
  const std::string address = DialString();
  LONG result =
      lineTranslateDialogA(FLineApp.load(), device, FApiVersion.load(), nullptr, address.c_str());
  CallRecord.LastResult.store(result);
  if (result != 0) Report(this, result);
}

}  // namespace quodem
