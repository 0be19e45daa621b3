#include "platform/telephony/modem/emulator/pty_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <stdexcept>

namespace quodem::telephony::modem::emulator {
namespace {

std::runtime_error Failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// The slave, opened for a moment by the emulator itself.
int OpenSlave(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

PtyDevice::PtyDevice(std::string link_path, mode_t mode)
    : link_path_(std::move(link_path)), mode_(mode) {
  struct stat info;
  if (lstat(link_path_.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    throw std::runtime_error(link_path_ + " exists and is not a symbolic link");
  }
  Open();
}

PtyDevice::~PtyDevice() {
  char target[PATH_MAX];
  ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave_path_) {
    unlink(link_path_.c_str());
  }
  Close();
}

void PtyDevice::Open() {
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw Failure("cannot create a pseudo-terminal");
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    throw Failure("cannot set up a pseudo-terminal");
  }
  master_ = fd;
  slave_path_ = name;
  hung_up_ = false;
  if (chmod(slave_path_.c_str(), mode_) != 0) {
    Close();
    throw Failure("cannot set the mode of " + slave_path_);
  }
  int on = 1;
  if (ioctl(master_, TIOCPKT, &on) != 0) {
    Close();
    throw Failure("cannot put " + slave_path_ + " in packet mode");
  }
  ApplyDefaults();
  // A slave never opened does not show as closed on the master; opening and closing it once
  // makes the master tell "no client" until a real one opens it.
  int slave = OpenSlave(slave_path_);
  if (slave >= 0) close(slave);
  DrainPackets();
  // Point the link at the new slave in one step: a client never finds the path missing.
  std::string temporary = link_path_ + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(slave_path_.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link_path_.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    Close();
    errno = error;
    throw Failure("cannot make the link " + link_path_);
  }
}

void PtyDevice::ApplyDefaults() {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) return;
  cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CLOCAL);
  settings.c_cflag |= CS8 | CREAD | HUPCL;
  settings.c_lflag |= EXTPROC;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(master_, TCSANOW, &settings);
  // The change itself queued a settings packet; the owner reads it as a first look.
}

void PtyDevice::DrainPackets() {
  char scratch[256];
  while (read(master_, scratch, sizeof scratch) > 0) {
  }
}

void PtyDevice::Close() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

PtyDevice::ReadResult PtyDevice::Read(std::size_t max) {
  ReadResult result;
  std::string buffer(max + 1, '\0');
  ssize_t n;
  do {
    n = read(master_, buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return result;
    result.kind = errno == EIO ? ReadResult::Kind::kClientGone : ReadResult::Kind::kFailed;
    return result;
  }
  if (n == 0) {
    result.kind = ReadResult::Kind::kClientGone;
    return result;
  }
  hung_up_ = false;  // a client is there: it wrote or changed settings
  if (buffer[0] != TIOCPKT_DATA) {
    result.kind = ReadResult::Kind::kSettingsChanged;  // IOCTL, flush or flow packets alike
    return result;
  }
  result.kind = ReadResult::Kind::kData;
  result.data.assign(buffer.data() + 1, static_cast<std::size_t>(n - 1));
  return result;
}

long PtyDevice::Write(std::string_view bytes) {
  if (!ClientPresent()) return -1;
  ssize_t n;
  do {
    n = write(master_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return n;
}

termios PtyDevice::Settings() const {
  termios settings{};
  tcgetattr(master_, &settings);
  return settings;
}

bool PtyDevice::ExtendedProcessing() const {
  return (Settings().c_lflag & EXTPROC) != 0;
}

bool PtyDevice::ClientPresent() const {
  if (hung_up_) return false;
  pollfd p{master_, POLLOUT, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & POLLHUP) == 0;
}

std::size_t PtyDevice::UnreadByClient() const {
  int fd = OpenSlave(slave_path_);
  if (fd < 0) return 0;  // a client holding it exclusively: cannot tell
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) count = 0;
  close(fd);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

void PtyDevice::DiscardOutput() {
  tcflush(master_, TCOFLUSH);
}

PtyDevice::HangupMethod PtyDevice::HangUp(bool allow_vhangup) {
  int fd = allow_vhangup ? OpenSlave(slave_path_) : -1;
  if (fd >= 0) {
    int rc = ioctl(fd, TIOCVHANGUP, nullptr);
    close(fd);
    if (rc == 0) {
      // The hang-up restored the slave's default settings: make it a raw line again for
      // the client's next open, and drop what nobody will read now.
      DiscardOutput();
      ApplyDefaults();
      DrainPackets();  // that change queued a packet of our own; it is no sign of a client
      hung_up_ = true;
      return HangupMethod::kVhangup;
    }
  }
  // Not permitted (or the client holds the device exclusively): end this pseudo-terminal
  // and put a new one at the same path.
  Close();
  Open();
  return HangupMethod::kRecreated;
}

}  // namespace quodem::telephony::modem::emulator
