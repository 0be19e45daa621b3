// What the tool tells the user about a call. Three forms share one interface: a terminal form
// (progress bars, redrawn in place), a plain form (one line per event, no control sequences)
// and a JSON form (one object per line on standard output, nothing else there).
//
// Every method may be called from any thread (the component raises its events on its
// workers); each form serialises its output with its own lock. Errors and the texts of
// ShowMessage go to standard error in every form.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "quodem/component/quodem.h"

namespace quodem::tool {

enum class Direction { kSend, kReceive };

struct TransferUpdate {
  Direction direction = Direction::kSend;
  Dataclass kind = dcMessage;
  std::string name;  // the file's name when known ("" for messages)
  std::uint64_t size = 0;
  std::uint64_t total = 0;
  bool first = false;  // the first report of this transfer
};

class Reporter {
 public:
  virtual ~Reporter() = default;

  virtual void State(CallState state) = 0;
  // A telephony failure (also written to standard error with the code in hexadecimal).
  virtual void LineError(LONG code) = 0;
  // Progress of a transfer; a form may drop reports to a few per second, but never the first
  // or the one with size == total.
  virtual void Progress(const TransferUpdate& update) = 0;
  virtual void Message(std::string_view bytes) = 0;
  virtual void FileSaved(const std::string& path, std::uint64_t size) = 0;
  virtual void SendFailed(Dataclass kind, const std::string& message) = 0;
  // The line is open and waiting for a call.
  virtual void Waiting(int index, const std::string& name, const std::string& address) = 0;
  // Information for a person (ignored by the JSON form).
  virtual void Note(const std::string& text) = 0;
  // A problem, on standard error in every form.
  virtual void Problem(const std::string& text) = 0;
  // Makes sure everything written so far has left the process, and ends any progress display.
  virtual void Finish() = 0;
};

enum class OutputForm { kTerminal, kPlain, kJson };

// kJson when `json`; otherwise kTerminal when standard output is a terminal (and TERM is not
// "dumb"), else kPlain.
OutputForm ChooseOutputForm(bool json);

std::unique_ptr<Reporter> MakeReporter(OutputForm form);
std::unique_ptr<Reporter> MakeJsonReporter(std::FILE* out);
std::unique_ptr<Reporter> MakePlainReporter(std::FILE* out);
std::unique_ptr<Reporter> MakeTerminalReporter(std::FILE* out);

// Writes `text` and a newline to standard error and flushes it.
void PrintError(const std::string& text);

}  // namespace quodem::tool
