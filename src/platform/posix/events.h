// Event objects behind CreateEventA/OpenEventA and the waits on them.
//
// Waking. A thread that waits registers one Waiter with every event it waits on and sleeps on
// the Waiter's condition variable. SetEvent hands the signal to registered waiters directly
// (under the event's lock), so a waiter released by a manual-reset event stays released even
// when ResetEvent follows at once, and an auto-reset event gives its signal to exactly one
// waiter, or keeps it until one comes. A waiter is fired at most once: the first event that
// fires it wins, a later one passes its signal to the next waiter (or keeps it). Lock order:
// an event's lock, then a waiter's lock; never the other way round.
//
// Lifetime. A wait holds shared_ptr references to its events, so closing a handle while a
// thread waits on it does not end the wait: it ends when the event is set (through another
// handle to it) or on time-out.
//
// Names. A named event is listed in a process-wide name table while at least one handle to it
// is open; when the last handle is closed the name is free again, even if a waiter still holds
// the object.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/handle_table.h"

namespace quodem::posix {

class Event;

// One waiting thread. `fired` is the index (within the wait's list) of the event that released
// it, kTimedOut once the waiter gave up, or kPending.
struct Waiter {
  static constexpr int kPending = -1;
  static constexpr int kTimedOut = -2;
  std::mutex lock;
  std::condition_variable wake;
  int fired = kPending;
};

class Event : public Object {
 public:
  Event(bool manual_reset, bool initial_state, std::string name);

  bool manual_reset() const { return manual_reset_; }
  const std::string& name() const { return name_; }

  void Set();
  void Reset();

  // For the wait: takes the signal for `waiter` as index `index` when the event is set (and
  // the waiter was not fired yet), else registers the waiter. Returns true when the waiter is
  // fired (by this event or, meanwhile, by another one), so the caller stops registering.
  bool TakeOrRegister(Waiter& waiter, int index);
  void Unregister(const Waiter& waiter);
  // Threads registered and still waiting (for tests that must know a waiter is asleep).
  std::size_t WaiterCount();

  // A named event gives its name up when its last handle is closed.
  void OnHandleClosed() override;

 private:
  struct Registration {
    Waiter* waiter;
    int index;
  };

  const bool manual_reset_;
  const std::string name_;
  std::mutex lock_;
  bool signalled_;                     // guarded by lock_
  std::vector<Registration> waiters_;  // guarded by lock_, in arrival order
};

// Waits until one of `events` is set; returns its index, or nullopt on time-out.
// `milliseconds` may be INFINITE.
std::optional<int> WaitForAny(const std::vector<std::shared_ptr<Event>>& events,
                              DWORD milliseconds);

}  // namespace quodem::posix
