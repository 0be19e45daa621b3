// The local exchange's folder: where it is, making sure it is ours and private, the socket
// path of a number, and the lock file that says who holds a number.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "platform/posix/unique_fd.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony {

// $QUODEM_EXCHANGE_DIR, else $XDG_RUNTIME_DIR/quodem when $XDG_RUNTIME_DIR is a folder, else
// /tmp/quodem-<uid>. Only the name; nothing is created.
std::string ExchangeDirectoryPath();

// Creates the folder when missing (mode 0700; for $QUODEM_EXCHANGE_DIR missing parents too)
// and checks it: a real folder (not a symbolic link), owned by this user, not writable by
// group or others. The path is normalised first (absolute, no trailing slash or "." part,
// the folders above it resolved), so no spelling of a link's path passes for the folder the
// link points to. Returns that normalised path; throws std::runtime_error saying what is
// wrong.
std::string PrepareExchangeDirectory();

// <folder>/<number> as a Unix socket address. Throws std::runtime_error naming the path when
// it does not fit in sun_path.
std::string NumberSocketPath(const std::string& folder, const std::string& number);
socklen_t FillUnixAddress(const std::string& path, sockaddr_un* address);

// The lock file <folder>/<number>.lock, locked by whoever holds the number: an
// open-file-description write lock on its first byte says "held", one on its second byte
// "and answering calls" (a holder that is in an outgoing call keeps the first only). Moving
// the lock moves the hold. The file itself is never removed: removing a lock file that
// another process has just opened would let two processes hold the number. A lock path that
// is not a regular file (a FIFO, a folder, a link) fails at once, without blocking.
class NumberLock {
 public:
  enum class Result { kTaken, kHeldElsewhere, kFailed };
  NumberLock() = default;
  NumberLock(NumberLock&& other) noexcept;
  NumberLock& operator=(NumberLock&& other) noexcept;
  NumberLock(const NumberLock&) = delete;
  NumberLock& operator=(const NumberLock&) = delete;
  ~NumberLock();

  // Tries to take the lock, answering, without waiting. kFailed sets `*problem` (also for a
  // lock file that is not a regular file: a FIFO there would otherwise block the open).
  Result TryTake(const std::string& lock_path, std::string* problem);
  // The holder no longer answers calls (it is in an outgoing call); it still holds.
  void StopAnswering();
  bool held() const { return fd_.valid(); }
  // Unlocks, then closes: whoever learns of the close finds the number free.
  void Release();

 private:
  posix::UniqueFd fd_;
};

// Whether another open of the lock file holds the number and answers on it (kHeldElsewhere),
// holds it for an outgoing call only (kInUseByCall), or nobody holds it (kFree). The probe
// only tests the lock; it never takes it, so it cannot make an owner opening the line at that
// moment find the number held. A lock file that is not a regular file counts as free: opening
// the line then reports it.
NumberHold ProbeNumberLock(const std::string& lock_path);

// Removes what a holder that died left at a number's socket path, before the new holder (who
// has the lock) binds there. Anything at the path that is not a socket is left alone and
// refused: false with `*problem` saying what is there.
bool RemoveStaleSocket(const std::string& path, std::string* problem);

}  // namespace quodem::telephony
