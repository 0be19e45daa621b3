// The event worker: one per component, for the component's whole life.
#include "line/quodem_thread.h"

#include "line/inbox.h"

namespace quodem {

void TQuodemThread::Execute() {
  // The shared event is reached by name, as the callback reaches it. The component's own
  // inbox event is set by the callback for every notification about this component's lines,
  // so none is missed when another component's worker resets the shared event first. The
  // private stop event comes first, so that a stop wins when several are set.
  HANDLE shared = OpenEventA(EVENT_ALL_ACCESS, FALSE, kLineEventName);
  HANDLE handles[3] = {FOwner->FStopEvent, 0, 0};
  DWORD count = 1;
  if (FOwner->FInbox->Event() != 0) handles[count++] = FOwner->FInbox->Event();
  if (shared != 0) handles[count++] = shared;
  while (!Terminated()) {
    DWORD woken = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 || woken >= WAIT_OBJECT_0 + count || Terminated()) break;
    // DoLineState resets both events as it takes the notifications: one that arrives while it
    // runs sets them again and is handled on the next round; those that arrived before are
    // coalesced into this one.
    FOwner->DoLineState();
  }
  if (shared != 0) CloseHandle(shared);
}

}  // namespace quodem
