#include "platform/telephony/modem/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/posix/unique_fd.h"

namespace quodem::telephony::modem {
namespace {

constexpr int kAttempts = 4;             // stale locks removed before giving up
constexpr time_t kUnreadableGraceS = 5;  // a lock without a PID may still be being written

std::string BaseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.rfind('/');
  std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  return name == "/" ? "" : name;
}

// The PID a lock file holds: ASCII (HDB, with or without padding) or a 4-byte binary PID.
// 0 when it holds none.
pid_t ReadLockPid(const std::string& path, bool* exists, time_t* modified) {
  *exists = false;
  posix::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (!fd) return 0;
  *exists = true;
  struct stat info;
  *modified = fstat(fd.get(), &info) == 0 ? info.st_mtime : 0;
  char buffer[32];
  ssize_t n;
  do {
    n = read(fd.get(), buffer, sizeof buffer - 1);
  } while (n < 0 && errno == EINTR);
  fd.reset();
  if (n <= 0) return 0;
  buffer[n] = '\0';
  if (n == 4 && (buffer[0] < ' ' || buffer[1] < ' ' || buffer[2] < ' ' || buffer[3] < ' ')) {
    std::int32_t binary;
    std::memcpy(&binary, buffer, sizeof binary);
    return binary > 0 ? static_cast<pid_t>(binary) : 0;
  }
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(buffer, &end, 10);
  if (end == buffer || errno != 0 || value <= 0 || value > INT_MAX) return 0;
  return static_cast<pid_t>(value);
}

bool Alive(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

// Writes the lock's content under a temporary name in `dir`; its path, or "" with `*reason`.
std::string WriteTemporary(const std::string& dir, std::string* reason) {
  static std::atomic<unsigned> counter{0};
  std::string path =
      dir + "/LTMP." + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
  posix::UniqueFd fd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0444));
  if (!fd) {
    *reason = "cannot create a lock file in " + dir + ": " + std::strerror(errno);
    return "";
  }
  char text[16];
  int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  bool ok = write(fd.get(), text, static_cast<std::size_t>(length)) == length;
  // The mode of the file, not the umask, decides who can read it.
  fchmod(fd.get(), 0444);
  if (fd.Close() != 0) ok = false;
  if (!ok) {
    *reason = "cannot write a lock file in " + dir + ": " + std::strerror(errno);
    unlink(path.c_str());
    return "";
  }
  return path;
}

// Takes one lock file. True on success; false with `*reason` when held or broken.
bool TakeOne(const std::string& dir, const std::string& name, const std::string& device,
             std::string* reason) {
  const std::string path = dir + "/" + name;
  std::string temporary = WriteTemporary(dir, reason);
  if (temporary.empty()) return false;
  bool taken = false;
  for (int attempt = 0; attempt < kAttempts && !taken; ++attempt) {
    if (link(temporary.c_str(), path.c_str()) == 0) {
      taken = true;
      break;
    }
    if (errno != EEXIST) {
      *reason = "cannot create the lock file " + path + ": " + std::strerror(errno);
      break;
    }
    bool exists = false;
    time_t modified = 0;
    pid_t pid = ReadLockPid(path, &exists, &modified);
    if (!exists) continue;  // removed meanwhile: try again
    if (pid == getpid() || (pid > 0 && Alive(pid))) {
      *reason = "the device " + device + " is in use by process " + std::to_string(pid) +
                " (lock file " + path + ")";
      break;
    }
    if (pid == 0 && std::time(nullptr) - modified < kUnreadableGraceS) {
      *reason = "the device " + device + " is being locked by another program (lock file " + path +
                " holds no process yet)";
      break;
    }
    // Stale: its process is gone. Another program may remove it at the same moment; the
    // next link decides who gets the device.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      *reason = "cannot remove the stale lock file " + path + ": " + std::strerror(errno);
      break;
    }
  }
  if (!taken && reason->empty()) {
    *reason =
        "the device " + device + " could not be locked (lock file " + path + " kept changing)";
  }
  unlink(temporary.c_str());
  return taken;
}

void RemoveIfOurs(const std::string& path) {
  bool exists = false;
  time_t modified = 0;
  if (ReadLockPid(path, &exists, &modified) == getpid()) unlink(path.c_str());
}

}  // namespace

std::vector<std::string> UucpLock::LockNames(const std::string& device_path) {
  std::vector<std::string> names;
  std::string given = BaseName(device_path);
  if (given.empty()) return names;
  names.push_back("LCK.." + given);
  char resolved[PATH_MAX];
  if (realpath(device_path.c_str(), resolved) != nullptr) {
    std::string other = BaseName(resolved);
    if (!other.empty() && other != given) names.push_back("LCK.." + other);
  }
  return names;
}

pid_t UucpLock::Holder(const std::string& device_path, const std::string& lock_dir) {
  for (const std::string& name : LockNames(device_path)) {
    bool exists = false;
    time_t modified = 0;
    pid_t pid = ReadLockPid(lock_dir + "/" + name, &exists, &modified);
    if (pid > 0 && Alive(pid)) return pid;
  }
  return 0;
}

std::optional<UucpLock> UucpLock::Take(const std::string& device_path, const std::string& lock_dir,
                                       std::string* reason) {
  reason->clear();
  std::vector<std::string> names = LockNames(device_path);
  if (names.empty()) {
    *reason = "the device path '" + device_path + "' has no name to lock";
    return std::nullopt;
  }
  UucpLock lock;
  for (const std::string& name : names) {
    if (!TakeOne(lock_dir, name, device_path, reason)) return std::nullopt;  // releases
    lock.files_.push_back(lock_dir + "/" + name);
  }
  return lock;
}

UucpLock::UucpLock(UucpLock&& other) noexcept : files_(std::move(other.files_)) {
  other.files_.clear();
}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
  if (this != &other) {
    Release();
    files_ = std::move(other.files_);
    other.files_.clear();
  }
  return *this;
}

UucpLock::~UucpLock() {
  Release();
}

void UucpLock::Release() {
  for (auto it = files_.rbegin(); it != files_.rend(); ++it) RemoveIfOurs(*it);
  files_.clear();
}

}  // namespace quodem::telephony::modem
