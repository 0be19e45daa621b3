// The settings of a modem line ([line] provider = modem in lines.conf): the keys, their
// defaults and checks, and the values the provider works with.
//
//   device           required; absolute path of the serial device (never any other is opened)
//   baud             115200
//   flow             rtscts | xonxoff | none
//   init             ATZ|ATE0V1Q0X4&C1&D2S0=0 (commands separated by '|'; each must answer OK)
//   dial_prefix      ATD, followed by T or P from the dialing location unless it ends in T or P
//   dial_suffix      empty
//   answer           manual (RING offers the call, lineAnswer sends ATA) | auto (the modem
//                    answers by itself; its unprompted CONNECT offers the call)
//   command_timeout  5 (seconds a command may take)
//   connect_timeout  60 (seconds to wait for carrier; also sent as S7, so at most 255)
//   guard_ms         1100 (silence around the escape sequence)
//   hangup           dtr,escape (in order of preference: drop DTR for a second; guard, +++,
//                    guard, ATH0)
//   carrier          auto (DCD where the device has modem-control lines, otherwise the end
//                    of the device) | inband (also CR LF NO CARRIER CR LF in the data)
//   lock_dir         /run/lock (UUCP lock files)
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/telephony/config.h"
#include "platform/telephony/modem/serial_port.h"
#include "platform/telephony/provider.h"

namespace quodem::telephony::modem {

enum class AnswerMode { kManual, kAuto };
enum class CarrierMode { kAuto, kInBand };

struct ModemSettings {
  std::string name;
  std::string device;
  SerialSettings serial;
  std::vector<std::string> init;  // the parts of `init`, in order
  std::string dial_prefix = "ATD";
  std::string dial_suffix;
  bool pulse = false;  // the dialing location dials pulse
  AnswerMode answer = AnswerMode::kManual;
  std::chrono::milliseconds command_timeout{5000};
  int connect_timeout_s = 60;
  std::chrono::milliseconds guard{1100};
  bool hangup_dtr = true;
  bool hangup_escape = true;
  CarrierMode carrier = CarrierMode::kAuto;
  std::string lock_dir = "/run/lock";

  // The command that dials `number`: the prefix, T or P, the number and the suffix.
  std::string DialCommand(const std::string& number) const;
};

// The [line] keys of a modem line, with their defaults, help and checks.
std::vector<KeyRule> ModemKeyRules();

// The settings of a checked [line] section (the configuration parser has run the checks).
ModemSettings ModemSettingsFrom(const LineSettings& line, const Location& location);

// What a dial string becomes in the dial command: digits, '*', '#', a leading '+', and the
// dial modifiers ',', 'W', '@' and '!' kept, formatting (blanks, '-', '.', '(' and ')')
// dropped; or, for TCP virtual modems, host:port as it is. Empty for anything else (above
// all ';', quotes and control characters, which would end the dial command and run others),
// and for more than 64 characters.
std::string ModemDialString(const std::string& dial_string);

}  // namespace quodem::telephony::modem
