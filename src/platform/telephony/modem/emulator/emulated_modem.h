// One emulated modem: its pseudo-terminal, its command interpreter and its line on the
// telephony service, joined by a loop on a thread of its own. The loop sleeps in epoll on the
// pseudo-terminal's master (edge-triggered) and an eventfd that the telephony callback and
// the call's pump threads poke; its time-out is the next deadline of the interpreter, of the
// pacing, or of the two polls below, never a fixed tick.
//
// Polls, both short and bounded: the DTE's settings every 50 ms only while a client has
// cleared EXTPROC (no wake-ups for its settings then), and, after the far end hung up, the
// client's unread input every 20 ms while it goes down (giving up when it stalls for 5 s), so
// the data that came before the hang-up is read before the device is hung up.
//
// Carrier loss (the far end hung up a connected call): the data that came first goes to the
// DTE; then, when the client has CLOCAL clear (it asked to be told of carrier loss, as
// C-Kermit, mgetty and pppd do while a call is up), the device is hung up (a new one, ready,
// takes the path first: see PtyDevice) and no text is sent; with CLOCAL set the modem reports
// NO CARRIER as a real modem on a port that ignores carrier would.
//
// --speed: the reported rate, and each direction paced to rate/10 bytes per second while
// online. Without it the CONNECT rate is the DTE's speed and nothing is paced.
//
// Threads: construction, Start and the destructor on the owner's thread; everything else
// on the loop thread. The log sink is called on the loop thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/posix/unique_fd.h"
#include "platform/telephony/modem/emulator/call_line.h"
#include "platform/telephony/modem/emulator/command_interpreter.h"
#include "platform/telephony/modem/emulator/pty_device.h"

namespace quodem::telephony::modem::emulator {

struct ModemOptions {
  std::string number;
  std::string path;     // the link to the pseudo-terminal
  unsigned speed = 0;   // bits per second; 0: report the DTE's speed, pace nothing
  mode_t mode = 0600;   // of the pseudo-terminal
  bool strict = false;  // unknown commands answer ERROR
  DWORD exchange_device = 0;
  DWORD tcp_device = 0;
  std::function<void(const std::string&)> log;  // one line per event; may be empty
};

class EmulatedModem {
 public:
  // Makes the device and takes the number. Throws std::runtime_error saying what failed.
  explicit EmulatedModem(ModemOptions options);
  ~EmulatedModem();  // stops the loop, hangs up, removes the device
  EmulatedModem(const EmulatedModem&) = delete;
  EmulatedModem& operator=(const EmulatedModem&) = delete;

  void Start();
  const std::string& SlavePath() const { return pty_.SlavePath(); }

 private:
  void Run();
  void Wake();
  void Step(Clock::time_point now);
  void HandleLineEvents(Clock::time_point now);
  void ReadFromDte(Clock::time_point now);
  void MoveFromLine();
  void WriteToDte();
  void FinishCarrierLoss(Clock::time_point now);
  void CheckSettings(Clock::time_point now);
  void ClientGone(Clock::time_point now);
  void ApplyDtrDrop(Clock::time_point now);
  void Apply(const Effects& effects);
  void Refill(Clock::time_point now);
  unsigned ConnectRate() const;
  std::optional<Clock::time_point> NextWake(Clock::time_point now) const;
  void Watch();  // (re)registers the master with epoll
  void Log(const std::string& text);

  ModemOptions options_;
  PtyDevice pty_;
  CommandInterpreter interpreter_;
  CallLine calls_;
  posix::UniqueFd epoll_;
  posix::UniqueFd wake_fd_;
  std::atomic<bool> stopping_{false};
  std::thread loop_;

  // Loop thread only.
  bool readable_ = true;
  bool writable_ = true;
  bool client_ = false;  // a client has the device open
  bool dtr_ = false;
  // A DTR drop seen while online, applied once the data the DTE wrote before it is read (or
  // at this time, when the far end holds that data back).
  std::optional<Clock::time_point> dtr_drop_due_;
  unsigned dte_rate_ = 38400;
  std::string to_dte_;
  bool carrier_lost_ = false;
  Clock::time_point carrier_deadline_{};
  std::size_t carrier_pending_ = 0;                 // bytes not yet with the DTE when last looked
  std::optional<Clock::time_point> drained_since_;  // nothing left for the DTE since
  double up_budget_ = 0;                            // bytes the DTE may still send now (paced)
  double down_budget_ = 0;                          // bytes the DTE may still get now (paced)
  Clock::time_point refilled_{};
  std::optional<Clock::time_point> settings_poll_;
  bool starved_ = false;  // paced work waits for budget
};

}  // namespace quodem::telephony::modem::emulator
