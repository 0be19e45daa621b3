#include "platform/telephony/waiting_callers.h"

#include <utility>

namespace quodem::telephony {

bool WaitingCallers::Keep(posix::UniqueFd fd, std::string peer) {
  if (callers_.size() >= kMax) return false;
  callers_.push_back(Caller{std::move(fd), std::move(peer)});
  return true;
}

std::optional<WaitingCallers::Caller> WaitingCallers::TakeFirst() {
  if (callers_.empty()) return std::nullopt;
  Caller first = std::move(callers_.front());
  callers_.clear();  // the others are closed
  return first;
}

}  // namespace quodem::telephony
