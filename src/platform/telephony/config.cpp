#include "platform/telephony/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/posix/unique_fd.h"
#include "platform/telephony/provider.h"
#include "platform/telephony/provider_kinds.h"
#include "platform/telephony/regular_file.h"

namespace quodem::telephony {
namespace {

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return std::string(text.substr(begin, end - begin));
}

// An inline comment starts at a ';' that begins the value or follows a blank. ('#' is not a
// comment marker inside a line: it is a dialable character in numbers.)
std::string StripInlineComment(std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == ';' && (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t')) {
      return Trim(value.substr(0, i));
    }
  }
  return Trim(value);
}

// Characters a terminal shows as nothing, or as blank space that looks like an ordinary
// space: format characters, unusual spaces, the byte-order mark.
bool Invisible(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD || cp == 0x34F || cp == 0x61C ||
         (cp >= 0x115F && cp <= 0x1160) || (cp >= 0x17B4 && cp <= 0x17B5) || cp == 0x180E ||
         (cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
         (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0x3164 || cp == 0xFEFF ||
         cp == 0xFFA0 || (cp >= 0xFFF0 && cp <= 0xFFFB) || (cp >= 0xE0000 && cp <= 0xE0FFF);
}

// Decodes the UTF-8 sequence at `text[i]`; its length, or 0 when it is not valid UTF-8.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, std::uint32_t* cp) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    *cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    *cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    *cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    *cp = (*cp << 6) | (c & 0x3F);
  }
  return length;
}

// Text from the file as a message shows it: invisible characters as \uXXXX, bytes that are
// not UTF-8 as \xNN, a backslash doubled; everything else as it is.
std::string Shown(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t length = DecodeUtf8(text, i, &cp);
    char escaped[16];
    if (length == 0) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += escaped;
      ++i;
      continue;
    }
    if (cp == '\\') {
      out += "\\\\";
    } else if (Invisible(cp)) {
      std::snprintf(escaped, sizeof escaped, cp > 0xFFFF ? "\\U%08x" : "\\u%04x",
                    static_cast<unsigned>(cp));
      out += escaped;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

bool AllDigits(const std::string& value) {
  for (char c : value) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool AllDialable(const std::string& value) {
  for (char c : value) {
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#')) return false;
  }
  return true;
}

void CompleteLine(LineSettings& line, const ProviderKind& kind) {
  std::vector<Setting> ordered;
  for (const KeyRule& rule : kind.keys) {
    Setting setting{rule.key, rule.default_value, 0};
    for (const Setting& given : line.settings) {
      if (given.key == rule.key) setting = given;
    }
    ordered.push_back(setting);
  }
  line.settings = std::move(ordered);
}

LineSettings MakeLine(const std::string& provider,
                      std::initializer_list<std::pair<const char*, const char*>> values) {
  LineSettings line;
  line.provider = provider;
  for (auto& [key, value] : values) line.settings.push_back(Setting{key, value, 0});
  if (const ProviderKind* kind = FindProviderKind(provider)) CompleteLine(line, *kind);
  return line;
}

const std::vector<std::string>& LocationKeys() {
  static const std::vector<std::string> keys = {"country",       "area",          "outside",
                                                "long_distance", "international", "dialing"};
  return keys;
}

std::string* LocationField(Location& location, std::string_view key) {
  if (key == "country") return &location.country;
  if (key == "area") return &location.area;
  if (key == "outside") return &location.outside;
  if (key == "long_distance") return &location.long_distance;
  if (key == "international") return &location.international;
  if (key == "dialing") return &location.dialing;
  return nullptr;
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

// One section being read: its keys with their lines, checked when the section ends.
struct PendingSection {
  std::string name;
  int line = 0;
  std::vector<Setting> settings;
};

class Parser {
 public:
  explicit Parser(std::string file) : file_(std::move(file)) {}

  ServiceConfig Parse(std::string_view text) {
    if (text.size() > kMaxConfigBytes) Fail(0, "file is larger than 1 MiB");
    config_.path = file_;
    // A byte-order mark, which some editors put at the start of a UTF-8 file, is not text.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    int number = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view raw = text.substr(pos, end - pos);
      ++number;
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      ParseLine(number, raw);
      if (end == text.size()) break;
      pos = end + 1;
    }
    FinishSection();
    if (config_.lines.empty()) config_.lines = DefaultConfig(file_).lines;
    CheckUniqueValues();
    return std::move(config_);
  }

 private:
  [[noreturn]] void Fail(int line, const std::string& problem) {
    throw ConfigError(file_, line, problem);
  }

  void ParseLine(int number, std::string_view raw) {
    for (char c : raw) {
      auto byte = static_cast<unsigned char>(c);
      if (byte == 0) Fail(number, "contains a NUL byte");
      if ((byte < 0x20 && c != '\t') || byte == 0x7f) Fail(number, "contains a control character");
    }
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') return;
    if (line[0] == '[') {
      std::string header = StripInlineComment(line);
      if (header.size() < 2 || header.back() != ']') {
        Fail(number, "section header '" + Shown(header) + "' does not end with ']'");
      }
      StartSection(number, Trim(std::string_view(header).substr(1, header.size() - 2)));
      return;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      Fail(number, "expected 'key = value', '[section]' or a comment, found '" + Shown(line) + "'");
    }
    std::string key = Trim(std::string_view(line).substr(0, equals));
    std::string value = StripInlineComment(std::string_view(line).substr(equals + 1));
    if (key.empty()) Fail(number, "missing key before '='");
    if (!has_section_) Fail(number, "key '" + Shown(key) + "' outside a section");
    for (const Setting& earlier : section_.settings) {
      if (earlier.key == key) {
        Fail(number, "key '" + Shown(key) + "' given twice in this section (first at line " +
                         std::to_string(earlier.line) + ")");
      }
    }
    section_.settings.push_back(Setting{key, value, number});
  }

  void StartSection(int number, const std::string& name) {
    FinishSection();
    if (name != "line" && name != "exchange" && name != "location") {
      Fail(number,
           "unknown section [" + Shown(name) + "] (expected [line], [exchange] or [location])");
    }
    if (name == "line" && static_cast<int>(config_.lines.size()) >= kMaxLines) {
      Fail(number, "more than " + std::to_string(kMaxLines) + " [line] sections");
    }
    if (name != "line") {
      auto seen = seen_sections_.find(name);
      if (seen != seen_sections_.end()) {
        Fail(number, "section [" + name + "] appears twice (first at line " +
                         std::to_string(seen->second) + ")");
      }
      seen_sections_[name] = number;
    }
    section_ = PendingSection{name, number, {}};
    has_section_ = true;
  }

  void FinishSection() {
    if (!has_section_) return;
    has_section_ = false;
    PendingSection section = std::move(section_);
    if (section.name == "line") {
      FinishLine(section);
    } else if (section.name == "exchange") {
      for (const Setting& setting : section.settings) {
        if (setting.key != "answer_timeout") {
          Fail(setting.line, "unknown key '" + Shown(setting.key) + "' in [exchange]");
        }
        std::string problem = CheckAnswerTimeout(setting.value, &config_.answer_timeout_s);
        if (!problem.empty()) Fail(setting.line, problem);
      }
    } else {
      for (const Setting& setting : section.settings) {
        std::string* field = LocationField(config_.location, setting.key);
        if (field == nullptr)
          Fail(setting.line, "unknown key '" + Shown(setting.key) + "' in [location]");
        std::string problem = CheckLocationValue(setting.key, setting.value);
        if (!problem.empty()) Fail(setting.line, problem);
        *field = setting.value;
      }
    }
  }

  void FinishLine(const PendingSection& section) {
    const Setting* provider = nullptr;
    for (const Setting& setting : section.settings) {
      if (setting.key == "provider") provider = &setting;
    }
    if (provider == nullptr) Fail(section.line, "[line] without 'provider'");
    const ProviderKind* kind = FindProviderKind(provider->value);
    if (kind == nullptr) {
      std::string known;
      for (const ProviderKind& k : ProviderKinds()) known += (known.empty() ? "" : " or ") + k.name;
      Fail(provider->line,
           "unknown provider '" + Shown(provider->value) + "' (expected " + known + ")");
    }
    LineSettings line;
    line.provider = kind->name;
    line.line = section.line;
    for (const Setting& setting : section.settings) {
      if (&setting == provider) continue;
      const KeyRule* rule = nullptr;
      for (const KeyRule& candidate : kind->keys) {
        if (candidate.key == setting.key) rule = &candidate;
      }
      if (rule == nullptr) {
        Fail(setting.line, "unknown key '" + Shown(setting.key) + "' for provider " + kind->name);
      }
      std::string problem = rule->check ? rule->check(setting.value) : std::string();
      if (!problem.empty()) Fail(setting.line, setting.key + ": " + problem);
      line.settings.push_back(setting);
    }
    for (const KeyRule& rule : kind->keys) {
      if (!rule.required) continue;
      bool given = false;
      for (const Setting& setting : line.settings) given = given || setting.key == rule.key;
      if (!given)
        Fail(section.line, "[line] of provider " + kind->name + " without '" + rule.key + "'");
    }
    CompleteLine(line, *kind);
    config_.lines.push_back(std::move(line));
  }

  void CheckUniqueValues() {
    std::map<std::string, int> seen;  // "key=value" -> line of the first section
    for (const LineSettings& line : config_.lines) {
      const ProviderKind* kind = FindProviderKind(line.provider);
      if (kind == nullptr) continue;
      for (const KeyRule& rule : kind->keys) {
        if (!rule.unique) continue;
        const std::string& value = line.Get(rule.key);
        auto [it, fresh] = seen.emplace(rule.key + "=" + value, line.line);
        if (!fresh) {
          Fail(line.line, rule.key + " " + Shown(value) +
                              " is already used by the [line] at line " +
                              std::to_string(it->second));
        }
      }
    }
  }

  std::string file_;
  ServiceConfig config_;
  PendingSection section_;
  bool has_section_ = false;
  std::map<std::string, int> seen_sections_;
};

}  // namespace

ConfigError::ConfigError(std::string file, int line, std::string problem)
    : std::runtime_error(file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " +
                         problem),
      file_(std::move(file)),
      line_(line),
      problem_(std::move(problem)) {}

const std::string& LineSettings::Get(std::string_view key) const {
  static const std::string empty;
  for (const Setting& setting : settings) {
    if (setting.key == key) return setting.value;
  }
  return empty;
}

void LineSettings::Set(std::string_view key, std::string value) {
  for (Setting& setting : settings) {
    if (setting.key == key) {
      setting.value = std::move(value);
      return;
    }
  }
  settings.push_back(Setting{std::string(key), std::move(value), 0});
}

std::string ConfigFilePath() {
  const char* explicit_path = std::getenv("QUODEM_CONFIG");
  if (explicit_path != nullptr && *explicit_path != 0) return explicit_path;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/quodem/lines.conf";
  return HomeDirectory() + "/.config/quodem/lines.conf";
}

ServiceConfig DefaultConfig(const std::string& path) {
  ServiceConfig config;
  config.path = path;
  config.lines.push_back(MakeLine("exchange", {{"name", "Local line 1"}, {"number", "101"}}));
  config.lines.push_back(MakeLine("exchange", {{"name", "Local line 2"}, {"number", "102"}}));
  config.lines.push_back(MakeLine("tcp", {{"name", "TCP/IP line"}}));
  return config;
}

ServiceConfig ParseConfig(std::string_view text, const std::string& file) {
  return Parser(file).Parse(text);
}

ServiceConfig LoadConfig() {
  std::string path = ConfigFilePath();
  std::string problem;
  posix::UniqueFd fd(OpenRegularFile(path, O_RDONLY, 0, &problem));
  if (!fd) {
    if (errno == ENOENT) return DefaultConfig(path);
    throw ConfigError(path, 0, problem);
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConfigError(path, 0, std::string("cannot read: ") + std::strerror(errno));
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxConfigBytes) throw ConfigError(path, 0, "file is larger than 1 MiB");
  }
  return ParseConfig(text, path);
}

std::string FormatConfig(const ServiceConfig& config) {
  std::string out = "# Quodem telephony lines and dialing location.\n";
  for (const LineSettings& line : config.lines) {
    out += "\n[line]\nprovider = " + line.provider + "\n";
    for (const Setting& setting : line.settings) out += setting.key + " = " + setting.value + "\n";
  }
  out += "\n[exchange]\nanswer_timeout = " + std::to_string(config.answer_timeout_s) + "\n";
  out += "\n[location]\n";
  Location location = config.location;
  for (const std::string& key : LocationKeys()) {
    out += key + " = " + *LocationField(location, key) + "\n";
  }
  return out;
}

void SaveConfig(const ServiceConfig& config) {
  const std::string& path = config.path;
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  // mkdir -p for the folders of the file.
  for (std::size_t i = 1; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') {
      std::string part = folder.substr(0, i);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create folder " + part + ": " + std::strerror(errno));
      }
    }
  }
  std::string temporary = path + ".tmp-" + std::to_string(getpid());
  posix::UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
  std::string text = FormatConfig(config);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = errno;
      fd.reset();
      unlink(temporary.c_str());
      throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(error));
    }
    done += static_cast<std::size_t>(n);
  }
  if (fsync(fd.get()) != 0 || fd.Close() != 0) {
    int error = errno;
    unlink(temporary.c_str());
    throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(error));
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    throw std::runtime_error("cannot replace " + path + ": " + std::strerror(error));
  }
}

std::string CheckLocationValue(std::string_view key, const std::string& value) {
  if (key == "country") {
    if (value.empty() || value.size() > 3 || !AllDigits(value))
      return "country must be 1 to 3 digits";
  } else if (key == "area") {
    if (value.size() > 8 || !AllDigits(value)) return "area must be at most 8 digits";
  } else if (key == "outside") {
    if (value.size() > 8 || !AllDialable(value)) {
      return "outside must be at most 8 dialable characters (digits, * and #)";
    }
  } else if (key == "long_distance" || key == "international") {
    if (value.size() > 8 || !AllDigits(value))
      return std::string(key) + " must be at most 8 digits";
  } else if (key == "dialing") {
    if (value != "tone" && value != "pulse") return "dialing must be tone or pulse";
  } else {
    return "unknown key '" + std::string(key) + "'";
  }
  return "";
}

std::string CheckAnswerTimeout(const std::string& value, int* seconds) {
  if (value.empty() || value.size() > 4 || !AllDigits(value) || std::stoi(value) < 1 ||
      std::stoi(value) > 3600) {
    return "answer_timeout must be a whole number of seconds from 1 to 3600";
  }
  *seconds = std::stoi(value);
  return "";
}

}  // namespace quodem::telephony
