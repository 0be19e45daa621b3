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
  // The failure this round reports, captured when it happens: CallRecord.LastResult may be
  // overwritten meanwhile by another thread.
  bool failed = false;
  LONG failure = 0;
  const int state = CallRecord.State.load();
  if (state != csIdle) {
    // The call this round is about is in progress here. It belongs to the lines opened so far
    // unless it is known already; a csDisconnected (a line closed by the service) does not
    // make an ended call new again, any other state does (the service may reuse a handle).
    const HCALL call = CallRecord.Call.load();
    std::lock_guard<std::mutex> session(FSessionLock);
    if (call != FSessionCall || (FSessionCallEnded && state != csDisconnected)) {
      FSessionCall = call;
      FSessionCallGeneration = FSessionGeneration;
      FSessionCallEnded = false;
    }
  }
  switch (state) {
    case csIdle: {
      // The idle state stays recorded until the next call's first notification, and every
      // notification handled meanwhile (a late one of the ended call, a reply, another
      // component's signal) finds it again, possibly with CallRecord.Call already naming a
      // call just dialled. So the end is handled only for the call this component saw in
      // progress, and once. The session is ended only when no Dial or Wait has opened a line
      // since that call was first seen: a Wait from a csIdle handler, or on the host's thread
      // right after idle, is never undone.
      const HCALL call = CallRecord.Call.load();
      {
        std::lock_guard<std::mutex> session(FSessionLock);
        if (call != FSessionCall || FSessionCallEnded) break;
        FSessionCallEnded = true;
      }
      release_after_hang_up();
      CallRecord.LastResult.store(lineDeallocateCall(call));
      // The session ends here and a new one starts: the next call needs a new Dial or Wait.
      // The line table, LineNames and FApiVersion stay as they are. Decided under the lock
      // Dial and Wait open lines under, so a line opened since is neither closed nor left on
      // a session being shut down.
      std::lock_guard<std::mutex> session(FSessionLock);
      if (FSessionCallGeneration != FSessionGeneration) break;
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
      failure = result;
      break;
    }
    case csOffering: {
      LONG result = lineAnswer(CallRecord.Call.load(), nullptr, 0);
      CallRecord.LastResult.store(result);
      failed = result <= 0;  // a positive result names the asynchronous answer request
      failure = result;
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
        failure = result;
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
    if (failure == LINEERR_CALLUNAVAIL) {
      // The classic answer to an unavailable call: dial the translated address on it.
      char dialable[sizeof CallRecord.Dialable];
      {
        std::lock_guard<std::mutex> lock(CallRecord.Strings);
        std::memcpy(dialable, CallRecord.Dialable, sizeof dialable);
      }
      dialable[sizeof dialable - 1] = 0;
      lineDialA(CallRecord.Call.load(), dialable, 0);
    } else if (auto handler = OnLineErr()) {
      handler(this, failure);
    }
  }
}

}  // namespace quodem
