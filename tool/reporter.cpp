#include "reporter.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace quodem::tool {

OutputForm ChooseOutputForm(bool json) {
  if (json) return OutputForm::kJson;
  const char* term = std::getenv("TERM");
  const bool dumb = term == nullptr || std::strcmp(term, "dumb") == 0;
  return ::isatty(STDOUT_FILENO) == 1 && !dumb ? OutputForm::kTerminal : OutputForm::kPlain;
}

std::unique_ptr<Reporter> MakeReporter(OutputForm form) {
  switch (form) {
    case OutputForm::kJson:
      return MakeJsonReporter(stdout);
    case OutputForm::kTerminal:
      return MakeTerminalReporter(stdout);
    case OutputForm::kPlain:
      break;
  }
  return MakePlainReporter(stdout);
}

void PrintError(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace quodem::tool
