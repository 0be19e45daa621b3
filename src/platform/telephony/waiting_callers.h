// Callers kept on their accepted connections instead of being turned away busy a moment
// before the line is free: those who reach a line while its last call is ending
// (disconnected, not yet idle), and those whose offer was taken back because the line closed
// before the call was answered. The first is offered as soon as the line has no call (its
// call went idle, or a line of this process reopened it: kept callers are parked with the
// line's address). A caller of a line in a live call still gets busy at once.
//
// Used under the service lock, like everything a provider does.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include "platform/posix/unique_fd.h"

namespace quodem::telephony {

class WaitingCallers {
 public:
  struct Caller {
    posix::UniqueFd fd;
    std::string peer;  // how the line names the caller (a TCP line: its address)
  };
  static constexpr std::size_t kMax = 4;

  // Kept callers still here when the list goes (or is replaced) are turned away: closed.
  WaitingCallers() = default;
  WaitingCallers(WaitingCallers&& other) noexcept : callers_(std::move(other.callers_)) {
    other.callers_.clear();
  }
  WaitingCallers& operator=(WaitingCallers&& other) noexcept {
    if (this == &other) return *this;
    callers_ = std::move(other.callers_);
    other.callers_.clear();
    return *this;
  }
  bool empty() const { return callers_.empty(); }

  // Keeps the connection; false, with the caller turned away (`fd` closed: busy), when kMax
  // are kept already.
  bool Keep(posix::UniqueFd fd, std::string peer);
  // The caller kept first; the others are turned away (their connections closed: busy).
  std::optional<Caller> TakeFirst();

 private:
  std::deque<Caller> callers_;
};

}  // namespace quodem::telephony
