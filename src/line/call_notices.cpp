#include "line/call_notices.h"

#include <utility>

#include "quodem/component/quodem.h"

namespace quodem::line {

void CallNotices::AddCallState(HCALL call, OpenId open, int state, bool owner) {
  const bool offering = state == csOffering && owner;
  for (Call& known : pending_.calls) {
    if (known.call == call) {
      known.state = state;
      known.offered = known.offered || offering;
      if (open != 0) known.open = open;
      return;
    }
  }
  pending_.calls.push_back(Call{call, open, state, offering});
}

void CallNotices::AddReply(LONG request, LONG outcome, OpenId open) {
  if (outcome == 0) return;
  pending_.failed_replies.push_back(Reply{request, outcome, open});
}

void CallNotices::AddLineClosed(OpenId open) {
  pending_.closed_lines.push_back(open);
}

CallNotices::Batch CallNotices::Take() {
  return std::exchange(pending_, Batch{});
}

}  // namespace quodem::line
