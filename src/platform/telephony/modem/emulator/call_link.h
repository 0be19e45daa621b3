// The data path of a connected call: the port the telephony service handed out for it
// (lineGetIDA "comm/datamodem"), pumped by two threads of its own so that the modem's loop
// never waits on it. The reader moves what arrives into a bounded queue the loop takes from;
// the writer sends what the loop queued. Both queues hold at most kQueueLimit bytes, so a
// far end that sends faster than the DTE reads (or the reverse) is held back by the kernel's
// flow control instead of filling memory.
//
// `wake` is called from the pump threads whenever the loop has something to do: bytes
// arrived, room was made, or the port failed or reached its end. It must be thread-safe and
// must not block. Everything else is called from the loop's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "quodem/platform/system.h"

namespace quodem::telephony::modem::emulator {

class CallLink {
 public:
  static constexpr std::size_t kQueueLimit = 64 * 1024;

  // Takes ownership of `port`.
  CallLink(HANDLE port, std::function<void()> wake);
  ~CallLink();  // Close()
  CallLink(const CallLink&) = delete;
  CallLink& operator=(const CallLink&) = delete;

  // Room in the queue towards the far end.
  std::size_t SendRoom() const;
  // Queues bytes for the far end (the caller keeps within SendRoom; more is kept too).
  void Send(std::string_view bytes);
  // Bytes for the far end not yet handed to the port.
  std::size_t Unsent() const;
  // Takes up to `max` bytes that came from the far end.
  std::string Receive(std::size_t max);
  std::size_t Received() const;
  // Waits until every byte queued for the far end has been handed to the port (or the far
  // end is gone), at most `limit`. True when nothing is left unsent.
  bool Flush(std::chrono::milliseconds limit);
  // Closes the port (ending what the pump threads wait for) and joins them. What had been
  // read from the port stays to be taken with Receive.
  void Close();

 private:
  void ReadLoop();
  void WriteLoop();

  HANDLE port_;
  std::function<void()> wake_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::string incoming_;  // from the far end
  std::string outgoing_;  // to the far end
  bool closing_ = false;
  std::thread reader_;
  std::thread writer_;
};

}  // namespace quodem::telephony::modem::emulator
