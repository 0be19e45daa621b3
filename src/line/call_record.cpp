// The process-wide CallRecord and the telephony callback. The callback runs on the service's
// thread: it only records what happened and signals; the event workers do the rest
// (line_state.cpp). Besides the classic record it leaves each notification, with its call or
// request, in the inbox of the component whose line it is about (line/inbox.h), so state
// handling acts on the call a notification names.
#include "line/call_record.h"

#include "line/inbox.h"

#include <mutex>

namespace quodem {

TCallRecord CallRecord;

namespace line {
namespace {

// Orders RequestId against LINE_REPLY: the reply of a request can arrive between the return
// of lineMakeCallA and the moment Dial stores its identifier. The last failure reply that
// matched no pending request is kept here so SetPendingRequest can apply it. Never held
// while calling the service or raising an event.
std::mutex reply_lock;
LONG early_reply_id = 0;
LONG early_reply_result = 0;

}  // namespace

std::optional<int> MapCallState(DWORD line_call_state) {
  switch (line_call_state) {
    case LINECALLSTATE_IDLE:
      return csIdle;
    case LINECALLSTATE_OFFERING:
      return csOffering;
    case LINECALLSTATE_ACCEPTED:
      return csAccepted;
    case LINECALLSTATE_DIALTONE:
      return csDialTone;
    case LINECALLSTATE_DIALING:
      return csDialing;
    case LINECALLSTATE_RINGBACK:
      return csRingBack;
    case LINECALLSTATE_BUSY:
      return csBusy;
    case LINECALLSTATE_SPECIALINFO:
      return csSpecialInfo;
    case LINECALLSTATE_CONNECTED:
      return csConnected;
    case LINECALLSTATE_PROCEEDING:
      return csProceeding;
    // Not in bit order: the component has one "on hold" state for both hold bits.
    case LINECALLSTATE_ONHOLD:
      return csOnHold;
    case LINECALLSTATE_CONFERENCED:
      return csConferenced;
    case LINECALLSTATE_ONHOLDPENDCONF:
      return csOnHold;
    case LINECALLSTATE_DISCONNECTED:
      return csDisconnected;
    case LINECALLSTATE_UNKNOWN:
      return csUnknown;
    default:
      return std::nullopt;
  }
}

void SignalLineEvent() {
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, kLineEventName);
  if (event == 0) return;
  SetEvent(event);
  CloseHandle(event);
}

void ResetLineEvent() {
  HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, kLineEventName);
  if (event == 0) return;
  ResetEvent(event);
  CloseHandle(event);
}

void SetPendingRequest(LONG request_id) {
  bool failed_already = false;
  {
    std::lock_guard<std::mutex> lock(reply_lock);
    CallRecord.RequestId.store(request_id);
    if (early_reply_id == request_id && early_reply_result != 0) {
      CallRecord.LastResult.store(early_reply_result);
      failed_already = true;
    }
    early_reply_id = 0;
    early_reply_result = 0;
  }
  if (failed_already) SignalLineEvent();
}

}  // namespace line

void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                  DWORD_PTR dwParam2, DWORD_PTR dwParam3) {
  // The instance value names the line open, and so the component, a notification is about.
  const auto open = static_cast<line::OpenId>(dwInstance);
  switch (dwMessage) {
    case LINE_CALLSTATE: {
      if (auto state = line::MapCallState(static_cast<DWORD>(dwParam1))) {
        const bool owner = dwParam3 == LINECALLPRIVILEGE_OWNER;
        // The offered call becomes the current one only when this application owns it.
        if (*state == csOffering && owner) {
          CallRecord.Call.store(static_cast<HCALL>(hDevice));
        }
        CallRecord.State.store(*state);
        if (auto inbox = line::FindInbox(open)) {
          // Signals as it records.
          inbox->AddCallState(static_cast<HCALL>(hDevice), open, *state, owner);
          return;
        }
      }
      line::SignalLineEvent();
      return;
    }
    case LINE_CLOSE:
      CallRecord.State.store(csDisconnected);
      if (auto inbox = line::FindInbox(open)) {
        inbox->AddLineClosed(open);
        return;
      }
      line::SignalLineEvent();
      return;
    case LINE_REPLY: {
      const LONG request = static_cast<LONG>(dwParam1);
      const LONG outcome = static_cast<LONG>(static_cast<DWORD>(dwParam2));
      bool signal = false;
      {
        std::lock_guard<std::mutex> lock(line::reply_lock);
        if (outcome != 0) {
          if (request == CallRecord.RequestId.load()) {
            CallRecord.LastResult.store(outcome);
            signal = true;
          } else {
            line::early_reply_id = request;
            line::early_reply_result = outcome;
          }
        }
      }
      // A failed request of a component's own goes to that component whichever request the
      // process-wide record names.
      if (outcome != 0) {
        if (auto inbox = line::FindInbox(open)) {
          inbox->AddReply(request, outcome, open);
          return;
        }
      }
      if (signal) line::SignalLineEvent();
      return;
    }
    default:
      return;
  }
}

}  // namespace quodem
