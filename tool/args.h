// Command-line options: "--name value", "--name=value" and flags, in any order among the
// positional arguments; "--" ends the options. Each command declares the options it takes;
// anything else is a usage error.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quodem::tool {

// A usage or configuration error: the tool prints the message on one line and exits 1.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionRule {
  std::string name;  // without the leading dashes: "line"
  bool takes_value = false;
  bool repeatable = false;
};

class ParsedArgs {
 public:
  bool Has(const std::string& name) const { return values_.count(name) > 0; }
  // The option's value, or `fallback` when it was not given.
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  // Every option with a value, in command-line order (for options whose order matters).
  const std::vector<std::pair<std::string, std::string>>& Ordered() const { return ordered_; }
  const std::vector<std::string>& Positionals() const { return positionals_; }

 private:
  friend ParsedArgs ParseArgs(const std::vector<std::string>&, const std::vector<OptionRule>&);
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::pair<std::string, std::string>> ordered_;
  std::vector<std::string> positionals_;
};

// Throws UsageError for an unknown option, a missing value, a value given to a flag, or a
// non-repeatable option given twice. "-h" is taken as "--help" when the rules list "help".
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionRule>& rules);

// A whole decimal number in [min, max]; throws UsageError naming `what` otherwise.
long long ParseNumber(const std::string& text, const std::string& what, long long min,
                      long long max);

// A byte count: a decimal number with an optional suffix k, M or G (powers of 1024).
unsigned long long ParseSize(const std::string& text, const std::string& what);

}  // namespace quodem::tool
