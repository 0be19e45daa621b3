// The event worker: one per component, for the component's whole life.
#include "line/quodem_thread.h"

namespace quodem {

void TQuodemThread::Execute() {
  // The shared event is reached by name, as the callback reaches it. The component's private
  // stop event comes first, so that a stop wins when both are set.
  HANDLE shared = OpenEventA(EVENT_ALL_ACCESS, FALSE, kLineEventName);
  HANDLE handles[2] = {FOwner->FStopEvent, shared};
  const DWORD count = shared != 0 ? 2 : 1;
  while (!Terminated()) {
    DWORD woken = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0 + 1 || Terminated()) break;
    // Reset before handling: a notification that arrives while DoLineState runs sets the
    // event again and is handled on the next round. Notifications that arrive before the
    // reset are coalesced into this one.
    ResetEvent(shared);
    FOwner->DoLineState();
  }
  if (shared != 0) CloseHandle(shared);
}

}  // namespace quodem
