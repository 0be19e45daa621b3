// The last-error code, one per thread as on Windows.
#include "quodem/platform/system.h"

namespace quodem {

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() {
  return last_error;
}

void SetLastError(DWORD error) {
  last_error = error;
}

}  // namespace quodem
