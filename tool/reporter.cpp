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
      return MakeJsonReporter(StandardOutput());
    case OutputForm::kTerminal:
      return MakeTerminalReporter(StandardOutput());
    case OutputForm::kPlain:
      break;
  }
  return MakePlainReporter(StandardOutput());
}

void PrintError(const std::string& text) {
  StandardError().Write(text + "\n");
}

}  // namespace quodem::tool
