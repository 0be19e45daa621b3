// Cutting what a modem sends in command state into reply lines. Verbose results come as
// CR LF text CR LF, numeric ones as code CR, echo as the command and its CR; a line ends at
// a CR or an LF and empty lines are skipped. Pure: bytes go in, lines come out, in order.
//
// Bounded: a line longer than kMaxLine bytes is cut there and the rest of it, up to its end,
// dropped, so a device that sends noise without line ends costs at most kMaxLine bytes.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace quodem::telephony::modem {

class ReplyLines {
 public:
  static constexpr std::size_t kMaxLine = 256;

  // Takes bytes as they came from the device.
  void Feed(std::string_view bytes);
  // The next complete line (without its ending), oldest first.
  std::optional<std::string> Next();
  // The bytes of a line not finished yet (a prompt such as "> " never gets an ending).
  const std::string& Partial() const { return partial_; }
  // Forgets everything fed so far (when the device goes online, say).
  void Clear();

 private:
  std::string partial_;
  bool dropping_ = false;  // inside an overlong line: drop until its end
  std::deque<std::string> lines_;
};

}  // namespace quodem::telephony::modem
