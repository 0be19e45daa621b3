// Turning SIGINT and SIGTERM into a call on an ordinary thread. The signal handler only
// writes the signal number into a pipe (all a handler may safely do); a watcher thread reads
// it and runs the callback, which may lock, notify and call into the component. A second
// signal while the first is still being handled ends the process at once with status 130.
#pragma once

#include <functional>
#include <thread>

namespace quodem::tool {

class SignalWatcher {
 public:
  // Installs the handlers and starts the watcher. At most one watcher exists at a time.
  explicit SignalWatcher(std::function<void(int signal)> on_signal);
  // Restores the previous handlers and stops the watcher.
  ~SignalWatcher();

  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Run();

  std::function<void(int)> on_signal_;
  int pipe_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace quodem::tool
