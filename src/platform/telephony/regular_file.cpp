#include "platform/telephony/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/unique_fd.h"

namespace quodem::telephony {
namespace {

int NotRegular(mode_t mode, std::string* problem) {
  *problem = "is " + FileTypeWords(mode) + ", not a regular file";
  errno = EINVAL;
  return -1;
}

}  // namespace

std::string FileTypeWords(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

int OpenRegularFile(const std::string& path, int flags, mode_t create_mode, std::string* problem) {
  // Looking first keeps a device from ever being opened; the check after opening closes the
  // gap in which the path could have been replaced.
  struct stat before {};
  const int follow =
      (flags & O_NOFOLLOW) != 0 ? lstat(path.c_str(), &before) : stat(path.c_str(), &before);
  if (follow == 0 && !S_ISREG(before.st_mode)) return NotRegular(before.st_mode, problem);
  posix::UniqueFd fd;
  do {
    fd.reset(open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, create_mode));
  } while (!fd && errno == EINTR);
  if (!fd) {
    const int error = errno;
    *problem = std::string("cannot be opened: ") + std::strerror(error);
    errno = error;
    return -1;
  }
  struct stat after {};
  if (fstat(fd.get(), &after) != 0) {
    const int error = errno;
    fd.reset();
    *problem = std::string("cannot be examined: ") + std::strerror(error);
    errno = error;
    return -1;
  }
  if (!S_ISREG(after.st_mode)) {
    fd.reset();
    return NotRegular(after.st_mode, problem);
  }
  // Regular files ignore O_NONBLOCK; cleared all the same, for whoever reads the descriptor.
  const int status = fcntl(fd.get(), F_GETFL);
  if (status >= 0) fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK);
  return fd.release();
}

}  // namespace quodem::telephony
