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

#include "platform/telephony/regular_file.h"

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

// The folder's path spelled so that its last part names the folder itself: made absolute,
// trailing slashes and "." parts dropped ("/x/link/" would otherwise name the link's target,
// and a check of the link itself would pass it), and the folders above it resolved by the
// kernel, as every later use resolves them. A path that ends in ".." is resolved whole.
std::string NormalFolderPath(const std::string& given) {
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      throw std::runtime_error("cannot use the exchange folder " + given + ": " +
                               std::strerror(errno));
    }
    path = std::string(cwd) + "/" + path;
    std::free(cwd);
  }
  for (;;) {
    if (path.size() > 1 && path.back() == '/') {
      path.pop_back();
    } else if (path.size() > 2 && path.compare(path.size() - 2, 2, "/.") == 0) {
      path.resize(path.size() - 2);
    } else {
      break;
    }
  }
  const std::size_t slash = path.rfind('/');
  const std::string name = path.substr(slash + 1);
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  const bool whole = name.empty() || name == "..";
  char* resolved = realpath((whole ? path : parent).c_str(), nullptr);
  if (resolved == nullptr) {
    throw std::runtime_error("cannot use the exchange folder " + given + ": " +
                             std::strerror(errno));
  }
  std::string real = resolved;
  std::free(resolved);
  if (whole) return real;
  return real == "/" ? "/" + name : real + "/" + name;
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
  const std::string given = ExchangeDirectoryPath();
  const char* explicit_dir = std::getenv("QUODEM_EXCHANGE_DIR");
  MakeFolder(given, explicit_dir != nullptr && *explicit_dir != 0);
  const std::string path = NormalFolderPath(given);
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
  std::string why;
  const int fd = OpenRegularFile(lock_path, flags | O_NOFOLLOW, 0600, &why);
  if (fd < 0 && problem != nullptr) *problem = "the lock file " + lock_path + " " + why;
  return fd;
}

}  // namespace

NumberLock::NumberLock(NumberLock&& other) noexcept = default;

NumberLock& NumberLock::operator=(NumberLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::move(other.fd_);
  }
  return *this;
}

NumberLock::~NumberLock() {
  Release();
}

NumberLock::Result NumberLock::TryTake(const std::string& lock_path, std::string* problem) {
  Release();
  posix::UniqueFd fd(OpenLockFile(lock_path, O_RDWR | O_CREAT, problem));
  if (!fd) return Result::kFailed;
  if (SetLock(fd.get(), kHoldByte, F_WRLCK) != 0) {
    int error = errno;
    if (error == EAGAIN || error == EACCES) return Result::kHeldElsewhere;
    *problem = "cannot lock " + lock_path + ": " + std::strerror(error);
    return Result::kFailed;
  }
  // Nobody else can hold the answering byte without the first one; a prober only tests it.
  SetLock(fd.get(), kAnswerByte, F_WRLCK);
  fd_ = std::move(fd);
  return Result::kTaken;
}

void NumberLock::StopAnswering() {
  if (fd_) SetLock(fd_.get(), kAnswerByte, F_UNLCK);
}

void NumberLock::Release() {
  if (!fd_) return;
  SetLock(fd_.get(), kAnswerByte, F_UNLCK);
  SetLock(fd_.get(), kHoldByte, F_UNLCK);
  fd_.reset();
}

NumberHold ProbeNumberLock(const std::string& lock_path) {
  posix::UniqueFd fd(OpenLockFile(lock_path, O_RDONLY, nullptr));
  if (!fd) return NumberHold::kFree;
  if (!LockedElsewhere(fd.get(), kHoldByte)) return NumberHold::kFree;
  return LockedElsewhere(fd.get(), kAnswerByte) ? NumberHold::kHeldElsewhere
                                                : NumberHold::kInUseByCall;
}

bool RemoveStaleSocket(const std::string& path, std::string* problem) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    *problem = "cannot use " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISSOCK(info.st_mode)) {
    *problem = path + " is " + FileTypeWords(info.st_mode) +
               ", not the number's socket; refusing to remove it";
    return false;
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    *problem = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace quodem::telephony
