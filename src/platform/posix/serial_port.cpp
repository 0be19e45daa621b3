// Opening a terminal device as a port.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "quodem/platform/posix/descriptor_port.h"

namespace quodem::posix {

HANDLE OpenSerialPort(const std::string& path) {
  // O_NONBLOCK also keeps open() from waiting for carrier on a modem line without CLOCAL.
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
      case ENXIO:
      case ENODEV:
        SetLastError(ERROR_FILE_NOT_FOUND);
        break;
      case EACCES:
      case EPERM:
      case EBUSY:
        SetLastError(ERROR_ACCESS_DENIED);
        break;
      default:
        SetLastError(ERROR_GEN_FAILURE);
        break;
    }
    return 0;
  }
  // Anything but a terminal (a regular file, say) would never behave like a line.
  if (isatty(fd) != 1) {
    close(fd);
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  // Line settings (speed, framing, flow control, VMIN/VTIME) are left as they are.
  return CreatePortFromDescriptor(fd);
}

}  // namespace quodem::posix
