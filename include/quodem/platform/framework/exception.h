// The framework's exceptions. Stream and file operations throw them; the message names the
// file and the system's reason ("cannot open /tmp/a.txt: No such file or directory").
#pragma once

#include <stdexcept>
#include <string>

namespace quodem {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A stream or file operation failed.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
// A file could not be opened or created.
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// A published property could not be loaded (unknown name, bad value).
class EPropertyError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quodem
