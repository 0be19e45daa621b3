// Helpers for driving the telephony service directly: a Recorder collects a session's
// notifications (the line's callback instance points at it) and waits for expected ones
// with a generous guard against hangs; a Party is one session with one open line; port
// helpers move bytes through the ports lineGetIDA hands out.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quodem/platform/system.h"
#include "quodem/platform/telephony.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony_test {

constexpr auto kGuard = std::chrono::seconds(20);  // hang guard only, never a timing check
constexpr DWORD kOwnerAndMonitor = LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR;

struct Note {
  DWORD device;
  DWORD message;
  DWORD_PTR param1;
  DWORD_PTR param2;
  DWORD_PTR param3;
};

class Recorder {
 public:
  // The callback given to lineInitialize; the line's callback instance is the Recorder.
  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                       DWORD_PTR param2, DWORD_PTR param3) {
    if (instance == 0) return;
    reinterpret_cast<Recorder*>(instance)->Push(Note{device, message, param1, param2, param3});
  }

  void Push(const Note& note) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      notes_.push_back(note);
    }
    changed_.notify_all();
  }

  // Waits until a note matching `match` has arrived (any time so far) and returns it; fails
  // the test when the guard runs out.
  Note WaitFor(const std::function<bool(const Note&)>& match, const std::string& what) {
    std::unique_lock<std::mutex> guard(lock_);
    const Note* found = nullptr;
    bool ok = changed_.wait_for(guard, kGuard, [&] {
      for (const Note& note : notes_) {
        if (match(note)) {
          found = &note;
          return true;
        }
      }
      return false;
    });
    if (!ok) {
      ADD_FAILURE() << "no " << what << " arrived";
      return Note{0, 0, 0, 0, 0};
    }
    return *found;
  }

  Note WaitState(HCALL call, DWORD state) {
    return WaitFor(
        [=](const Note& n) {
          return n.message == LINE_CALLSTATE && n.device == call && n.param1 == state;
        },
        "call state " + std::to_string(state) + " of call " + std::to_string(call));
  }

  // The outcome of request `request`.
  LONG WaitReply(LONG request) {
    Note note = WaitFor(
        [=](const Note& n) {
          return n.message == LINE_REPLY && n.param1 == static_cast<DWORD_PTR>(request);
        },
        "reply to request " + std::to_string(request));
    return static_cast<LONG>(static_cast<DWORD>(note.param2));
  }

  // The first offered call not returned before.
  HCALL WaitOffered() {
    Note note = WaitFor(
        [this](const Note& n) {
          if (n.message != LINE_CALLSTATE || n.param1 != LINECALLSTATE_OFFERING) return false;
          for (HCALL seen : offered_) {
            if (seen == n.device) return false;
          }
          return true;
        },
        "offered call");
    offered_.push_back(note.device);
    EXPECT_EQ(note.param3, LINECALLPRIVILEGE_OWNER);
    return note.device;
  }

  // The call states reported for `call` so far, in order.
  std::vector<DWORD> States(HCALL call) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<DWORD> states;
    for (const Note& note : notes_) {
      if (note.message == LINE_CALLSTATE && note.device == call) {
        states.push_back(static_cast<DWORD>(note.param1));
      }
    }
    return states;
  }

  std::vector<Note> Notes() {
    std::lock_guard<std::mutex> guard(lock_);
    return notes_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Note> notes_;
  std::vector<HCALL> offered_;
};

// One session with (optionally) one open line.
class Party {
 public:
  explicit Party(int device = -1, DWORD privileges = kOwnerAndMonitor) {
    EXPECT_EQ(lineInitialize(&app, nullptr, &Recorder::Callback, nullptr, &devices), 0);
    if (device >= 0) Open(static_cast<DWORD>(device), privileges);
  }
  ~Party() {
    if (app != 0) lineShutdown(app);
  }
  Party(const Party&) = delete;
  Party& operator=(const Party&) = delete;

  void Open(DWORD device, DWORD privileges = kOwnerAndMonitor) {
    ASSERT_EQ(
        lineOpenA(app, device, &line, kSupportedApiHigh, 0, reinterpret_cast<DWORD_PTR>(&recorder),
                  privileges, LINEMEDIAMODE_DATAMODEM, nullptr),
        0);
  }

  // Places a call; returns its handle (0 on failure, which fails the test).
  HCALL Dial(const std::string& number) {
    HCALL call = 0;
    LONG request = lineMakeCallA(line, &call, number.c_str(), 0, nullptr);
    EXPECT_GT(request, 0) << "dialing " << number;
    if (request > 0) {
      EXPECT_EQ(recorder.WaitReply(request), 0);
    }
    return call;
  }

  void Answer(HCALL call) {
    LONG request = lineAnswer(call, nullptr, 0);
    ASSERT_GT(request, 0);
    EXPECT_EQ(recorder.WaitReply(request), 0);
    recorder.WaitState(call, LINECALLSTATE_CONNECTED);
  }

  // Drops the call and waits until it is idle.
  void HangUp(HCALL call) {
    LONG request = lineDrop(call, nullptr, 0);
    ASSERT_GT(request, 0);
    EXPECT_EQ(recorder.WaitReply(request), 0);
    recorder.WaitState(call, LINECALLSTATE_IDLE);
  }

  Recorder recorder;  // destroyed last: the session ends before it goes
  HLINEAPP app = 0;
  DWORD devices = 0;
  HLINE line = 0;
};

// A "comm/datamodem" id of a connected call: the port and the device name.
struct PortId {
  LONG result = 0;
  HANDLE port = 0;
  std::string name;
};

inline PortId TakePort(HCALL call, DWORD block_size = 1024) {
  std::vector<DWORD> storage(block_size / sizeof(DWORD) + 1, 0);
  auto* id = reinterpret_cast<VARSTRING*>(storage.data());
  id->dwTotalSize = block_size;
  PortId out;
  out.result = lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem");
  if (out.result != 0) return out;
  EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_BINARY);
  EXPECT_GE(id->dwStringSize, sizeof(HANDLE) + 1);
  const char* base = reinterpret_cast<const char*>(id);
  std::memcpy(&out.port, base + id->dwStringOffset, sizeof out.port);
  out.name.assign(base + id->dwStringOffset + sizeof(HANDLE));
  EXPECT_EQ(id->dwStringSize, sizeof(HANDLE) + out.name.size() + 1);
  return out;
}

// Writes everything, waiting for a pending write to finish.
inline bool WriteAll(HANDLE port, const std::string& data) {
  OVERLAPPED block{};
  DWORD done = 0;
  if (WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &done, &block)) {
    return done == data.size();
  }
  if (GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(port, &block, &done, TRUE) && done == data.size();
}

// Reads exactly `count` bytes (less when the peer hangs up first).
inline std::string ReadCount(HANDLE port, std::size_t count) {
  std::string data(count, '\0');
  OVERLAPPED block{};
  DWORD done = 0;
  if (!ReadFile(port, data.data(), static_cast<DWORD>(count), &done, &block)) {
    if (GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(port, &block, &done, TRUE);
    }
  }
  data.resize(done);
  return data;
}

// Reads until the peer has hung up and every byte has been read.
inline std::string ReadToEnd(HANDLE port) {
  std::string all;
  for (;;) {
    std::string chunk = ReadCount(port, 65536);
    all += chunk;
    if (chunk.size() < 65536) {
      // A short read ended at the hang-up; make sure nothing follows.
      std::string more = ReadCount(port, 1);
      if (more.empty()) return all;
      all += more;
    }
  }
}

// Saves an environment variable and restores it when the test ends.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name) {
    setenv(name, value.c_str(), 1);
  }
  // Unsets the variable.
  explicit ScopedEnv(const char* name) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

inline std::string TestRoot() {
  const char* root = std::getenv("QUODEM_TEST_ROOT");
  return root != nullptr ? root : "/tmp";
}

}  // namespace quodem::telephony_test
