#include "platform/telephony/dialogs.h"

#include <strings.h>
#include <unistd.h>

#include <iostream>
#include <mutex>

#include "platform/telephony/provider.h"
#include "platform/telephony/provider_kinds.h"
#include "platform/telephony/translate.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony {
namespace {

constexpr std::size_t kMaxAnswer = 1024;

struct HandlerSlot {
  std::mutex lock;
  DialogHandler handler;
};

HandlerSlot& Slot() {
  static auto* slot = new HandlerSlot;
  return *slot;
}

DialogHandler CurrentHandler() {
  std::lock_guard<std::mutex> guard(Slot().lock);
  return Slot().handler;
}

// Asks for one value until an acceptable one (or Enter) is given. False when input ends.
bool Ask(std::istream& in, std::ostream& out, const std::string& label, const std::string& help,
         std::string* value, const std::function<std::string(const std::string&)>& check) {
  for (;;) {
    out << "  " << label;
    if (!help.empty()) out << " (" << help << ")";
    out << " [" << *value << "]: " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) {
      out << "\n";
      return false;
    }
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    std::size_t begin = answer.find_first_not_of(" \t");
    std::size_t end = answer.find_last_not_of(" \t");
    answer = begin == std::string::npos ? "" : answer.substr(begin, end - begin + 1);
    if (answer.empty()) return true;    // Enter keeps the value
    if (answer == "-") answer.clear();  // empties it, where it may be empty
    std::string problem = answer.size() > kMaxAnswer ? "too long" : check(answer);
    if (problem.empty()) {
      *value = answer;
      return true;
    }
    out << "    " << problem << "\n";
  }
}

// Runs a dialog on the terminal and saves the result.
LONG RunOnTerminal(const std::function<bool(ServiceConfig&)>& edit) {
  ServiceConfig config;
  try {
    config = LoadConfig();
  } catch (const ConfigError& e) {
    std::cout << e.what() << "\n";
    return LINEERR_INIFILECORRUPT;
  }
  if (!edit(config)) {
    std::cout << "Nothing changed.\n";
    return 0;  // cancelling a dialog is not an error
  }
  try {
    SaveConfig(config);
  } catch (const std::exception& e) {
    std::cout << "Not saved: " << e.what() << "\n";
    return LINEERR_OPERATIONFAILED;
  }
  std::cout << "Saved to " << config.path << ".\n";
  return 0;
}

LONG RunDialog(const DialogRequest& request, const std::function<bool(ServiceConfig&)>& edit) {
  if (DialogHandler handler = CurrentHandler()) return handler(request);
  if (isatty(0) != 1) return LINEERR_OPERATIONUNAVAIL;
  return RunOnTerminal(edit);
}

}  // namespace

void SetDialogHandler(DialogHandler handler) {
  std::lock_guard<std::mutex> guard(Slot().lock);
  Slot().handler = std::move(handler);
}

bool EditLineSettings(ServiceConfig& config, DWORD device_id, std::istream& in, std::ostream& out) {
  if (device_id >= config.lines.size()) return false;
  LineSettings line = config.lines[device_id];
  const ProviderKind* kind = FindProviderKind(line.provider);
  if (kind == nullptr) return false;
  out << "Line " << device_id << ": \"" << line.Get("name") << "\" (" << kind->name
      << "). Press Enter to keep a value, - to empty it.\n";
  for (const KeyRule& rule : kind->keys) {
    std::string value = line.Get(rule.key);
    auto check = [&](const std::string& candidate) -> std::string {
      std::string problem = rule.check ? rule.check(candidate) : std::string();
      if (!problem.empty() || !rule.unique) return problem;
      for (std::size_t other = 0; other < config.lines.size(); ++other) {
        if (other != device_id && config.lines[other].provider == line.provider &&
            config.lines[other].Get(rule.key) == candidate) {
          return "already used by line " + std::to_string(other);
        }
      }
      return "";
    };
    if (!Ask(in, out, rule.key, rule.help, &value, check)) return false;
    line.Set(rule.key, value);
  }
  std::string timeout = std::to_string(config.answer_timeout_s);
  int seconds = config.answer_timeout_s;
  if (!Ask(in, out, "answer_timeout", "seconds a caller waits for an answer, on every line",
           &timeout, [&](const std::string& candidate) {
             int ignored;
             return CheckAnswerTimeout(candidate, &ignored);
           })) {
    return false;
  }
  CheckAnswerTimeout(timeout, &seconds);
  config.lines[device_id] = std::move(line);
  config.answer_timeout_s = seconds;
  return true;
}

bool EditDialingLocation(ServiceConfig& config, const std::string& address_in, std::istream& in,
                         std::ostream& out) {
  Location location = config.location;
  out << "Dialing location. Press Enter to keep a value, - to empty it.\n";
  struct Field {
    const char* key;
    const char* help;
    std::string* value;
  };
  Field fields[] = {
      {"country", "country code", &location.country},
      {"area", "area code", &location.area},
      {"outside", "prefix for an outside line, may be empty", &location.outside},
      {"long_distance", "prefix for long-distance calls", &location.long_distance},
      {"international", "prefix for international calls", &location.international},
      {"dialing", "tone or pulse", &location.dialing},
  };
  for (Field& field : fields) {
    std::string key = field.key;
    if (!Ask(in, out, key, field.help, field.value,
             [&](const std::string& candidate) { return CheckLocationValue(key, candidate); })) {
      return false;
    }
  }
  if (!address_in.empty()) {
    if (std::optional<Translation> t = TranslatePhoneNumber(address_in, location)) {
      out << "  \"" << address_in << "\" dials as " << t->dialable << "\n";
    }
  }
  config.location = location;
  return true;
}

LONG LineConfigDialog(DWORD device_id, const char* device_class) {
  if (device_class != nullptr && *device_class != 0 &&
      strcasecmp(device_class, "comm/datamodem") != 0 &&
      strcasecmp(device_class, "tapi/line") != 0) {
    return LINEERR_INVALDEVICECLASS;
  }
  ServiceConfig config;
  try {
    config = LoadConfig();
  } catch (const ConfigError&) {
    return LINEERR_INIFILECORRUPT;
  }
  if (device_id >= config.lines.size()) return LINEERR_BADDEVICEID;
  return RunDialog(DialogRequest{DialogKind::kLineConfig, device_id, ""},
                   [device_id](ServiceConfig& edited) {
                     return EditLineSettings(edited, device_id, std::cin, std::cout);
                   });
}

LONG DialingLocationDialog(DWORD device_id, const std::string& address_in) {
  return RunDialog(DialogRequest{DialogKind::kDialingLocation, device_id, address_in},
                   [&address_in](ServiceConfig& edited) {
                     return EditDialingLocation(edited, address_in, std::cin, std::cout);
                   });
}

}  // namespace quodem::telephony
