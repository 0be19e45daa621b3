// TFileStream: a stream on an open regular file. It keeps its own position and transfers with
// pread/pwrite at it.
#include <fcntl.h>
#include <unistd.h>

#include "platform/framework/file_io.h"
#include "quodem/platform/framework/exception.h"
#include "quodem/platform/framework/streams.h"

namespace quodem {

TFileStream::TFileStream(const std::string& path, Mode mode, bool exclusive) : path_(path) {
  int flags = O_RDONLY;
  const char* action = "open";
  switch (mode) {
    case fmOpenRead:
      flags = O_RDONLY;
      break;
    case fmOpenReadWrite:
      flags = O_RDWR;
      break;
    case fmCreate:
      flags = O_RDWR | O_CREAT | (exclusive ? O_EXCL : O_TRUNC);
      action = "create";
      break;
  }
  fd_ = fileio::OpenRegularFile(path, flags, 0666, action).Release();
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::int64_t n = fileio::ReadFull(fd_, buffer, count, position_, path_);
  position_ += n;
  return n;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  fileio::WriteFull(fd_, buffer, count, position_, path_);
  position_ += count;
  return count;
}

std::int64_t TFileStream::Size() const {
  return fileio::FileSize(fd_, path_);
}

void TFileStream::SetPosition(std::int64_t position) {
  if (position < 0) {
    throw EStreamError("invalid position " + std::to_string(position) + " in " + path_);
  }
  position_ = position;
}

void TFileStream::Flush() {
  if (::fsync(fd_) != 0) throw EWriteError(fileio::ErrorText("flush", path_, errno));
}

}  // namespace quodem
