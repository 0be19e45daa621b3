// Creating ports on POSIX descriptors. A port wraps one file descriptor (a socket, a
// pseudo-terminal or a terminal device) for the overlapped use described in
// platform/system.h. This is the only part of the system-services interface that is
// POSIX-specific: the line providers create ports here and hand their handles out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quodem/platform/system.h"

namespace quodem::posix {

// Told about what happens on a port by whoever created it (a line provider). Callbacks run
// on whichever thread noticed the event (a reader's thread, a caller of EscapeCommFunction,
// or the I/O engine), never with a port lock held; keep them short and never block in them.
// They may be called after the port's handle was closed, until the port itself is gone.
class PortObserver {
 public:
  virtual ~PortObserver() = default;
  // The peer has hung up and every byte it sent has been read from this port. Called once.
  virtual void OnPeerHangup() {}
  // EscapeCommFunction(SETDTR/CLRDTR) was called on the port (`raised` true for SETDTR).
  virtual void OnDtrChanged(bool raised) { (void)raised; }
};

struct PortOptions {
  // Fault injection for tests: once this many bytes in total have been read from the port,
  // the port shuts the descriptor down in both directions, as a dropped carrier would.
  std::uint64_t drop_after_bytes_read = UINT64_MAX;
  // Bytes taken from the descriptor before the port existed (what a modem sent right after
  // its CONNECT line, read together with it). Reads get them before anything else.
  std::string initial_input;
  // When the incoming bytes contain exactly this text, the stream ends there: reads get the
  // bytes before it, the text and whatever follows it are not read, and the peer's hang-up
  // is reported. For a modem that tells carrier loss only in band ("\r\nNO CARRIER\r\n").
  // Bytes of the text that a read had already returned before the rest came stay returned.
  std::string end_of_stream_text;
  // The device's modem-control lines and output queue belong to whoever created the port
  // (a line provider that hangs up with its own sequence): EscapeCommFunction only records
  // the request and tells the observer, and PurgeComm ends pending transfers and drops
  // input without discarding what earlier writes handed to the device.
  bool lines_owned_by_creator = false;
};

// Wraps `fd` in a new port and returns its handle (0 on failure, with the last error set;
// the descriptor is closed then). The port takes ownership of `fd`: it sets O_NONBLOCK and
// closes the descriptor when the last user of the port is gone after CloseHandle.
HANDLE CreatePortFromDescriptor(int fd, std::shared_ptr<PortObserver> observer = nullptr,
                                PortOptions options = {});

// Opens a terminal device (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, a pty slave) as a port,
// without becoming its controlling terminal. Line settings are left as they are. Returns 0
// on failure with the last error set.
HANDLE OpenSerialPort(const std::string& path);

}  // namespace quodem::posix
