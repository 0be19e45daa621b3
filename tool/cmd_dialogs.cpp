// quodem config and quodem location: the telephony service's dialogs for a line (its
// settings, and the dialing location used to translate numbers).
#include <mutex>
#include <optional>

#include "command.h"
#include "preflight.h"
#include "quodem/component/quodem.h"
#include "reporter.h"
#include "text.h"

namespace quodem::tool {

namespace {

enum class Dialog { kConfig, kLocation };

int RunDialog(const ParsedArgs& args, Dialog dialog) {
  LimitPositionals(args, dialog == Dialog::kLocation ? 1 : 0);
  const int index = LineArgument(args);
  TQuodem modem;
  CheckLine(modem, index);
  std::mutex lock;
  std::optional<LONG> error;
  modem.SetOnLineErr([&](TQuodem*, LONG code) {
    std::lock_guard<std::mutex> guard(lock);
    error = code;
  });
  modem.SetLineIndex(index);
  if (dialog == Dialog::kConfig) {
    modem.ConfigDlg();
  } else {
    if (!args.Positionals().empty()) modem.SetDialString(args.Positionals()[0]);
    modem.TransDlg();
  }
  std::lock_guard<std::mutex> guard(lock);
  if (!error) return kExitOk;
  std::string text = "telephony error " + FormatResultCode(*error);
  if (*error == LINEERR_OPERATIONUNAVAIL) text += ": the dialog needs a terminal";
  PrintError(text);
  return kExitCallFailed;
}

int RunConfig(const ParsedArgs& args) {
  return RunDialog(args, Dialog::kConfig);
}
int RunLocation(const ParsedArgs& args) {
  return RunDialog(args, Dialog::kLocation);
}

}  // namespace

const Command kConfigCommand = {
    "config",
    "show and change a line's settings",
    "usage: quodem config [--line N]\n"
    "\n"
    "Opens the line's configuration dialog (on the terminal): the settings of line N, which\n"
    "are saved to the configuration file. Needs a terminal on standard input.\n"
    "\n"
    "  --line N   the line (default 0; see 'quodem lines')\n",
    {{"line", true, false}},
    RunConfig,
};

const Command kLocationCommand = {
    "location",
    "show and change the dialing location",
    "usage: quodem location [--line N] [NUMBER]\n"
    "\n"
    "Opens the dialing-location dialog (on the terminal): the country and area codes and\n"
    "the prefixes used to translate a number such as +1 (425) 555-0101 into what is\n"
    "dialled. NUMBER, when given, is shown as the address to translate. Needs a terminal\n"
    "on standard input.\n"
    "\n"
    "  --line N   the line (default 0; see 'quodem lines')\n",
    {{"line", true, false}},
    RunLocation,
};

}  // namespace quodem::tool
