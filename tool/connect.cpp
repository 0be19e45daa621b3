#include "connect.h"

#include "command.h"
#include "quodem/platform/telephony_service.h"
#include "text.h"

namespace quodem::tool {

namespace {

// Codes with which opening a line fails when something about it is broken (its lock file,
// its socket path, its listen address), not the call.
bool IsSetUpProblem(LONG code) {
  return code == LINEERR_OPERATIONFAILED || code == LINEERR_RESOURCEUNAVAIL ||
         code == LINEERR_NOMEM || code == LINEERR_INIFILECORRUPT || code == LINEERR_NODEVICE ||
         code == LINEERR_NODRIVER || code == LINEERR_BADDEVICEID;
}

// "telephony error 0x80000048 (LINEERR_OPERATIONFAILED)", after the provider's reason when it
// gave one.
std::string Because(LONG code) {
  const std::string problem = telephony::ServiceProblem();
  const std::string error = "telephony error " + FormatResultCode(code);
  return problem.empty() ? error : problem + " (" + error + ")";
}

std::string LineWords(const LineChoice& line) {
  return "line " + std::to_string(line.index) + " (" + line.name + ")";
}

}  // namespace

int OpenForCalls(CallSession& session, Reporter& reporter, const LineChoice& line, bool again) {
  session.BeginCall();
  if (session.Interrupted()) return session.InterruptStatus();
  if (!session.Wait()) {
    const LONG code = session.HostErrors().front();
    reporter.Failed(Failure{
        "setup", "cannot wait for calls on " + LineWords(line) + ": " + Because(code), code});
    return again ? kExitCallFailed : kExitUsage;
  }
  // Said before "waiting", while it is still so: the line takes the number over as soon as
  // that call ends.
  const auto lines = telephony::ListLines();
  if (line.info.device_id < lines.size() &&
      lines[line.info.device_id].hold == telephony::NumberHold::kInUseByCall) {
    reporter.Problem("number " + line.info.address +
                     " is in use by another process's outgoing call; calls are answered as "
                     "soon as it is free");
  }
  reporter.Waiting(line.index, line.name, ListeningAddress(line));
  return kExitOk;
}

Failure DescribeFailedCall(const CallSession& session, const LineChoice& line,
                           const std::string& number) {
  const std::vector<LONG> host_errors = session.HostErrors();
  if (!host_errors.empty()) {
    const LONG code = host_errors.front();
    if (code == LINEERR_INVALADDRESS) {
      return Failure{"bad-address",
                     "cannot dial " + number + " on " + LineWords(line) +
                         ": not a number or address this line can dial (" + Because(code) + ")",
                     code};
    }
    return Failure{IsSetUpProblem(code) ? "setup" : "telephony",
                   "cannot dial " + number + " on " + LineWords(line) + ": " + Because(code), code};
  }
  if (const std::optional<DWORD> mode = session.DisconnectMode()) {
    switch (*mode) {
      case LINEDISCONNECTMODE_BUSY:
        return Failure{"busy", number + " is busy", std::nullopt};
      case LINEDISCONNECTMODE_NOANSWER:
        return Failure{"no-answer", number + " did not answer within the answer time-out",
                       std::nullopt};
      case LINEDISCONNECTMODE_UNREACHABLE: {
        std::string message = "nobody is waiting on " + number;
        // A TCP line also knows what the network said (refused, no route, ...).
        if (line.info.provider == "tcp") {
          const std::string problem = telephony::ServiceProblem();
          if (!problem.empty()) message += " (" + problem + ")";
        }
        return Failure{"unreachable", message, std::nullopt};
      }
      case LINEDISCONNECTMODE_INCOMPATIBLE:
        return Failure{"incompatible",
                       "the far end of " + number +
                           " is not a modem line (it did not answer with the answer signal)",
                       std::nullopt};
      case LINEDISCONNECTMODE_BADADDRESS: {
        const std::string problem = telephony::ServiceProblem();
        return Failure{"bad-address",
                       "cannot reach " + number + (problem.empty() ? "" : ": " + problem),
                       std::nullopt};
      }
      case LINEDISCONNECTMODE_REJECT:
        return Failure{"rejected", number + " refused the call", std::nullopt};
      case LINEDISCONNECTMODE_NORMAL:
        return Failure{"hung-up", number + " hung up before the call was connected", std::nullopt};
      default:
        break;
    }
  }
  const std::vector<LONG> held = session.HeldErrors();
  if (!held.empty()) {
    return Failure{
        "telephony",
        "the call to " + number + " failed: telephony error " + FormatResultCode(held.front()),
        held.front()};
  }
  return Failure{"failed", "the call to " + number + " did not connect", std::nullopt};
}

int Connect(CallSession& session, Reporter& reporter, const LineChoice& line,
            const std::string& number) {
  if (number.empty()) {
    for (;;) {
      const int opened = OpenForCalls(session, reporter, line);
      if (opened != kExitOk) return opened;
      switch (session.WaitForConnection()) {
        case CallSession::Outcome::kConnected:
          return kExitOk;
        case CallSession::Outcome::kInterrupted:
          session.HangUpAfterInterrupt();
          return session.InterruptStatus();
        case CallSession::Outcome::kEnded:
          // Offered but never connected: the line is closed at idle, so open it again.
          session.WaitForIdle(kHangUpLimit);
          break;
      }
    }
  }
  session.BeginCall();
  if (session.Interrupted()) return session.InterruptStatus();
  if (!session.Dial(number)) {
    const Failure failure = DescribeFailedCall(session, line, number);
    reporter.Failed(failure);
    return failure.reason == "setup" ? kExitUsage : kExitCallFailed;
  }
  switch (session.WaitForConnection()) {
    case CallSession::Outcome::kConnected:
      return kExitOk;
    case CallSession::Outcome::kInterrupted:
      session.HangUpAfterInterrupt();
      return session.InterruptStatus();
    case CallSession::Outcome::kEnded:
      break;
  }
  const Failure failure = DescribeFailedCall(session, line, number);
  session.HangUp();
  reporter.Failed(failure);
  return kExitCallFailed;
}

}  // namespace quodem::tool
