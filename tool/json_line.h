// Reading one line of JSON output back: a flat object whose members are strings, numbers,
// booleans or null (what the tool writes). Used by the demo to follow its receiver's events.
// Strict: anything that is not such an object is refused, so it also checks the output.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quodem::tool {

class JsonLine {
 public:
  // Nothing when `text` is not one flat JSON object (trailing spaces allowed).
  static std::optional<JsonLine> Parse(std::string_view text);

  bool Has(const std::string& key) const { return members_.count(key) > 0; }
  // The string member `key` (decoded), or nothing when absent or not a string.
  std::optional<std::string> String(const std::string& key) const;
  // The integer member `key`, or nothing when absent, not a number or not whole.
  std::optional<std::int64_t> Integer(const std::string& key) const;
  std::optional<bool> Bool(const std::string& key) const;
  std::size_t Size() const { return members_.size(); }
  // The members' names, sorted.
  std::vector<std::string> Keys() const;

 private:
  enum class Type { kString, kNumber, kBool, kNull };
  struct Value {
    Type type;
    std::string text;  // the decoded string, or the number's text
    bool flag = false;
  };
  std::map<std::string, Value> members_;
};

}  // namespace quodem::tool
