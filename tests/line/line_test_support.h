// Test support for line control: a recorder of a component's line events, the far end of a
// call played by a raw telephony session of this process, and access to protected fields.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "line/call_table.h"
#include "line/inbox.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::testsupport {

// Hang guard for every wait: generous, never a measurement.
constexpr auto kGuard = std::chrono::seconds(20);

// A TQuodem whose protected fields a test may read.
class ProbeQuodem : public TQuodem {
 public:
  using TQuodem::TQuodem;
  // As every class derived from TQuodem must: no worker may call in while this part goes.
  ~ProbeQuodem() override { StopWorkers(); }
  bool LocalCut() const { return FLocalCut.load(); }
  DWORD DeviceId(int row) {
    std::lock_guard<std::mutex> lock(FLineLock);
    return FLines[row].DeviceId;
  }
  std::string RowName(int row) {
    std::lock_guard<std::mutex> lock(FLineLock);
    return FLines[row].Name;
  }
  bool HasReader() {
    std::lock_guard<std::mutex> lock(FCutLock);
    return FReadThread != nullptr;
  }
  // Calls not torn down yet, and lines still open, in this component's own record.
  std::size_t KnownCalls() {
    std::lock_guard<std::mutex> lock(FCallLock);
    return FCalls->CallCount();
  }
  bool HasOpenLines() {
    std::lock_guard<std::mutex> lock(FCallLock);
    return FCalls->HasOpenLines();
  }
  // Makes the event worker run a round of its own (as a notification for it would).
  void Nudge() { SetEvent(FInbox->Event()); }
  // True once every call this component knew has been torn down and its lines closed.
  bool Quiet() { return KnownCalls() == 0 && !HasOpenLines(); }
};

// A flag one thread sets and another waits for.
class Latch {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      set_ = true;
    }
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kGuard, [&] { return set_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Records OnLineState (with the port held at that moment) and OnLineErr of one component.
class LineEvents {
 public:
  struct StateSeen {
    CallState state;
    HANDLE port;
  };

  explicit LineEvents(TQuodem& modem) {
    modem.SetOnLineState([this](TQuodem* sender, CallState state) {
      std::function<void(TQuodem*, CallState)> extra;
      {
        std::lock_guard<std::mutex> lock(lock_);
        states_.push_back({state, sender->CommHandle()});
        extra = on_state_;
      }
      changed_.notify_all();
      if (extra) extra(sender, state);
    });
    modem.SetOnLineErr([this](TQuodem*, LONG error) {
      {
        std::lock_guard<std::mutex> lock(lock_);
        errors_.push_back(error);
      }
      changed_.notify_all();
    });
  }

  // Runs `extra` after recording each state (on the event worker).
  void OnState(std::function<void(TQuodem*, CallState)> extra) {
    std::lock_guard<std::mutex> lock(lock_);
    on_state_ = std::move(extra);
  }

  // Waits until `state` has been recorded; true when it was.
  bool WaitState(CallState state) { return WaitSequence({state}); }
  // The same with a shorter guard, for a test that repeats a signal that may be missed.
  bool WaitStateFor(CallState state, std::chrono::milliseconds guard) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, guard, [&] { return Contains({state}); });
  }
  // Waits until the recorded states contain `sequence` in this order (other states may come
  // between: notifications are coalesced).
  bool WaitSequence(std::vector<CallState> sequence) {
    return WaitUntil([&] { return Contains(sequence); });
  }
  // Waits until csConnected has been raised with the port taken over. (OnLineState carries
  // the state read when it is raised, so an earlier round may already report csConnected
  // before the connected state has been handled.)
  bool WaitPortTaken() {
    return WaitUntil([&] {
      for (const auto& seen : states_) {
        if (seen.state == csConnected && seen.port != INVALID_HANDLE_VALUE) return true;
      }
      return false;
    });
  }
  bool WaitError() {
    return WaitUntil([&] { return !errors_.empty(); });
  }
  // Waits until `done` (which must not take this recorder's lock) holds; a handler that
  // changes what it looks at calls Poke.
  bool WaitFor(const std::function<bool()>& done) { return WaitUntil(done); }
  void Poke() {
    { std::lock_guard<std::mutex> lock(lock_); }
    changed_.notify_all();
  }

  std::vector<StateSeen> States() {
    std::lock_guard<std::mutex> lock(lock_);
    return states_;
  }
  std::vector<CallState> StateList() {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<CallState> out;
    for (const auto& s : states_) out.push_back(s.state);
    return out;
  }
  std::vector<LONG> Errors() {
    std::lock_guard<std::mutex> lock(lock_);
    return errors_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(lock_);
    states_.clear();
    errors_.clear();
  }

 private:
  // `done` runs with the recorder's lock held.
  bool WaitUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kGuard, done);
  }
  bool Contains(const std::vector<CallState>& sequence) const {
    std::size_t next = 0;
    for (const auto& seen : states_) {
      if (next < sequence.size() && seen.state == sequence[next]) ++next;
    }
    return next == sequence.size();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<StateSeen> states_;
  std::vector<LONG> errors_;
  std::function<void(TQuodem*, CallState)> on_state_;
};

// The other end of a call: its own telephony session in this process, driven directly
// through the line functions. One at a time per process (the callback finds it through a
// static pointer).
class FarEnd {
 public:
  struct Message {
    DWORD device, message;
    DWORD_PTR p1, p2, p3;
  };

  FarEnd() {
    {
      std::lock_guard<std::mutex> lock(Registry());
      Current() = this;
    }
    DWORD devices = 0;
    EXPECT_EQ(0, lineInitialize(&app_, nullptr, &FarEnd::Callback, nullptr, &devices));
  }
  ~FarEnd() {
    if (app_ != 0) lineShutdown(app_);
    std::lock_guard<std::mutex> lock(Registry());
    Current() = nullptr;
  }

  // Opens line `device` as owner (taking its number, so calls to it come here).
  HLINE Open(DWORD device) {
    HLINE line = 0;
    EXPECT_EQ(0, lineOpenA(app_, device, &line, kSupportedApiHigh, 0, 0,
                           LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_DATAMODEM, nullptr));
    return line;
  }
  HCALL Call(HLINE line, const std::string& number) {
    HCALL call = 0;
    EXPECT_GT(lineMakeCallA(line, &call, number.c_str(), 0, nullptr), 0);
    return call;
  }
  // Waits for a LINE_CALLSTATE with `state` that came after the one found last; returns its
  // call (0 when none came).
  HCALL WaitState(DWORD state) {
    HCALL call = 0;
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_for(lock, kGuard, [&] {
      for (std::size_t i = next_; i < messages_.size(); ++i) {
        const Message& m = messages_[i];
        if (m.message == LINE_CALLSTATE && m.p1 == state) {
          call = m.device;
          next_ = i + 1;
          return true;
        }
      }
      return false;
    });
    return call;
  }
  // Waits until `call` has reached `state`, looking at every notification so far (the cursor
  // of WaitState does not move).
  bool WaitCallState(HCALL call, DWORD state) { return WaitCallStateFor(call, state, kGuard); }
  bool WaitCallStateFor(HCALL call, DWORD state, std::chrono::milliseconds guard) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, guard, [&] {
      for (const Message& m : messages_) {
        if (m.message == LINE_CALLSTATE && m.device == call && m.p1 == state) return true;
      }
      return false;
    });
  }
  // Every call that has reached `state` so far.
  std::vector<HCALL> CallsIn(DWORD state) {
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<HCALL> calls;
    for (const Message& m : messages_) {
      if (m.message == LINE_CALLSTATE && m.p1 == state) calls.push_back(m.device);
    }
    return calls;
  }
  // Hangs `call` up on this side: drops it, waits for its idle state, deallocates it.
  void HangUp(HCALL call) {
    lineDrop(call, nullptr, 0);
    EXPECT_TRUE(WaitCallState(call, LINECALLSTATE_IDLE));
    lineDeallocateCall(call);
  }
  // Answers the next offered call; returns it.
  HCALL AnswerNext() {
    HCALL call = WaitState(LINECALLSTATE_OFFERING);
    EXPECT_NE(0u, call);
    if (call != 0) {
      EXPECT_GT(lineAnswer(call, nullptr, 0), 0);
    }
    return call;
  }
  // The port of a connected call (the caller's to close).
  HANDLE Port(HCALL call) {
    alignas(VARSTRING) std::uint8_t block[1024] = {};
    auto* id = reinterpret_cast<VARSTRING*>(block);
    id->dwTotalSize = sizeof block;
    if (lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem") != 0) {
      return INVALID_HANDLE_VALUE;
    }
    HANDLE port;
    std::memcpy(&port, block + id->dwStringOffset, sizeof port);
    return port;
  }
  HLINEAPP App() const { return app_; }

 private:
  static std::mutex& Registry() {
    static std::mutex m;
    return m;
  }
  static FarEnd*& Current() {
    static FarEnd* current = nullptr;
    return current;
  }
  static void Callback(DWORD device, DWORD message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2,
                       DWORD_PTR p3) {
    std::lock_guard<std::mutex> registry(Registry());
    FarEnd* self = Current();
    if (self == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(self->lock_);
      self->messages_.push_back({device, message, p1, p2, p3});
    }
    self->changed_.notify_all();
  }

  HLINEAPP app_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Message> messages_;
  std::size_t next_ = 0;
};

}  // namespace quodem::testsupport
