#include "args.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace quodem::tool {

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  if (it == values_.end() || it->second.empty()) return fallback;
  return it->second.back();
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionRule>& rules) {
  auto find = [&](const std::string& name) -> const OptionRule* {
    auto it = std::find_if(rules.begin(), rules.end(),
                           [&](const OptionRule& rule) { return rule.name == name; });
    return it == rules.end() ? nullptr : &*it;
  };
  ParsedArgs parsed;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
      parsed.positionals_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::string name;
    std::string value;
    bool has_inline_value = false;
    if (arg == "-h" && find("help") != nullptr) {
      name = "help";
    } else if (arg.rfind("--", 0) == 0) {
      name = arg.substr(2);
      const auto equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.resize(equals);
        has_inline_value = true;
      }
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
    const OptionRule* rule = find(name);
    if (rule == nullptr) throw UsageError("unknown option '--" + name + "'");
    if (rule->takes_value && !has_inline_value) {
      if (i + 1 >= args.size()) throw UsageError("option '--" + name + "' needs a value");
      value = args[++i];
    } else if (!rule->takes_value && has_inline_value) {
      throw UsageError("option '--" + name + "' takes no value");
    }
    auto& values = parsed.values_[name];
    if (!values.empty() && !rule->repeatable) {
      throw UsageError("option '--" + name + "' given more than once");
    }
    values.push_back(value);
    if (rule->takes_value) parsed.ordered_.emplace_back(name, value);
  }
  return parsed;
}

long long ParseNumber(const std::string& text, const std::string& what, long long min,
                      long long max) {
  const bool digits_only = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
  const bool negative =
      text.size() > 1 && text[0] == '-' &&
      std::all_of(text.begin() + 1, text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits_only || negative) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno == 0 && *end == '\0' && value >= min && value <= max) return value;
  }
  throw UsageError(what + " must be a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max) + ", not '" + text + "'");
}

unsigned long long ParseSize(const std::string& text, const std::string& what) {
  std::string digits = text;
  unsigned long long unit = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'k':
      case 'K':
        unit = 1ULL << 10;
        break;
      case 'M':
        unit = 1ULL << 20;
        break;
      case 'G':
        unit = 1ULL << 30;
        break;
      default:
        break;
    }
    if (unit != 1) digits.pop_back();
  }
  const auto max = static_cast<long long>(std::numeric_limits<std::uint32_t>::max() / unit);
  try {
    return static_cast<unsigned long long>(ParseNumber(digits, what, 0, max)) * unit;
  } catch (const UsageError&) {
    throw UsageError(what + " must be a byte count below 4 GiB such as 1000, 64k or 8M, not '" +
                     text + "'");
  }
}

}  // namespace quodem::tool
