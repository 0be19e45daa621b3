// The temporary file of an incoming file frame, and the sweep of those left by killed
// receivers. Every system call of saving a received file is here.
#include "transfer/received_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <random>
#include <string_view>

#include "transfer/file_name.h"

namespace quodem {
namespace {

// Collisions are only possible with files of another writer of the same pattern; each
// attempt draws a fresh name.
constexpr int kNameAttempts = 16;
// "name (1).ext" up to "name (9999).ext"; a folder holding all of them refuses the file.
constexpr unsigned kMaxNumberedNames = 9999;

constexpr char kTempPrefix[] = ".quodem-";
constexpr char kTempSuffix[] = ".part";
constexpr std::size_t kTempRandomChars = 6;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::atomic<bool> g_force_named{false};

std::error_code LastError() {
  return {errno, std::generic_category()};
}

std::string RandomTempName() {
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                         (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 2);
  std::string name = kTempPrefix;
  for (std::size_t i = 0; i < kTempRandomChars; ++i) name += kAlphabet[pick(generator)];
  return name + kTempSuffix;
}

}  // namespace

bool IsReceiveTempName(const std::string& name) {
  const std::size_t prefix = sizeof kTempPrefix - 1;
  const std::size_t suffix = sizeof kTempSuffix - 1;
  if (name.size() != prefix + kTempRandomChars + suffix) return false;
  if (name.compare(0, prefix, kTempPrefix) != 0) return false;
  if (name.compare(prefix + kTempRandomChars, suffix, kTempSuffix) != 0) return false;
  return std::all_of(name.begin() + prefix, name.begin() + prefix + kTempRandomChars, [](char c) {
    return std::string_view(kAlphabet).find(c) != std::string::npos;
  });
}

namespace {

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The candidates for a file that must not replace anything: name, "name (1)", ...
std::string Candidate(const std::string& name, unsigned n) {
  return n == 0 ? name : NumberedFileName(name, n);
}

// Gives an unnamed temporary file the name `path`; EEXIST when the name is taken.
std::error_code LinkUnnamed(int fd, const std::string& path) {
  if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return {};
  if (errno == EEXIST) return LastError();
  // Older kernels allow AT_EMPTY_PATH only with CAP_DAC_READ_SEARCH; the link through /proc
  // works for anybody (Create checked that /proc is there).
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return {};
  return LastError();
}

// An unnamed temporary file in `directory`, or -1: errno EOPNOTSUPP (or EISDIR from kernels
// without O_TMPFILE) when the file system has none.
int CreateUnnamed(const std::string& directory) {
  // Linking it into place later goes through /proc/self/fd where AT_EMPTY_PATH is refused;
  // without /proc only named temporary files are safe.
  if (::access("/proc/self/fd", X_OK) != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int fd = OpenRetrying(directory.c_str(), O_TMPFILE | O_RDWR, 0666);
  if (fd < 0) return -1;
  // Held until the file is committed or discarded; it keeps the sweep away from the name
  // the file briefly has while it replaces a target.
  ::flock(fd, LOCK_EX | LOCK_NB);
  return fd;
}

}  // namespace

void ForceNamedReceiveFiles(bool force) {
  g_force_named.store(force);
}

std::unique_ptr<ReceivedFile> ReceivedFile::Create(const std::string& directory,
                                                   std::error_code& error) {
  error.clear();
  if (directory.empty()) {
    error = std::make_error_code(std::errc::invalid_argument);
    return nullptr;
  }
  if (!g_force_named.load()) {
    const int fd = CreateUnnamed(directory);
    if (fd >= 0) return std::unique_ptr<ReceivedFile>(new ReceivedFile(directory, fd, ""));
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error = LastError();
      return nullptr;
    }
  }
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    std::string path = JoinSavePath(directory, RandomTempName());
    const int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      error = LastError();
      return nullptr;
    }
    // Locked at once; a sweep that got in between (it locks before it removes) leaves the
    // file unlinked, and another name is drawn.
    struct stat st;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
      ::close(fd);
      continue;
    }
    return std::unique_ptr<ReceivedFile>(new ReceivedFile(directory, fd, std::move(path)));
  }
  error = std::make_error_code(std::errc::file_exists);
  return nullptr;
}

ReceivedFile::~ReceivedFile() {
  Close();
}

void ReceivedFile::Close() {
  if (fd_ < 0) return;
  // Removed while still locked, so the sweep never sees it unlocked.
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

std::error_code ReceivedFile::Write(const void* data, std::size_t count) {
  const auto* p = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = ::write(fd_, p, std::min<std::size_t>(count, SSIZE_MAX));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    // A regular file that takes nothing is full; report it rather than spin.
    if (n == 0) return std::make_error_code(std::errc::no_space_on_device);
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code ReceivedFile::Commit(const std::string& name, bool replace, std::string& saved) {
  if (fd_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
  const std::error_code result =
      Named() ? CommitNamed(name, replace, saved) : CommitUnnamed(name, replace, saved);
  Close();
  return result;
}

std::error_code ReceivedFile::CommitUnnamed(const std::string& name, bool replace,
                                            std::string& saved) {
  if (!replace) {
    // A link never replaces: a name taken, even just now, fails with EEXIST.
    for (unsigned n = 0; n <= kMaxNumberedNames; ++n) {
      const std::string path = JoinSavePath(directory_, Candidate(name, n));
      const std::error_code error = LinkUnnamed(fd_, path);
      if (!error) {
        saved = path;
        return {};
      }
      if (error != std::errc::file_exists) return error;
    }
    return std::make_error_code(std::errc::file_exists);
  }
  // A link cannot replace; the file gets a locked temporary name and is renamed over the
  // target from there.
  const std::string target = JoinSavePath(directory_, name);
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    const std::string temp = JoinSavePath(directory_, RandomTempName());
    const std::error_code linked = LinkUnnamed(fd_, temp);
    if (linked == std::errc::file_exists) continue;
    if (linked) return linked;
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      const std::error_code error = LastError();
      ::unlink(temp.c_str());
      return error;
    }
    saved = target;
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

std::error_code ReceivedFile::CommitNamed(const std::string& name, bool replace,
                                          std::string& saved) {
  if (replace) {
    const std::string target = JoinSavePath(directory_, name);
    if (::rename(temp_path_.c_str(), target.c_str()) != 0) return LastError();
    temp_path_.clear();
    saved = target;
    return {};
  }
  for (unsigned n = 0; n <= kMaxNumberedNames; ++n) {
    const std::string path = JoinSavePath(directory_, Candidate(name, n));
    if (::renameat2(AT_FDCWD, temp_path_.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      temp_path_.clear();
      saved = path;
      return {};
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return LastError();
    // No RENAME_NOREPLACE on this file system: a hard link never replaces either.
    if (::link(temp_path_.c_str(), path.c_str()) == 0) {
      saved = path;  // Close removes the temporary name
      return {};
    }
    if (errno != EEXIST) return LastError();
  }
  return std::make_error_code(std::errc::file_exists);
}

void RemoveStaleReceiveFiles(const std::string& directory) {
  if (directory.empty()) return;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  const int dir_fd = ::dirfd(dir);
  const uid_t me = ::geteuid();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!IsReceiveTempName(name)) continue;
    // Only a regular file of ours is opened at all (opening a device can have effects).
    struct stat seen;
    if (::fstatat(dir_fd, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(seen.st_mode) || seen.st_uid != me) {
      continue;
    }
    const int fd =
        ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // A live writer holds its lock until it has removed or renamed the file.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == me &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat now;
      if (::fstatat(dir_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
          now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
        ::unlinkat(dir_fd, name.c_str(), 0);
      }
    }
    ::close(fd);
  }
  ::closedir(dir);
}

}  // namespace quodem
