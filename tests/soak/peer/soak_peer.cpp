// The dialing side of the two-process soak (tests/soak/two_process_soak_test.cpp). Driven
// over the socket on descriptor 3, one line per command:
//   "CALL n a"  attempt a of call n, with a new component: dial "101" on line 1, send call
//               n's message and file, wait for the answerer's message and file and check
//               them, hang up, wait for idle. Replies "OK n a"; "LOST n a" when the call
//               could not be made or ended before both transfers arrived; "FAIL n a <why>"
//               when something arrived wrong. Either fails the soak: no call may be lost.
//   "LOST n a"  the answerer gave up attempt a: this side abandons it (ignored when it has
//               given the attempt up already).
//   "QUIT"      replies "RES <after call 5> <after the last call>" (descriptors, threads, KiB
//               resident, see soak_support.h) and exits.
//
//   soak_peer WORK_DIR     (files to send are written under WORK_DIR/out, received files saved
//                          in WORK_DIR/save)
#include <sstream>
#include <string>

#include "soak/soak_support.h"

namespace {

using namespace quodem;
using namespace quodem::soak;

constexpr int kControl = 3;

enum class Outcome { kOk, kLost, kFail };

// One attempt of call `call`. `why` tells what went wrong.
Outcome Attempt(int call, const std::string& work, std::string& why) {
  const std::string outgoing = work + "/out/" + kDialerFileName;
  if (!WriteFileBytes(outgoing, DialerFile(call))) {
    why = "cannot write the file to send";
    return Outcome::kFail;
  }
  CallTracker events;
  SoakQuodem modem;
  events.Attach(modem);
  modem.SetLineIndex(1);
  modem.SetDialString("101");
  modem.SetSaveFileDir(work + "/save");
  events.BeginCall();
  modem.Dial();

  std::string line;
  auto lost = [&](const std::string& what) {
    why = what + "; states: " + events.History();
    return Outcome::kLost;
  };
  if (!WaitOrLine(
          [&] {
            auto now = events.Now();
            return now.port_taken || now.idle || now.failed;
          },
          kControl, line)) {
    return lost(line.empty() ? "no call state at all" : "the answerer gave up");
  }
  if (!events.Now().port_taken) return lost("not connected");
  const std::string message = DialerMessage(call);
  if (!modem.SendBuffer(message.data(), static_cast<int>(message.size()))) return lost("send");
  try {
    if (!modem.SendFile(outgoing)) return lost("send file");
  } catch (const std::exception& e) {
    why = std::string("SendFile threw: ") + e.what();
    return Outcome::kFail;
  }
  if (!WaitOrLine(
          [&] {
            auto now = events.Now();
            return (now.messages >= 1 && now.files >= 1) || now.ended;
          },
          kControl, line)) {
    return lost(line.empty() ? "no answer" : "the answerer gave up");
  }
  auto now = events.Now();
  if (now.messages < 1 || now.files < 1) return lost("the call ended before the answer");
  if (events.Messages().back() != AnswerMessage(call)) {
    why = "wrong answer message";
    return Outcome::kFail;
  }
  const std::string saved = events.Files().back();
  if (saved != work + "/save/" + kAnswerFileName || ReadFileBytes(saved) != AnswerFile(call)) {
    why = "answer file saved as " + saved + " or different";
    return Outcome::kFail;
  }
  modem.Cut();
  if (!events.WaitIdle()) {
    why = "no idle state after hanging up; states: " + events.History();
    return Outcome::kFail;
  }
  if (!modem.WaitReadersDone()) {
    why = "reader still running after the call";
    return Outcome::kFail;
  }
  return Outcome::kOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: soak_peer WORK_DIR (control socket on descriptor 3)\n");
    return 2;
  }
  const std::string work = argv[1];
  const bool verbose = std::getenv("QUODEM_SOAK_VERBOSE") != nullptr;
  Resources after_five, last;
  bool have_five = false;
  int completed = 0;
  for (;;) {
    const std::string command = ReadLine(kControl);
    std::istringstream words(command);
    std::string verb;
    int call = -1, attempt = -1;
    words >> verb >> call >> attempt;
    if (verb == "QUIT") break;
    if (verb == "LOST") continue;  // an attempt this side has given up already
    if (verb != "CALL") {
      std::fprintf(stderr, "soak_peer: unexpected command '%s'\n", command.c_str());
      return 1;
    }
    const std::string tag = std::to_string(call) + " " + std::to_string(attempt);
    std::string why;
    const Outcome outcome = Attempt(call, work, why);
    if (outcome == Outcome::kOk && ++completed == 5) {
      after_five = Probe();
      have_five = true;
    }
    if (verbose && outcome != Outcome::kOk) {
      std::fprintf(stderr, "soak_peer: call %s: %s\n", tag.c_str(), why.c_str());
    }
    const char* word = outcome == Outcome::kOk     ? "OK "
                       : outcome == Outcome::kLost ? "LOST "
                                                   : "FAIL ";
    SendLine(kControl, word + tag + (outcome == Outcome::kFail ? " " + why : ""));
    if (outcome == Outcome::kFail) return 1;
  }
  last = have_five ? ProbeSettled(after_five) : Probe();
  if (!have_five) after_five = last;
  SendLine(kControl, "RES " + std::to_string(after_five.fds) + " " +
                         std::to_string(after_five.threads) + " " +
                         std::to_string(after_five.rss_kib) + " " + std::to_string(last.fds) + " " +
                         std::to_string(last.threads) + " " + std::to_string(last.rss_kib));
  return 0;
}
