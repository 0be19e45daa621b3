// The host's line operations: Dial, Wait, Cut and the two line dialogs.
#include <cstring>
#include <memory>
#include <string>

#include "line/call_record.h"
#include "line/call_table.h"
#include "line/inbox.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"
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

bool TQuodem::SelectedDevice(int* index, DWORD* device) const {
  *index = LineIndex();
  std::lock_guard<std::mutex> lock(FLineLock);
  if (*index < 0 || *index >= FLineNames.Count()) return false;
  *device = FLines[*index].DeviceId;
  return true;
}

void TQuodem::Dial() {
  int index;
  DWORD device;
  if (!SelectedDevice(&index, &device)) return;
  // A Dial that fails stores its result, reports it and runs Cut. The line it opened is
  // closed again: a line left open would hold its number with nobody waiting on it.
  line::OpenId opened = 0;
  const auto fail = [&](LONG result) {
    CallRecord.LastResult.store(result);
    if (opened != 0) {
      std::lock_guard<std::mutex> calls(FCallLock);
      CloseOpenLine(opened);
    }
    Report(this, result);
    Cut();
  };

  // The dial string must fit CallRecord.DialInput with its zero; a longer one is refused
  // before anything is opened or placed.
  const std::string input = DialString();
  if (input.size() + 1 > sizeof CallRecord.DialInput) {
    CallRecord.LastResult.store(LINEERR_INVALADDRESS);
    Report(this, LINEERR_INVALADDRESS);
    return;
  }

  HLINE line = 0;
  {
    std::lock_guard<std::mutex> calls(FCallLock);
    if (LONG result = OpenLine(device, index, false, &line, &opened); result != 0) {
      Report(this, result);
      return;
    }
  }
  // The line stays open (an open line keeps the session from being restarted under it)
  // until its call ends or Dial fails.
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
  if (result != 0) return fail(result);

  char dialable[sizeof CallRecord.Dialable];
  char displayable[sizeof CallRecord.Displayable];
  if (!CopyTranslated(block, output->dwDialableStringOffset, output->dwDialableStringSize, dialable,
                      sizeof dialable) ||
      !CopyTranslated(block, output->dwDisplayableStringOffset, output->dwDisplayableStringSize,
                      displayable, sizeof displayable)) {
    // The translated address does not fit the call record: refused like a failed
    // translation.
    return fail(LINEERR_INVALADDRESS);
  }
  CallRecord.LastResult.store(result);
  {
    std::lock_guard<std::mutex> lock(CallRecord.Strings);
    std::memcpy(CallRecord.Dialable, dialable, sizeof dialable);
    std::memcpy(CallRecord.Displayable, displayable, sizeof displayable);
  }
  CallRecord.TranslateResults.store(output->dwTranslateResults);
  storage.reset();

  {
    // The call is recorded under FCallLock before any of its notifications can be handled:
    // state handling takes the lock before it looks a call up.
    std::lock_guard<std::mutex> calls(FCallLock);
    HCALL call = 0;
    result = lineMakeCallA(line, &call, dialable, 0, reinterpret_cast<LINECALLPARAMS*>(params));
    CallRecord.LastResult.store(result);
    if (result > 0) {
      // The request goes on; its failure, if any, arrives as LINE_REPLY.
      if (call != 0) CallRecord.Call.store(call);
      FCalls->AddCall(call, opened, result);
      line::SetPendingRequest(result);
      return;
    }
  }
  fail(result);
}

void TQuodem::Wait() {
  int index;
  DWORD device;
  if (!SelectedDevice(&index, &device)) return;
  LONG result;
  {
    std::lock_guard<std::mutex> calls(FCallLock);
    if (line::LineOpen* waiting = FCalls->FindWaiting(index)) {
      // Waiting already: the line stays as it is, and stays open when the call on it ends.
      // Opening it again would drop a call being offered on it at this very moment.
      waiting->kept = true;
      CallRecord.LastResult.store(0);
      return;
    }
    HLINE line = 0;
    line::OpenId opened = 0;
    result = OpenLine(device, index, true, &line, &opened);
    if (result == 0) {
      // A waiting line must hold its number (or listen address): without it no call would
      // ever be offered to it, so the open is undone and the reason reported.
      result = telephony::LineAddressHeld(line);
      if (result != 0) {
        CloseOpenLine(opened);
        CallRecord.LastResult.store(result);
      }
    }
  }
  if (result != 0) Report(this, result);
}

LONG TQuodem::OpenLine(DWORD device, int index, bool for_wait, HLINE* line, line::OpenId* id) {
  // The callback instance names this open, so every notification about the line, its calls
  // and its requests reaches this component's inbox.
  *id = line::RegisterOpen(FInbox);
  LONG result =
      lineOpenA(FLineApp.load(), device, line, FApiVersion.load(), 0, static_cast<DWORD_PTR>(*id),
                kOpenPrivileges, LINEMEDIAMODE_DATAMODEM, nullptr);
  CallRecord.LastResult.store(result);
  if (result != 0) {
    line::UnregisterOpen(*id);
    *id = 0;
    std::lock_guard<std::mutex> lock(FLineLock);
    FCallParams.reset();
    return result;
  }
  FLocalCut.store(false);  // a Cut before this call must not count for it
  FCalls->AddOpen(*id, *line, index, for_wait ? line::OpenKind::kWait : line::OpenKind::kDial);
  for (line::OpenId gone : FCalls->DropClosedOpens()) line::UnregisterOpen(gone);
  std::lock_guard<std::mutex> lock(FLineLock);
  FLines[index].Line = *line;
  return 0;
}

void TQuodem::CloseOpenLine(line::OpenId id) {
  line::LineOpen* open = FCalls->FindOpen(id);
  if (open == nullptr || !open->open) return;
  open->open = false;
  lineClose(open->line);
  {
    std::lock_guard<std::mutex> lock(FLineLock);
    if (FLines[open->row].Line == open->line) FLines[open->row].Line = 0;
  }
  for (line::OpenId gone : FCalls->DropClosedOpens()) line::UnregisterOpen(gone);
}

void TQuodem::Cut() {
  {
    // The drop goes to this component's current call: the one it placed or answered last of
    // those not torn down yet. Marked cut, it keeps its port from being taken should its
    // connected state still be on its way.
    std::lock_guard<std::mutex> calls(FCallLock);
    HCALL call = 0;
    if (line::CallEntry* current = FCalls->Current()) {
      current->cut = true;
      current->dropped = true;
      call = current->call;
    }
    CallRecord.LastResult.store(lineDrop(call, nullptr, 0));
  }
  ReleasePort();
  FLocalCut.store(true);
}

void TQuodem::ReleasePortOf(HCALL call) {
  {
    std::lock_guard<std::mutex> cut(FCutLock);
    if (FPortCall != call) return;
  }
  // Only the event worker takes a port over, and it is the caller here: the port cannot
  // change hands in between.
  ReleasePort();
}

void TQuodem::ReleasePort() {
  // Serialised: Cut may run on the host's thread, on the event worker and in the destructor
  // at once; the port is released exactly once. Nothing here waits for a worker: the reader
  // is told to stop, its pending wait and transfers end when the mask is cleared and the
  // port purged and closed, and it ends by itself.
  std::lock_guard<std::mutex> cut(FCutLock);
  const HANDLE port = FCommHandle.load();
  if (FReadThread) FReadThread->Terminate();
  if (port != INVALID_HANDLE_VALUE) {
    SetCommMask(port, 0);
    EscapeCommFunction(port, CLRDTR);
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
  FReadThread.reset();
  FPortCall = 0;
  if (port != INVALID_HANDLE_VALUE) {
    // Invalid first, so a reader that reads the handle afresh stops using it; a call that
    // raced past that sees a closed handle and fails cleanly.
    FCommHandle.store(INVALID_HANDLE_VALUE);
    CloseHandle(port);
  }
}

void TQuodem::ConfigDlg() {
  int index;
  DWORD device;
  if (!SelectedDevice(&index, &device)) return;
  LONG result = lineConfigDialogA(device, nullptr, nullptr);
  CallRecord.LastResult.store(result);
  if (result != 0) Report(this, result);
}

void TQuodem::TransDlg() {
  int index;
  DWORD device;
  if (!SelectedDevice(&index, &device)) return;
  const std::string address = DialString();
  LONG result =
      lineTranslateDialogA(FLineApp.load(), device, FApiVersion.load(), nullptr, address.c_str());
  CallRecord.LastResult.store(result);
  if (result != 0) Report(this, result);
}

}  // namespace quodem
