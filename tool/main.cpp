// quodem: make data calls and exchange messages and files with a peer running the Quodem
// component, from the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "reporter.h"

namespace quodem::tool {
namespace {

const Command* const kCommands[] = {&kLinesCommand,    &kWaitCommand,   &kDialCommand,
                                    &kChatCommand,     &kDemoCommand,   &kConfigCommand,
                                    &kLocationCommand, &kEmulateCommand};

constexpr const char* kVersion = "quodem 1.0.0.0";

void PrintUsage(std::FILE* out) {  // the whole help text
  std::fputs(
      "usage: quodem COMMAND [OPTIONS]\n"
      "\n"
      "Makes data-modem calls and exchanges messages and files with a peer that runs the\n"
      "Quodem component (another quodem, or a program built on the library).\n"
      "\n"
      "Commands:\n",
      out);
  for (const Command* command : kCommands) {
    std::fprintf(out, "  %-10s %s\n", command->name, command->summary);
  }
  std::fputs(
      "\n"
      "Options:\n"
      "  --help     this text; 'quodem COMMAND --help' describes a command\n"
      "  --version  the version\n"
      "\n"
      "Exit status: 0 done as asked; 1 usage or configuration error; 2 the call could not\n"
      "be made or ended before it connected; 3 a send failed; 130 interrupted.\n",
      out);
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintError("usage: quodem COMMAND [OPTIONS] (see 'quodem --help')");
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    if (first == "help" && args.size() > 1) {
      for (const Command* command : kCommands) {
        if (args[1] == command->name) return RunCommand(*command, {"--help"});
      }
    }
    PrintUsage(stdout);
    return kExitOk;
  }
  if (first == "--version" || first == "-V") {
    std::printf("%s\n", kVersion);
    return kExitOk;
  }
  for (const Command* command : kCommands) {
    if (first == command->name) {
      return RunCommand(*command, std::vector<std::string>(args.begin() + 1, args.end()));
    }
  }
  if (!first.empty() && first[0] == '-') {
    PrintError("quodem: unknown option '" + first + "' (see 'quodem --help')");
  } else {
    PrintError("quodem: unknown command '" + first + "' (see 'quodem --help')");
  }
  return kExitUsage;
}

}  // namespace
}  // namespace quodem::tool

int main(int argc, char** argv) {
  return quodem::tool::Main(argc, argv);
}
