#include "platform/framework/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "quodem/platform/framework/exception.h"

namespace quodem::fileio {

namespace {

// One read or write call moves at most this much, well inside ssize_t on every platform.
constexpr std::int64_t kMaxTransfer = std::int64_t{1} << 30;

}  // namespace

std::string ErrorText(const char* action, const std::string& path, int error) {
  return std::string("cannot ") + action + " " + path + ": " + std::strerror(error);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

int File::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void File::CloseChecked(const std::string& path) {
  int fd = Release();
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
    throw EWriteError(ErrorText("write", path, errno));
  }
}

File OpenRegularFile(const std::string& path, int flags, mode_t mode, const char* action) {
  // O_NONBLOCK keeps open() from waiting for the other end of a named pipe; it is cleared
  // again below (and means nothing for regular files).
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw EFOpenError(ErrorText(action, path, errno));
  File file(fd);

  struct stat st;
  if (::fstat(fd, &st) != 0) throw EFOpenError(ErrorText(action, path, errno));
  if (S_ISDIR(st.st_mode)) throw EFOpenError(ErrorText(action, path, EISDIR));
  if (!S_ISREG(st.st_mode)) {
    throw EFOpenError(std::string("cannot ") + action + " " + path + ": not a regular file");
  }
  int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    throw EFOpenError(ErrorText(action, path, errno));
  }
  return file;
}

std::int64_t FileSize(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw EStreamError(ErrorText("get the size of", path, errno));
  return static_cast<std::int64_t>(st.st_size);
}

std::int64_t ReadFull(int fd, void* buffer, std::int64_t count, std::int64_t offset,
                      const std::string& path) {
  auto* out = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const auto chunk = static_cast<std::size_t>(std::min(count - done, kMaxTransfer));
    ssize_t n = offset < 0 ? ::read(fd, out + done, chunk)
                           : ::pread(fd, out + done, chunk, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EReadError(ErrorText("read", path, errno));
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

void WriteFull(int fd, const void* buffer, std::int64_t count, std::int64_t offset,
               const std::string& path) {
  const auto* in = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const auto chunk = static_cast<std::size_t>(std::min(count - done, kMaxTransfer));
    ssize_t n = offset < 0 ? ::write(fd, in + done, chunk)
                           : ::pwrite(fd, in + done, chunk, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EWriteError(ErrorText("write", path, errno));
    }
    // A regular file that takes nothing is full; report it rather than spin.
    if (n == 0) throw EWriteError(ErrorText("write", path, ENOSPC));
    done += n;
  }
}

}  // namespace quodem::fileio
