#include "platform/telephony/modem/emulator/emulated_modem.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quodem::telephony::modem::emulator {
namespace {

constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kDteBacklog = 16 * 1024;  // taken from the line, not yet written
constexpr auto kSettingsPoll = std::chrono::milliseconds(50);
constexpr auto kDrainPoll = std::chrono::milliseconds(20);
// After the far end hung up, how long the DTE may leave the last data unread before the
// device is hung up all the same; after the DTE dropped DTR, how long the far end may leave
// the data written before the drop untaken before the drop applies all the same.
constexpr auto kStallGrace = std::chrono::seconds(5);
constexpr auto kDrainedFor = std::chrono::milliseconds(100);

unsigned Baud(speed_t speed) {
  static const std::pair<speed_t, unsigned> kSpeeds[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  for (const auto& [constant, baud] : kSpeeds) {
    if (constant == speed) return baud;
  }
  return 0;
}

}  // namespace

EmulatedModem::EmulatedModem(ModemOptions options)
    : options_(std::move(options)),
      pty_(options_.path, options_.mode),
      interpreter_(options_.strict),
      calls_(options_.exchange_device, options_.tcp_device, options_.number, [this] { Wake(); }) {
  epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
  wake_fd_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_ || !wake_fd_) {
    throw std::runtime_error(std::string("cannot set up the modem's loop: ") +
                             std::strerror(errno));
  }
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wake_fd_.get();
  epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_fd_.get(), &wake);
  Watch();
  try {
    calls_.Open();
  } catch (...) {
    calls_.Shutdown();  // the descriptors close as the members go
    throw;
  }
}

EmulatedModem::~EmulatedModem() {
  stopping_ = true;
  Wake();
  if (loop_.joinable()) loop_.join();
  calls_.Shutdown();  // no callback or pump thread pokes wake_fd_ after this (it closes next)
}

void EmulatedModem::Start() {
  loop_ = std::thread([this] { Run(); });
}

void EmulatedModem::Wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_.get(), &one, sizeof one);
}

void EmulatedModem::Watch() {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLPRI | EPOLLET;
  event.data.fd = pty_.fd();
  epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, pty_.fd(), &event);
  readable_ = true;
  writable_ = true;
}

void EmulatedModem::Log(const std::string& text) {
  if (options_.log) options_.log(options_.number + ": " + text);
}

void EmulatedModem::Run() {
  refilled_ = Clock::now();
  CheckSettings(refilled_);
  while (!stopping_) {
    Clock::time_point now = Clock::now();
    Step(now);
    int timeout = -1;
    if (std::optional<Clock::time_point> next = NextWake(Clock::now())) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
      timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, 60000));
    }
    epoll_event events[4];
    int n = epoll_wait(epoll_.get(), events, 4, timeout);
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == wake_fd_.get()) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t r = read(wake_fd_.get(), &count, sizeof count);
      } else if (events[i].data.fd == pty_.fd()) {
        if (events[i].events & (EPOLLIN | EPOLLPRI | EPOLLHUP | EPOLLERR)) readable_ = true;
        if (events[i].events & EPOLLOUT) writable_ = true;
      }
    }
  }
}

void EmulatedModem::Step(Clock::time_point now) {
  Refill(now);
  HandleLineEvents(now);
  if (std::optional<Clock::time_point> due = interpreter_.NextDeadline(); due && *due <= now) {
    Apply(interpreter_.Tick(now));
  }
  if (settings_poll_ && *settings_poll_ <= now) CheckSettings(now);
  // A drop waiting for data the far end does not take in time, or with no call left to send
  // it to, applies now.
  if (dtr_drop_due_ && (*dtr_drop_due_ <= now || !interpreter_.Online())) ApplyDtrDrop(now);
  ReadFromDte(now);
  MoveFromLine();
  WriteToDte();
  if (carrier_lost_) FinishCarrierLoss(now);
}

void EmulatedModem::Refill(Clock::time_point now) {
  if (options_.speed == 0) return;
  const double rate = options_.speed / 10.0;  // bytes per second: 8 bits plus start and stop
  const double cap = std::max(16.0, rate / 20);
  const double gained = std::chrono::duration<double>(now - refilled_).count() * rate;
  refilled_ = now;
  up_budget_ = std::min(cap, up_budget_ + gained);
  down_budget_ = std::min(cap, down_budget_ + gained);
}

void EmulatedModem::HandleLineEvents(Clock::time_point now) {
  for (const LineEvent& event : calls_.Process()) {
    switch (event.kind) {
      case LineEvent::Kind::kOffered:
        if (interpreter_.CanRing() && !calls_.HasCall()) {
          calls_.Ring();
          Log("incoming call");
          Apply(interpreter_.IncomingCall(now));
        } else {
          calls_.Reject();
        }
        break;
      case LineEvent::Kind::kGone:
        Log("the caller gave up");
        Apply(interpreter_.IncomingGone(now));
        break;
      case LineEvent::Kind::kFarEndRinging:
        Apply(interpreter_.FarEndRinging(now));
        break;
      case LineEvent::Kind::kConnected: {
        unsigned rate = ConnectRate();
        Log("connected at " + std::to_string(rate));
        up_budget_ = down_budget_ = 0;
        refilled_ = now;
        Apply(interpreter_.Connected(rate, now));
        break;
      }
      case LineEvent::Kind::kFailed:
        Log("the call failed");
        Apply(interpreter_.CallFailed(event.end, now));
        break;
      case LineEvent::Kind::kRemoteHangup:
        Log("the far end hung up");
        carrier_lost_ = true;
        carrier_pending_ = 0;
        carrier_deadline_ = now + kStallGrace;
        break;
    }
  }
}

unsigned EmulatedModem::ConnectRate() const {
  return options_.speed != 0 ? options_.speed : dte_rate_;
}

void EmulatedModem::ReadFromDte(Clock::time_point now) {
  starved_ = false;
  while (readable_) {
    std::size_t max = kReadChunk;
    const bool online = interpreter_.Online();
    if (online) {
      CallLink* link = calls_.Link();
      max = std::min(max, link != nullptr ? link->SendRoom() : kReadChunk);
      if (options_.speed != 0) {
        max = std::min(max, static_cast<std::size_t>(up_budget_));
        if (max == 0) starved_ = true;
      }
      if (max == 0) return;  // the far end (or the pacing) holds the DTE back
    }
    PtyDevice::ReadResult result = pty_.Read(max);
    switch (result.kind) {
      case PtyDevice::ReadResult::Kind::kData:
        if (!client_) CheckSettings(now);
        if (online && options_.speed != 0) up_budget_ -= static_cast<double>(result.data.size());
        // A drop waits for the data written before it while that data keeps moving: paced,
        // what the device holds can take longer than the grace to cross.
        if (dtr_drop_due_) dtr_drop_due_ = Clock::now() + kStallGrace;
        Apply(interpreter_.Input(result.data, Clock::now()));
        break;
      case PtyDevice::ReadResult::Kind::kSettingsChanged:
        CheckSettings(now);
        break;
      case PtyDevice::ReadResult::Kind::kClientGone:
        ClientGone(now);
        readable_ = false;  // until the next sign of a client
        return;
      case PtyDevice::ReadResult::Kind::kWouldBlock:
      case PtyDevice::ReadResult::Kind::kFailed:
        readable_ = false;
        if (dtr_drop_due_) ApplyDtrDrop(now);  // all written before the drop is read
        return;
    }
  }
}

void EmulatedModem::CheckSettings(Clock::time_point now) {
  const bool present = pty_.ClientPresent();
  const termios settings = pty_.Settings();
  const speed_t speed = cfgetospeed(&settings);
  if (present && speed != B0) {
    unsigned baud = Baud(speed);
    if (baud != 0) dte_rate_ = baud;
  }
  if (present && !client_) Log("a client opened the device");
  client_ = present;
  const bool dtr = present && speed != B0;
  // Dropped and raised again while the drop waits for the data written before it: both
  // count, the drop once that data is through (ApplyDtrDrop then takes the raise).
  if (dtr != dtr_ && !dtr_drop_due_) {
    if (!dtr && present && interpreter_.Online()) {
      // The pseudo-terminal reports the new settings ahead of the data written before them:
      // that data goes to the far end first, as it would have left a serial port first.
      dtr_drop_due_ = now + kStallGrace;
    } else {
      dtr_ = dtr;
      Apply(interpreter_.DtrChanged(dtr, now));
    }
  }
  // Without EXTPROC the client's changes wake nobody: look again soon.
  if (present && (settings.c_lflag & EXTPROC) == 0) {
    settings_poll_ = now + kSettingsPoll;
  } else {
    settings_poll_.reset();
  }
}

void EmulatedModem::ApplyDtrDrop(Clock::time_point now) {
  dtr_drop_due_.reset();
  if (!dtr_) return;
  dtr_ = false;
  Apply(interpreter_.DtrChanged(false, now));
  CheckSettings(now);  // raised again meanwhile: that counts too
}

void EmulatedModem::ClientGone(Clock::time_point now) {
  if (!client_ && !dtr_) return;
  Log("the client closed the device");
  client_ = false;
  dtr_ = false;
  dtr_drop_due_.reset();
  settings_poll_.reset();
  to_dte_.clear();
  pty_.DiscardOutput();
  Apply(interpreter_.DteClosed(now));
}

void EmulatedModem::MoveFromLine() {
  CallLink* link = calls_.Link();
  if (link == nullptr || !interpreter_.Online()) return;
  while (to_dte_.size() < kDteBacklog && link->Received() > 0) {
    std::size_t max = kDteBacklog - to_dte_.size();
    if (options_.speed != 0) {
      max = std::min(max, static_cast<std::size_t>(down_budget_));
      if (max == 0) {
        starved_ = true;
        return;
      }
    }
    std::string bytes = link->Receive(max);
    if (bytes.empty()) return;
    if (options_.speed != 0) down_budget_ -= static_cast<double>(bytes.size());
    to_dte_ += bytes;
  }
}

void EmulatedModem::WriteToDte() {
  while (writable_ && !to_dte_.empty()) {
    long n = pty_.Write(to_dte_);
    if (n < 0) {
      to_dte_.clear();  // nobody there to read it
      return;
    }
    if (n == 0) {
      writable_ = false;
      return;
    }
    to_dte_.erase(0, static_cast<std::size_t>(n));
  }
}

void EmulatedModem::FinishCarrierLoss(Clock::time_point now) {
  // What the far end sent before it hung up reaches the DTE first: bytes still in the link
  // or on their way to the device and, when the device is to be hung up (which throws away
  // what the client has not read), what the client has not read yet. The wait lasts while
  // those bytes keep moving, and S10 tenths of a second once they stop.
  CallLink* link = calls_.Link();
  const bool delivering = interpreter_.Online() && client_;
  const bool hang_up_device = client_ && (pty_.Settings().c_cflag & CLOCAL) == 0;
  std::size_t pending = 0;
  if (delivering) {
    pending = to_dte_.size() + (link != nullptr ? link->Received() : 0);
    if (hang_up_device) pending += pty_.UnreadByClient();
  }
  if (pending > 0) {
    drained_since_.reset();
    if (pending != carrier_pending_) {
      carrier_pending_ = pending;
      carrier_deadline_ = now + kStallGrace;
    }
    if (now < carrier_deadline_) return;
  } else if (delivering && hang_up_device) {
    // The kernel moves what the master took into the client's input in steps, and only
    // that input is counted: it must stay empty for a moment before nothing is left.
    if (!drained_since_) drained_since_ = now;
    if (now - *drained_since_ < kDrainedFor) return;
  }
  drained_since_.reset();
  carrier_lost_ = false;
  calls_.HangUp();
  if (hang_up_device) {
    try {
      pty_.HangUp();
    } catch (const std::runtime_error& e) {
      // No new device to be had (the system is out of pseudo-terminals): the client keeps
      // this one and is told in words, as with CLOCAL set.
      Log(std::string("carrier lost: the device cannot be hung up: ") + e.what());
      Apply(interpreter_.CarrierLost(true, now));
      return;
    }
    Watch();
    to_dte_.clear();
    Log("carrier lost: the device was hung up; the path now leads to " + pty_.SlavePath());
    client_ = false;
    dtr_ = false;
    dtr_drop_due_.reset();
    settings_poll_.reset();
    Apply(interpreter_.CarrierLost(false, now));
    Apply(interpreter_.DteClosed(now));
  } else {
    Log("carrier lost");
    Apply(interpreter_.CarrierLost(true, now));
  }
}

std::optional<Clock::time_point> EmulatedModem::NextWake(Clock::time_point now) const {
  std::optional<Clock::time_point> next = interpreter_.NextDeadline();
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (settings_poll_) consider(*settings_poll_);
  if (dtr_drop_due_) consider(*dtr_drop_due_);
  if (carrier_lost_) consider(now + kDrainPoll);
  if (starved_ && options_.speed != 0) {
    // Wait until a useful slice of budget has come back.
    const double rate = options_.speed / 10.0;
    const double want = std::max(16.0, rate / 40);
    consider(now + std::chrono::microseconds(static_cast<long long>(want / rate * 1e6)));
  }
  return next;
}

void EmulatedModem::Apply(const Effects& effects) {
  if (!effects.to_dte.empty() && client_) to_dte_ += effects.to_dte;
  if (!effects.to_line.empty()) {
    if (CallLink* link = calls_.Link()) link->Send(effects.to_line);
  }
  if (effects.hang_up) {
    carrier_lost_ = false;
    calls_.HangUp();
    Log("hung up");
  }
  if (effects.dial) {
    Log("dialling " + effects.dial->address);
    calls_.Dial(*effects.dial);
  }
  if (effects.answer) {
    Log("answering");
    calls_.Answer();
  }
}

}  // namespace quodem::telephony::modem::emulator
