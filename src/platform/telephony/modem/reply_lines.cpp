#include "platform/telephony/modem/reply_lines.h"

namespace quodem::telephony::modem {

void ReplyLines::Feed(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      if (!partial_.empty()) lines_.push_back(std::move(partial_));
      partial_.clear();
      dropping_ = false;
      continue;
    }
    if (dropping_) continue;
    if (partial_.size() == kMaxLine) {
      lines_.push_back(std::move(partial_));
      partial_.clear();
      dropping_ = true;
      continue;
    }
    partial_ += c;
  }
}

std::optional<std::string> ReplyLines::Next() {
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

void ReplyLines::Clear() {
  partial_.clear();
  dropping_ = false;
  lines_.clear();
}

}  // namespace quodem::telephony::modem
