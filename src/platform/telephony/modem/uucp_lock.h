// UUCP lock files: the way programs that open serial devices (C-Kermit, minicom, mgetty, cu,
// pppd) tell each other that a device is in use. The lock for /dev/ttyUSB0 is the file
// LCK..ttyUSB0 in the lock folder (/run/lock on Debian), holding the owner's PID as ten
// characters and a newline ("      1234\n", the HDB format).
//
// Programs disagree on the name when the device is reached through a symbolic link: C-Kermit
// names the lock after the resolved device, minicom and mgetty after the path they were
// given. So when the path resolves to a device of another name, both locks are taken, and
// either held by a live process makes the device busy.
//
// Taking a lock: the file is written in full under a temporary name and then linked to the
// lock name, which fails when the name exists, so no other program ever reads a lock half
// written. A lock that exists is read: a live owner (kill(pid, 0) succeeds or says EPERM)
// keeps it and the take fails with its PID in the reason; a lock whose owner is gone, or that
// holds no PID and is older than a few seconds, is stale and removed, and the take retries.
// Lock files in the old binary format (a 4-byte PID) are read too.
//
// Releasing removes only lock files that still hold this process's PID, so a lock another
// program took after removing ours as stale is left alone.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace quodem::telephony::modem {

class UucpLock {
 public:
  // Takes the lock(s) for `device_path` in `lock_dir`. Nothing, with `*reason` set ("the
  // device /dev/ttyUSB0 is in use by process 1234 (lock file /run/lock/LCK..ttyUSB0)", or why
  // the lock folder cannot be used), when a lock is held or cannot be made.
  static std::optional<UucpLock> Take(const std::string& device_path, const std::string& lock_dir,
                                      std::string* reason);

  UucpLock(UucpLock&& other) noexcept;
  UucpLock& operator=(UucpLock&& other) noexcept;
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;
  ~UucpLock();

  // The lock files held, in the order taken (the given name first).
  const std::vector<std::string>& Files() const { return files_; }
  void Release();

  // The live process holding a lock of `device_path` in `lock_dir` (either name), or 0 when
  // none does. Only reads the lock files; stale ones are left for Take to remove.
  static pid_t Holder(const std::string& device_path, const std::string& lock_dir);

  // The lock file names a device path needs: "LCK..<name>" for the name of the path and,
  // when different, for the name it resolves to. Empty when the path has no name.
  static std::vector<std::string> LockNames(const std::string& device_path);

 private:
  UucpLock() = default;
  std::vector<std::string> files_;
};

}  // namespace quodem::telephony::modem
