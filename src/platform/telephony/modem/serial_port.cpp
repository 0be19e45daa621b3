#include "platform/telephony/modem/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/posix/descriptor_ops.h"

namespace quodem::telephony::modem {
namespace {

struct SpeedEntry {
  unsigned baud;
  speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

int Ioctl(int fd, unsigned long request, void* argument) {
  int rc;
  do {
    rc = ioctl(fd, request, argument);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool SetAttributes(int fd, const termios& settings) {
  int rc;
  do {
    rc = tcsetattr(fd, TCSANOW, &settings);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

std::optional<speed_t> SerialPort::SpeedConstant(unsigned baud) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.baud == baud) return entry.constant;
  }
  return std::nullopt;
}

std::optional<SerialPort> SerialPort::Open(const std::string& path, const SerialSettings& settings,
                                           std::string* reason, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  std::optional<speed_t> speed = SpeedConstant(settings.baud);
  if (!speed) {
    *reason = "unsupported speed " + std::to_string(settings.baud);
    *error = EINVAL;
    return std::nullopt;
  }
  posix::UniqueFd opened;
  do {
    opened.reset(open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  } while (!opened && errno == EINTR);
  if (!opened) {
    *error = errno;
    *reason = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const int fd = opened.get();
  SerialPort port(std::move(opened), path, settings);  // closes it on every failure below
  if (isatty(fd) != 1) {
    *error = ENOTTY;
    *reason = path + " is not a terminal";
    return std::nullopt;
  }
  if (Ioctl(fd, TIOCEXCL, nullptr) != 0) {
    *error = errno;
    *reason = path + ": cannot take exclusive use: " + std::strerror(errno);
    return std::nullopt;
  }
  termios raw{};
  if (tcgetattr(fd, &raw) != 0) {
    *error = errno;
    *reason = path + ": cannot read the line settings: " + std::strerror(errno);
    return std::nullopt;
  }
  cfmakeraw(&raw);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  raw.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  switch (settings.flow) {
    case FlowControl::kRtsCts:
      raw.c_cflag |= CRTSCTS;
      break;
    case FlowControl::kXonXoff:
      raw.c_iflag |= IXON | IXOFF;
      break;
    case FlowControl::kNone:
      break;
  }
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  cfsetispeed(&raw, *speed);
  cfsetospeed(&raw, *speed);
  if (!SetAttributes(fd, raw)) {
    *error = errno;
    *reason = path + ": cannot set the line settings: " + std::strerror(errno);
    return std::nullopt;
  }
  return port;
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::move(other.fd_)), path_(std::move(other.path_)), settings_(other.settings_) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::move(other.fd_);
    path_ = std::move(other.path_);
    settings_ = other.settings_;
  }
  return *this;
}

SerialPort::~SerialPort() {
  Close();
}

void SerialPort::Close() {
  if (!fd_) return;
  Ioctl(fd_.get(), TIOCNXCL, nullptr);
  fd_.reset();
}

int SerialPort::Duplicate() const {
  return fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
}

bool SerialPort::SetLocal(bool local) {
  termios settings{};
  if (tcgetattr(fd_.get(), &settings) != 0) return false;
  if (local) {
    settings.c_cflag |= CLOCAL;
  } else {
    settings.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
  }
  return SetAttributes(fd_.get(), settings);
}

bool SerialPort::HasModemLines() const {
  int bits = 0;
  return Ioctl(fd_.get(), TIOCMGET, &bits) == 0;
}

std::optional<ModemLines> SerialPort::ReadModemLines() const {
  int bits = 0;
  if (Ioctl(fd_.get(), TIOCMGET, &bits) != 0) return std::nullopt;
  ModemLines lines;
  lines.dcd = (bits & TIOCM_CAR) != 0;
  lines.dsr = (bits & TIOCM_DSR) != 0;
  lines.cts = (bits & TIOCM_CTS) != 0;
  lines.ri = (bits & TIOCM_RNG) != 0;
  lines.dtr = (bits & TIOCM_DTR) != 0;
  lines.rts = (bits & TIOCM_RTS) != 0;
  return lines;
}

SerialPort::DtrMethod SerialPort::SetDtr(bool raised) {
  int bit = TIOCM_DTR;
  if (Ioctl(fd_.get(), raised ? TIOCMBIS : TIOCMBIC, &bit) == 0) return DtrMethod::kModemLines;
  if (errno != ENOTTY && errno != EINVAL) return DtrMethod::kFailed;
  termios settings{};
  if (tcgetattr(fd_.get(), &settings) != 0) return DtrMethod::kFailed;
  speed_t speed = raised ? *SpeedConstant(settings_.baud) : B0;
  cfsetospeed(&settings, speed);
  if (raised) cfsetispeed(&settings, speed);
  return SetAttributes(fd_.get(), settings) ? DtrMethod::kSpeedZero : DtrMethod::kFailed;
}

void SerialPort::Flush() {
  tcflush(fd_.get(), TCIOFLUSH);
}

bool TerminalHungUp(int fd) {
  return (posix::descriptor_ops::EventsNow(fd) & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace quodem::telephony::modem
