#include "json_line.h"

#include <cerrno>
#include <cstdlib>

#include "json.h"

namespace quodem::tool {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Take(char c) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipSpace();
    return pos_ == text_.size();
  }
  char Peek() {
    SkipSpace();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  bool Word(std::string_view word) {
    SkipSpace();
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  static void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool Hex4(std::uint32_t& value) {
    if (pos_ + 4 > text_.size()) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  bool String(std::string& out) {
    if (!Take('"')) return false;
    out.clear();
    while (pos_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return DecodeUtf8Lossy(out) == out;  // raw bytes must be valid UTF-8
      if (c < 0x20) return false;                        // control characters must be escaped
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          std::uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low;
            if (text_.substr(pos_, 2) != "\\u") return false;
            pos_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool Number(std::string& out) {
    SkipSpace();
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    const std::size_t digits = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    if (pos_ == digits) return false;
    if (text_[digits] == '0' && pos_ - digits > 1) return false;  // no leading zeros
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      const std::size_t fraction = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      if (pos_ == fraction) return false;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      const std::size_t exponent = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      if (pos_ == exponent) return false;
    }
    out = std::string(text_.substr(start, pos_ - start));
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<JsonLine> JsonLine::Parse(std::string_view text) {
  Parser parser(text);
  JsonLine line;
  if (!parser.Take('{')) return std::nullopt;
  if (!parser.Take('}')) {
    do {
      std::string key;
      if (!parser.String(key) || !parser.Take(':')) return std::nullopt;
      Value value{Type::kNull, {}, false};
      const char next = parser.Peek();
      if (next == '"') {
        value.type = Type::kString;
        if (!parser.String(value.text)) return std::nullopt;
      } else if (parser.Word("true")) {
        value.type = Type::kBool;
        value.flag = true;
      } else if (parser.Word("false")) {
        value.type = Type::kBool;
      } else if (parser.Word("null")) {
        value.type = Type::kNull;
      } else {
        value.type = Type::kNumber;
        if (!parser.Number(value.text)) return std::nullopt;
      }
      if (line.members_.count(key) > 0) return std::nullopt;  // duplicate member
      line.members_.emplace(std::move(key), std::move(value));
    } while (parser.Take(','));
    if (!parser.Take('}')) return std::nullopt;
  }
  if (!parser.AtEnd()) return std::nullopt;
  return line;
}

std::optional<std::string> JsonLine::String(const std::string& key) const {
  auto it = members_.find(key);
  if (it == members_.end() || it->second.type != Type::kString) return std::nullopt;
  return it->second.text;
}

std::optional<std::int64_t> JsonLine::Integer(const std::string& key) const {
  auto it = members_.find(key);
  if (it == members_.end() || it->second.type != Type::kNumber) return std::nullopt;
  const std::string& text = it->second.text;
  if (text.find_first_of(".eE") != std::string::npos) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

std::vector<std::string> JsonLine::Keys() const {
  std::vector<std::string> keys;
  for (const auto& member : members_) keys.push_back(member.first);
  return keys;
}

std::optional<bool> JsonLine::Bool(const std::string& key) const {
  auto it = members_.find(key);
  if (it == members_.end() || it->second.type != Type::kBool) return std::nullopt;
  return it->second.flag;
}

}  // namespace quodem::tool
