// What the telephony callback has told one component since its event worker last looked,
// kept per call. The callback runs on the service's thread and may only record; the event
// worker takes everything recorded so far in one batch and acts on it.
//
// Coalescing is per call: several states of one call that arrive before the worker runs are
// handled once, with the latest. Calls come out in the order of their first notification, so
// "dialing A, busy A, offering B, idle A" gives "A idle, B offering": the old call is torn
// down before the new one is acted on. Whether a call was offered to this component (with
// owner privilege) is kept even when its offering merged into a later state, so an offer the
// caller abandoned before the worker ran is still known to be ours and is torn down.
//
// Pure and not thread-safe: the owner (line::Inbox) guards it.
#pragma once

#include <cstdint>
#include <vector>

#include "quodem/platform/telephony.h"

namespace quodem::line {

// Which of a component's line opens a notification is about: the instance value the
// component gave lineOpenA for that line (every call on the line and every reply about it
// carries it).
using OpenId = std::uint64_t;

class CallNotices {
 public:
  struct Call {
    HCALL call = 0;
    OpenId open = 0;
    int state = 0;         // the latest CallState recorded for it
    bool offered = false;  // an offering with owner privilege came for it
  };
  struct Reply {
    LONG request = 0;
    LONG outcome = 0;  // a LINEERR_ code; successful replies are not kept
    OpenId open = 0;
  };
  struct Batch {
    std::vector<Call> calls;            // in order of first notification
    std::vector<Reply> failed_replies;  // in order of arrival
    std::vector<OpenId> closed_lines;   // lines the service closed (LINE_CLOSE)
    bool empty() const { return calls.empty() && failed_replies.empty() && closed_lines.empty(); }
  };

  // A LINE_CALLSTATE already mapped to a CallState (`owner`: the notification carried owner
  // privilege).
  void AddCallState(HCALL call, OpenId open, int state, bool owner);
  // A LINE_REPLY; a successful one (outcome 0) is not kept.
  void AddReply(LONG request, LONG outcome, OpenId open);
  void AddLineClosed(OpenId open);

  // Everything recorded so far; the notices are empty afterwards.
  Batch Take();

 private:
  Batch pending_;
};

}  // namespace quodem::line
