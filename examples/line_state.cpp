// line_state: watch one call's states through a TQuodem.
//
//   line_state                     lists the lines
//   line_state wait LINE           waits on line LINE for a call
//   line_state dial LINE NUMBER    dials NUMBER from line LINE
//
// Prints every OnLineState (by name) and OnLineErr (in hex) until the call has gone idle,
// or until Ctrl-C, which hangs up first.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "quodem/component/quodem.h"

using namespace quodem;

namespace {

int Usage() {
  std::fprintf(stderr, "usage: line_state [wait LINE | dial LINE NUMBER]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!(argc == 1 || (mode == "wait" && argc == 3) || (mode == "dial" && argc == 4))) {
    return Usage();
  }

  // Signals are taken by sigwait below, never by a handler: block them before any thread
  // starts so that every thread inherits the mask. SIGUSR1 says "the call went idle".
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  TQuodem modem;
  const auto names = modem.LineNames();
  if (argc == 1) {
    for (std::size_t i = 0; i < names.size(); ++i) std::printf("%zu  %s\n", i, names[i].c_str());
    if (names.empty()) std::printf("no usable lines\n");
    return 0;
  }

  char* end = nullptr;
  long line = std::strtol(argv[2], &end, 10);
  if (*end != 0 || line < 0 || line >= static_cast<long>(names.size())) {
    std::fprintf(stderr, "line_state: no line %s (run without arguments to list them)\n", argv[2]);
    return 2;
  }

  modem.SetOnLineState([](TQuodem* sender, CallState state) {
    std::printf("state %s", CallStateName(state));
    if (state == csConnected) std::printf(" (port %u)", sender->CommHandle());
    std::printf("\n");
    std::fflush(stdout);
    // Idle after a call ends the watch. (Idle is also reported when a request failed before
    // any call existed.)
    if (state == csIdle) kill(getpid(), SIGUSR1);
  });
  static std::atomic<bool> failed{false};
  modem.SetOnLineErr([](TQuodem*, LONG error) {
    std::printf("error 0x%08X\n", static_cast<unsigned>(error));
    std::fflush(stdout);
    failed.store(true);
  });

  modem.SetLineIndex(static_cast<int>(line));
  std::printf("line %ld: %s\n", line, names[line].c_str());
  if (mode == "dial") {
    modem.SetDialString(argv[3]);
    modem.Dial();
  } else {
    modem.Wait();
    if (!failed.load()) std::printf("waiting for a call (Ctrl-C to stop)\n");
  }
  std::fflush(stdout);
  // Dial and Wait report a failure of their own (the line did not open, the number was
  // refused) before they return; nothing more will happen then.
  if (failed.load()) return 1;

  int received = 0;
  sigwait(&signals, &received);
  if (received != SIGUSR1) {
    std::printf("hanging up\n");
    modem.Cut();
  }
  return 0;
}
