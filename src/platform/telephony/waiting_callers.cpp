#include "platform/telephony/waiting_callers.h"

#include <unistd.h>

#include <utility>

namespace quodem::telephony {

WaitingCallers::~WaitingCallers() {
  for (const Caller& caller : callers_) close(caller.fd);
}

WaitingCallers& WaitingCallers::operator=(WaitingCallers&& other) noexcept {
  if (this != &other) {
    for (const Caller& caller : callers_) close(caller.fd);
    callers_ = std::move(other.callers_);
    other.callers_.clear();
  }
  return *this;
}

bool WaitingCallers::Keep(int fd, std::string peer) {
  if (callers_.size() >= kMax) return false;
  callers_.push_back(Caller{fd, std::move(peer)});
  return true;
}

std::optional<WaitingCallers::Caller> WaitingCallers::TakeFirst() {
  if (callers_.empty()) return std::nullopt;
  Caller first = callers_.front();
  callers_.pop_front();
  for (const Caller& other : callers_) close(other.fd);
  callers_.clear();
  return first;
}

}  // namespace quodem::telephony
