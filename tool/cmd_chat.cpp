// quodem chat: an interactive call. Each line typed is sent as a message; "/send PATH" sends
// a file and "/quit" hangs up. What arrives is printed as it comes.
//
// The main thread waits with poll on standard input and on the session's wake descriptor, so
// a hang-up by the far end or Ctrl-C ends the chat while it waits for typing.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "command.h"
#include "connect.h"
#include "preflight.h"
#include "session.h"
#include "signals.h"

namespace quodem::tool {

namespace {

constexpr const char* kChatHelp =
    "type a line to send it as a message; /send PATH sends a file; /quit hangs up "
    "(//text sends a line that starts with /)";

// The longest typed line kept: a whole message, and room for a leading '/' (//text) and a
// carriage return. A longer line is refused as it is typed and skipped to its end, so input
// without line ends (chat < /dev/zero) never piles up.
constexpr std::size_t kMaxTypedLine = kMaxMessageBytes + 2;

// Handles one typed line. Returns false when the chat should end (/quit).
bool HandleLine(CallSession& session, Reporter& reporter, const std::string& typed,
                bool& send_failed) {
  if (typed == "/quit") return false;
  if (typed == "/help") {
    reporter.Note(kChatHelp);
    return true;
  }
  if (typed.rfind("/send ", 0) == 0) {
    const std::string path = typed.substr(6);
    try {
      CheckFileToSend(path);
    } catch (const UsageError& e) {
      reporter.Problem(e.what());
      return true;
    }
    if (!session.SendFile(path)) send_failed = true;
    return true;
  }
  std::string text = typed;
  if (text.rfind("//", 0) == 0) {
    text.erase(0, 1);
  } else if (!text.empty() && text[0] == '/') {
    reporter.Problem("unknown chat command " + text + "; " + kChatHelp);
    return true;
  }
  if (text.empty()) return true;
  try {
    CheckMessageToSend(text);
  } catch (const UsageError& e) {
    reporter.Problem(e.what());
    return true;
  }
  if (!session.SendMessage(text)) send_failed = true;
  return true;
}

// Cuts standard input into lines and hands each to HandleLine, keeping at most one line of
// kMaxTypedLine bytes.
class TypedLines {
 public:
  TypedLines(CallSession& session, Reporter& reporter) : session_(session), reporter_(reporter) {}

  // Takes bytes read; false when the chat should end (/quit, or an interrupt).
  bool Take(std::string_view data) {
    while (!data.empty()) {
      const std::size_t newline = data.find('\n');
      const std::string_view part = data.substr(0, newline);
      if (skipping_) {
        skipped_ += part.size();
      } else if (pending_.size() + part.size() > kMaxTypedLine) {
        skipping_ = true;
        skipped_ = pending_.size() + part.size();
        pending_.clear();
        pending_.shrink_to_fit();
        reporter_.Problem("the line being typed is longer than " +
                          std::to_string(kMaxMessageBytes) +
                          " bytes, more than a message holds; it is not sent");
      } else {
        pending_.append(part);
      }
      if (newline == std::string_view::npos) return true;
      data.remove_prefix(newline + 1);
      if (skipping_) {
        skipping_ = false;
        reporter_.Note("skipped a line of " + std::to_string(skipped_) + " bytes");
        continue;
      }
      if (!EndLine()) return false;
    }
    return true;
  }

  // The end of input: a last line without a newline still counts.
  void Finish() {
    if (!skipping_ && !pending_.empty()) EndLine();
  }

  bool SendFailed() const { return send_failed_; }

 private:
  bool EndLine() {
    std::string typed;
    typed.swap(pending_);
    if (!typed.empty() && typed.back() == '\r') typed.pop_back();
    const bool go_on = HandleLine(session_, reporter_, typed, send_failed_);
    return go_on && !session_.Interrupted();
  }

  CallSession& session_;
  Reporter& reporter_;
  std::string pending_;  // typed bytes not yet ended by a newline
  bool skipping_ = false;
  std::size_t skipped_ = 0;
  bool send_failed_ = false;
};

int RunChat(const ParsedArgs& args) {
  const bool wait = args.Has("wait");
  LimitPositionals(args, wait ? 0 : 1);
  if (!wait && args.Positionals().empty()) {
    throw UsageError("give the number to dial, or --wait to answer a call");
  }
  const std::string number = wait ? std::string() : args.Positionals()[0];
  const int index = LineArgument(args);
  const ReceiveRules rules = ReceiveRulesFrom(args, "");
  CheckExchange();
  auto reporter = MakeReporter(ChooseOutputForm(false));
  CallSession session(*reporter, index, rules);
  const LineChoice line = CheckLine(session.Modem(), index);
  if (wait) CheckNumberFree(line);
  SignalWatcher signals([&session](int signal) { session.Interrupt(signal); });

  const int connected = Connect(session, *reporter, line, number);
  if (connected != kExitOk) return connected;
  AnnounceSaveDir(*reporter, rules);
  reporter->Note("connected: " + std::string(kChatHelp));

  TypedLines typed(session, *reporter);
  for (;;) {
    pollfd fds[2] = {{session.WakeFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    session.DrainWake();
    if (session.Interrupted()) break;
    if (session.CallEnded()) {
      reporter->Note("the call has ended");
      session.WaitForIdle(kHangUpLimit);
      return session.EndWith(typed.SendFailed() ? kExitSendFailed : kExitOk);
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // end of input: hang up as /quit does
      typed.Finish();
      break;
    }
    if (!typed.Take(std::string_view(buffer, static_cast<std::size_t>(n)))) break;
  }
  if (session.Interrupted()) {
    session.HangUpAfterInterrupt();
    return session.InterruptStatus();
  }
  session.HangUp();
  return session.EndWith(typed.SendFailed() ? kExitSendFailed : kExitOk);
}

}  // namespace

const Command kChatCommand = {
    "chat",
    "an interactive call: type messages, send files",
    "usage: quodem chat (NUMBER | --wait) [--line N]\n"
    "                   [--save-dir DIR [--replace] [--allow-hidden]]\n"
    "\n"
    "Dials NUMBER, or with --wait answers the next call, then sends each line you type as a\n"
    "message and prints what arrives.\n"
    "\n"
    "  /send PATH   send a file\n"
    "  /quit        hang up (so does the end of input, Ctrl-D)\n"
    "  //text       send a line that begins with /\n"
    "\n"
    "  --line N        the line to use (default 0; see 'quodem lines')\n"
    "  --save-dir DIR  save the files the far end sends in DIR (created when missing);\n"
    "                  without it every file it sends is refused\n"
    "  --replace       replace a file of the same name (default: save as 'name (1).ext')\n"
    "  --allow-hidden  accept names that begin with a dot (default: refused)\n"
    "\n"
    "A typed line longer than a message holds (65535 bytes) is refused and skipped.\n",
    {{"wait", false, false},
     {"line", true, false},
     {"save-dir", true, false},
     {"replace", false, false},
     {"allow-hidden", false, false}},
    RunChat,
};

}  // namespace quodem::tool
