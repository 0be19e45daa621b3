// A serial device opened for a modem: the descriptor and the settings a Hayes modem needs,
// owned by one object that closes the device when it goes.
//
// Opening: O_RDWR | O_NONBLOCK | O_NOCTTY (the open never waits for carrier and never makes
// the device our controlling terminal), checked to be a terminal, taken for exclusive use
// (TIOCEXCL: a second open by an ordinary user fails with EBUSY; root is not stopped), then
// set raw: 8 data bits, no parity, no character processing in either direction, CREAD and
// CLOCAL (carrier ignored while commands are exchanged; a connected call clears it so the
// driver reports carrier loss), HUPCL, the configured speed and flow control, VMIN 1 VTIME 0.
// The descriptor stays non-blocking.
//
// Modem-control lines: real serial ports and most USB modems have them; pseudo-terminals and
// some USB devices do not (TIOCMGET fails with ENOTTY or EINVAL). DTR is dropped with
// TIOCMBIC where the device has the lines, otherwise by setting the output speed to 0 (B0),
// the POSIX hang-up that terminal drivers and modem emulators understand; raising it again
// restores the speed.
//
// Not thread-safe: one owner uses it at a time.
#pragma once

#include <termios.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/posix/unique_fd.h"

namespace quodem::telephony::modem {

enum class FlowControl { kRtsCts, kXonXoff, kNone };

struct SerialSettings {
  unsigned baud = 115200;
  FlowControl flow = FlowControl::kRtsCts;
};

// The modem-control lines as TIOCMGET reports them.
struct ModemLines {
  bool dcd = false;  // carrier detect
  bool dsr = false;
  bool cts = false;
  bool ri = false;  // ring indicator
  bool dtr = false;
  bool rts = false;
};

class SerialPort {
 public:
  // Opens and sets up `path`. Nothing, with `*reason` saying what failed ("/dev/ttyUSB0:
  // No such file or directory", "... is not a terminal", "unsupported speed 12345"), and
  // `*error` the errno of the failed step (ENOTTY for a device that is no terminal), on
  // failure; nothing is left open then.
  static std::optional<SerialPort> Open(const std::string& path, const SerialSettings& settings,
                                        std::string* reason, int* error = nullptr);

  SerialPort(SerialPort&& other) noexcept;
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort();  // gives up exclusive use and closes the device

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // A second descriptor on the device (close-on-exec, owned by the caller), for a layer that
  // takes ownership of what it is given; -1 with errno on failure.
  int Duplicate() const;

  // CLOCAL on (ignore carrier) or off (carrier loss hangs the device up). False on failure.
  bool SetLocal(bool local);
  // Whether the device has modem-control lines (TIOCMGET works).
  bool HasModemLines() const;
  // The modem-control lines; nothing where the device has none (or the query failed).
  std::optional<ModemLines> ReadModemLines() const;

  enum class DtrMethod { kModemLines, kSpeedZero, kFailed };
  // Lowers or raises DTR: with TIOCMBIC/TIOCMBIS where the device has modem-control lines,
  // otherwise through the speed (0 lowers, the configured speed raises). Says how it was done.
  DtrMethod SetDtr(bool raised);

  // Discards what is waiting in both directions.
  void Flush();

  // Speeds termios knows (50 to 4000000); nothing for any other.
  static std::optional<speed_t> SpeedConstant(unsigned baud);

 private:
  SerialPort(posix::UniqueFd fd, std::string path, SerialSettings settings)
      : fd_(std::move(fd)), path_(std::move(path)), settings_(settings) {}
  void Close();

  posix::UniqueFd fd_;
  std::string path_;
  SerialSettings settings_;
};

// Whether the terminal `fd` has hung up (it polls POLLHUP; it reads end of file or EIO). A
// terminal in raw mode with VMIN 1 reads 0 bytes only once it has.
bool TerminalHungUp(int fd);

}  // namespace quodem::telephony::modem
