#include "json.h"

#include <cstdio>
#include <string>

namespace quodem::tool {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool InRange(unsigned char c, unsigned char low, unsigned char high) {
  return c >= low && c <= high;
}

}  // namespace

std::string DecodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Length of the sequence and the range allowed for its second byte (which rules out
    // overlong forms, surrogates and code points above U+10FFFF).
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (InRange(lead, 0xC2, 0xDF)) {
      length = 2;
    } else if (lead == 0xE0) {
      length = 3, low = 0xA0;
    } else if (InRange(lead, 0xE1, 0xEC) || InRange(lead, 0xEE, 0xEF)) {
      length = 3;
    } else if (lead == 0xED) {
      length = 3, high = 0x9F;
    } else if (lead == 0xF0) {
      length = 4, low = 0x90;
    } else if (InRange(lead, 0xF1, 0xF3)) {
      length = 4;
    } else if (lead == 0xF4) {
      length = 4, high = 0x8F;
    }
    if (length == 0) {  // a byte that never starts a sequence
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t good = 1;  // bytes of the sequence that fit so far
    while (good < length && i + good < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + good]);
      const bool fits = good == 1 ? InRange(c, low, high) : InRange(c, 0x80, 0xBF);
      if (!fits) break;
      ++good;
    }
    if (good == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += kReplacement;  // the maximal subpart, however long, is one replacement
    }
    i += good;
  }
  return out;
}

std::string JsonString(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out.push_back('"');
  for (char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string HexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

void JsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_.push_back(',');
  body_ += JsonString(key);
  body_.push_back(':');
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
  Key(key);
  body_ += JsonString(DecodeUtf8Lossy(text));
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::uint64_t number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::AddName(std::string_view key, std::string_view bytes) {
  Add(key, bytes);
  if (DecodeUtf8Lossy(bytes) != bytes) Add(std::string(key) + "_hex", HexEncode(bytes));
  return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

}  // namespace quodem::tool
