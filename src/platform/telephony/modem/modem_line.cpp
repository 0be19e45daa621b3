#include "platform/telephony/modem/modem_line.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

#include "platform/telephony/parking.h"
#include "quodem/platform/posix/descriptor_port.h"

namespace quodem::telephony::modem {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A caller rings every few seconds (6 s is usual); a gap this long means it gave up.
constexpr auto kRingGap = std::chrono::seconds(8);
constexpr auto kCarrierPoll = milliseconds(200);
// DCD low while a port still reads: the driver's hang-up normally ends the port's stream at
// once; if it does not, the loss is reported after this.
constexpr auto kCarrierGrace = std::chrono::seconds(2);
constexpr auto kDtrLow = std::chrono::seconds(1);
constexpr auto kDrainPoll = milliseconds(50);
constexpr auto kConfirmPoll = milliseconds(200);
// A device that ended is opened again after this (a pseudo-terminal that an emulator
// re-creates needs a moment), a few times at most.
constexpr auto kReopenDelay = std::chrono::seconds(1);
constexpr int kReopenAttempts = 5;
constexpr std::size_t kMaxCallerNumber = 64;
const char kNoCarrierText[] = "\r\nNO CARRIER\r\n";

// Devices held by open lines of this process (service lock held).
std::map<std::string, ModemLine*>& HeldLines() {
  static auto* held = new std::map<std::string, ModemLine*>;
  return *held;
}

std::string ParkingKey(const std::string& device) {
  return "modem:" + device;
}

class ParkedDevice : public ParkedAddress {
 public:
  explicit ParkedDevice(HeldDevice device) : device(std::move(device)) {}
  HeldDevice device;  // closed and unlocked as it goes
};

std::string Seconds(milliseconds duration) {
  return std::to_string((duration.count() + 999) / 1000) + " s";
}

}  // namespace

// Observes one port handed out for a connection. Runs on whatever thread the port layer
// uses, so it only posts to the loop; the task finds the line through the anchor and checks
// that the connection is still the one the port was for.
class ModemLine::PortWatcher : public posix::PortObserver {
 public:
  PortWatcher(EventLoop& loop, std::shared_ptr<LineAnchor> anchor, std::uint64_t connection)
      : loop_(loop), anchor_(std::move(anchor)), connection_(connection) {}
  ~PortWatcher() override {
    loop_.Post([anchor = anchor_, connection = connection_] {
      if (anchor->line != nullptr) anchor->line->PortGone(connection);
    });
  }
  void OnPeerHangup() override {
    loop_.Post([anchor = anchor_, connection = connection_] {
      if (anchor->line != nullptr) anchor->line->PortSawEnd(connection);
    });
  }

 private:
  EventLoop& loop_;
  std::shared_ptr<LineAnchor> anchor_;
  const std::uint64_t connection_;
};

ModemLine* ModemLine::HeldBy(const std::string& device) {
  auto it = HeldLines().find(device);
  return it == HeldLines().end() ? nullptr : it->second;
}

std::optional<HeldDevice> ModemLine::TakeParked(EventLoop& loop, const std::string& device) {
  std::unique_ptr<ParkedAddress> parked = TakeParkedAddress(loop, ParkingKey(device));
  if (!parked) return std::nullopt;
  return std::move(static_cast<ParkedDevice&>(*parked).device);
}

bool ModemLine::IsParked(const std::string& device) {
  return IsAddressParked(ParkingKey(device));
}

ModemLine::ModemLine(ProviderContext& context, LineEvents* events, ModemSettings settings,
                     bool owner, HeldDevice device)
    : context_(context),
      events_(events),
      settings_(std::move(settings)),
      owner_(owner),
      port_(std::move(device.port)),
      lock_(std::move(device.lock)),
      anchor_(std::make_shared<LineAnchor>()) {
  anchor_->line = this;
  HeldLines()[settings_.device] = this;
  Begin(device.initialised);
}

ModemLine::~ModemLine() {
  anchor_->line = nullptr;
  CancelTimers();
  if (HeldBy(settings_.device) == this) HeldLines().erase(settings_.device);
  const bool healthy = port_ && lock_ && initialised_ && state_ == State::kReady &&
                       call_ == nullptr && channel_ && channel_->Idle();
  channel_.reset();
  if (healthy && owner_) {
    // A line that waited for calls keeps its device for a moment, for this process to open
    // the line again without another program taking the device in between.
    ParkAddress(
        context_.loop, ParkingKey(settings_.device),
        std::make_unique<ParkedDevice>(HeldDevice{std::move(*port_), std::move(*lock_), true}));
    return;
  }
  // Closing the device drops DTR, which hangs up a call still up. A real port would first
  // drain its output, for as long as flow control holds it: dropped, so the close is quick.
  if (port_ && has_lines_ && state_ != State::kReady) port_->Flush();
}

void ModemLine::CancelTimers() {
  for (EventLoop::Token* timer :
       {&ring_timer_, &carrier_timer_, &carrier_grace_, &hangup_timer_, &reopen_timer_}) {
    context_.loop.CancelTimer(*timer);
    *timer = 0;
  }
}

// ---- opening and the init commands ----

void ModemLine::Begin(bool initialised) {
  has_lines_ = port_->HasModemLines();
  port_->SetLocal(true);  // command state: carrier is no business of the driver's
  AtChannel::Handlers handlers;
  handlers.unsolicited = [this](const Reply& reply) { OnUnsolicited(reply); };
  handlers.ended = [this](const std::string& why) { OnEnded(why); };
  channel_ = std::make_unique<AtChannel>(context_.loop, port_->fd(), handlers);
  channel_->Start();
  initialised_ = initialised;
  if (initialised) {
    Ready();
    return;
  }
  state_ = State::kInitialising;
  SendInit(0);
}

void ModemLine::SendInit(std::size_t part) {
  std::vector<std::string> commands = settings_.init;
  // Always verbose results (the replies are parsed as text), and the answer mode and the
  // carrier wait the line is configured with.
  commands.push_back("ATV1S0=" + std::string(settings_.answer == AnswerMode::kAuto ? "1" : "0") +
                     "S7=" + std::to_string(settings_.connect_timeout_s));
  if (part == commands.size()) {
    initialised_ = true;
    Ready();
    return;
  }
  channel_->Send(
      commands[part], true, settings_.command_timeout, [this, part](const CommandResult& result) {
        if (result.kind == CommandResult::Kind::kFinal && result.final.kind == ReplyKind::kOk) {
          SendInit(part + 1);
        } else {
          Fail("the modem on " + settings_.device + " " + Explain(result));
        }
      });
}

void ModemLine::Ready() {
  state_ = State::kReady;
  if (dial_waiting_ && call_ != nullptr) {
    dial_waiting_ = false;
    SendDial();
  }
}

void ModemLine::Fail(const std::string& reason) {
  broken_ = reason;
  state_ = State::kBroken;
  context_.report_problem(reason);
  if (call_ != nullptr) {
    dial_waiting_ = false;
    call_->State(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
  }
  events_->LineLost();
}

std::string ModemLine::Explain(const CommandResult& result) const {
  switch (result.kind) {
    case CommandResult::Kind::kFinal: {
      std::string reply = ReplyKindName(result.final.kind);
      if (!result.final.detail.empty()) reply += " " + result.final.detail;
      return "answered \"" + reply + "\" to " + result.text;
    }
    case CommandResult::Kind::kTimedOut:
      return "did not answer " + result.text + " within " + Seconds(settings_.command_timeout);
    case CommandResult::Kind::kEnded:
      break;
  }
  return "ended while " + result.text + " was sent";
}

ProviderLine::AddressHold ModemLine::HoldsAddress(std::string* why) const {
  if (!owner_) {
    *why = "line for " + settings_.device + " was opened for outgoing calls only";
    return AddressHold::kNotHeld;
  }
  if (state_ == State::kBroken) {
    *why = broken_;
    return AddressHold::kNotHeld;
  }
  return AddressHold::kHeld;
}

// ---- outgoing calls ----

std::unique_ptr<ProviderCall> ModemLine::MakeCall(const std::string& destination, LONG* error) {
  std::string number = ModemDialString(destination);
  if (number.empty()) {
    *error = LINEERR_INVALADDRESS;
    return nullptr;
  }
  if (call_ != nullptr) {
    *error = LINEERR_CALLUNAVAIL;
    return nullptr;
  }
  std::string reason = broken_;
  if (!port_ && state_ != State::kBroken) OpenDeviceAgain(&reason);
  if (state_ == State::kBroken || !port_) {
    context_.report_problem(reason);
    *error = LINEERR_RESOURCEUNAVAIL;
    return nullptr;
  }
  auto call = std::make_unique<ModemCall>(anchor_, settings_.device, number, false);
  call_ = call.get();
  return call;
}

void ModemLine::StartDial(ModemCall& call) {
  if (&call != call_) {
    call.State(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
    return;
  }
  call.State(LINECALLSTATE_DIALING);
  if (state_ == State::kInitialising) {
    dial_waiting_ = true;  // dialled once the modem has taken its init
  } else if (state_ == State::kReady) {
    SendDial();
  } else {
    EndCall(LINEDISCONNECTMODE_UNAVAIL);
  }
}

void ModemLine::SendDial() {
  state_ = State::kDialing;
  rate_ = 0;
  protocol_.clear();
  ringback_ = false;
  // The modem gives up by itself after S7; this only catches a modem that never answers.
  const milliseconds timeout =
      std::chrono::seconds(settings_.connect_timeout_s) + settings_.command_timeout;
  channel_->Send(
      settings_.DialCommand(call_->number()), true, timeout,
      [this](const CommandResult& result) { OnCallResult(result); },
      [this] {
        if (state_ == State::kDialing && call_ != nullptr && !dropping_) {
          call_->State(LINECALLSTATE_PROCEEDING);
        }
      });
}

void ModemLine::OnCallResult(const CommandResult& result) {
  const bool connect =
      result.kind == CommandResult::Kind::kFinal && result.final.kind == ReplyKind::kConnect;
  if (dropping_) {
    // lineDrop came while the dial or answer was out, and aborted it.
    dropping_ = false;
    context_.loop.CancelTimer(hangup_timer_);
    hangup_timer_ = 0;
    Completion done = std::move(drop_done_);
    if (connect) {
      HangUp(true, std::move(done));  // it connected all the same
      return;
    }
    state_ = State::kReady;
    FinishCall(std::move(done));
    return;
  }
  if (result.kind == CommandResult::Kind::kEnded) {
    EndCall(LINEDISCONNECTMODE_UNAVAIL);
    return;
  }
  if (result.kind == CommandResult::Kind::kTimedOut) {
    Abort();
    EndCall(LINEDISCONNECTMODE_UNKNOWN);
    return;
  }
  switch (result.final.kind) {
    case ReplyKind::kConnect:
      EnterConnected(result.final);
      return;
    case ReplyKind::kBusy:
      call_->State(LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
      EndCall(LINEDISCONNECTMODE_BUSY);
      return;
    case ReplyKind::kNoAnswer:
    case ReplyKind::kNoCarrier:
      EndCall(LINEDISCONNECTMODE_NOANSWER);
      return;
    case ReplyKind::kNoDialtone:
      EndCall(LINEDISCONNECTMODE_NODIALTONE);
      return;
    case ReplyKind::kError:
      // The modem refused the dial command: what was dialled is no number it can dial.
      EndCall(state_ == State::kDialing ? LINEDISCONNECTMODE_BADADDRESS
                                        : LINEDISCONNECTMODE_UNKNOWN);
      return;
    case ReplyKind::kVoice:
      EndCall(LINEDISCONNECTMODE_INCOMPATIBLE);
      return;
    case ReplyKind::kDelayed:
    case ReplyKind::kBlacklisted:
      EndCall(LINEDISCONNECTMODE_BLOCKED);
      return;
    default:  // OK (a dial string ending in ';'): no data call
      EndCall(LINEDISCONNECTMODE_UNKNOWN);
      return;
  }
}

void ModemLine::Abort() {
  // Any character ends a dial; the modem answers NO CARRIER (or OK), which this takes, so
  // that the reply cannot be taken for the answer to a later command.
  channel_->Send("", true, settings_.command_timeout, [](const CommandResult&) {});
}

void ModemLine::EndCall(DWORD mode) {
  state_ = State::kReady;
  if (call_ != nullptr) call_->State(LINECALLSTATE_DISCONNECTED, mode);
}

// ---- incoming calls ----

void ModemLine::OnUnsolicited(const Reply& reply) {
  switch (reply.kind) {
    case ReplyKind::kRing:
      if (state_ == State::kReady && call_ == nullptr && !ignore_rings_ &&
          settings_.answer == AnswerMode::kManual) {
        OfferIncoming(nullptr);
      }
      ArmRingGap();
      return;
    case ReplyKind::kCallerId:
      if (reply.field == "NMBR" && reply.detail.size() <= kMaxCallerNumber) {
        caller_number_ = reply.detail;
      }
      return;
    case ReplyKind::kRinging:
      if (state_ == State::kDialing && call_ != nullptr && !ringback_ && !dropping_) {
        ringback_ = true;
        call_->State(LINECALLSTATE_RINGBACK);
      }
      return;
    case ReplyKind::kProtocol:
    case ReplyKind::kCompression:
      if (protocol_.size() < 128) protocol_ += (protocol_.empty() ? "" : " ") + reply.detail;
      return;
    case ReplyKind::kConnect:
      if (state_ == State::kReady && call_ == nullptr) {
        OfferIncoming(&reply);  // the modem answered by itself (S0)
      } else {
        channel_->Start();  // nothing to connect: read on
      }
      return;
    case ReplyKind::kNoCarrier:
    case ReplyKind::kOk:
      if (state_ == State::kHangingUp) {
        hangup_confirmed_ = true;
        CheckHangupConfirmed();
      }
      return;
    default:
      return;
  }
}

void ModemLine::OfferIncoming(const Reply* connect) {
  const bool connected = connect != nullptr;
  if (owner_ && call_ == nullptr) {
    auto call = std::make_unique<ModemCall>(anchor_, settings_.device, "", true);
    call_ = call.get();
    // A refused call is destroyed at once, which clears call_.
    if (events_->OfferCall(std::move(call))) {
      state_ = State::kOffered;
      auto_answered_ = connected;
      if (connected) {
        connect_reply_ = *connect;
        data_after_connect_ = channel_->TakeDataAfterConnect();
      }
      return;
    }
  }
  // Nobody takes the call: a modem that answered it hangs up again.
  if (connected) HangUp(true, nullptr);
}

void ModemLine::ArmRingGap() {
  context_.loop.CancelTimer(ring_timer_);
  ring_timer_ = context_.loop.StartTimer(kRingGap, [this] {
    ring_timer_ = 0;
    ignore_rings_ = false;
    if (state_ == State::kOffered && !auto_answered_) {
      EndCall(LINEDISCONNECTMODE_NORMAL);  // the caller gave up
    }
    if (call_ == nullptr) caller_number_.clear();
  });
}

void ModemLine::Answer(ModemCall& call, Completion done) {
  if (&call != call_ || state_ != State::kOffered) {
    done(LINEERR_INVALCALLSTATE);
    return;
  }
  context_.loop.CancelTimer(ring_timer_);
  ring_timer_ = 0;
  if (auto_answered_) {
    done(0);
    EnterConnected(connect_reply_);
    return;
  }
  state_ = State::kAnswering;
  channel_->Send("ATA", true,
                 std::chrono::seconds(settings_.connect_timeout_s) + settings_.command_timeout,
                 [this](const CommandResult& result) { OnCallResult(result); });
  done(0);
}

// ---- connected ----

void ModemLine::EnterConnected(const Reply& connect) {
  state_ = State::kConnected;
  ++connection_;
  rate_ = connect.rate.value_or(0);
  if (!connect.detail.empty()) protocol_ = connect.detail;
  data_after_connect_ += channel_->TakeDataAfterConnect();
  // The driver reports carrier loss (a real port hangs up on a DCD drop) while online.
  port_->SetLocal(false);
  dcd_seen_ = false;
  channel_->WatchForEnd();  // until a port reads the device
  if (has_lines_) {
    carrier_timer_ = context_.loop.StartTimer(kCarrierPoll, [this] {
      carrier_timer_ = 0;
      PollCarrier();
    });
  }
  call_->State(LINECALLSTATE_CONNECTED);
}

HANDLE ModemLine::OpenPort(ModemCall& call) {
  if (&call != call_ || state_ != State::kConnected || !port_) return 0;
  int fd = port_->Duplicate();
  if (fd < 0) return 0;
  auto watcher = std::make_shared<PortWatcher>(context_.loop, anchor_, connection_);
  posix::PortOptions options;
  options.initial_input = std::exchange(data_after_connect_, std::string());
  if (settings_.carrier == CarrierMode::kInBand) options.end_of_stream_text = kNoCarrierText;
  options.lines_owned_by_creator = true;
  // A device without modem-control lines (a pseudo-terminal: the emulator, a TCP modem
  // bridged by socat) has no CTS to hold writes to the line's pace, only a kernel buffer of
  // some 20 KB that wakes its writer in lumps. A call that connected below the port's speed
  // is paced to its rate there, so writes, the progress reported after each and the drain
  // before a hang-up keep to what the line carries.
  if (!has_lines_ && rate_ > 0 && rate_ < settings_.serial.baud) {
    options.bytes_per_second = rate_ / 10;
  }
  if (!port_output_) port_output_ = std::make_shared<posix::OutputWatch>();
  options.output_watch = port_output_;
  HANDLE port = posix::CreatePortFromDescriptor(fd, watcher, options);
  if (port == 0) return 0;  // the port layer closed the copy
  ports_.push_back(watcher);
  channel_->Stop();  // the port reports the end of the device, after reading what came first
  return port;
}

bool ModemLine::HasLivePort() {
  std::erase_if(ports_, [](const std::weak_ptr<PortWatcher>& port) { return port.expired(); });
  return !ports_.empty();
}

void ModemLine::PortSawEnd(std::uint64_t connection) {
  if (connection == connection_ && state_ == State::kConnected) CarrierLost();
}

void ModemLine::PortGone(std::uint64_t connection) {
  if (connection == connection_ && state_ == State::kConnected && port_ && !HasLivePort()) {
    channel_->WatchForEnd();
  }
}

void ModemLine::PollCarrier() {
  if (state_ != State::kConnected || !port_) return;
  if (std::optional<ModemLines> lines = port_->ReadModemLines()) {
    if (lines->dcd) {
      dcd_seen_ = true;
    } else if (dcd_seen_) {
      if (!HasLivePort()) {
        CarrierLost();
        return;
      }
      if (carrier_grace_ == 0) {
        carrier_grace_ = context_.loop.StartTimer(kCarrierGrace, [this] {
          carrier_grace_ = 0;
          CarrierLost();
        });
      }
    }
  }
  carrier_timer_ = context_.loop.StartTimer(kCarrierPoll, [this] {
    carrier_timer_ = 0;
    PollCarrier();
  });
}

void ModemLine::CarrierLost() {
  if (state_ != State::kConnected) return;
  state_ = State::kCarrierLost;
  context_.loop.CancelTimer(carrier_timer_);
  context_.loop.CancelTimer(carrier_grace_);
  carrier_timer_ = carrier_grace_ = 0;
  // A device that hung up (a pseudo-terminal, a port whose driver saw DCD drop) is useless
  // now; one that said NO CARRIER in band is back in command state.
  if (port_ && TerminalHungUp(port_->fd())) CloseDevice();
  call_->State(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
}

void ModemLine::OnEnded(const std::string& why) {
  (void)why;
  const State state = state_;
  CloseDevice();
  switch (state) {
    case State::kConnected:
      CarrierLost();
      return;
    case State::kDialing:
    case State::kAnswering:
      if (!dropping_) EndCall(LINEDISCONNECTMODE_UNAVAIL);
      return;
    case State::kOffered:
      EndCall(LINEDISCONNECTMODE_NORMAL);
      return;
    case State::kHangingUp:
      FinishHangup();  // a device that ended has hung up for sure
      return;
    case State::kInitialising:
      Fail("the modem device " + settings_.device + " ended during its init (" + why + ")");
      return;
    case State::kReady:
      if (call_ == nullptr) ScheduleReopen(0);
      return;
    default:
      return;
  }
}

// ---- hanging up ----

void ModemLine::Drop(ModemCall& call, Completion done) {
  if (&call != call_) {
    call.State(LINECALLSTATE_IDLE);
    done(0);
    return;
  }
  context_.loop.CancelTimer(ring_timer_);
  ring_timer_ = 0;
  dial_waiting_ = false;
  switch (state_) {
    case State::kDialing:
    case State::kAnswering:
      if (dropping_) {
        done(0);  // a drop is under way already
        return;
      }
      // Any character aborts; the command then gets its final reply (OnCallResult).
      dropping_ = true;
      drop_done_ = std::move(done);
      channel_->Interrupt();
      hangup_timer_ = context_.loop.StartTimer(settings_.command_timeout, [this] {
        hangup_timer_ = 0;
        // No reply to the abort: start afresh in command state.
        dropping_ = false;
        channel_->Stop();
        channel_->Start();
        state_ = State::kReady;
        FinishCall(std::move(drop_done_));
      });
      return;
    case State::kOffered:
      if (auto_answered_) {
        HangUp(true, std::move(done));
        return;
      }
      // Refused while ringing: the rest of its RINGs offer nothing.
      ignore_rings_ = true;
      ArmRingGap();
      state_ = State::kReady;
      FinishCall(std::move(done));
      return;
    case State::kConnected:
      HangUp(true, std::move(done));
      return;
    case State::kCarrierLost:
      HangUp(false, std::move(done));
      return;
    case State::kHangingUp:
      done(0);  // idle follows when the hang-up under way ends
      return;
    default:
      FinishCall(std::move(done));
      return;
  }
}

void ModemLine::FinishCall(Completion done) {
  rate_ = 0;
  protocol_.clear();
  auto_answered_ = false;
  if (ring_timer_ == 0) caller_number_.clear();
  if (call_ != nullptr) {
    ModemCall* call = call_;
    call_ = nullptr;
    call->State(LINECALLSTATE_IDLE);
  }
  if (done) done(0);
  if (!port_ && state_ != State::kBroken) ScheduleReopen(0);
}

void ModemLine::CallGone(ModemCall* call) {
  if (call != call_) return;
  call_ = nullptr;
  dial_waiting_ = false;
}

void ModemLine::HangUp(bool online, Completion done) {
  state_ = State::kHangingUp;
  hangup_done_ = std::move(done);
  hangup_online_ = online;
  hangup_confirmed_ = false;
  context_.loop.CancelTimer(carrier_timer_);
  context_.loop.CancelTimer(carrier_grace_);
  carrier_timer_ = carrier_grace_ = 0;
  if (!port_) {
    FinishHangup();
    return;
  }
  // Command state from here: carrier loss is no longer a hang-up of the device.
  port_->SetLocal(true);
  channel_->Start();  // the modem's replies to the hang-up
  // What the ports accepted goes to the device first (they tell when it has, or when they
  // gave it up), then the device's own queue drains.
  std::shared_ptr<posix::OutputWatch> output = std::move(port_output_);
  const std::uint64_t connection = connection_;
  const auto drained = [&loop = context_.loop, anchor = anchor_, connection] {
    loop.Post([anchor, connection] {
      if (anchor->line != nullptr) anchor->line->PortOutputDrained(connection);
    });
  };
  if (online && output && output->CallWhenDrained(drained)) {
    // A device that never takes it (flow control holding it back) does not hold the hang-up
    // up for longer than a command may take.
    awaiting_port_output_ = true;
    hangup_timer_ = context_.loop.StartTimer(settings_.command_timeout, [this] {
      hangup_timer_ = 0;
      awaiting_port_output_ = false;
      AwaitDrained(SIZE_MAX, 0);
    });
    return;
  }
  AwaitDrained(SIZE_MAX, 0);
}

void ModemLine::PortOutputDrained(std::uint64_t connection) {
  if (connection != connection_ || state_ != State::kHangingUp || !awaiting_port_output_) return;
  awaiting_port_output_ = false;
  context_.loop.CancelTimer(hangup_timer_);
  hangup_timer_ = 0;
  AwaitDrained(SIZE_MAX, 0);
}

void ModemLine::AwaitDrained(std::size_t last_queued, int stalled_polls) {
  // What the port wrote goes out before the line is dropped. (A pseudo-terminal cannot tell
  // what is still queued: its far side has to take what came before the DTR drop first.)
  int queued = 0;
  if (!port_ || ioctl(port_->fd(), TIOCOUTQ, &queued) != 0) queued = 0;
  if (queued > 0) {
    stalled_polls = static_cast<std::size_t>(queued) >= last_queued ? stalled_polls + 1 : 0;
    if (stalled_polls * kDrainPoll < settings_.command_timeout) {
      hangup_timer_ = context_.loop.StartTimer(kDrainPoll, [this, queued, stalled_polls] {
        hangup_timer_ = 0;
        AwaitDrained(static_cast<std::size_t>(queued), stalled_polls);
      });
      return;
    }
    port_->Flush();  // flow control holds it back for good
  }
  if (settings_.hangup_dtr) {
    DropDtr();
  } else {
    Escape();
  }
}

void ModemLine::DropDtr() {
  if (!port_) {
    FinishHangup();
    return;
  }
  if (port_->SetDtr(false) == SerialPort::DtrMethod::kFailed) {
    if (settings_.hangup_escape) {
      Escape();
    } else {
      FinishHangup();
    }
    return;
  }
  dtr_low_ = true;
  dtr_dropped_at_ = Clock::now();
  // Online, the modem confirms (NO CARRIER or OK, DCD low); it may first have to pass on
  // what reached it before the drop, which takes a while at a low line rate.
  // A device without modem-control lines shows no DCD, and its reply may go to the call's
  // port, which can still be reading: speed 0 is the drop such a device knows, trusted as a
  // drop of the DTR line would be.
  if (!has_lines_) hangup_confirmed_ = true;
  const milliseconds wait = hangup_online_ ? settings_.command_timeout : kDtrLow;
  hangup_deadline_ = dtr_dropped_at_ + std::max<milliseconds>(wait, kDtrLow);
  CheckHangupConfirmed();
}

void ModemLine::CheckHangupConfirmed() {
  if (state_ != State::kHangingUp || !dtr_low_) return;
  context_.loop.CancelTimer(hangup_timer_);
  hangup_timer_ = 0;
  if (!port_) {
    FinishHangup();  // the device ended: hung up for sure
    return;
  }
  if (has_lines_) {
    std::optional<ModemLines> lines = port_->ReadModemLines();
    if (lines && !lines->dcd) hangup_confirmed_ = true;
  }
  const Clock::time_point now = Clock::now();
  const bool confirmed = !hangup_online_ || hangup_confirmed_;
  if (confirmed && now - dtr_dropped_at_ >= kDtrLow) {
    FinishHangup();
    return;
  }
  if (now >= hangup_deadline_) {
    RaiseDtr();
    if (settings_.hangup_escape) {
      Escape();  // the modem may ignore DTR (&D0)
    } else {
      FinishHangup();
    }
    return;
  }
  milliseconds next = kConfirmPoll;
  if (confirmed) {
    next = std::chrono::ceil<milliseconds>(kDtrLow - (now - dtr_dropped_at_));
  }
  hangup_timer_ = context_.loop.StartTimer(std::max(next, milliseconds(1)), [this] {
    hangup_timer_ = 0;
    CheckHangupConfirmed();
  });
}

void ModemLine::RaiseDtr() {
  if (!dtr_low_) return;
  dtr_low_ = false;
  if (port_) port_->SetDtr(true);
}

void ModemLine::Escape() {
  if (!port_) {
    FinishHangup();
    return;
  }
  // Guard time of silence, +++, guard time (the modem's, before its OK), then ATH0.
  hangup_timer_ = context_.loop.StartTimer(settings_.guard, [this] {
    hangup_timer_ = 0;
    if (!port_ || !channel_) {
      FinishHangup();
      return;
    }
    channel_->Send("+++", false, settings_.guard + settings_.command_timeout,
                   [this](const CommandResult& result) {
                     if (result.kind == CommandResult::Kind::kEnded) {
                       FinishHangup();
                       return;
                     }
                     channel_->Send("ATH0", true, settings_.command_timeout,
                                    [this](const CommandResult&) { FinishHangup(); });
                   });
  });
}

void ModemLine::FinishHangup() {
  if (state_ != State::kHangingUp) return;  // finished already (the device ended meanwhile)
  context_.loop.CancelTimer(hangup_timer_);
  hangup_timer_ = 0;
  awaiting_port_output_ = false;
  RaiseDtr();
  state_ = State::kReady;
  Completion done = std::move(hangup_done_);
  hangup_done_ = nullptr;
  FinishCall(std::move(done));
}

// ---- the device ----

void ModemLine::CloseDevice() {
  if (!port_) return;
  channel_.reset();  // stops watching before the descriptor goes
  port_.reset();
  initialised_ = false;
}

void ModemLine::ScheduleReopen(int attempt) {
  if (reopen_timer_ != 0 || port_) return;
  reopen_timer_ = context_.loop.StartTimer(kReopenDelay, [this, attempt] {
    reopen_timer_ = 0;
    Reopen(attempt);
  });
}

void ModemLine::Reopen(int attempt) {
  if (port_ || call_ != nullptr) return;
  std::string reason;
  if (OpenDeviceAgain(&reason)) return;
  if (attempt + 1 < kReopenAttempts) {
    ScheduleReopen(attempt + 1);
  } else {
    Fail(reason);
  }
}

bool ModemLine::OpenDeviceAgain(std::string* reason) {
  std::optional<SerialPort> port = SerialPort::Open(settings_.device, settings_.serial, reason);
  if (!port) {
    *reason = "cannot open the modem device again: " + *reason;
    return false;
  }
  context_.loop.CancelTimer(reopen_timer_);
  reopen_timer_ = 0;
  port_ = std::move(*port);
  Begin(false);
  return true;
}

}  // namespace quodem::telephony::modem
