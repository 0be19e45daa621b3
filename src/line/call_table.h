// One component's record of the lines it opened and the calls it placed or was offered.
// State handling acts on the record a notification names, never on "the current call" of
// the process; every call in it is torn down exactly once (its idle state handled: port
// released, handle deallocated, line closed unless reopened since).
//
// Not thread-safe: guarded by the component's FCallLock.
#pragma once

#include <cstddef>
#include <vector>

#include "line/call_notices.h"
#include "quodem/platform/telephony.h"

namespace quodem::line {

enum class OpenKind {
  kDial,  // opened by Dial: its calls are outgoing; an offer on it is refused
  kWait,  // opened by Wait: offered calls are answered
};

struct LineOpen {
  OpenId id = 0;
  HLINE line = 0;
  int row = 0;
  OpenKind kind = OpenKind::kDial;
  bool open = true;   // false once closed (by the component, by reopening its row, or by the
                      // service)
  bool kept = false;  // a Wait came while it was open: the call on it ending leaves it open
};

struct CallEntry {
  HCALL call = 0;
  OpenId open = 0;
  LONG request = 0;         // lineMakeCallA's request
  LONG answer_request = 0;  // lineAnswer's request, once answered
  bool cut = false;         // cut locally: by Cut, or refused; never take its port
  bool dropped = false;     // lineDrop has been asked for it
};

class CallTable {
 public:
  // A line just opened. An earlier open of the same row is closed by it (the service replaces
  // the handle when a session opens a device again).
  LineOpen& AddOpen(OpenId id, HLINE line, int row, OpenKind kind);
  LineOpen* FindOpen(OpenId id);
  // The line open for waiting on `row`, or null.
  LineOpen* FindWaiting(int row);

  CallEntry& AddCall(HCALL call, OpenId open, LONG request);
  CallEntry* FindCall(HCALL call);
  CallEntry* FindByRequest(LONG request);
  CallEntry* FindByAnswerRequest(LONG request);
  // The call added last of those not torn down yet, or null.
  CallEntry* Current();
  void RemoveCall(HCALL call);

  bool OpenHasCalls(OpenId id) const;
  // Lines still open, and calls not torn down yet.
  bool HasOpenLines() const;
  bool HasCalls() const { return !calls_.empty(); }
  std::size_t CallCount() const { return calls_.size(); }

  // Forgets closed lines that no call refers to any more; returns their ids (to unregister).
  std::vector<OpenId> DropClosedOpens();
  // Everything, for the component's end.
  const std::vector<LineOpen>& Opens() const { return opens_; }
  void Clear();

 private:
  std::vector<LineOpen> opens_;
  std::vector<CallEntry> calls_;  // in the order they were added
};

}  // namespace quodem::line
