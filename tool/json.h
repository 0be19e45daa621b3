// Writing JSON lines: one flat object per line, with string, integer and boolean members.
// Text that is not valid UTF-8 is decoded with every invalid sequence replaced by U+FFFD, so
// the output is always valid JSON whatever bytes arrive from the peer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quodem::tool {

// The bytes as UTF-8 text: each maximal invalid subsequence becomes one U+FFFD (the
// replacement practice of the Unicode standard and of browsers).
std::string DecodeUtf8Lossy(std::string_view bytes);

// A JSON string literal, quotes included, of `utf8` (assumed valid UTF-8): quote, backslash
// and control characters are escaped.
std::string JsonString(std::string_view utf8);

// Lower-case hexadecimal of the bytes, two digits each.
std::string HexEncode(std::string_view bytes);

// Builds one object: {"a":1,"b":"x"}.
class JsonObject {
 public:
  // Text members are decoded with DecodeUtf8Lossy first.
  JsonObject& Add(std::string_view key, std::string_view text);
  JsonObject& Add(std::string_view key, const char* text) {
    return Add(key, std::string_view(text));
  }
  JsonObject& Add(std::string_view key, std::int64_t number);
  JsonObject& Add(std::string_view key, int number) {
    return Add(key, static_cast<std::int64_t>(number));
  }
  JsonObject& Add(std::string_view key, unsigned number) {
    return Add(key, static_cast<std::int64_t>(number));
  }
  JsonObject& Add(std::string_view key, std::uint64_t number);
  JsonObject& AddBool(std::string_view key, bool value);
  // A name or path: `key` as text, and when the bytes are not valid UTF-8 also `key`_hex
  // with the bytes themselves ("path" and "path_hex"), so the real name can be recovered.
  JsonObject& AddName(std::string_view key, std::string_view bytes);

  // The object's text, without a newline.
  std::string Text() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

}  // namespace quodem::tool
