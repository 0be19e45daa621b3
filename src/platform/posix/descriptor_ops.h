// The system calls behind ports, in one place. Every function here is non-blocking, retries
// on EINTR, and turns the many ways a descriptor says "nothing now", "nothing ever again" or
// "broken" into one small set of outcomes, so the port logic above never looks at errno.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace quodem::posix::descriptor_ops {

enum class Kind {
  kSocket,    // stream socket: send(MSG_NOSIGNAL), read() == 0 is the peer's end of stream
  kTerminal,  // tty or pty (either side): read() == 0 can mean "no data" (VMIN 0, EOF char)
  kFifo,      // pipe or FIFO: a write to a vanished reader raises SIGPIPE, which we swallow
  kOther,
};

enum class Outcome {
  kMoved,        // `bytes` (> 0) were transferred
  kWouldBlock,   // nothing can move now; wait for readiness
  kEndOfStream,  // reads only: the peer hung up and nothing is left to read
  kFailed,       // `error` holds the errno
};

// The poll(2) events `fd` shows now, without waiting (0 when none, or when poll fails).
short EventsNow(int fd);

struct IoResult {
  Outcome outcome = Outcome::kWouldBlock;
  std::size_t bytes = 0;
  int error = 0;
};

Kind Classify(int fd);

// Puts the descriptor in non-blocking, close-on-exec mode. False with errno on failure.
bool PrepareForPort(int fd);

// One read()/write() of at most `size` bytes (size > 0).
IoResult ReadSome(int fd, Kind kind, void* dest, std::size_t size);
IoResult WriteSome(int fd, Kind kind, const void* source, std::size_t size);
// One gathering write of the `count` pieces (at most IOV_MAX, at least one byte in all).
IoResult WriteSomeV(int fd, Kind kind, const iovec* pieces, int count);

// Bytes queued in the kernel for reading (FIONREAD/TIOCINQ), or -1 when the descriptor
// cannot tell.
long BytesWaiting(int fd);

// Whether a write error means the peer or the line has gone (as opposed to a local fault).
bool IsDisconnect(int error);

// Raises or lowers DTR (TIOCMBIS/TIOCMBIC). True on success; false with errno otherwise.
bool SetDtr(int fd, bool raise);

// The speed a terminal sends at, in bytes a second (ten bits a byte), from its output baud
// rate; 0 when it has none (B0) or is not a terminal.
std::uint32_t TerminalBytesPerSecond(int fd);

// Discards what the terminal driver holds in its output queue (tcflush TCOFLUSH).
void FlushTerminalOutput(int fd);

// Serial line error counters (TIOCGICOUNT). False when the driver does not keep them, as
// for ptys, sockets and most USB adapters.
struct LineErrorCounts {
  std::uint32_t frame = 0;
  std::uint32_t overrun = 0;
  std::uint32_t parity = 0;
  std::uint32_t brk = 0;
  std::uint32_t buffer_overrun = 0;
};
bool ReadLineErrorCounts(int fd, LineErrorCounts* counts);

// shutdown(SHUT_RDWR) on a socket; nothing on other descriptors.
void ShutdownBoth(int fd, Kind kind);

}  // namespace quodem::posix::descriptor_ops
