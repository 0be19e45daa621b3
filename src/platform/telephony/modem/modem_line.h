// An open modem line: the serial device and its lock files, the modem's command state, and the
// one call on it. Everything the modem does is here; ModemCall only forwards.
//
// The modem, from the line's side:
//   initialising  the init commands go out one by one, each must answer OK, then
//                 "ATV1S0=<0|1>S7=<connect_timeout>"; a dial made meanwhile waits for them.
//                 A failure ends the line (LINE_CLOSE; the reply is in ServiceProblem()) and
//                 fails a call waiting for it (disconnected, unavailable).
//   ready         command state, on hook. RING offers a call (answer = manual; caller-ID lines
//                 give its number), an unprompted CONNECT offers a call the modem has answered
//                 already (answer = auto). Only lines opened with owner privilege are offered
//                 calls.
//   dialing       ATD sent: dialing, then proceeding once it has gone out; RINGING/RRING is
//                 ringback; CONNECT connects; BUSY, NO ANSWER, NO CARRIER, NO DIALTONE, ERROR,
//                 VOICE, DELAYED, BLACKLISTED end the call with their reason. Without a final
//                 reply by S7 plus command_timeout a CR aborts the dial (unknown).
//   offered       the call waits for lineAnswer; a caller whose RINGs stop for 8 s has given
//                 up (disconnected).
//   answering     ATA sent, until CONNECT (or a failure, as for a dial).
//   connected     the device carries data: the call's port (lineGetIDA) reads and writes it,
//                 CLOCAL is off, DCD is polled every 200 ms where the device has modem-control
//                 lines; the end of the device, a DCD drop, or (carrier = inband) the text
//                 CR LF NO CARRIER CR LF in the data is carrier loss: disconnected (normal),
//                 reported once every byte before it has been read.
//   hanging up    lineDrop: what was written drains from the device first; then DTR low for a
//                 second (longer, up to command_timeout, until DCD goes low on a device with
//                 modem-control lines; a device without them takes speed 0 as the drop, which
//                 nothing can confirm), or guard, +++, guard, ATH0; then idle, CLOCAL on again.
//                 A device that ends meanwhile has hung up.
// A device that ended (a pseudo-terminal hung up, a USB modem unplugged) is closed; a line
// still open for calls opens it again after the call.
//
// Threading: service lock held for everything (provider rules); port observers post to the
// loop.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/telephony/event_loop.h"
#include "platform/telephony/modem/at_channel.h"
#include "platform/telephony/modem/modem_call.h"
#include "platform/telephony/modem/modem_settings.h"
#include "platform/telephony/modem/serial_port.h"
#include "platform/telephony/modem/uucp_lock.h"
#include "platform/telephony/provider.h"
#include "quodem/platform/posix/descriptor_port.h"

namespace quodem::telephony::modem {

// The device as a line holds it: open, set up and locked. What a waiting line parks between
// two calls, and takes back.
struct HeldDevice {
  SerialPort port;
  UucpLock lock;
  bool initialised = false;  // the init commands have run and the modem is on hook
};

class ModemLine : public ProviderLine {
 public:
  ModemLine(ProviderContext& context, LineEvents* events, ModemSettings settings, bool owner,
            HeldDevice device);
  ~ModemLine() override;  // parks a healthy device of a waiting line, else closes it

  // The open line of this process that holds `device` (null when none).
  static ModemLine* HeldBy(const std::string& device);
  // The device a waiting line of this process parked when it closed (its owner now).
  static std::optional<HeldDevice> TakeParked(EventLoop& loop, const std::string& device);
  static bool IsParked(const std::string& device);

  bool Holds(const std::string& name) const override { return name == settings_.device; }
  AddressHold HoldsAddress(std::string* why) const override;
  std::unique_ptr<ProviderCall> MakeCall(const std::string& destination, LONG* error) override;

  // From ModemCall.
  void StartDial(ModemCall& call);
  void Answer(ModemCall& call, Completion done);
  void Drop(ModemCall& call, Completion done);
  HANDLE OpenPort(ModemCall& call);
  void CallGone(ModemCall* call);

  // From the ports handed out for connection number `connection` (through the loop).
  void PortSawEnd(std::uint64_t connection);
  void PortGone(std::uint64_t connection);
  // The output the connection's ports had accepted has gone to the device (or was given up).
  void PortOutputDrained(std::uint64_t connection);

  // For ListLines: the rate of the connected call (0 when none) and the caller's number.
  unsigned Rate() const { return state_ == State::kConnected ? rate_ : 0; }
  // The same for `call`, when it is this line's call.
  unsigned RateOf(const ModemCall& call) const { return &call == call_ ? Rate() : 0; }
  const std::string& CallerNumber() const { return caller_number_; }

 private:
  enum class State {
    kInitialising,
    kReady,
    kDialing,
    kOffered,
    kAnswering,
    kConnected,
    kCarrierLost,
    kHangingUp,
    kBroken,
  };
  class PortWatcher;

  void Begin(bool initialised);
  void StartChannel();
  void SendInit(std::size_t part);
  void Ready();
  void Fail(const std::string& reason);
  void SendDial();
  void OnCallResult(const CommandResult& result);
  void Abort();
  void EndCall(DWORD mode);
  void FinishCall(Completion done);
  void EnterConnected(const Reply& connect);
  void CarrierLost();
  void PollCarrier();
  void OnUnsolicited(const Reply& reply);
  void OnEnded(const std::string& why);
  void OfferIncoming(const Reply* connect);
  void ArmRingGap();
  bool HasLivePort();

  // Hanging up.
  void HangUp(bool online, Completion done);
  void AwaitDrained(std::size_t last_queued, int quiet_polls);
  void DropDtr();
  void CheckHangupConfirmed();
  void RaiseDtr();
  void Escape();
  void FinishHangup();

  void CloseDevice();
  void ScheduleReopen(int attempt);
  void Reopen(int attempt);
  bool OpenDeviceAgain(std::string* reason);
  std::string Explain(const CommandResult& result) const;
  void CancelTimers();

  ProviderContext& context_;
  LineEvents* events_;
  const ModemSettings settings_;
  const bool owner_;
  std::optional<SerialPort> port_;  // empty once the device has ended (until opened again)
  std::optional<UucpLock> lock_;    // held while the line is open
  bool initialised_ = false;        // the init commands have run on this opening of the device
  bool has_lines_ = false;          // the device has modem-control lines
  std::unique_ptr<AtChannel> channel_;
  std::shared_ptr<LineAnchor> anchor_;
  State state_ = State::kInitialising;
  std::string broken_;  // why the line cannot be used

  ModemCall* call_ = nullptr;  // the call on the line (not idle yet)
  bool dial_waiting_ = false;  // the call's dial waits for the init
  bool dropping_ = false;      // lineDrop came while a dial or answer was out
  Completion drop_done_;
  bool auto_answered_ = false;    // the offered call is connected already (answer = auto)
  Reply connect_reply_;           // its CONNECT
  bool ringback_ = false;         // reported for this dial
  std::uint64_t connection_ = 0;  // counts connections: a late port event names its own
  unsigned rate_ = 0;
  std::string protocol_;
  std::string caller_number_;
  bool ignore_rings_ = false;  // the ringing call was refused: RINGs of it offer nothing
  std::string data_after_connect_;
  std::vector<std::weak_ptr<PortWatcher>> ports_;
  // The output the connection's ports accepted and have not handed to the device yet: it goes
  // out before the hang-up (a new watch for every connection).
  std::shared_ptr<posix::OutputWatch> port_output_;
  bool awaiting_port_output_ = false;  // a hang-up waits for it

  // Hang-up in progress.
  bool hangup_online_ = false;
  bool hangup_confirmed_ = false;
  bool dtr_low_ = false;
  std::chrono::steady_clock::time_point dtr_dropped_at_;
  std::chrono::steady_clock::time_point hangup_deadline_;
  Completion hangup_done_;

  EventLoop::Token ring_timer_ = 0;
  EventLoop::Token carrier_timer_ = 0;  // DCD poll while connected
  EventLoop::Token carrier_grace_ = 0;  // DCD low with a port still reading
  EventLoop::Token hangup_timer_ = 0;
  EventLoop::Token reopen_timer_ = 0;
  bool dcd_seen_ = false;
};

}  // namespace quodem::telephony::modem
