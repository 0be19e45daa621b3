// line_call: two programs call each other over the local exchange, using nothing but the
// telephony service and the system services (no component, no configuration).
//
//   line_call wait 101          waits on the line numbered 101 and answers the first call
//   line_call dial 101 [102]    dials 101 from the line numbered 102 (default: another
//                               local line)
//
// Start "line_call wait 101" in one terminal and "line_call dial 101" in another. Both print
// the call states; the caller sends one line of text through the call's port, the answering
// side prints it and sends one back, then both hang up.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "quodem/platform/system.h"
#include "quodem/platform/telephony.h"
#include "quodem/platform/telephony_service.h"

using namespace quodem;

namespace {

// The telephony callback runs on the service's thread: it only queues what happened.
struct Notification {
  DWORD device;
  DWORD message;
  DWORD_PTR param1;
  DWORD_PTR param2;
};
std::mutex queue_lock;
std::condition_variable queue_changed;
std::deque<Notification> queue;

void Callback(DWORD device, DWORD message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR param2,
              DWORD_PTR) {
  {
    std::lock_guard<std::mutex> guard(queue_lock);
    queue.push_back(Notification{device, message, param1, param2});
  }
  queue_changed.notify_one();
}

Notification Next() {
  std::unique_lock<std::mutex> guard(queue_lock);
  queue_changed.wait(guard, [] { return !queue.empty(); });
  Notification n = queue.front();
  queue.pop_front();
  return n;
}

const char* StateName(DWORD state) {
  switch (state) {
    case LINECALLSTATE_IDLE:
      return "idle";
    case LINECALLSTATE_OFFERING:
      return "offering";
    case LINECALLSTATE_ACCEPTED:
      return "accepted";
    case LINECALLSTATE_DIALING:
      return "dialing";
    case LINECALLSTATE_PROCEEDING:
      return "proceeding";
    case LINECALLSTATE_RINGBACK:
      return "ringback";
    case LINECALLSTATE_BUSY:
      return "busy";
    case LINECALLSTATE_CONNECTED:
      return "connected";
    case LINECALLSTATE_DISCONNECTED:
      return "disconnected";
    default:
      return "other";
  }
}

// The call's port: a handle from lineGetIDA("comm/datamodem").
HANDLE TakePort(HCALL call) {
  std::vector<DWORD> storage(1024 / sizeof(DWORD), 0);
  auto* id = reinterpret_cast<VARSTRING*>(storage.data());
  id->dwTotalSize = 1024;
  LONG result = lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem");
  if (result != 0) {
    std::printf("lineGetIDA failed: 0x%08X\n", static_cast<unsigned>(result));
    return INVALID_HANDLE_VALUE;
  }
  const char* base = reinterpret_cast<const char*>(id);
  HANDLE port;
  std::memcpy(&port, base + id->dwStringOffset, sizeof port);
  std::printf("port on %s\n", base + id->dwStringOffset + sizeof port);
  return port;
}

bool Send(HANDLE port, const std::string& text) {
  OVERLAPPED block{};
  DWORD done = 0;
  if (!WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &done, &block)) {
    if (GetLastError() != ERROR_IO_PENDING) return false;
    if (!GetOverlappedResult(port, &block, &done, TRUE)) return false;
  }
  return done == text.size();
}

// One line of text (without its newline); stops early when the peer hangs up.
std::string ReceiveLine(HANDLE port) {
  std::string line;
  for (;;) {
    char c;
    OVERLAPPED block{};
    DWORD done = 0;
    if (!ReadFile(port, &c, 1, &done, &block)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port, &block, &done, TRUE)) {
        return line;
      }
    }
    if (done == 0 || c == '\n') return line;
    line += c;
  }
}

int Usage() {
  std::fprintf(stderr, "usage: line_call wait NUMBER | line_call dial NUMBER [FROM-NUMBER]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "wait" && argc == 3) || (mode == "dial" && (argc == 3 || argc == 4)))) {
    return Usage();
  }
  const bool waiting = mode == "wait";
  const std::string number = argv[2];

  // Which local line to open: the number itself when waiting, the caller's line when dialing.
  std::vector<telephony::LineInfo> lines;
  try {
    lines = telephony::ListLines();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  int device = -1;
  for (const telephony::LineInfo& line : lines) {
    if (line.provider != "exchange") continue;
    bool wanted = waiting ? line.address == number
                          : (argc == 4 ? line.address == argv[3] : line.address != number);
    if (wanted) {
      device = static_cast<int>(line.device_id);
      std::printf("using \"%s\" (number %s)\n", line.name.c_str(), line.address.c_str());
      break;
    }
  }
  if (device < 0) {
    std::fprintf(stderr, "no local line fits\n");
    return 1;
  }

  HLINEAPP app = 0;
  DWORD devices = 0;
  LONG result = lineInitialize(&app, nullptr, Callback, "line_call", &devices);
  if (result != 0) {
    std::fprintf(stderr, "lineInitialize failed: 0x%08X %s\n", static_cast<unsigned>(result),
                 telephony::ServiceConfigurationError().c_str());
    return 1;
  }
  HLINE line = 0;
  result = lineOpenA(app, static_cast<DWORD>(device), &line, kSupportedApiHigh, 0, 0,
                     LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, LINEMEDIAMODE_DATAMODEM,
                     nullptr);
  if (result != 0) {
    std::fprintf(stderr, "lineOpenA failed: 0x%08X %s\n", static_cast<unsigned>(result),
                 telephony::ServiceProblem().c_str());
    lineShutdown(app);
    return 1;
  }
  // A waiting line must hold its number, or no call would ever reach it.
  if (waiting && telephony::LineAddressHeld(line) != 0) {
    std::fprintf(stderr, "cannot wait for calls to %s: %s\n", number.c_str(),
                 telephony::ServiceProblem().c_str());
    lineShutdown(app);
    return 1;
  }

  HCALL call = 0;
  if (waiting) {
    std::printf("waiting for a call to %s\n", number.c_str());
  } else {
    result = lineMakeCallA(line, &call, number.c_str(), 0, nullptr);
    if (result <= 0) {
      std::fprintf(stderr, "lineMakeCallA failed: 0x%08X\n", static_cast<unsigned>(result));
      lineShutdown(app);
      return 1;
    }
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // one line at a time, also into a pipe
  HANDLE port = INVALID_HANDLE_VALUE;
  bool talked = false;
  for (;;) {
    Notification n = Next();
    if (n.message == LINE_REPLY) {
      if (n.param2 != 0)
        std::printf("request %u failed: 0x%08X\n", unsigned(n.param1), unsigned(n.param2));
      continue;
    }
    if (n.message == LINE_CLOSE) {
      std::printf("the line was closed\n");
      break;
    }
    if (n.message != LINE_CALLSTATE) continue;
    DWORD state = static_cast<DWORD>(n.param1);
    std::printf("call state: %s\n", StateName(state));
    if (state == LINECALLSTATE_OFFERING && call == 0) {
      call = n.device;
      lineAnswer(call, nullptr, 0);
    } else if (state == LINECALLSTATE_CONNECTED && !talked) {
      talked = true;
      port = TakePort(call);
      if (port == INVALID_HANDLE_VALUE) {
        lineDrop(call, nullptr, 0);
      } else if (waiting) {
        std::printf("received: %s\n", ReceiveLine(port).c_str());
        Send(port, "hello back from " + number + "\n");
        // The caller hangs up once it has read the reply. The hang-up is reported after the
        // port has read the end of the stream, so keep reading until then.
        ReceiveLine(port);
      } else {
        Send(port, "hello from line_call\n");
        std::printf("received: %s\n", ReceiveLine(port).c_str());
        lineDrop(call, nullptr, 0);
      }
    } else if (state == LINECALLSTATE_BUSY || state == LINECALLSTATE_DISCONNECTED) {
      lineDrop(call, nullptr, 0);
    } else if (state == LINECALLSTATE_IDLE) {
      break;
    }
  }
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  if (call != 0) lineDeallocateCall(call);
  lineClose(line);
  lineShutdown(app);
  return talked ? 0 : 1;
}
