// One AT command line cut into its commands, the way Hayes-compatible modems read them. The
// text is what followed "AT" up to the CR. Blanks outside quotes are ignored and letters are
// taken in either case, so "ATE0 V1 &C1 s7=30" and "ate0v1&c1S7=30" are the same line.
//
//   basic      a letter and an optional number: E0, V1, X4, H, Z, M1, L2
//   vendor     &, \ or % and a letter and an optional number: &C1, &D2, \N3, %C1, &K 1
//   S-register Sn=v, Sn?, Sn (select), S=v and S? (the register selected last)
//   extended   +NAME, +NAME?, +NAME=?, +NAME=value[,value...]: the command ends at ';' or at
//              the first character that cannot belong to its value ("+FCLASS=0S37=0")
//   dial       D and everything up to a ';' outside quotes or the end of the line; a ';'
//              returns to command mode and the commands after it still run
//   answer     A (the rest of the line is ignored, as for O)
//
// Pure. A syntax error ends the parse: the commands before it are returned and `error` set.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quodem::telephony::modem::emulator {

struct AtCommand {
  enum class Kind {
    kBasic,           // `letter`, `number` (-1 when none)
    kVendor,          // `prefix` (&, \ or %), `letter`, `number`
    kRegisterSet,     // `number` (register), `value`
    kRegisterQuery,   // `number`
    kRegisterSelect,  // `number`
    kExtended,        // `name` ("+FCLASS"), `text` (what followed the name: "=0", "?", "")
    kDial,            // `text` (the dial string), `semicolon`
  };
  Kind kind = Kind::kBasic;
  char prefix = 0;
  char letter = 0;
  long number = -1;
  long value = 0;
  std::string name;
  std::string text;
  bool semicolon = false;
};

struct CommandLine {
  std::vector<AtCommand> commands;
  bool error = false;  // a syntax error followed the commands listed
};

constexpr long kMaxNumber = 99999;  // larger numbers are a syntax error

CommandLine ParseCommandLine(std::string_view body);

}  // namespace quodem::telephony::modem::emulator
