// The tool's commands and exit statuses. Each command lives in its own cmd_<name>.cpp and
// takes the arguments that follow its name.
#pragma once

#include <string>
#include <vector>

#include "args.h"

namespace quodem::tool {

// Exit statuses (the same for every command).
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;       // usage or configuration error, found before any call
constexpr int kExitCallFailed = 2;  // the call could not be made or ended before connecting
constexpr int kExitSendFailed = 3;  // a send failed (the far end hung up during it, ...)
constexpr int kExitInterrupted = 130;

struct Command {
  const char* name;
  const char* summary;              // one line for "quodem --help"
  const char* help;                 // the whole text of "quodem NAME --help"
  std::vector<OptionSpec> options;  // "--help" is understood by every command
  int (*run)(const ParsedArgs& args);
};

extern const Command kLinesCommand;
extern const Command kWaitCommand;
extern const Command kDialCommand;
extern const Command kChatCommand;
extern const Command kDemoCommand;
extern const Command kConfigCommand;
extern const Command kLocationCommand;
extern const Command kEmulateCommand;

// Parses `args` against the command's options and runs it: prints its help for --help, and
// turns a UsageError or another exception into one line on standard error and exit status 1.
int RunCommand(const Command& command, const std::vector<std::string>& args);

}  // namespace quodem::tool

namespace quodem::tool {

// The value of --line (0 when not given); any whole number, checked against the lines later.
int LineArgument(const ParsedArgs& args);

// Refuses positional arguments beyond the first `allowed`.
void LimitPositionals(const ParsedArgs& args, std::size_t allowed);

}  // namespace quodem::tool
