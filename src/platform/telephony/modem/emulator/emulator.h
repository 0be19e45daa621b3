// `quodem emulate`: Hayes modems on pseudo-terminals whose calls go through the telephony
// service.
//
// How the modems get their lines: the emulator writes a configuration of its own (one
// local-exchange line per modem, holding the modem's number, and one TCP line for dialling
// hosts, opened without owner privilege so it never listens) and the process points
// QUODEM_CONFIG at it before the first session starts. The exchange folder is the usual one
// ($QUODEM_EXCHANGE_DIR, ...), so `quodem dial`, `quodem wait`, programs on the library and
// other emulators on the machine reach the emulated numbers and are reached by them. The
// exchange's own answer time-out is set to its largest value: how long a modem waits for an
// answer is its S7.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/telephony/modem/emulator/emulated_modem.h"

namespace quodem::telephony::modem::emulator {

struct ModemSpec {
  std::string number;
  std::string path;
};

struct EmulatorOptions {
  std::vector<ModemSpec> modems;
  unsigned speed = 0;  // 0: unpaced, CONNECT reports the DTE's speed
  mode_t mode = 0600;
  bool strict = false;
  std::function<void(const std::string&)> log;  // called on the modems' threads
};

// The configuration text for `numbers` (exchange lines 0..n-1, then the TCP line). Throws
// std::runtime_error when a number is not one the exchange takes, or is given twice.
std::string EmulatorConfiguration(const std::vector<std::string>& numbers);

class Emulator {
 public:
  // Builds every modem and starts them. The service must read EmulatorConfiguration() of
  // the same numbers (QUODEM_CONFIG) by then. Throws std::runtime_error saying what failed;
  // modems made before the failure are removed again.
  explicit Emulator(EmulatorOptions options);
  ~Emulator();  // stops the modems, hangs up their calls, removes their links
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // The pseudo-terminal behind each modem's link, in the order given.
  std::vector<std::string> SlavePaths() const;

 private:
  std::vector<std::unique_ptr<EmulatedModem>> modems_;
};

}  // namespace quodem::telephony::modem::emulator
