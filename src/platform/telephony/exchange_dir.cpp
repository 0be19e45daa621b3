#include "platform/telephony/exchange_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace quodem::telephony {
namespace {

bool IsFolder(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

void MakeFolder(const std::string& path, bool with_parents) {
  if (with_parents) {
    for (std::size_t i = 1; i < path.size(); ++i) {
      if (path[i] != '/') continue;
      std::string parent = path.substr(0, i);
      if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create the exchange folder's parent " + parent + ": " +
                                 std::strerror(errno));
      }
    }
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create the exchange folder " + path + ": " +
                             std::strerror(errno));
  }
}

}  // namespace

std::string ExchangeDirectoryPath() {
  const char* explicit_dir = std::getenv("QUODEM_EXCHANGE_DIR");
  if (explicit_dir != nullptr && *explicit_dir != 0) return explicit_dir;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/' && IsFolder(runtime)) {
    return std::string(runtime) + "/quodem";
  }
  return "/tmp/quodem-" + std::to_string(getuid());
}

std::string PrepareExchangeDirectory() {
  std::string path = ExchangeDirectoryPath();
  const char* explicit_dir = std::getenv("QUODEM_EXCHANGE_DIR");
  MakeFolder(path, explicit_dir != nullptr && *explicit_dir != 0);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    throw std::runtime_error("cannot use the exchange folder " + path + ": " +
                             std::strerror(errno));
  }
  if (S_ISLNK(info.st_mode)) {
    throw std::runtime_error("the exchange folder " + path +
                             " is a symbolic link; refusing it (use the real folder)");
  }
  if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error("the exchange folder " + path + " exists but is not a folder");
  }
  if (info.st_uid != geteuid()) {
    throw std::runtime_error("the exchange folder " + path + " belongs to user " +
                             std::to_string(info.st_uid) + ", not to this user (" +
                             std::to_string(geteuid()) + "); refusing it");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 0777));
    throw std::runtime_error("the exchange folder " + path +
                             " is writable by group or others (mode " + mode +
                             "); refusing it (chmod 700 it)");
  }
  return path;
}

std::string NumberSocketPath(const std::string& folder, const std::string& number) {
  std::string path = folder + "/" + number;
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    throw std::runtime_error("the socket path " + path + " is too long for a Unix socket (" +
                             std::to_string(path.size()) + " bytes, at most " +
                             std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) +
                             "); choose a shorter exchange folder");
  }
  return path;
}

socklen_t FillUnixAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

namespace {

// The number lock is an open-file-description lock on the lock file's first byte: it goes
// with the descriptor (not the process), conflicts between two opens in one process too, and
// can be tested without being taken (F_OFD_GETLK), so looking at who holds a number never
// disturbs the holder.
constexpr off_t kHoldByte = 0;
constexpr off_t kAnswerByte = 1;

flock Byte(off_t which, short type) {
  flock range{};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = which;
  range.l_len = 1;
  return range;
}

int SetLock(int fd, off_t which, short type) {
  flock range = Byte(which, type);
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &range);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool LockedElsewhere(int fd, off_t which) {
  flock range = Byte(which, F_WRLCK);
  return fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

// Opens the lock file without following a link and without ever blocking (a FIFO put at its
// path would block a plain open), and checks that it is a regular file. -1 with `*problem`
// set on failure.
int OpenLockFile(const std::string& lock_path, int flags, std::string* problem) {
  int fd = open(lock_path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    if (problem != nullptr) {
      *problem = "cannot open the lock file " + lock_path + ": " + std::strerror(errno);
    }
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (problem != nullptr) *problem = "the lock file " + lock_path + " is not a regular file";
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

NumberLock::NumberLock(NumberLock&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

NumberLock& NumberLock::operator=(NumberLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

NumberLock::~NumberLock() {
  Release();
}

NumberLock::Result NumberLock::TryTake(const std::string& lock_path, std::string* problem) {
  Release();
  int fd = OpenLockFile(lock_path, O_RDWR | O_CREAT, problem);
  if (fd < 0) return Result::kFailed;
  if (SetLock(fd, kHoldByte, F_WRLCK) != 0) {
    int error = errno;
    close(fd);
    if (error == EAGAIN || error == EACCES) return Result::kHeldElsewhere;
    *problem = "cannot lock " + lock_path + ": " + std::strerror(error);
    return Result::kFailed;
  }
  // Nobody else can hold the answering byte without the first one; a prober only tests it.
  SetLock(fd, kAnswerByte, F_WRLCK);
  fd_ = fd;
  return Result::kTaken;
}

void NumberLock::StopAnswering() {
  if (fd_ >= 0) SetLock(fd_, kAnswerByte, F_UNLCK);
}

void NumberLock::Release() {
  if (fd_ < 0) return;
  SetLock(fd_, kAnswerByte, F_UNLCK);
  SetLock(fd_, kHoldByte, F_UNLCK);
  close(fd_);
  fd_ = -1;
}

NumberHold ProbeNumberLock(const std::string& lock_path) {
  int fd = OpenLockFile(lock_path, O_RDONLY, nullptr);
  if (fd < 0) return NumberHold::kFree;
  NumberHold hold = NumberHold::kFree;
  if (LockedElsewhere(fd, kHoldByte)) {
    hold = LockedElsewhere(fd, kAnswerByte) ? NumberHold::kHeldElsewhere : NumberHold::kInUseByCall;
  }
  close(fd);
  return hold;
}

}  // namespace quodem::telephony
