// Fuzzes what a modem may send in command state: arbitrary bytes cut into lines by
// ReplyLines (in pieces whose sizes come from the input too) and each line parsed by
// ParseReply. Checks: lines are bounded and hold no line ending; a rate only on CONNECT and
// CARRIER; kept texts are pieces of the line; no reply is both final and unsolicited.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/telephony/modem/reply_lines.h"
#include "platform/telephony/modem/reply_parser.h"

namespace {

using quodem::telephony::modem::ParseReply;
using quodem::telephony::modem::Reply;
using quodem::telephony::modem::ReplyKind;
using quodem::telephony::modem::ReplyLines;

[[noreturn]] void Fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "reply_fuzz: %s (line of %zu bytes)\n", what, line.size());
  std::abort();
}

void Check(const std::string& line) {
  if (line.empty() || line.size() > ReplyLines::kMaxLine) Fail("line size", line);
  if (line.find_first_of("\r\n") != std::string::npos) Fail("line ending inside a line", line);
  Reply reply = ParseReply(line);
  if (reply.rate && reply.kind != ReplyKind::kConnect && reply.kind != ReplyKind::kCarrier) {
    Fail("rate on a reply that has none", line);
  }
  if (reply.detail.size() > line.size() || reply.field.size() > line.size()) {
    Fail("kept text longer than the line", line);
  }
  if (!reply.detail.empty() && line.find(reply.detail) == std::string::npos) {
    Fail("kept text is not part of the line", line);
  }
  if (reply.Final() && reply.Unsolicited()) Fail("final and unsolicited at once", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  ReplyLines lines;
  // The first byte chooses the piece size (1 to 256), so lines are split at every place.
  std::size_t piece = input.empty() ? 1 : static_cast<std::uint8_t>(input[0]) + 1;
  if (!input.empty()) input.remove_prefix(1);
  while (!input.empty()) {
    std::size_t n = std::min(piece, input.size());
    lines.Feed(input.substr(0, n));
    input.remove_prefix(n);
    while (auto line = lines.Next()) Check(*line);
  }
  if (lines.Partial().size() > ReplyLines::kMaxLine)
    Fail("partial line unbounded", lines.Partial());
  // The whole input as one line too (the parser alone, also with line endings inside).
  ParseReply(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
