#include "reporter.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "text.h"

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

std::string FileSavedWords(const std::string& path, const std::string& size,
                           const std::string& sent_name) {
  std::string words = "saved " + EscapeForDisplay(path) + " (" + size + ")";
  if (!sent_name.empty()) {
    words += " under a new name: " + EscapeForDisplay(sent_name) + " was already there";
  }
  return words;
}

std::string FileFailedWords(const std::string& name, const std::string& reason) {
  return "not saved: " + EscapeForDisplay(name) + ": " + reason;
}

}  // namespace quodem::tool
