// DoLineState: the component's reaction to a call-state notification, run by its event
// worker each time "LineModemEvent" fires.
#include <cstring>
#include <memory>

#include "line/call_record.h"
#include "quodem/component/quodem.h"

namespace quodem {
namespace {

constexpr DWORD kVarStringBytes = 1024;
constexpr const char* kDataModemClass = "comm/datamodem";

}  // namespace

void TQuodem::DoLineState() {
  line::WaitForCallSetup();
  // Disconnected and idle: the component cuts the call itself unless it was cut locally
  // (FLocalCut). A port still held after a local cut was taken over after it (the connected
  // state was handled later) and belongs to a call that has ended: it is released too rather
  // than kept until the next call.
  auto release_after_hang_up = [this] {
    if (!FLocalCut.load()) {
      Cut();
    } else {
      ReleasePort();
    }
    FLocalCut.store(false);
  };
  bool failed = false;
  switch (CallRecord.State.load()) {
    case csIdle: {
      release_after_hang_up();
      CallRecord.LastResult.store(lineDeallocateCall(CallRecord.Call.load()));
      // The session ends here and a new one starts: every call needs a new Dial or Wait.
      // The line table, LineNames and FApiVersion stay as they are.
      std::lock_guard<std::mutex> session(FSessionLock);
      HLINE opened;
      {
        std::lock_guard<std::mutex> lock(FLineLock);
        opened = FOpenLine;
        FOpenLine = 0;
      }
      if (opened != 0) lineClose(opened);
      lineShutdown(FLineApp.load());
      HLINEAPP app = 0;
      DWORD devices = 0;
      LONG result = lineInitialize(&app, nullptr, LineCallback, nullptr, &devices);
      FLineApp.store(app);
      FNumDevs.store(devices);
      CallRecord.LastResult.store(result);
      failed = result != 0;
      break;
    }
    case csOffering: {
      LONG result = lineAnswer(CallRecord.Call.load(), nullptr, 0);
      CallRecord.LastResult.store(result);
      failed = result <= 0;  // a positive result names the asynchronous answer request
      break;
    }
    case csConnected: {
      auto storage = std::make_unique<DWORD[]>(kVarStringBytes / sizeof(DWORD));
      auto* block = reinterpret_cast<std::uint8_t*>(storage.get());
      auto* id = reinterpret_cast<VARSTRING*>(block);
      id->dwTotalSize = kVarStringBytes;
      LONG result =
          lineGetIDA(0, 0, CallRecord.Call.load(), LINECALLSELECT_CALL, id, kDataModemClass);
      if (result == 0 && (id->dwStringSize < sizeof(HANDLE) ||
                          id->dwStringOffset > kVarStringBytes - sizeof(HANDLE))) {
        // The block does not hold a handle where the service should have put it.
        result = LINEERR_OPERATIONFAILED;
      }
      CallRecord.LastResult.store(result);
      if (result != 0) {
        failed = true;
        break;
      }
      HANDLE port;
      std::memcpy(&port, block + id->dwStringOffset, sizeof port);
      std::lock_guard<std::recursive_mutex> cut(FCutLock);
      if (FCommHandle.load() != INVALID_HANDLE_VALUE) {
        // Connected again while a port is held: the held port stays in use (a reader may be
        // in a frame on it); the second handle the service just handed out is not needed.
        CloseHandle(port);
      } else {
        FCommHandle.store(port);
        SetCommMask(port, EV_RXCHAR);
        EscapeCommFunction(port, SETDTR);
      }
      if (!FReadThread) StartReadWorker();
      break;
    }
    case csDisconnected:
      release_after_hang_up();
      break;
    default:
      break;
  }

  if (auto handler = OnLineState()) {
    handler(this, static_cast<CallState>(CallRecord.State.load()));
  }
  if (failed) {
    LONG result = CallRecord.LastResult.load();
    if (result == LINEERR_CALLUNAVAIL) {
      // The classic answer to an unavailable call: dial the translated address on it.
      char dialable[sizeof CallRecord.Dialable];
      {
        std::lock_guard<std::mutex> lock(CallRecord.Strings);
        std::memcpy(dialable, CallRecord.Dialable, sizeof dialable);
      }
      dialable[sizeof dialable - 1] = 0;
      lineDialA(CallRecord.Call.load(), dialable, 0);
    } else if (auto handler = OnLineErr()) {
      handler(this, result);
    }
  }
}

}  // namespace quodem
