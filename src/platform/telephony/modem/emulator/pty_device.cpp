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
#include <utility>

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

// Raw 8-bit settings without CLOCAL, as a serial port has by default, and EXTPROC so that the
// client's changes wake the master.
void ApplyDefaults(int master) {
  termios settings{};
  if (tcgetattr(master, &settings) != 0) return;
  cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CLOCAL);
  settings.c_cflag |= CS8 | CREAD | HUPCL;
  settings.c_lflag |= EXTPROC;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(master, TCSANOW, &settings);
}

// Drops what the master has to read. Only called before the device is at the path, so
// nothing of it came from a client.
void DrainPackets(int master) {
  char scratch[256];
  while (read(master, scratch, sizeof scratch) > 0) {
  }
}

// A new pseudo-terminal, set up but not yet at any path the clients know: the master and the
// slave's path. Throws std::runtime_error saying what failed.
std::pair<posix::UniqueFd, std::string> CreateDevice(mode_t mode) {
  posix::UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!master) throw Failure("cannot create a pseudo-terminal");
  const int fd = master.get();
  // Failure reads errno first; the descriptor closes as the exception leaves.
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    throw Failure("cannot set up a pseudo-terminal");
  }
  const std::string slave = name;
  if (chmod(slave.c_str(), mode) != 0) throw Failure("cannot set the mode of " + slave);
  int on = 1;
  if (ioctl(fd, TIOCPKT, &on) != 0) throw Failure("cannot put " + slave + " in packet mode");
  ApplyDefaults(fd);
  // A slave never opened does not show as closed on the master; opening and closing it once
  // makes the master tell "no client" until a real one opens it.
  posix::UniqueFd(OpenSlave(slave)).reset();
  DrainPackets(fd);  // the settings packet of our own
  return {std::move(master), slave};
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
}

void PtyDevice::Open() {
  auto [fd, slave] = CreateDevice(mode_);
  // Point the link at the new slave in one step: a client never finds the path missing, and
  // finds either the old device (hung up below, with everyone on it) or the new one, ready.
  std::string temporary = link_path_ + ".new." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(slave.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link_path_.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    fd.reset();
    errno = error;
    throw Failure("cannot make the link " + link_path_);
  }
  // Closing the old master hangs up its slave: every client descriptor on it ends now.
  master_ = std::move(fd);
  slave_path_ = std::move(slave);
}

PtyDevice::ReadResult PtyDevice::Read(std::size_t max) {
  ReadResult result;
  std::string buffer(max + 1, '\0');
  ssize_t n;
  do {
    n = read(master_.get(), buffer.data(), buffer.size());
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
    n = write(master_.get(), bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return n;
}

termios PtyDevice::Settings() const {
  termios settings{};
  tcgetattr(master_.get(), &settings);
  return settings;
}

bool PtyDevice::ExtendedProcessing() const {
  return (Settings().c_lflag & EXTPROC) != 0;
}

bool PtyDevice::ClientPresent() const {
  pollfd p{master_.get(), POLLOUT, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & POLLHUP) == 0;
}

std::size_t PtyDevice::UnreadByClient() const {
  posix::UniqueFd fd(OpenSlave(slave_path_));
  if (!fd) return 0;  // a client holding it exclusively: cannot tell
  int count = 0;
  if (ioctl(fd.get(), FIONREAD, &count) != 0) count = 0;
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

void PtyDevice::DiscardOutput() {
  tcflush(master_.get(), TCOFLUSH);
}

void PtyDevice::HangUp() {
  Open();
}

}  // namespace quodem::telephony::modem::emulator
