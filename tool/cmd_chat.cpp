// quodem chat: an interactive call. Each line typed is sent as a message; "/send PATH" sends
// a file and "/quit" hangs up. What arrives is printed as it comes.
//
// The main thread waits with poll on standard input and on the session's wake descriptor, so
// a hang-up by the far end or Ctrl-C ends the chat while it waits for typing.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "command.h"
#include "preflight.h"
#include "session.h"
#include "signals.h"

namespace quodem::tool {

namespace {

constexpr std::chrono::seconds kHangUpLimit(10);

constexpr const char* kChatHelp =
    "type a line to send it as a message; /send PATH sends a file; /quit hangs up "
    "(//text sends a line that starts with /)";

// Connects the call: dials `number`, or (when empty) waits for a call on the line. Returns
// kExitOk when connected, or the status to exit with.
int Connect(CallSession& session, Reporter& reporter, const LineChoice& line,
            const std::string& number) {
  if (!number.empty()) {
    session.BeginCall();
    if (!session.Dial(number)) return kExitCallFailed;
    switch (session.WaitForConnection()) {
      case CallSession::Outcome::kConnected:
        return kExitOk;
      case CallSession::Outcome::kInterrupted:
        session.HangUpAfterInterrupt();
        return kExitInterrupted;
      case CallSession::Outcome::kEnded:
        reporter.Problem(session.WasBusy() ? number + " is busy"
                                           : "the call to " + number + " did not connect");
        session.Cut();
        session.WaitForIdle(kHangUpLimit);
        return kExitCallFailed;
    }
  }
  for (;;) {
    session.BeginCall();
    if (!session.Wait()) return kExitCallFailed;
    reporter.Waiting(line.index, line.name, line.info.address);
    switch (session.WaitForConnection()) {
      case CallSession::Outcome::kConnected:
        return kExitOk;
      case CallSession::Outcome::kInterrupted:
        session.HangUpAfterInterrupt();
        return kExitInterrupted;
      case CallSession::Outcome::kEnded:
        // Offered but never connected: the line is closed at idle, so open it again.
        session.WaitForIdle(kHangUpLimit);
        break;
    }
  }
}

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

int RunChat(const ParsedArgs& args) {
  const bool wait = args.Has("wait");
  LimitPositionals(args, wait ? 0 : 1);
  if (!wait && args.Positionals().empty()) {
    throw UsageError("give the number to dial, or --wait to answer a call");
  }
  const std::string number = wait ? std::string() : args.Positionals()[0];
  const int index = LineArgument(args);
  const std::string save_dir = CheckSaveDir(args.Value("save-dir", "."));
  CheckExchange();
  auto reporter = MakeReporter(ChooseOutputForm(false));
  CallSession session(*reporter, index, save_dir);
  const LineChoice line = CheckLine(session.Modem(), index);
  if (wait) CheckNumberFree(line);
  SignalWatcher signals([&session](int) { session.Interrupt(); });

  const int connected = Connect(session, *reporter, line, number);
  if (connected != kExitOk) return connected;
  reporter->Note("connected: " + std::string(kChatHelp));

  bool send_failed = false;
  bool quit = false;
  bool input_open = true;
  std::string pending;  // typed bytes not yet ended by a newline
  while (!quit) {
    pollfd fds[2] = {{session.WakeFd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, input_open ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    session.DrainWake();
    if (session.Interrupted()) {
      session.HangUpAfterInterrupt();
      return kExitInterrupted;
    }
    if (session.CallEnded()) {
      reporter->Note("the call has ended");
      session.WaitForIdle(kHangUpLimit);
      return send_failed ? kExitSendFailed : kExitOk;
    }
    if (!input_open || (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // end of input: hang up as /quit does
      input_open = false;
      if (!pending.empty()) HandleLine(session, *reporter, pending, send_failed);
      quit = true;
      break;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while (!quit && (newline = pending.find('\n')) != std::string::npos) {
      std::string typed = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (!typed.empty() && typed.back() == '\r') typed.pop_back();
      quit = !HandleLine(session, *reporter, typed, send_failed);
      if (session.Interrupted()) {
        session.HangUpAfterInterrupt();
        return kExitInterrupted;
      }
    }
  }
  session.Cut();
  session.WaitForIdle(kHangUpLimit);
  return send_failed ? kExitSendFailed : kExitOk;
}

}  // namespace

const Command kChatCommand = {
    "chat",
    "an interactive call: type messages, send files",
    "usage: quodem chat (NUMBER | --wait) [--line N] [--save-dir DIR]\n"
    "\n"
    "Dials NUMBER, or with --wait answers the next call, then sends each line you type as a\n"
    "message and prints what arrives.\n"
    "\n"
    "  /send PATH   send a file\n"
    "  /quit        hang up (so does the end of input, Ctrl-D)\n"
    "  //text       send a line that begins with /\n"
    "\n"
    "  --line N        the line to use (default 0; see 'quodem lines')\n"
    "  --save-dir DIR  the folder received files are saved in (default: the current one)\n",
    {{"wait", false, false}, {"line", true, false}, {"save-dir", true, false}},
    RunChat,
};

}  // namespace quodem::tool
