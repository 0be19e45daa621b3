#include "platform/telephony/modem/reply_parser.h"

#include <array>

namespace quodem::telephony::modem {
namespace {

constexpr std::size_t kMaxRateDigits = 9;  // anything longer is not a line rate

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// `text` begins with `word` (upper case), compared without regard to case.
bool StartsWith(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (Upper(text[i]) != word[i]) return false;
  }
  return true;
}

bool Equals(std::string_view text, std::string_view word) {
  return text.size() == word.size() && StartsWith(text, word);
}

// `text` begins with the whole word `word`: nothing, a blank or one of `separators` follows.
bool StartsWithWord(std::string_view text, std::string_view word, std::string_view separators) {
  if (!StartsWith(text, word)) return false;
  if (text.size() == word.size()) return true;
  char next = text[word.size()];
  return IsBlank(next) || separators.find(next) != std::string_view::npos;
}

struct Word {
  std::string_view text;
  ReplyKind kind;
};

// Whole-line results, longest first where one begins another.
constexpr std::array<Word, 13> kWords = {{
    {"OK", ReplyKind::kOk},
    {"RING", ReplyKind::kRing},
    {"RINGING", ReplyKind::kRinging},
    {"RRING", ReplyKind::kRinging},
    {"RINGBACK", ReplyKind::kRinging},
    {"NO CARRIER", ReplyKind::kNoCarrier},
    {"ERROR", ReplyKind::kError},
    {"NO DIALTONE", ReplyKind::kNoDialtone},
    {"NO DIAL TONE", ReplyKind::kNoDialtone},
    {"BUSY", ReplyKind::kBusy},
    {"NO ANSWER", ReplyKind::kNoAnswer},
    {"DIALING", ReplyKind::kDialing},
    {"COMMAND NOT SUPPORT", ReplyKind::kError},
}};

constexpr std::array<Word, 3> kRefusals = {{
    {"VOICE", ReplyKind::kVoice},
    {"DELAYED", ReplyKind::kDelayed},
    {"BLACKLISTED", ReplyKind::kBlacklisted},
}};

// Reads a rate at the start of `text`; advances past it.
std::optional<std::uint32_t> TakeRate(std::string_view& text) {
  std::size_t digits = 0;
  while (digits < text.size() && IsDigit(text[digits])) ++digits;
  if (digits == 0 || digits > kMaxRateDigits) return std::nullopt;
  std::uint32_t rate = 0;
  for (std::size_t i = 0; i < digits; ++i)
    rate = rate * 10 + static_cast<std::uint32_t>(text[i] - '0');
  text.remove_prefix(digits);
  return rate;
}

// What follows a rate: separators dropped from its start.
std::string Rest(std::string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == '/')) text.remove_prefix(1);
  return std::string(text);
}

Reply Connect(std::string_view rest) {
  Reply reply;
  reply.kind = ReplyKind::kConnect;
  rest = Trim(rest);
  std::string_view after = rest;
  reply.rate = TakeRate(after);
  reply.detail = Rest(reply.rate ? after : rest);
  return reply;
}

std::optional<Reply> Numeric(std::string_view line) {
  // "0" to "99" without a leading zero: S-register values come as three digits ("050").
  if (line.empty() || line.size() > 2 || !IsDigit(line[0]) ||
      (line.size() == 2 && (!IsDigit(line[1]) || line[0] == '0'))) {
    return std::nullopt;
  }
  int code = line.size() == 1 ? line[0] - '0' : (line[0] - '0') * 10 + (line[1] - '0');
  Reply reply;
  reply.numeric = true;
  switch (code) {
    case 0:
      reply.kind = ReplyKind::kOk;
      break;
    case 1:
      reply.kind = ReplyKind::kConnect;
      break;
    case 2:
      reply.kind = ReplyKind::kRing;
      break;
    case 3:
      reply.kind = ReplyKind::kNoCarrier;
      break;
    case 4:
      reply.kind = ReplyKind::kError;
      break;
    case 5:
      reply.kind = ReplyKind::kConnect;
      reply.rate = 1200;
      break;
    case 6:
      reply.kind = ReplyKind::kNoDialtone;
      break;
    case 7:
      reply.kind = ReplyKind::kBusy;
      break;
    case 8:
      reply.kind = ReplyKind::kNoAnswer;
      break;
    case 10:
      reply.kind = ReplyKind::kConnect;
      reply.rate = 2400;
      break;
    default:
      return std::nullopt;  // vendor-specific: information
  }
  return reply;
}

// "NMBR = 5551234", "DATE=0321"; nothing when `line` is no caller-ID line.
std::optional<Reply> CallerId(std::string_view line) {
  static constexpr std::array<std::string_view, 4> kFields = {"DATE", "TIME", "NMBR", "NAME"};
  for (std::string_view field : kFields) {
    if (!StartsWith(line, field)) continue;
    std::string_view rest = line.substr(field.size());
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '=') return std::nullopt;
    rest.remove_prefix(1);
    Reply reply;
    reply.kind = ReplyKind::kCallerId;
    reply.field = std::string(field);
    reply.detail = std::string(Trim(rest));
    return reply;
  }
  return std::nullopt;
}

// "PROTOCOL: LAPM", "COMPRESSION: V.42BIS".
std::optional<Reply> Report(std::string_view line, std::string_view word, ReplyKind kind) {
  if (!StartsWith(line, word)) return std::nullopt;
  std::string_view rest = line.substr(word.size());
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  if (rest.empty() || rest.front() != ':') return std::nullopt;
  Reply reply;
  reply.kind = kind;
  reply.detail = std::string(Trim(rest.substr(1)));
  return reply;
}

}  // namespace

bool Reply::Final() const {
  switch (kind) {
    case ReplyKind::kOk:
    case ReplyKind::kConnect:
    case ReplyKind::kNoCarrier:
    case ReplyKind::kError:
    case ReplyKind::kNoDialtone:
    case ReplyKind::kBusy:
    case ReplyKind::kNoAnswer:
    case ReplyKind::kVoice:
    case ReplyKind::kDelayed:
    case ReplyKind::kBlacklisted:
      return true;
    default:
      return false;
  }
}

bool Reply::Unsolicited() const {
  switch (kind) {
    case ReplyKind::kRing:
    case ReplyKind::kRinging:
    case ReplyKind::kDialing:
    case ReplyKind::kCallerId:
    case ReplyKind::kCarrier:
    case ReplyKind::kProtocol:
    case ReplyKind::kCompression:
      return true;
    default:
      return false;
  }
}

Reply ParseReply(std::string_view line) {
  line = Trim(line);
  Reply reply;
  if (line.empty()) return reply;
  if (StartsWith(line, "AT") || Equals(line, "A/")) {
    reply.kind = ReplyKind::kEcho;
    return reply;
  }
  if (std::optional<Reply> numeric = Numeric(line)) return *numeric;
  for (const Word& word : kWords) {
    if (Equals(line, word.text)) {
      reply.kind = word.kind;
      return reply;
    }
  }
  if (StartsWith(line, "CONNECT") &&
      (line.size() == 7 || IsBlank(line[7]) || line[7] == '/' || IsDigit(line[7]))) {
    return Connect(line.substr(7));
  }
  if (StartsWithWord(line, "CARRIER", "")) {
    std::string_view rest = Trim(line.substr(7));
    reply.kind = ReplyKind::kCarrier;
    std::string_view after = rest;
    reply.rate = TakeRate(after);
    reply.detail = Rest(reply.rate ? after : rest);
    return reply;
  }
  if (StartsWith(line, "+CME ERROR") || StartsWith(line, "+CMS ERROR")) {
    reply.kind = ReplyKind::kError;
    reply.detail = std::string(Trim(line.substr(10)));
    if (!reply.detail.empty() && reply.detail.front() == ':') {
      reply.detail = std::string(Trim(std::string_view(reply.detail).substr(1)));
    }
    return reply;
  }
  for (const Word& refusal : kRefusals) {
    if (StartsWithWord(line, refusal.text, "")) {
      reply.kind = refusal.kind;
      reply.detail = std::string(Trim(line.substr(refusal.text.size())));
      return reply;
    }
  }
  if (std::optional<Reply> id = CallerId(line)) return *id;
  if (std::optional<Reply> protocol = Report(line, "PROTOCOL", ReplyKind::kProtocol)) {
    return *protocol;
  }
  if (std::optional<Reply> compression = Report(line, "COMPRESSION", ReplyKind::kCompression)) {
    return *compression;
  }
  reply.kind = ReplyKind::kInformation;
  reply.detail = std::string(line);
  return reply;
}

const char* ReplyKindName(ReplyKind kind) {
  switch (kind) {
    case ReplyKind::kEmpty:
      return "empty";
    case ReplyKind::kEcho:
      return "echo";
    case ReplyKind::kOk:
      return "OK";
    case ReplyKind::kConnect:
      return "CONNECT";
    case ReplyKind::kRing:
      return "RING";
    case ReplyKind::kNoCarrier:
      return "NO CARRIER";
    case ReplyKind::kError:
      return "ERROR";
    case ReplyKind::kNoDialtone:
      return "NO DIALTONE";
    case ReplyKind::kBusy:
      return "BUSY";
    case ReplyKind::kNoAnswer:
      return "NO ANSWER";
    case ReplyKind::kVoice:
      return "VOICE";
    case ReplyKind::kDelayed:
      return "DELAYED";
    case ReplyKind::kBlacklisted:
      return "BLACKLISTED";
    case ReplyKind::kRinging:
      return "RINGING";
    case ReplyKind::kDialing:
      return "DIALING";
    case ReplyKind::kCallerId:
      return "caller ID";
    case ReplyKind::kCarrier:
      return "CARRIER";
    case ReplyKind::kProtocol:
      return "PROTOCOL";
    case ReplyKind::kCompression:
      return "COMPRESSION";
    case ReplyKind::kInformation:
      return "information";
  }
  return "information";
}

}  // namespace quodem::telephony::modem
