#include "platform/posix/events.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <unordered_map>

namespace quodem::posix {

namespace {

// Named events and the number of handles open to each. An entry exists exactly while at least
// one handle to its event is open.
struct NameTable {
  struct Entry {
    std::shared_ptr<Event> event;
    int handles = 0;
  };
  std::mutex lock;
  std::unordered_map<std::string, Entry> entries;

  static NameTable& Instance() {
    // Never destroyed: workers may still close handles while static objects are torn down.
    static NameTable* table = new NameTable;
    return *table;
  }
};

// Fires `waiter` as `index` unless something fired it (or it gave up) already. Called with
// the firing event's lock held, which keeps the waiter registered, hence alive, until the
// notification is done.
bool Fire(Waiter& waiter, int index) {
  {
    std::lock_guard<std::mutex> guard(waiter.lock);
    if (waiter.fired != Waiter::kPending) return false;
    waiter.fired = index;
  }
  waiter.wake.notify_one();
  return true;
}

}  // namespace

Event::Event(bool manual_reset, bool initial_state, std::string name)
    : manual_reset_(manual_reset), name_(std::move(name)), signalled_(initial_state) {}

void Event::Set() {
  std::lock_guard<std::mutex> guard(lock_);
  if (manual_reset_) {
    // Everyone waiting now is released now; a ResetEvent that follows cannot take it back.
    signalled_ = true;
    for (const Registration& r : waiters_) Fire(*r.waiter, r.index);
    waiters_.clear();
    return;
  }
  // Auto-reset: the first waiter still waiting takes the signal. Waiters that another event
  // fired meanwhile are skipped (and dropped: they unregister anyway).
  while (!waiters_.empty()) {
    Registration r = waiters_.front();
    waiters_.erase(waiters_.begin());
    if (Fire(*r.waiter, r.index)) return;
  }
  signalled_ = true;
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  signalled_ = false;
}

bool Event::TakeOrRegister(Waiter& waiter, int index) {
  std::lock_guard<std::mutex> guard(lock_);
  std::lock_guard<std::mutex> waiter_guard(waiter.lock);
  // Fired by an event registered earlier in this wait: do not consume this one's signal.
  if (waiter.fired != Waiter::kPending) return true;
  if (signalled_) {
    waiter.fired = index;
    if (!manual_reset_) signalled_ = false;
    return true;
  }
  waiters_.push_back({&waiter, index});
  return false;
}

void Event::Unregister(const Waiter& waiter) {
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(waiters_, [&](const Registration& r) { return r.waiter == &waiter; });
}

std::size_t Event::WaiterCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return waiters_.size();
}

void Event::OnHandleClosed() {
  if (name_.empty()) return;
  NameTable& names = NameTable::Instance();
  std::lock_guard<std::mutex> guard(names.lock);
  auto it = names.entries.find(name_);
  // The caller of CloseHandle still holds a reference, so erasing the entry (which drops the
  // table's reference) cannot free this object under us.
  if (it != names.entries.end() && it->second.event.get() == this && --it->second.handles == 0) {
    names.entries.erase(it);
  }
}

std::optional<int> WaitForAny(const std::vector<std::shared_ptr<Event>>& events,
                              DWORD milliseconds) {
  Waiter waiter;
  std::size_t registered = 0;
  bool fired = false;
  while (registered < events.size() && !fired) {
    fired = events[registered]->TakeOrRegister(waiter, static_cast<int>(registered));
    ++registered;
  }

  int result;
  {
    std::unique_lock<std::mutex> lock(waiter.lock);
    auto done = [&] { return waiter.fired != Waiter::kPending; };
    if (milliseconds == INFINITE) {
      waiter.wake.wait(lock, done);
    } else {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
      // Marking the waiter under its lock settles the race with a late SetEvent: either the
      // event fired us first (and we report it) or it sees kTimedOut and keeps its signal.
      if (!waiter.wake.wait_until(lock, deadline, done)) waiter.fired = Waiter::kTimedOut;
    }
    result = waiter.fired;
  }

  // After this no event refers to the waiter any more, so it may go out of scope.
  for (std::size_t i = 0; i < registered; ++i) events[i]->Unregister(waiter);
  if (result >= 0) return result;
  return std::nullopt;
}

}  // namespace quodem::posix

namespace quodem {

using posix::Event;
using posix::HandleTable;
using posix::NameTable;

HANDLE CreateEventA(void* attributes, BOOL manual_reset, BOOL initial_state, const char* name) {
  (void)attributes;
  try {
    if (name == nullptr || *name == '\0') {
      HANDLE handle = HandleTable::Instance().Insert(
          std::make_shared<Event>(manual_reset != FALSE, initial_state != FALSE, std::string()));
      SetLastError(handle == 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS);
      return handle;
    }
    NameTable& names = NameTable::Instance();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.entries.find(name);
    if (it != names.entries.end()) {
      // As on Windows, the existing event keeps its reset mode and state.
      HANDLE handle = HandleTable::Instance().Insert(it->second.event);
      if (handle == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      }
      ++it->second.handles;
      SetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
    auto event = std::make_shared<Event>(manual_reset != FALSE, initial_state != FALSE, name);
    it = names.entries.emplace(name, NameTable::Entry{event, 0}).first;
    HANDLE handle = HandleTable::Instance().Insert(event);
    if (handle == 0) {
      names.entries.erase(it);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    it->second.handles = 1;
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

HANDLE OpenEventA(DWORD desired_access, BOOL inherit, const char* name) {
  (void)desired_access;  // every handle has full access
  (void)inherit;         // no child processes share handles here
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    NameTable& names = NameTable::Instance();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.entries.find(name);
    if (it == names.entries.end()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    HANDLE handle = HandleTable::Instance().Insert(it->second.event);
    if (handle == 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    ++it->second.handles;
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

BOOL SetEvent(HANDLE handle) {
  auto event = HandleTable::Instance().FindAs<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = HandleTable::Instance().FindAs<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (wait_all != FALSE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  try {
    std::vector<std::shared_ptr<Event>> events;
    events.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
      auto event = HandleTable::Instance().FindAs<Event>(handles[i]);
      if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      events.push_back(std::move(event));
    }
    std::optional<int> index = posix::WaitForAny(events, milliseconds);
    return index ? WAIT_OBJECT_0 + static_cast<DWORD>(*index) : WAIT_TIMEOUT;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
}

}  // namespace quodem
