// Byte streams: TStream with a position, TMemoryStream (a growable buffer that loads and saves
// files) and TFileStream (a stream on an open file). Failures throw EStreamError subclasses
// (framework/exception.h) with a message naming the file and the system's reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quodem {

class TStream {
 public:
  virtual ~TStream() = default;
  // Copies up to `count` bytes from the current position into `buffer`; returns the number
  // copied and advances the position by it.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  // Writes `count` bytes at the current position (growing the stream as needed); returns the
  // number written and advances the position. Throws EWriteError on failure.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Size() const = 0;
  virtual std::int64_t Position() const = 0;
  virtual void SetPosition(std::int64_t position) = 0;
};

class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Size() const override { return static_cast<std::int64_t>(data_.size()); }
  std::int64_t Position() const override { return position_; }
  void SetPosition(std::int64_t position) override;
  // Empties the stream.
  void Clear();
  // Reads the whole file into the stream, positioned at its start. Throws EFOpenError when
  // the file cannot be opened, EReadError when it cannot be read; the stream is then empty.
  void LoadFromFile(const std::string& path);
  // Creates the file (or empties an existing one) and writes the whole content. Throws
  // EFOpenError / EWriteError.
  void SaveToFile(const std::string& path) const;
  const std::uint8_t* Memory() const { return data_.data(); }

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};

class TFileStream : public TStream {
 public:
  enum Mode { fmOpenRead, fmCreate, fmOpenReadWrite };
  // fmCreate creates the file or empties an existing one, with mode 0666 & ~umask; `exclusive`
  // with fmCreate fails when the file already exists. Throws EFOpenError.
  TFileStream(const std::string& path, Mode mode, bool exclusive = false);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;  // throws EReadError
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Size() const override;
  std::int64_t Position() const override { return position_; }
  void SetPosition(std::int64_t position) override;
  // Flushes written data to the device (fsync). Throws EWriteError.
  void Flush();
  const std::string& FileName() const { return path_; }
  int Descriptor() const { return fd_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::int64_t position_ = 0;
};

}  // namespace quodem
