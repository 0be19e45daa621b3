// Turning the reasons to stop into a call on an ordinary thread: SIGINT and SIGTERM, and the
// loss of standard output (its reader has gone: reported as SIGPIPE). The signal handler only
// writes the signal number into a pipe (all a handler may safely do); a watcher thread reads
// it, and also watches standard output for the error a pipe or socket shows once nobody reads
// it. Before it runs the callback, which may lock, notify and call into the component, it
// limits how long output may still wait for a stalled reader (kOutputGrace), so whatever the
// output is doing, the tool ends within about a second.
//
// A second SIGINT or SIGTERM while the first is still being handled ends the process at once
// with status 130.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quodem::tool {

// How long output may still wait for a reader that does not read, once the tool must stop.
constexpr std::chrono::milliseconds kOutputGrace(500);

class SignalWatcher {
 public:
  // Installs the handlers and starts the watcher. At most one watcher exists at a time.
  // `on_stop` gets SIGINT, SIGTERM, or SIGPIPE when standard output has lost its reader.
  explicit SignalWatcher(std::function<void(int signal)> on_stop);
  // Restores the previous handlers and stops the watcher.
  ~SignalWatcher();

  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Run();

  std::function<void(int)> on_stop_;
  int pipe_[2] = {-1, -1};
  std::thread thread_;
};

// Makes a write to a vanished reader fail with EPIPE instead of ending the process. Called
// once at the start of the tool; children it starts get the default back.
void IgnoreBrokenPipes();

}  // namespace quodem::tool
