// What the tool tells the user about a call. Three forms share one interface: a terminal form
// (progress bars, redrawn in place), a plain form (one line per event, no control sequences)
// and a JSON form (one object per line on standard output, nothing else there).
//
// Every method may be called from any thread (the component raises its events on its
// workers); each form serialises its output with its own lock, taken after the session's
// (session.h) and before the output's (output.h). Errors and the texts of ShowMessage go to
// standard error in every form. Nothing here waits for a stalled reader once the tool must
// stop (output.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "output.h"
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

// Something that went wrong with a call or a line, as the user is told: `message` on
// standard error, and in JSON an "error" event with `reason`, one stable word a program can
// act on, and `code`, the telephony result code, when one was involved.
struct Failure {
  std::string reason;  // see docs/cli.md: busy, no-answer, unreachable, ...
  std::string message;
  std::optional<LONG> code;
};

class Reporter {
 public:
  virtual ~Reporter() = default;

  // `rate`: for csConnected, the rate the call connected at in bits per second when the line
  // knows it (a modem's CONNECT rate), else 0; 0 for every other state.
  virtual void State(CallState state, unsigned rate) = 0;
  virtual void Failed(const Failure& failure) = 0;
  // Progress of a transfer; a form may drop reports to a few per second, but never the first
  // or the one with size == total.
  virtual void Progress(const TransferUpdate& update) = 0;
  virtual void Message(std::string_view bytes) = 0;
  // A received file was saved at `path`. `sent_name`: the name the sender gave, when the file
  // was saved under another one (a file of that name was already there); "" otherwise.
  virtual void FileSaved(const std::string& path, std::uint64_t size,
                         const std::string& sent_name) = 0;
  // A received file was not saved (refused, or it failed): "not saved: NAME: REASON" on
  // standard error in every form, and in JSON a "file-failed" event.
  virtual void FileFailed(const std::string& name, const std::string& reason) = 0;
  virtual void SendFailed(Dataclass kind, const std::string& message) = 0;
  // The line is open and waiting for a call at `address` (the number, or the address and
  // port really listened on).
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

// A reporter writing to standard output.
std::unique_ptr<Reporter> MakeReporter(OutputForm form);
std::unique_ptr<Reporter> MakeJsonReporter(Output& out);
std::unique_ptr<Reporter> MakePlainReporter(Output& out);
std::unique_ptr<Reporter> MakeTerminalReporter(Output& out);

// Writes `text` and a newline to standard error.
void PrintError(const std::string& text);

// The words of FileSaved and FileFailed for a person.
std::string FileSavedWords(const std::string& path, const std::string& size,
                           const std::string& sent_name);
std::string FileFailedWords(const std::string& name, const std::string& reason);

}  // namespace quodem::tool
