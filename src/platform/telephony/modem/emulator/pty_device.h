// The emulated modem's device: a pseudo-terminal whose slave a terminal program opens
// through a symbolic link (the PATH of --modem), and whose master the emulator holds.
//
// A pseudo-terminal has no modem-control lines (TIOCMGET and friends fail with ENOTTY), so
// the emulator learns of the DTE through what a pty does show:
//   - settings: packet mode (TIOCPKT) with the extended-processing flag (EXTPROC) set on the
//     slave makes every tcsetattr of the client wake the master with TIOCPKT_IOCTL; the
//     settings are then read from the master. An output speed of 0 (B0) is DTR off. A client
//     that clears EXTPROC stops these wake-ups (ExtendedProcessing() turns false); the owner
//     then polls Settings().
//   - close: when the last client closes the slave, the master reads EIO (and polls
//     POLLHUP) until a client opens it again.
// and signals carrier loss the way a serial driver does when DCD drops on a line without
// CLOCAL: every descriptor a client has on the device is hung up (reads give end of file or
// EIO, writes fail). It does that by putting a new pseudo-terminal, set up like the first one,
// at the path, and only then closing the old master, which hangs up the old slave. A client
// that reopens the path the moment it sees the hang-up (mgetty respawned, a script dialling
// again) thus always finds a device that is ready, and keeps its own settings and every byte
// it types. Hanging up the same pseudo-terminal (TIOCVHANGUP) cannot promise that: the hang-up
// resets the slave's settings, which have to be made raw again, and the packets that causes
// dropped, after the client could already have reopened it.
//
// The master is non-blocking and meant for an edge-triggered epoll: read until WouldBlock.
// Not thread-safe: one owner (the modem's loop) uses it.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>

#include "platform/posix/unique_fd.h"

namespace quodem::telephony::modem::emulator {

class PtyDevice {
 public:
  // Creates the pseudo-terminal and the link `link_path` to its slave (replacing a symbolic
  // link already there; anything else at the path is refused). The slave gets `mode` and raw
  // 8-bit settings without CLOCAL, as a serial port has by default. Throws
  // std::runtime_error saying what failed.
  PtyDevice(std::string link_path, mode_t mode);
  ~PtyDevice();  // removes the link (when it is still ours) and closes the master
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  int fd() const { return master_.get(); }  // changes when HangUp had to recreate the device
  const std::string& LinkPath() const { return link_path_; }
  const std::string& SlavePath() const { return slave_path_; }

  struct ReadResult {
    enum class Kind { kData, kSettingsChanged, kClientGone, kWouldBlock, kFailed };
    Kind kind = Kind::kWouldBlock;
    std::string data;
  };
  // One read of at most `max` bytes from the client.
  ReadResult Read(std::size_t max);
  // Writes what the master takes now; the count (0 when full), or -1 when no client has the
  // device open (nothing is written then).
  long Write(std::string_view bytes);

  // The slave's settings as the client left them.
  termios Settings() const;
  bool ExtendedProcessing() const;
  // A client has the device open (the master does not poll POLLHUP).
  bool ClientPresent() const;
  // Bytes written to the client that it has not read yet (0 when that cannot be told).
  std::size_t UnreadByClient() const;
  // Drops what was written to the client and not read (it closed the device, say).
  void DiscardOutput();

  // Carrier loss: a new device takes the path (fd() and SlavePath() change), then the old one
  // is hung up. Throws std::runtime_error when no new device can be made; the old one is then
  // still in place and its client not hung up.
  void HangUp();

 private:
  // A new pseudo-terminal, set up, linked at the path; then the old master (if any) closes.
  void Open();

  std::string link_path_;
  mode_t mode_;
  posix::UniqueFd master_;
  std::string slave_path_;
};

}  // namespace quodem::telephony::modem::emulator
