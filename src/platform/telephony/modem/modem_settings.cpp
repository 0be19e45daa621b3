#include "platform/telephony/modem/modem_settings.h"

#include <cstring>

#include "platform/telephony/provider_kinds.h"
#include "platform/telephony/tcp_address.h"

namespace quodem::telephony::modem {
namespace {

constexpr std::size_t kMaxPath = 255;
constexpr std::size_t kMaxCommand = 80;  // the shortest command buffer of common modems
constexpr std::size_t kMaxDialString = 64;

bool Printable(const std::string& value) {
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) return false;
  }
  return true;
}

// Whether the configuration file gives `value` back as it is: a ';' at its start or after a
// blank begins a comment there.
bool CommentFree(const std::string& value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == ';' && (i == 0 || value[i - 1] == ' ')) return false;
  }
  return true;
}

constexpr const char* kStartsComment =
    "must not have a ';' at its start or after a blank (it begins a comment in the file)";

bool StartsWithAt(const std::string& value) {
  return value.size() >= 2 && (value[0] == 'A' || value[0] == 'a') &&
         (value[1] == 'T' || value[1] == 't');
}

std::vector<std::string> Split(const std::string& value, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = value.find(separator, start);
    parts.push_back(
        value.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string CheckPath(const std::string& value) {
  if (value.empty() || value.front() != '/') return "must be an absolute path";
  if (value.size() > kMaxPath) return "must be at most 255 characters";
  if (!Printable(value)) return "must not contain control characters";
  if (!CommentFree(value)) return kStartsComment;
  return "";
}

std::string CheckDevice(const std::string& value) {
  std::string problem = CheckPath(value);
  if (!problem.empty()) return problem;
  if (value.back() == '/') return "must name a device, not a folder";
  return "";
}

std::string CheckBaud(const std::string& value) {
  if (value.empty() || value.size() > 7 ||
      value.find_first_not_of("0123456789") != std::string::npos ||
      !SerialPort::SpeedConstant(static_cast<unsigned>(std::stoul(value)))) {
    return "must be a speed the serial driver knows (300 ... 4000000, such as 115200)";
  }
  return "";
}

std::string CheckCommand(const std::string& value) {
  if (!StartsWithAt(value)) return "must begin with AT";
  if (value.size() > kMaxCommand) return "a command must be at most 80 characters";
  if (!Printable(value)) return "must not contain control characters";
  if (!CommentFree(value)) return kStartsComment;
  return "";
}

std::string CheckInit(const std::string& value) {
  for (const std::string& part : Split(value, '|')) {
    std::string problem = CheckCommand(part);
    if (!problem.empty()) return "each command between '|' " + problem;
  }
  return "";
}

std::string CheckSuffix(const std::string& value) {
  if (value.size() > 16) return "must be at most 16 characters";
  if (!Printable(value)) return "must not contain control characters";
  if (!CommentFree(value)) return kStartsComment;
  return "";
}

std::string CheckOneOf(const std::string& value, std::initializer_list<const char*> choices) {
  std::string listed;
  for (const char* choice : choices) {
    if (value == choice) return "";
    listed += std::string(listed.empty() ? "" : ", ") + choice;
  }
  return "must be one of " + listed;
}

std::string CheckWhole(const std::string& value, long low, long high, const std::string& what) {
  if (value.empty() || value.size() > 6 ||
      value.find_first_not_of("0123456789") != std::string::npos || std::stol(value) < low ||
      std::stol(value) > high) {
    return "must be " + what + " from " + std::to_string(low) + " to " + std::to_string(high);
  }
  return "";
}

std::string CheckHangup(const std::string& value) {
  std::vector<std::string> methods = Split(value, ',');
  for (std::size_t i = 0; i < methods.size(); ++i) {
    if (methods[i] != "dtr" && methods[i] != "escape") {
      return "must list dtr and/or escape, separated by a comma";
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (methods[j] == methods[i]) return "must not name a method twice";
    }
  }
  return "";
}

}  // namespace

std::vector<KeyRule> ModemKeyRules() {
  KeyRule name{"name",       "Modem", false, false, "the line's name as applications list it",
               CheckLineName};
  return {
      name,
      {"device", "", true, true, "the serial device of the modem, such as /dev/ttyUSB0",
       CheckDevice},
      {"baud", "115200", false, false, "speed of the serial port", CheckBaud},
      {"flow", "rtscts", false, false, "flow control: rtscts, xonxoff or none",
       [](const std::string& v) {
         return CheckOneOf(v, {"rtscts", "xonxoff", "none"});
       }},
      {"init", "ATZ|ATE0V1Q0X4&C1&D2S0=0", false, false,
       "commands sent when the line opens, separated by '|'; each must answer OK", CheckInit},
      {"dial_prefix", "ATD", false, false,
       "dial command; T or P from the dialing location follows unless it ends in T or P",
       CheckCommand},
      {"dial_suffix", "", false, false, "text after the number in the dial command", CheckSuffix},
      {"answer", "manual", false, false,
       "manual: RING offers the call and answering sends ATA; auto: the modem answers itself",
       [](const std::string& v) {
         return CheckOneOf(v, {"manual", "auto"});
       }},
      {"command_timeout", "5", false, false, "seconds a command may take",
       [](const std::string& v) { return CheckWhole(v, 1, 600, "a whole number of seconds"); }},
      {"connect_timeout", "60", false, false, "seconds to wait for carrier (sent as S7)",
       [](const std::string& v) { return CheckWhole(v, 1, 255, "a whole number of seconds"); }},
      {"guard_ms", "1100", false, false, "milliseconds of silence around the escape sequence",
       [](const std::string& v) { return CheckWhole(v, 20, 10000, "a number of milliseconds"); }},
      {"hangup", "dtr,escape", false, false,
       "how to hang up, in order: dtr (drop DTR a second), escape (+++ then ATH0)", CheckHangup},
      {"carrier", "auto", false, false,
       "auto: DCD, or the end of a device without modem lines; inband: also NO CARRIER text",
       [](const std::string& v) {
         return CheckOneOf(v, {"auto", "inband"});
       }},
      {"lock_dir", "/run/lock", false, false, "folder of the UUCP lock files", CheckPath},
  };
}

ModemSettings ModemSettingsFrom(const LineSettings& line, const Location& location) {
  ModemSettings settings;
  settings.name = line.Get("name");
  settings.device = line.Get("device");
  settings.serial.baud = static_cast<unsigned>(std::stoul(line.Get("baud")));
  const std::string& flow = line.Get("flow");
  settings.serial.flow = flow == "none"      ? FlowControl::kNone
                         : flow == "xonxoff" ? FlowControl::kXonXoff
                                             : FlowControl::kRtsCts;
  settings.init = Split(line.Get("init"), '|');
  settings.dial_prefix = line.Get("dial_prefix");
  settings.dial_suffix = line.Get("dial_suffix");
  settings.pulse = location.dialing == "pulse";
  settings.answer = line.Get("answer") == "auto" ? AnswerMode::kAuto : AnswerMode::kManual;
  settings.command_timeout = std::chrono::seconds(std::stol(line.Get("command_timeout")));
  settings.connect_timeout_s = static_cast<int>(std::stol(line.Get("connect_timeout")));
  settings.guard = std::chrono::milliseconds(std::stol(line.Get("guard_ms")));
  settings.hangup_dtr = false;
  settings.hangup_escape = false;
  for (const std::string& method : Split(line.Get("hangup"), ',')) {
    if (method == "dtr") settings.hangup_dtr = true;
    if (method == "escape") settings.hangup_escape = true;
  }
  settings.carrier = line.Get("carrier") == "inband" ? CarrierMode::kInBand : CarrierMode::kAuto;
  settings.lock_dir = line.Get("lock_dir");
  return settings;
}

std::string ModemSettings::DialCommand(const std::string& number) const {
  std::string command = dial_prefix;
  const char last = command.empty() ? '\0' : command.back();
  if (last != 'T' && last != 't' && last != 'P' && last != 'p') command += pulse ? 'P' : 'T';
  return command + number + dial_suffix;
}

std::string ModemDialString(const std::string& dial_string) {
  std::string kept;
  bool phone = true;
  for (std::size_t i = 0; i < dial_string.size(); ++i) {
    const char c = dial_string[i];
    if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == ',' || c == 'W' || c == 'w' ||
        c == '@' || c == '!' || (c == '+' && kept.empty())) {
      kept += c;
    } else if (std::strchr(" -.()", c) == nullptr || c == '\0') {
      phone = false;
      break;
    }
  }
  if (phone) {
    bool has_digit = kept.find_first_of("0123456789") != std::string::npos;
    return has_digit && kept.size() <= kMaxDialString ? kept : "";
  }
  // A TCP virtual modem's host:port: letters, digits and the punctuation of addresses only.
  if (dial_string.size() > kMaxDialString ||
      dial_string.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789.-:[]") != std::string::npos ||
      !ParseHostPort(dial_string, -1, false)) {
    return "";
  }
  return dial_string;
}

}  // namespace quodem::telephony::modem
