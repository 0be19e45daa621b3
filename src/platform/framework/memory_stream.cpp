// TMemoryStream: a growable byte buffer with a position, loaded from and saved to files.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/framework/file_io.h"
#include "quodem/platform/framework/exception.h"
#include "quodem/platform/framework/streams.h"

namespace quodem {

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  const std::int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (count > std::numeric_limits<std::int64_t>::max() - position_) {
    throw EWriteError("cannot write to memory stream: size out of range");
  }
  const std::int64_t end = position_ + count;
  if (end > Size()) {
    try {
      // A position beyond the end leaves a zero-filled gap, as with a file.
      data_.resize(static_cast<std::size_t>(end));
    } catch (const std::bad_alloc&) {
      throw EWriteError("cannot grow memory stream to " + std::to_string(end) +
                        " bytes: out of memory");
    } catch (const std::length_error&) {
      throw EWriteError("cannot grow memory stream to " + std::to_string(end) +
                        " bytes: out of memory");
    }
  }
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

void TMemoryStream::SetPosition(std::int64_t position) {
  if (position < 0) {
    throw EStreamError("invalid memory stream position " + std::to_string(position));
  }
  position_ = position;
}

void TMemoryStream::Clear() {
  std::vector<std::uint8_t>().swap(data_);  // give the memory back, not just the size
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  // Emptied first, so the old content and the file are never in memory together and a
  // failed load leaves the stream empty.
  Clear();
  fileio::File file = fileio::OpenRegularFile(path, O_RDONLY, 0, "open");
  const std::int64_t size = fileio::FileSize(file.fd(), path);
  try {
    // One allocation of the size the file has now; only a file that grows while it is read
    // makes the buffer grow again.
    data_.reserve(static_cast<std::size_t>(size));
    data_.resize(static_cast<std::size_t>(size));
    std::int64_t got = fileio::ReadFull(file.fd(), data_.data(), size, -1, path);
    data_.resize(static_cast<std::size_t>(got));
    if (got == size) {
      char chunk[64 * 1024];
      for (;;) {
        std::int64_t n = fileio::ReadFull(file.fd(), chunk, sizeof chunk, -1, path);
        if (n == 0) break;
        data_.insert(data_.end(), chunk, chunk + n);
      }
    }
  } catch (const std::bad_alloc&) {
    Clear();
    throw EReadError("cannot read " + path + ": file too large for memory (" +
                     std::to_string(size) + " bytes)");
  } catch (const std::length_error&) {
    Clear();
    throw EReadError("cannot read " + path + ": file too large for memory (" +
                     std::to_string(size) + " bytes)");
  } catch (...) {
    Clear();
    throw;
  }
  position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const {
  fileio::File file = fileio::OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, "create");
  // On a failed write the file keeps what was written before the failure.
  fileio::WriteFull(file.fd(), data_.data(), Size(), -1, path);
  file.CloseChecked(path);
}

}  // namespace quodem
