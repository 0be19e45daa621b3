// The service's configuration: the line devices, the exchange's answer timeout and the
// dialing location, read from an INI file (format in quodem/platform/telephony_service.h).
//
// Parsing never trusts the file: it is bounded in size, every key and section is checked,
// and any problem is a ConfigError naming the file, the line and the problem.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quodem::telephony {

struct ProviderKind;

class ConfigError : public std::runtime_error {
 public:
  // line 0: the problem concerns the whole file.
  ConfigError(std::string file, int line, std::string problem);
  const std::string& file() const { return file_; }
  int line() const { return line_; }
  const std::string& problem() const { return problem_; }

 private:
  std::string file_;
  int line_;
  std::string problem_;
};

struct Setting {
  std::string key;
  std::string value;
  int line = 0;  // where the file gave it (0: a default)
};

// One [line] section: the provider and its keys, every key of the provider present (missing
// optional ones filled with their defaults), in the order the provider lists them.
struct LineSettings {
  std::string provider;
  std::vector<Setting> settings;
  int line = 0;  // line of the [line] header (0: built-in default line)

  // The value of `key` ("" when absent).
  const std::string& Get(std::string_view key) const;
  void Set(std::string_view key, std::string value);
};

struct Location {
  std::string country = "1";
  std::string area;
  std::string outside;
  std::string long_distance = "1";
  std::string international = "011";
  std::string dialing = "tone";
};

struct ServiceConfig {
  std::string path;  // the file read (or to write); the lines below may be defaults
  std::vector<LineSettings> lines;
  int answer_timeout_s = 30;
  Location location;
};

constexpr int kMaxLines = 64;
constexpr std::size_t kMaxConfigBytes = 1 << 20;

// $QUODEM_CONFIG, else $XDG_CONFIG_HOME/quodem/lines.conf, else ~/.config/quodem/lines.conf.
std::string ConfigFilePath();

// The configuration used when there is no file: two exchange lines (101, 102) and a TCP line.
ServiceConfig DefaultConfig(const std::string& path);

// Parses `text` as the contents of `file`. Throws ConfigError.
ServiceConfig ParseConfig(std::string_view text, const std::string& file);

// Reads ConfigFilePath(); a missing file gives the defaults. Throws ConfigError for a file
// that exists but cannot be read or parsed.
ServiceConfig LoadConfig();

// The whole configuration as INI text that ParseConfig reads back to the same values.
std::string FormatConfig(const ServiceConfig& config);

// Writes FormatConfig(config) to config.path (creating missing folders with mode 0700) by
// writing a temporary file beside it and renaming it into place. Throws std::runtime_error.
void SaveConfig(const ServiceConfig& config);

// Checks one value of the [location] section ("" when fine).
std::string CheckLocationValue(std::string_view key, const std::string& value);
// Checks [exchange] answer_timeout; on success stores the seconds in `*seconds`.
std::string CheckAnswerTimeout(const std::string& value, int* seconds);

}  // namespace quodem::telephony
