// Creating ports on POSIX descriptors. A port wraps one file descriptor (a socket, a
// pseudo-terminal or a terminal device) for the overlapped use described in
// platform/system.h. This is the only part of the system-services interface that is
// POSIX-specific: the line providers create ports here and hand their handles out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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

// Counts the ports of one connection that hold output they accepted and have not yet handed
// to the descriptor, so that whoever hangs the connection up can let that output go first: a
// shutdown() of the socket would make the rest undeliverable. Shared by the ports created with
// it (PortOptions::output_watch).
class OutputWatch {
 public:
  // Returns false, and drops `then`, when no port counted here holds output now. Otherwise
  // keeps `then` (replacing one kept before) and calls it once, when the last such port has
  // handed every byte over, has given the rest up (the descriptor failed; or, after its
  // handle was closed, nothing moved for a few seconds) or is gone. It runs on that port's
  // thread (a writer, a closer of the handle, or the I/O engine) with no port lock held: keep
  // it short and never block in it.
  bool CallWhenDrained(std::function<void()> then);

  // Used by the ports (under their own lock; this lock is taken inside it). Remove returns
  // the kept `then` when the count falls to 0, for the port to call once it has unlocked.
  void Add();
  std::function<void()> Remove();

 private:
  std::mutex lock_;
  std::size_t holding_ = 0;
  std::function<void()> then_;
};

struct PortOptions {
  // Fault injection for tests: once this many bytes in total have been read from the port,
  // the port shuts the descriptor down in both directions, as a dropped carrier would.
  std::uint64_t drop_after_bytes_read = UINT64_MAX;
  // Paces what the port sends to this many bytes a second, as a line of that speed would
  // carry them (0: as fast as the descriptor takes them). The transmit queue is then about
  // half a second of line time, so writes, and the progress a sender reports after each,
  // keep pace with the line.
  std::uint32_t bytes_per_second = 0;
  // Told whenever the port starts or stops holding accepted output.
  std::shared_ptr<OutputWatch> output_watch;
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
