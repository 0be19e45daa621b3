// ShowMessage with a host-installable handler, and ExtractFileName.
#include "quodem/platform/framework/dialogs.h"

#include <cstdio>
#include <mutex>

namespace quodem {

namespace {

std::mutex& HandlerLock() {
  static std::mutex lock;
  return lock;
}

TShowMessageHandler& Handler() {
  static TShowMessageHandler handler;
  return handler;
}

}  // namespace

void ShowMessage(const std::string& text) {
  TShowMessageHandler handler;
  {
    std::lock_guard<std::mutex> guard(HandlerLock());
    handler = Handler();
  }
  // Called outside the lock: a handler may block until the user closes its box, or install
  // another handler, without holding up other threads.
  if (handler) {
    handler(text);
    return;
  }
  // One write of text and newline, so messages from several threads do not interleave.
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

TShowMessageHandler SetShowMessageHandler(TShowMessageHandler handler) {
  std::lock_guard<std::mutex> guard(HandlerLock());
  TShowMessageHandler previous = std::move(Handler());
  Handler() = std::move(handler);
  return previous;
}

std::string ExtractFileName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace quodem
