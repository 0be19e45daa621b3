#include "platform/telephony/modem/emulator/emulator.h"

#include <set>
#include <stdexcept>

#include "platform/telephony/config.h"

namespace quodem::telephony::modem::emulator {

std::string EmulatorConfiguration(const std::vector<std::string>& numbers) {
  std::set<std::string> seen;
  for (const std::string& number : numbers) {
    // Checked before it goes into the text, so a number can never add lines of its own.
    if (number.empty() || number.size() > 32 ||
        number.find_first_not_of("0123456789*#") != std::string::npos) {
      throw std::runtime_error("modem number '" + number +
                               "': a number is 1 to 32 digits, * and #");
    }
    if (!seen.insert(number).second) {
      throw std::runtime_error("modem number " + number + " is given twice");
    }
  }
  std::string text =
      "# Written by quodem emulate: one line per emulated modem, one to dial hosts.\n";
  for (const std::string& number : numbers) {
    text += "[line]\nprovider = exchange\nname = Modem " + number + "\nnumber = " + number + "\n";
  }
  text += "[line]\nprovider = tcp\nname = Modem TCP line\nlisten = 127.0.0.1:0\nport = " +
          std::to_string(kDefaultTcpPort) + "\n";
  text += "[exchange]\nanswer_timeout = 3600\n";
  ParseConfig(text, "the emulator's configuration");  // throws ConfigError if ever wrong
  return text;
}

Emulator::Emulator(EmulatorOptions options) {
  std::set<std::string> paths;
  for (const ModemSpec& spec : options.modems) {
    if (!paths.insert(spec.path).second) {
      throw std::runtime_error("the path " + spec.path + " is given twice");
    }
  }
  const DWORD tcp_device = static_cast<DWORD>(options.modems.size());
  for (std::size_t i = 0; i < options.modems.size(); ++i) {
    ModemOptions modem;
    modem.number = options.modems[i].number;
    modem.path = options.modems[i].path;
    modem.speed = options.speed;
    modem.mode = options.mode;
    modem.strict = options.strict;
    modem.exchange_device = static_cast<DWORD>(i);
    modem.tcp_device = tcp_device;
    modem.log = options.log;
    try {
      modems_.push_back(std::make_unique<EmulatedModem>(std::move(modem)));
    } catch (const std::exception& e) {
      throw std::runtime_error("modem " + options.modems[i].number + " at " +
                               options.modems[i].path + ": " + e.what());
    }
  }
  for (auto& modem : modems_) modem->Start();
}

Emulator::~Emulator() = default;

std::vector<std::string> Emulator::SlavePaths() const {
  std::vector<std::string> paths;
  for (const auto& modem : modems_) paths.push_back(modem->SlavePath());
  return paths;
}

}  // namespace quodem::telephony::modem::emulator
