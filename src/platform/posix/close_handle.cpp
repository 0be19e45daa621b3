// CloseHandle for every kind of handle: the handle leaves the table at once (so it can never
// be used again), then its object is told, so a port can end its pending operations. The
// object itself lives on until the last caller that looked it up lets go.
#include "platform/posix/handle_table.h"

namespace quodem {

BOOL CloseHandle(HANDLE handle) {
  auto object = posix::HandleTable::Instance().Remove(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnHandleClosed();
  return TRUE;
}

}  // namespace quodem
