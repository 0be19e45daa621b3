// Where the telephony callback leaves notifications for one component, and how it finds
// that component.
//
// Each line a component opens gets a new OpenId, given to lineOpenA as the callback instance
// value; the service repeats it in every notification about that line, its calls and its
// requests. The callback looks the id up here and leaves the notification in the owning
// component's inbox, which wakes that component's event worker through its own event besides
// setting the process-wide "LineModemEvent" (a worker busy at that moment could miss the
// shared one once another worker has reset it). Leaving a notification sets both events and
// taking resets both, each under the inbox's lock, so one notification wakes its worker for
// one round, not two.
//
// Thread safety: every member may be called from any thread. The registry holds inboxes
// weakly, so a notification about a line of a component that is gone finds nothing.
#pragma once

#include <memory>
#include <mutex>

#include "line/call_notices.h"
#include "quodem/platform/system.h"

namespace quodem::line {

class Inbox {
 public:
  // Creates the wake-up event; Event() is 0 when it could not be created.
  Inbox();
  ~Inbox();
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // A manual-reset event set whenever a notification is left here.
  HANDLE Event() const { return event_; }

  void AddCallState(HCALL call, OpenId open, int state, bool owner);
  void AddReply(LONG request, LONG outcome, OpenId open);
  void AddLineClosed(OpenId open);

  // Resets both events and takes everything left so far: a notification left after this
  // sets them again.
  CallNotices::Batch Take();

 private:
  void Wake();  // with lock_ held

  HANDLE event_ = 0;
  std::mutex lock_;  // guards notices_; only the events are touched while it is held
  CallNotices notices_;
};

// A new id routed to `inbox` (ids are never reused).
OpenId RegisterOpen(const std::shared_ptr<Inbox>& inbox);
void UnregisterOpen(OpenId id);
// The inbox `id` routes to, or null.
std::shared_ptr<Inbox> FindInbox(OpenId id);

}  // namespace quodem::line
