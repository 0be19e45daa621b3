// GetCurrentDirectoryA on getcwd. The path may be of any length: the buffer handed to getcwd
// grows until it fits, so a caller with a short buffer learns the size it needs.
#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>

#include "quodem/platform/system.h"

namespace quodem {

namespace {

// Upper bound for the getcwd buffer; a path longer than this is reported as a failure
// rather than growing without end.
constexpr std::size_t kMaxPath = std::size_t{1} << 20;

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:  // the current directory was removed
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

DWORD GetCurrentDirectoryA(DWORD buffer_length, char* buffer) {
  if (buffer == nullptr && buffer_length != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path(256, '\0');
  for (;;) {
    if (::getcwd(path.data(), path.size()) != nullptr) break;
    if (errno != ERANGE || path.size() >= kMaxPath) {
      SetLastError(errno == ERANGE ? ERROR_INSUFFICIENT_BUFFER : ErrorFromErrno(errno));
      return 0;
    }
    path.resize(path.size() * 2);
  }
  path.resize(std::strlen(path.c_str()));

  const std::size_t needed = path.size() + 1;  // with the terminating zero
  if (needed > std::numeric_limits<DWORD>::max()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (needed > buffer_length) return static_cast<DWORD>(needed);  // buffer left untouched
  std::memcpy(buffer, path.c_str(), needed);
  return static_cast<DWORD>(path.size());
}

}  // namespace quodem
