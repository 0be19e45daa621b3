// The system calls behind the framework's file operations, in one place: opening with the
// checks every stream wants, reading and writing whole ranges (short transfers and EINTR are
// handled here), and the texts of the exceptions they throw.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quodem::fileio {

// "cannot <action> <path>: <strerror(error)>"
std::string ErrorText(const char* action, const std::string& path, int error);

// An open descriptor, closed when the object goes.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.Release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  int fd() const { return fd_; }
  int Release();
  // Closes now and reports a failed close (a delayed write error) as EWriteError.
  void CloseChecked(const std::string& path);

 private:
  int fd_ = -1;
};

// Opens `path` with `flags` (O_CLOEXEC is added) and checks that it names a regular file:
// directories, devices, pipes and sockets are refused, so a load never blocks on a pipe and
// never reads without end from a device. Throws EFOpenError ("cannot <action> ...").
File OpenRegularFile(const std::string& path, int flags, mode_t mode, const char* action);

// The size of the open file. Throws EStreamError.
std::int64_t FileSize(int fd, const std::string& path);

// Reads until `count` bytes or the end of the file; returns the bytes read. `offset` < 0
// reads at the descriptor's own position. Throws EReadError.
std::int64_t ReadFull(int fd, void* buffer, std::int64_t count, std::int64_t offset,
                      const std::string& path);
// Writes all `count` bytes. `offset` < 0 writes at the descriptor's own position. Throws
// EWriteError.
void WriteFull(int fd, const void* buffer, std::int64_t count, std::int64_t offset,
               const std::string& path);

}  // namespace quodem::fileio
