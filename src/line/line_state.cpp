// DoLineState: the component's reaction to call-state notifications, run by its event worker
// each time it is woken.
//
// Every reaction acts on the call its notification names (line/call_table.h): an old call's
// late disconnected or idle state never drops, cuts or takes the port of a newer call, and
// one component's call ending never touches another component's. A round handles every
// notification left for this component since the last one, each call once with its latest
// state (line/call_notices.h), then raises OnLineState with CallRecord.State as read at that
// moment, then reports what failed.
#include <cstring>
#include <memory>
#include <vector>

#include "line/call_record.h"
#include "line/call_table.h"
#include "line/inbox.h"
#include "quodem/component/quodem.h"

namespace quodem {
namespace line {
namespace {

constexpr DWORD kVarStringBytes = 1024;
constexpr const char* kDataModemClass = "comm/datamodem";

}  // namespace

// One round of state handling, run with FCallLock held. Failures are collected to be
// reported once the lock is gone.
class StateRound {
 public:
  struct Failure {
    LONG result;
    HCALL call;
  };

  explicit StateRound(TQuodem& owner) : q_(owner), calls_(*owner.FCalls) {}

  void LineClosed(OpenId id) {
    // The service closed the line (its calls go idle on their own and are torn down then).
    if (LineOpen* open = calls_.FindOpen(id)) open->open = false;
  }

  void CallState(const CallNotices::Call& notice) {
    CallEntry* entry = calls_.FindCall(notice.call);
    if (entry == nullptr) {
      // A call this component has not seen yet can only be one offered on one of its lines:
      // Dial records its own calls before their first notification can be handled, and
      // nothing follows a call's idle state.
      if (!notice.offered || calls_.FindOpen(notice.open) == nullptr) return;
      entry = &calls_.AddCall(notice.call, notice.open, 0);
    }
    switch (notice.state) {
      case csOffering:
        Answer(*entry);
        break;
      case csConnected:
        TakePort(*entry);
        break;
      case csDisconnected:
        HangUp(*entry);
        break;
      case csIdle:
        TearDown(*entry);
        break;
      default:
        break;
    }
  }

  // A request of this component failed: the call it was for is released, and the line
  // Dial opened for it is closed once the call is gone.
  void FailedReply(const CallNotices::Reply& reply) {
    CallEntry* entry = calls_.FindByRequest(reply.request);
    if (entry == nullptr) entry = calls_.FindByAnswerRequest(reply.request);
    if (entry == nullptr) return;  // not a request of a call this component keeps (a drop)
    const bool answer = entry->request != reply.request;
    if (!(answer && MovedOn(reply.outcome))) {
      failures_.push_back({reply.outcome, 0});  // reported, never answered by dialing
    }
    entry->cut = true;
    const bool was_dropped = entry->dropped;
    entry->dropped = true;
    if (!was_dropped && lineDrop(entry->call, nullptr, 0) > 0) {
      return;  // the call exists: torn down, with its line, once it is idle
    }
    if (answer) return;  // a failed answer: the call stays until idle
    // The failed call request never made a call: nothing follows, so it ends here.
    const OpenId open = entry->open;
    lineDeallocateCall(entry->call);
    calls_.RemoveCall(entry->call);
    q_.CloseOpenLine(open);
  }

  // After the round: with no line open and no call left, the session ends and a new one
  // starts (the next call needs a new Dial or Wait). Never while a newer call or an open line
  // of this component exists.
  void RestartSessionWhenUnused() {
    if (!ended_a_call_ || calls_.HasOpenLines() || calls_.HasCalls()) return;
    lineShutdown(q_.FLineApp.load());
    HLINEAPP app = 0;
    DWORD devices = 0;
    LONG result = lineInitialize(&app, nullptr, LineCallback, nullptr, &devices);
    q_.FLineApp.store(app);
    q_.FNumDevs.store(devices);
    CallRecord.LastResult.store(result);
    if (result != 0) failures_.push_back({result, 0});
  }

  const std::vector<Failure>& Failures() const { return failures_; }

 private:
  // An answer or port lookup refused because the call is no longer in the state that was
  // acted on: the caller hung up meanwhile. Nothing failed; the call's next state, already
  // on its way, tears it down.
  static bool MovedOn(LONG result) { return result == LINEERR_INVALCALLSTATE; }

  void Answer(CallEntry& entry) {
    LineOpen* open = calls_.FindOpen(entry.open);
    if (entry.cut) return;
    if (open == nullptr || open->kind != OpenKind::kWait || !open->open) {
      // Offered on a line the host did not Wait on (Dial's line, before its call was
      // placed): nothing is answered without a Wait. Refused, and torn down once idle.
      Drop(entry);
      return;
    }
    if (entry.answer_request != 0) return;  // answered already
    LONG result = lineAnswer(entry.call, nullptr, 0);
    CallRecord.LastResult.store(result);
    if (result > 0) {
      entry.answer_request = result;  // the asynchronous answer request
    } else if (!MovedOn(result)) {
      failures_.push_back({result, entry.call});
    }
  }

  void TakePort(CallEntry& entry) {
    if (entry.cut) return;  // cut before it connected: its drop is under way
    auto storage = std::make_unique<DWORD[]>(kVarStringBytes / sizeof(DWORD));
    auto* block = reinterpret_cast<std::uint8_t*>(storage.get());
    auto* id = reinterpret_cast<VARSTRING*>(block);
    id->dwTotalSize = kVarStringBytes;
    LONG result = lineGetIDA(0, 0, entry.call, LINECALLSELECT_CALL, id, kDataModemClass);
    if (result == 0 && (id->dwStringSize < sizeof(HANDLE) ||
                        id->dwStringOffset > kVarStringBytes - sizeof(HANDLE))) {
      // The block does not hold a handle where the service should have put it.
      result = LINEERR_OPERATIONFAILED;
    }
    CallRecord.LastResult.store(result);
    if (result != 0) {
      if (!MovedOn(result)) failures_.push_back({result, entry.call});
      return;
    }
    HANDLE port;
    std::memcpy(&port, block + id->dwStringOffset, sizeof port);
    std::lock_guard<std::mutex> cut(q_.FCutLock);
    if (q_.FCommHandle.load() != INVALID_HANDLE_VALUE) {
      // Connected again while a port is held: the held port stays in use (a reader may be
      // in a frame on it); the second handle the service just handed out is not needed.
      CloseHandle(port);
    } else {
      q_.FCommHandle.store(port);
      q_.FPortCall = entry.call;
      SetCommMask(port, EV_RXCHAR);
      EscapeCommFunction(port, SETDTR);
    }
    if (!q_.FReadThread) q_.StartReadWorker();
  }

  // The far end hung up (or the call failed): its port is released and, unless the
  // component cut it itself, it is dropped.
  void HangUp(CallEntry& entry) {
    q_.ReleasePortOf(entry.call);
    Drop(entry);
    q_.FLocalCut.store(false);
  }

  // The call is over: port released, handle deallocated, its line closed unless reopened
  // since (closing a line that is open for a newer call would make it deaf) or the host
  // waited on it again meanwhile.
  void TearDown(CallEntry& entry) {
    const HCALL call = entry.call;
    const OpenId open = entry.open;
    q_.ReleasePortOf(call);
    q_.FLocalCut.store(false);
    CallRecord.LastResult.store(lineDeallocateCall(call));
    calls_.RemoveCall(call);
    if (!calls_.OpenHasCalls(open)) {
      LineOpen* line = calls_.FindOpen(open);
      if (line != nullptr && line->kept) {
        line->kept = false;  // it waits for the next call
      } else {
        q_.CloseOpenLine(open);
      }
    }
    ended_a_call_ = true;
  }

  void Drop(CallEntry& entry) {
    if (entry.dropped) return;
    entry.dropped = true;
    entry.cut = true;
    CallRecord.LastResult.store(lineDrop(entry.call, nullptr, 0));
  }

  TQuodem& q_;
  CallTable& calls_;
  std::vector<Failure> failures_;
  bool ended_a_call_ = false;
};

}  // namespace line

void TQuodem::DoLineState() {
  // Taken before the table lock: a Dial still storing a call it has just placed holds that
  // lock, so any notification about that call found here is handled after the call is known.
  line::CallNotices::Batch batch = FInbox->Take();
  std::vector<line::StateRound::Failure> failures;
  if (!batch.empty()) {
    std::lock_guard<std::mutex> calls(FCallLock);
    line::StateRound round(*this);
    for (line::OpenId closed : batch.closed_lines) round.LineClosed(closed);
    for (const auto& notice : batch.calls) round.CallState(notice);
    for (const auto& reply : batch.failed_replies) round.FailedReply(reply);
    round.RestartSessionWhenUnused();
    failures = round.Failures();
  }

  if (auto handler = OnLineState()) {
    handler(this, static_cast<CallState>(CallRecord.State.load()));
  }
  for (const auto& failure : failures) {
    if (failure.result == LINEERR_CALLUNAVAIL && failure.call != 0) {
      // The classic answer to an unavailable call: dial the translated address on it.
      char dialable[sizeof CallRecord.Dialable];
      {
        std::lock_guard<std::mutex> lock(CallRecord.Strings);
        std::memcpy(dialable, CallRecord.Dialable, sizeof dialable);
      }
      dialable[sizeof dialable - 1] = 0;
      lineDialA(failure.call, dialable, 0);
    } else if (auto handler = OnLineErr()) {
      handler(this, failure.result);
    }
  }
}

}  // namespace quodem
