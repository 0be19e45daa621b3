#include "platform/posix/descriptor_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace quodem::posix::descriptor_ops {

namespace {

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

// A terminal answers read() with 0 both when it has hung up and, in non-canonical mode with
// VMIN 0 or after an EOF character, when there is simply nothing to read. Only a hang-up
// shows as POLLHUP.
bool TerminalHungUp(int fd) {
  return (EventsNow(fd) & POLLHUP) != 0;
}

// write() on a pipe whose reader has gone raises SIGPIPE, which would end the process. The
// signal is blocked for this thread around the call and, when the write raised it, taken
// off the pending set again, so the host's own SIGPIPE handling is left untouched.
ssize_t WriteWithoutSigpipe(int fd, const iovec* pieces, int count) {
  sigset_t pipe_only, previous, pending;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  const bool already_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  ssize_t n;
  do {
    n = writev(fd, pieces, count);
  } while (n < 0 && errno == EINTR);
  const int saved = errno;
  if (n < 0 && saved == EPIPE && !already_pending) {
    const timespec zero{};
    while (sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return n;
}

}  // namespace

short EventsNow(int fd) {
  pollfd p{fd, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? p.revents : 0;
}

Kind Classify(int fd) {
  if (isatty(fd) == 1) return Kind::kTerminal;
  struct stat st {};
  if (fstat(fd, &st) != 0) return Kind::kOther;
  if (S_ISSOCK(st.st_mode)) return Kind::kSocket;
  if (S_ISFIFO(st.st_mode)) return Kind::kFifo;
  return Kind::kOther;
}

bool PrepareForPort(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  if ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  const int fd_flags = fcntl(fd, F_GETFD);
  if (fd_flags < 0) return false;
  if ((fd_flags & FD_CLOEXEC) == 0 && fcntl(fd, F_SETFD, fd_flags | FD_CLOEXEC) != 0) {
    return false;
  }
  return true;
}

IoResult ReadSome(int fd, Kind kind, void* dest, std::size_t size) {
  ssize_t n;
  do {
    n = read(fd, dest, size);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return {Outcome::kMoved, static_cast<std::size_t>(n), 0};
  if (n == 0) {
    if (kind == Kind::kTerminal && !TerminalHungUp(fd)) return {Outcome::kWouldBlock, 0, 0};
    return {Outcome::kEndOfStream, 0, 0};
  }
  const int error = errno;
  if (WouldBlock(error)) return {Outcome::kWouldBlock, 0, 0};
  // EIO: a pty whose other side closed, or a terminal that hung up. ECONNRESET and friends:
  // the peer is gone and the kernel has dropped what it had queued. Either way nothing more
  // will arrive.
  if (error == EIO || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT ||
      error == ESHUTDOWN) {
    return {Outcome::kEndOfStream, 0, 0};
  }
  return {Outcome::kFailed, 0, error};
}

IoResult WriteSome(int fd, Kind kind, const void* source, std::size_t size) {
  iovec piece{const_cast<void*>(source), size};
  return WriteSomeV(fd, kind, &piece, 1);
}

IoResult WriteSomeV(int fd, Kind kind, const iovec* pieces, int count) {
  ssize_t n = -1;
  if (kind == Kind::kSocket) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<std::size_t>(count);
    do {
      n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    // sendmsg() on something that turned out not to be a socket: fall back to writev().
    if (n < 0 && errno == ENOTSOCK) kind = Kind::kOther;
  }
  if (kind == Kind::kFifo) {
    n = WriteWithoutSigpipe(fd, pieces, count);
  } else if (kind != Kind::kSocket) {
    do {
      n = writev(fd, pieces, count);
    } while (n < 0 && errno == EINTR);
  }
  if (n > 0) return {Outcome::kMoved, static_cast<std::size_t>(n), 0};
  if (n == 0) return {Outcome::kWouldBlock, 0, 0};
  const int error = errno;
  if (WouldBlock(error)) return {Outcome::kWouldBlock, 0, 0};
  return {Outcome::kFailed, 0, error};
}

long BytesWaiting(int fd) {
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) return -1;
  return queued;
}

bool IsDisconnect(int error) {
  return error == EPIPE || error == ECONNRESET || error == EIO || error == ENOTCONN ||
         error == ESHUTDOWN || error == ENXIO || error == ETIMEDOUT;
}

bool SetDtr(int fd, bool raise) {
  int bits = TIOCM_DTR;
  return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

std::uint32_t TerminalBytesPerSecond(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) return 0;
  static constexpr struct {
    speed_t code;
    std::uint32_t bits;
  } kRates[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  const speed_t code = cfgetospeed(&mode);
  for (const auto& rate : kRates) {
    if (rate.code == code) return rate.bits / 10;
  }
  return 0;  // B0, or a rate beyond the table: too fast to matter
}

void FlushTerminalOutput(int fd) {
  tcflush(fd, TCOFLUSH);
}

bool ReadLineErrorCounts(int fd, LineErrorCounts* counts) {
  serial_icounter_struct icount{};
  if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
  counts->frame = static_cast<std::uint32_t>(icount.frame);
  counts->overrun = static_cast<std::uint32_t>(icount.overrun);
  counts->parity = static_cast<std::uint32_t>(icount.parity);
  counts->brk = static_cast<std::uint32_t>(icount.brk);
  counts->buffer_overrun = static_cast<std::uint32_t>(icount.buf_overrun);
  return true;
}

void ShutdownBoth(int fd, Kind kind) {
  if (kind == Kind::kSocket) shutdown(fd, SHUT_RDWR);
}

}  // namespace quodem::posix::descriptor_ops
