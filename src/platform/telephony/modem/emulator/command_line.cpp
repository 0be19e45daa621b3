#include "platform/telephony/modem/emulator/command_line.h"

#include <cctype>
#include <optional>

namespace quodem::telephony::modem::emulator {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
  return c >= 'A' && c <= 'Z';
}

// Characters of an extended command's name (V.250: A-Z 0-9 ! % - . / : _).
bool IsNameChar(char c) {
  return IsLetter(c) || IsDigit(c) || c == '!' || c == '%' || c == '-' || c == '.' || c == '/' ||
         c == ':' || c == '_';
}

// Blanks outside quotes dropped, letters outside quotes in upper case.
std::string Normalise(std::string_view body) {
  std::string out;
  bool quoted = false;
  for (char c : body) {
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == ' ' || c == '\t')) continue;
    out += quoted ? c : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

class Reader {
 public:
  explicit Reader(std::string text) : text_(std::move(text)) {}
  bool Done() const { return pos_ >= text_.size(); }
  char Peek() const { return Done() ? '\0' : text_[pos_]; }
  char Take() { return Done() ? '\0' : text_[pos_++]; }
  std::string_view Rest() const { return std::string_view(text_).substr(pos_); }
  void Skip(std::size_t n) { pos_ += n; }

  // An optional decimal number; -1 when there is none, nothing when it is too large.
  std::optional<long> Number() {
    long value = -1;
    while (IsDigit(Peek())) {
      value = (value < 0 ? 0 : value * 10) + (Take() - '0');
      if (value > kMaxNumber) return std::nullopt;
    }
    return value;
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

}  // namespace

CommandLine ParseCommandLine(std::string_view body) {
  CommandLine line;
  Reader in(Normalise(body));
  long selected = -1;
  auto fail = [&line] {
    line.error = true;
    return line;
  };
  while (!in.Done()) {
    char c = in.Take();
    AtCommand command;
    if (c == ';') continue;  // an empty command (after an extended one, say)
    if (c == 'D') {
      command.kind = AtCommand::Kind::kDial;
      bool quoted = false;
      while (!in.Done()) {
        char d = in.Peek();
        if (d == '"') quoted = !quoted;
        if (d == ';' && !quoted) {
          in.Take();
          command.semicolon = true;
          break;
        }
        command.text += in.Take();
      }
      line.commands.push_back(std::move(command));
      continue;
    }
    if (c == 'S') {
      std::optional<long> reg = in.Number();
      if (!reg) return fail();
      long number = *reg >= 0 ? *reg : selected;
      if (in.Peek() == '=') {
        in.Take();
        std::optional<long> value = in.Number();
        if (!value || number < 0) return fail();
        command.kind = AtCommand::Kind::kRegisterSet;
        command.number = number;
        command.value = *value < 0 ? 0 : *value;
      } else if (in.Peek() == '?') {
        in.Take();
        if (number < 0) return fail();
        command.kind = AtCommand::Kind::kRegisterQuery;
        command.number = number;
      } else {
        if (*reg < 0) return fail();
        command.kind = AtCommand::Kind::kRegisterSelect;
        command.number = number;
      }
      selected = number;
      line.commands.push_back(std::move(command));
      continue;
    }
    if (c == '&' || c == '\\' || c == '%') {
      char letter = in.Take();
      if (!IsLetter(letter)) return fail();
      std::optional<long> number = in.Number();
      if (!number) return fail();
      command.kind = AtCommand::Kind::kVendor;
      command.prefix = c;
      command.letter = letter;
      command.number = *number;
      line.commands.push_back(std::move(command));
      continue;
    }
    if (c == '+') {
      command.kind = AtCommand::Kind::kExtended;
      command.name.push_back(c);  // the "+"
      while (IsNameChar(in.Peek())) command.name += in.Take();
      if (command.name.size() == 1) return fail();
      if (in.Peek() == '?') {
        command.text = std::string(1, in.Take());
      } else if (in.Peek() == '=') {
        command.text = std::string(1, in.Take());
        if (in.Peek() == '?') {
          command.text += in.Take();
        } else {
          // Numbers, compound values and quoted strings, up to what cannot belong to them.
          while (!in.Done()) {
            char v = in.Peek();
            if (v == '"') {
              command.text += in.Take();
              while (!in.Done() && in.Peek() != '"') command.text += in.Take();
              if (in.Done()) return fail();  // unterminated string
              command.text += in.Take();
            } else if (IsDigit(v) || v == ',' || v == '.') {
              command.text += in.Take();
            } else {
              break;
            }
          }
        }
      }
      if (in.Peek() == ';') in.Take();
      line.commands.push_back(std::move(command));
      continue;
    }
    if (IsLetter(c)) {
      std::optional<long> number = in.Number();
      if (!number) return fail();
      command.kind = AtCommand::Kind::kBasic;
      command.letter = c;
      command.number = *number;
      line.commands.push_back(std::move(command));
      if (c == 'A' || c == 'O') return line;  // the rest of the line is ignored
      continue;
    }
    // Anything else (a digit without a command, punctuation) is an unknown command of its
    // own, with its number: the interpreter decides whether that is an error.
    command.kind = AtCommand::Kind::kBasic;
    command.letter = c;
    std::optional<long> number = in.Number();
    if (!number) return fail();
    command.number = *number;
    line.commands.push_back(std::move(command));
  }
  return line;
}

}  // namespace quodem::telephony::modem::emulator
