#include "command.h"

#include <cstdio>
#include <exception>
#include <new>

#include "reporter.h"

namespace quodem::tool {

namespace {

bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

}  // namespace

int RunCommand(const Command& command, const std::vector<std::string>& args) {
  const std::string prefix = std::string("quodem ") + command.name + ": ";
  try {
    std::vector<OptionRule> rules = command.options;
    rules.push_back({"help", false, false});
    ParsedArgs parsed;
    try {
      parsed = ParseArgs(args, rules);
    } catch (const UsageError&) {
      if (!AsksForHelp(args)) throw;
      parsed = ParseArgs({"--help"}, rules);
    }
    if (parsed.Has("help")) {
      std::fputs(command.help, stdout);
      return kExitOk;
    }
    return command.run(parsed);
  } catch (const UsageError& e) {
    PrintError(prefix + e.what());
  } catch (const std::bad_alloc&) {
    PrintError(prefix + "out of memory");
  } catch (const std::exception& e) {
    PrintError(prefix + e.what());
  }
  return kExitUsage;
}

}  // namespace quodem::tool

namespace quodem::tool {

int LineArgument(const ParsedArgs& args) {
  return static_cast<int>(ParseNumber(args.Value("line", "0"), "--line", -1000000, 1000000));
}

void LimitPositionals(const ParsedArgs& args, std::size_t allowed) {
  if (args.Positionals().size() > allowed) {
    throw UsageError("unexpected argument '" + args.Positionals()[allowed] + "'");
  }
}

}  // namespace quodem::tool
