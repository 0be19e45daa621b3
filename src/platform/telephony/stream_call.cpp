#include "platform/telephony/stream_call.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <utility>

#include "platform/telephony/graceful_close.h"
#include "quodem/platform/posix/descriptor_port.h"

namespace quodem::telephony {

// Observes one port handed out for the call. Runs on whatever thread the port layer uses,
// so it only posts to the event loop; the posted task finds the call through the anchor.
class StreamCall::PortWatcher : public posix::PortObserver {
 public:
  PortWatcher(EventLoop& loop, std::shared_ptr<CallAnchor> anchor)
      : loop_(loop), anchor_(std::move(anchor)) {}
  ~PortWatcher() override {
    loop_.Post([anchor = anchor_] {
      if (anchor->call != nullptr) anchor->call->OnPortGone();
    });
  }
  void OnPeerHangup() override {
    loop_.Post([anchor = anchor_] {
      if (anchor->call != nullptr) anchor->call->OnPortSawHangup();
    });
  }

 private:
  EventLoop& loop_;
  std::shared_ptr<CallAnchor> anchor_;
};

StreamCall::StreamCall(ProviderContext& context, const testing::NumberFaults& faults,
                       std::string device_name)
    : context_(context),
      faults_(faults),
      device_name_(std::move(device_name)),
      anchor_(std::make_shared<CallAnchor>()) {
  anchor_->call = this;
}

StreamCall::~StreamCall() {
  anchor_->call = nullptr;
  context_.loop.CancelTimer(answer_timer_);
  context_.loop.CancelTimer(answer_delay_);
  CloseSocket();
}

void StreamCall::AdoptIncoming(posix::UniqueFd fd) {
  fd_ = std::move(fd);
  socket_connected_ = true;
  EnterPhase(Phase::kOffered);  // the service reports the offer
}

void StreamCall::EnterPhase(Phase next, std::initializer_list<Reported> reports) {
  phase_ = next;
  StopWatching();
  if (next != Phase::kDialing && next != Phase::kRingback) {
    context_.loop.CancelTimer(answer_timer_);
    answer_timer_ = 0;
  }
  if (next != Phase::kAnswering) {
    context_.loop.CancelTimer(answer_delay_);
    answer_delay_ = 0;
  }
  for (const Reported& report : reports) Report(report.state, report.mode);
}

void StreamCall::SetSocket(posix::UniqueFd fd) {
  StopWatching();
  fd_ = std::move(fd);
  socket_connected_ = false;
}

void StreamCall::StartAnswerTimer(int milliseconds) {
  context_.loop.CancelTimer(answer_timer_);
  answer_timer_ = context_.loop.StartTimer(std::chrono::milliseconds(milliseconds), [this] {
    answer_timer_ = 0;
    if (phase_ == Phase::kDialing || phase_ == Phase::kRingback) {
      FailDisconnected(LINEDISCONNECTMODE_NOANSWER);
    }
  });
}

void StreamCall::WatchSocket(std::uint32_t events, std::function<void(std::uint32_t)> handler) {
  StopWatching();
  if (!fd_) return;
  watch_ = context_.loop.Watch(fd_.get(), events, std::move(handler));
}

void StreamCall::StopWatching() {
  context_.loop.Unwatch(watch_);
  watch_ = 0;
}

void StreamCall::CloseSocket() {
  StopWatching();
  if (!fd_) return;
  if (socket_connected_) {
    // Output the ports accepted goes out first; the closer then takes over on the
    // dispatcher thread. The descriptor is handed on: the drain callback always runs.
    const int fd = fd_.release();
    auto close_later = [&loop = context_.loop, &closer = context_.closer, fd] {
      loop.Post([&closer, fd] { closer.Close(posix::UniqueFd(fd)); });
    };
    if (!port_output_ || !port_output_->CallWhenDrained(close_later)) {
      context_.closer.Close(posix::UniqueFd(fd));
    }
  } else {
    fd_.reset();
  }
  socket_connected_ = false;
}

void StreamCall::FailBusy() {
  CloseSocket();
  EnterPhase(Phase::kDisconnected, {{LINECALLSTATE_BUSY, LINEBUSYMODE_STATION},
                                    {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY}});
}

void StreamCall::FailDisconnected(DWORD mode) {
  CloseSocket();
  EnterPhase(Phase::kDisconnected, {{LINECALLSTATE_DISCONNECTED, mode}});
}

void StreamCall::EnterConnected() {
  EnterPhase(Phase::kConnected, {{LINECALLSTATE_CONNECTED}});
  ArmHangupWatch();
}

void StreamCall::Answer(Completion done) {
  if (phase_ != Phase::kOffered) {
    done(LINEERR_INVALCALLSTATE);
    return;
  }
  EnterPhase(Phase::kAnswering);
  if (faults_.never_answer) {
    // The answer never goes out: the caller runs into its timeout and hangs up, which this
    // side then reports. Accepted follows the request's reply, still in the answering phase.
    done(0);
    Report(LINECALLSTATE_ACCEPTED);
    WatchSocket(EPOLLRDHUP, [this](std::uint32_t ready) { OnAnsweringReadiness(ready); });
    return;
  }
  if (faults_.answer_delay_ms > 0) {
    answer_delay_ =
        context_.loop.StartTimer(std::chrono::milliseconds(faults_.answer_delay_ms), [this, done] {
          answer_delay_ = 0;
          FinishAnswer(done);
        });
    return;
  }
  FinishAnswer(std::move(done));
}

void StreamCall::FinishAnswer(Completion done) {
  // The caller may have hung up already; the answer still succeeds, whatever it sent is
  // delivered through the port, and the hang-up is reported after that.
  SendAnswerSignal();
  done(0);
  EnterConnected();
}

void StreamCall::OnAnsweringReadiness(std::uint32_t events) {
  if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) return;
  EnterPhase(Phase::kDisconnected, {{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL}});
}

void StreamCall::Drop(Completion done) {
  CloseSocket();
  EnterPhase(Phase::kIdle, {{LINECALLSTATE_IDLE}});
  done(0);
}

bool StreamCall::PeerHungUp() const {
  if (phase_ == Phase::kDisconnected) return true;
  if (phase_ != Phase::kConnected || !fd_) return false;
  pollfd ready{fd_.get(), POLLRDHUP, 0};
  return poll(&ready, 1, 0) == 1 && (ready.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

posix::UniqueFd StreamCall::TakeBackOffered() {
  if (phase_ != Phase::kOffered || !fd_) return {};
  EnterPhase(Phase::kIdle);  // the service reports idle
  socket_connected_ = false;
  return std::move(fd_);  // the line keeps the caller now
}

HANDLE StreamCall::OpenPort() {
  if (phase_ != Phase::kConnected || !fd_) return 0;
  int copy = fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return 0;
  auto watcher = std::make_shared<PortWatcher>(context_.loop, anchor_);
  posix::PortOptions options;
  options.drop_after_bytes_read = faults_.drop_after_bytes;
  options.bytes_per_second = port_pace_;
  if (!port_output_) port_output_ = std::make_shared<posix::OutputWatch>();
  options.output_watch = port_output_;
  HANDLE port = posix::CreatePortFromDescriptor(copy, watcher, options);
  if (port == 0) return 0;  // the port layer closed the copy
  ports_.push_back(watcher);
  StopWatching();  // the port reports the hang-up from now on
  return port;
}

bool StreamCall::HasLivePort() {
  std::erase_if(ports_, [](const std::weak_ptr<PortWatcher>& port) { return port.expired(); });
  return !ports_.empty();
}

void StreamCall::ArmHangupWatch() {
  if (phase_ != Phase::kConnected || watch_ != 0 || HasLivePort()) return;
  WatchSocket(EPOLLRDHUP, [this](std::uint32_t ready) { OnHangupReadiness(ready); });
}

void StreamCall::OnHangupReadiness(std::uint32_t events) {
  if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) return;
  StopWatching();
  int unread = 0;
  if (ioctl(fd_.get(), FIONREAD, &unread) != 0) unread = 0;
  // Bytes still unread: the hang-up is reported once a port has read them.
  if (unread == 0) PeerGone();
}

void StreamCall::OnPortSawHangup() {
  if (phase_ == Phase::kConnected) PeerGone();
}

void StreamCall::OnPortGone() {
  ArmHangupWatch();
}

void StreamCall::PeerGone() {
  EnterPhase(Phase::kDisconnected, {{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL}});
}

}  // namespace quodem::telephony
