// The platform layer at work, step by step: two ports on the ends of a socket pair, an
// overlapped write on one, a reader worker on the other that waits for received characters
// and reads them overlapped, and an event that tells the main thread the message is in.
// Exit status 0 when the message arrived intact.
#include <stdio.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "quodem/platform/framework.h"
#include "quodem/platform/posix/descriptor_port.h"
#include "quodem/platform/system.h"

using namespace quodem;

namespace {

std::mutex say_lock;
void Say(const char* who, const std::string& what) {
  std::lock_guard<std::mutex> guard(say_lock);
  printf("%-7s %s\n", who, what.c_str());
  fflush(stdout);
}

const std::string kMessage = "Hello over the line: 0123456789";

// Waits for received characters on its port, reads the message and signals "DemoReceived".
class TReader : public TThread {
 public:
  explicit TReader(HANDLE port) : port_(port) {}
  std::string received;

 protected:
  void Execute() override {
    SetCommMask(port_, EV_RXCHAR);
    Say("reader", "waiting for received characters (WaitCommEvent)");
    DWORD mask = 0;
    if (!WaitCommEvent(port_, &mask, nullptr)) return Say("reader", "WaitCommEvent failed");
    DWORD errors = 0;
    COMSTAT stat;
    ClearCommError(port_, &errors, &stat);
    Say("reader", "event word " + std::to_string(mask) + ", " + std::to_string(stat.cbInQue) +
                      " bytes waiting");

    std::string buffer(kMessage.size(), '\0');
    OVERLAPPED block;
    block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    if (ReadFile(port_, buffer.data(), static_cast<DWORD>(buffer.size()), &count, &block)) {
      Say("reader", "ReadFile completed at once");
    } else if (GetLastError() == ERROR_IO_PENDING) {
      Say("reader", "ReadFile pending; waiting on its completion event");
      WaitForSingleObject(block.hEvent, INFINITE);
      GetOverlappedResult(port_, &block, &count, FALSE);
    } else {
      Say("reader", "ReadFile failed with error " + std::to_string(GetLastError()));
    }
    CloseHandle(block.hEvent);
    received = buffer.substr(0, count);
    Say("reader", "read " + std::to_string(count) + " bytes: \"" + received + "\"");

    HANDLE done = OpenEventA(EVENT_ALL_ACCESS, FALSE, "DemoReceived");
    SetEvent(done);
    CloseHandle(done);
  }

 private:
  HANDLE port_;
};

}  // namespace

int main() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return perror("socketpair"), 1;
  HANDLE sender = posix::CreatePortFromDescriptor(fds[0]);
  HANDLE receiver = posix::CreatePortFromDescriptor(fds[1]);
  if (sender == 0 || receiver == 0) return Say("main", "cannot create the ports"), 1;
  Say("main", "two ports on a socket pair: handles " + std::to_string(sender) + " and " +
                  std::to_string(receiver));

  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, "DemoReceived");
  auto reader = TThread::Create<TReader>(true, receiver);
  reader->Resume();
  Say("main", "reader worker started");

  OVERLAPPED block;
  DWORD written = 0;
  Say("main", "WriteFile of " + std::to_string(kMessage.size()) + " bytes, overlapped");
  if (!WriteFile(sender, kMessage.data(), static_cast<DWORD>(kMessage.size()), &written, &block)) {
    if (GetLastError() != ERROR_IO_PENDING) return Say("main", "WriteFile failed"), 1;
    Say("main", "write pending; GetOverlappedResult waits for its completion");
    if (!GetOverlappedResult(sender, &block, &written, TRUE)) return Say("main", "failed"), 1;
  }
  Say("main", "wrote " + std::to_string(written) + " bytes");

  bool arrived = WaitForSingleObject(done, 10000) == WAIT_OBJECT_0;
  Say("main", arrived ? "event \"DemoReceived\" is set" : "timed out waiting for the reader");
  reader->WaitFor();
  const bool ok = arrived && reader->received == kMessage;
  Say("main", ok ? "message arrived intact" : "message lost or damaged");

  CloseHandle(done);
  CloseHandle(sender);
  CloseHandle(receiver);
  Say("main", "ports and event closed");
  return ok ? 0 : 1;
}
