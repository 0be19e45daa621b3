// Checks made before any call, so that a mistake in the command line or the configuration is
// one clear line and exit status 1 instead of a failed call: the line exists, the files to
// send can be read and fit in a frame, the save folder can be written, the exchange folder is
// usable, and nobody else is already waiting on the line's number. Each throws UsageError.
#pragma once

#include <string>
#include <vector>

#include "args.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"
#include "reporter.h"
#include "session.h"

namespace quodem::tool {

// The exchange folder in use (created when missing).
std::string CheckExchange();

// The line `index` of the component's LineNames, with what the service says about it.
struct LineChoice {
  int index = 0;
  std::string name;
  telephony::LineInfo info;  // provider "" when the service does not list the line
};
LineChoice CheckLine(const TQuodem& modem, int index);
// Every line of LineNames, with the service's details where it lists them.
std::vector<LineChoice> ListLineChoices(const TQuodem& modem);

// Refuses a line whose number another process holds (another waiter).
void CheckNumberFree(const LineChoice& line);

// Where the line waits for calls now: its number, or the address and port its open line
// really listens on (a TCP line configured with port 0 gets one from the system). The
// configured address when it is not open in this process.
std::string ListeningAddress(const LineChoice& line);

// The save folder: `dir` is created with its parents when missing, then resolved by the kernel
// (symbolic links and "..", so "lnk/.." is the folder above the link's target) to the real
// path returned; it must be a folder this process can write into. `*created` says whether it
// was made here.
std::string CheckSaveDir(const std::string& dir, bool* created = nullptr);

// The receiving options of wait, dial and chat: --save-dir DIR (checked by CheckSaveDir; when
// absent `fallback`, where "" refuses every file), --replace and --allow-hidden. Tells the
// user once, through `reporter`, where files are saved.
ReceiveRules ReceiveRulesFrom(const ParsedArgs& args, const std::string& fallback);
void AnnounceSaveDir(Reporter& reporter, const ReceiveRules& rules);

// A regular file that can be opened for reading, below 4 GiB, with a name of at most 246
// bytes (what a file frame can carry). Never waits: a FIFO or device is refused without
// reading from it (a FIFO would block until a writer came).
void CheckFileToSend(const std::string& path);

// The kind of a file that is not a regular file, for messages: "a FIFO (named pipe)".
std::string FileTypeWords(unsigned mode);

// A message of at most 65535 bytes (what a message frame can carry).
void CheckMessageToSend(const std::string& text);

}  // namespace quodem::tool
