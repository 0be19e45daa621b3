// send_file: dial a number, send one file with progress, hang up.
//
//   send_file NUMBER FILE [LINE]      e.g.  send_file 102 report.pdf
//
// The component raises its events on its own worker threads, so the main thread waits on a
// condition variable that the handlers notify. A call can carry data once the component
// holds the call's port: check CommHandle() in OnLineState rather than waiting for the state
// csConnected alone (states are coalesced, so the state reported may be newer or older than
// the one the component just acted on).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "quodem/component/quodem.h"

using namespace quodem;

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: send_file NUMBER FILE [LINE]\n");
    return 2;
  }
  const std::string number = argv[1];
  const std::string path = argv[2];
  const int line = argc == 4 ? std::atoi(argv[3]) : 0;
  std::error_code error;
  const auto total = std::filesystem::file_size(path, error);
  if (error) {
    std::fprintf(stderr, "send_file: %s: %s\n", path.c_str(), error.message().c_str());
    return 2;
  }

  std::mutex lock;
  std::condition_variable changed;
  bool connected = false;
  bool ended = false;

  TQuodem modem;
  modem.SetOnLineState([&](TQuodem* sender, CallState state) {  // event worker thread
    std::lock_guard<std::mutex> guard(lock);
    std::printf("call state: %s\n", CallStateName(state));
    if (sender->CommHandle() != INVALID_HANDLE_VALUE) connected = true;
    if (state == csIdle || state == csDisconnected || state == csBusy) ended = true;
    changed.notify_all();
  });
  modem.SetOnLineErr([&](TQuodem*, LONG code) {  // the caller's thread or the event worker
    std::lock_guard<std::mutex> guard(lock);
    std::printf("telephony error 0x%08X\n", static_cast<unsigned>(code));
    ended = true;
    changed.notify_all();
  });
  modem.SetOnSentState([&](TQuodem*, DWORD size, Dataclass) {  // runs inside SendFile
    if (size == total || size % (256 * 1024) < 255) {
      std::printf("\rsent %u of %ju bytes (%ju%%)", size, static_cast<std::uintmax_t>(total),
                  static_cast<std::uintmax_t>(size * 100 / total));
      std::fflush(stdout);
    }
  });

  modem.SetLineIndex(line);
  modem.SetDialString(number);
  modem.Dial();
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return connected || ended; });
    if (!connected) {
      std::fprintf(stderr, "send_file: the call to %s did not connect\n", number.c_str());
      return 1;
    }
  }

  bool sent = false;
  try {
    sent = modem.SendFile(path);  // blocks until the last byte is written
  } catch (const Exception& e) {  // the file could not be read
    std::fprintf(stderr, "\nsend_file: %s\n", e.what());
  }
  std::printf("\n%s\n", sent ? "sent" : "the send failed");

  modem.Cut();
  std::unique_lock<std::mutex> guard(lock);
  changed.wait_for(guard, std::chrono::seconds(10), [&] { return ended; });
  return sent ? 0 : 1;
}
