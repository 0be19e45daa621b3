#include "platform/telephony/exchange_provider.h"

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/telephony/config.h"
#include "platform/telephony/event_loop.h"
#include "platform/telephony/exchange_dir.h"
#include "platform/telephony/faults.h"
#include "platform/telephony/listening_line.h"
#include "platform/telephony/provider_kinds.h"
#include "platform/telephony/stream_call.h"
#include "platform/telephony/translate.h"

namespace quodem::telephony {
namespace {

constexpr std::size_t kMaxDialedNumber = 64;
constexpr int kListenBacklog = 16;

class ExchangeCall : public StreamCall {
 public:
  // An outgoing call to `socket_path`; `own_number`: the line dials the number it holds.
  ExchangeCall(ProviderContext& context, const testing::NumberFaults& faults,
               std::string socket_path, int answer_timeout_ms, bool own_number)
      : StreamCall(context, faults, std::move(socket_path)),
        answer_timeout_ms_(answer_timeout_ms),
        own_number_(own_number) {}

  // An incoming call on the accepted connection `fd`.
  ExchangeCall(ProviderContext& context, const testing::NumberFaults& faults,
               std::string socket_path, posix::UniqueFd fd)
      : StreamCall(context, faults, std::move(socket_path)) {
    AdoptIncoming(std::move(fd));
    // A caller that gives up while the call is still offered ends it here too, so the
    // callee stops ringing. An exchange line sends nothing before the answer; a caller that
    // did send bytes keeps its call offered, and answering delivers them.
    WatchSocket(EPOLLRDHUP, [this](std::uint32_t events) {
      if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) return;
      int waiting = 0;
      if (phase() != Phase::kOffered ||
          (ioctl(SocketFd(), FIONREAD, &waiting) == 0 && waiting > 0)) {
        StopWatching();  // answering (which watches for itself), or bytes to deliver
      } else {
        FailDisconnected(LINEDISCONNECTMODE_NORMAL);
      }
    });
  }

  void Start() override {
    EnterPhase(Phase::kDialing, {{LINECALLSTATE_DIALING}});
    if (own_number_) {
      FailBusy();
      return;
    }
    SetSocket(posix::UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
    if (SocketFd() < 0) {
      FailDisconnected(LINEDISCONNECTMODE_UNKNOWN);
      return;
    }
    sockaddr_un address;
    socklen_t length = FillUnixAddress(device_name_, &address);
    int rc;
    do {
      rc = connect(SocketFd(), reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      // A full backlog is busy; nobody listening (no socket, or a stale one) is unreachable.
      if (errno == EAGAIN) {
        FailBusy();
      } else {
        FailDisconnected(LINEDISCONNECTMODE_UNREACHABLE);
      }
      return;
    }
    // Unix-domain connects complete at once: the callee's line has the connection queued
    // and offers it; ringback lasts until its answer signal arrives.
    MarkSocketConnected();
    EnterPhase(Phase::kRingback, {{LINECALLSTATE_RINGBACK}});
    StartAnswerTimer(answer_timeout_ms_);
    WatchSocket(EPOLLIN | EPOLLRDHUP, [this](std::uint32_t) { OnAnswerReadiness(); });
  }

 protected:
  void SendAnswerSignal() override {
    // Fits any empty socket buffer; a caller that has hung up already makes it fail, which
    // changes nothing (the hang-up is reported in due course).
    [[maybe_unused]] ssize_t n = send(SocketFd(), &kAnswerSignal, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

 private:
  void OnAnswerReadiness() {
    // Exactly one byte: whatever the callee writes after its answer belongs to the caller's
    // port.
    char signal;
    ssize_t n = recv(SocketFd(), &signal, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n == 1 && signal == kAnswerSignal) {
      EnterConnected();
    } else if (n == 1) {
      FailDisconnected(LINEDISCONNECTMODE_INCOMPATIBLE);  // not an exchange line
    } else {
      FailBusy();  // the callee closed the connection without answering
    }
  }

  int answer_timeout_ms_ = 0;
  bool own_number_ = false;
};

// What a waiting exchange line parks when it closes: the listening socket (a caller who
// dials in between stays queued on it and is answered once the line is open again), the
// socket file and the number's lock. Given back in that order: once the lock is free a
// newcomer may bind afresh. The callers kept waiting are turned away (busy) after that.
class ParkedNumber : public ParkedListener {
 public:
  ParkedNumber(ListenerParts parts, std::string socket_path, NumberLock lock)
      : ParkedListener(std::move(parts)),
        socket_path_(std::move(socket_path)),
        lock_(std::move(lock)) {}
  ~ParkedNumber() override {
    if (!HasSocket()) return;
    CloseSocket();
    unlink(socket_path_.c_str());
    lock_.Release();
  }
  // For a line taking the number back (after its socket).
  NumberLock TakeLock() { return std::move(lock_); }

 private:
  std::string socket_path_;
  NumberLock lock_;
};

std::string ParkingKey(const std::string& socket_path) {
  return "exchange:" + socket_path;
}

class ExchangeLine : public ListeningLine {
 public:
  ExchangeLine(ProviderContext& context, LineEvents* events, std::string folder, std::string number,
               int answer_timeout_s)
      : ListeningLine(context, events, answer_timeout_s),
        folder_(std::move(folder)),
        number_(std::move(number)) {}

  ~ExchangeLine() override {
    StopWatchingLock();
    if (!Listening()) return;
    if (dialed_out_) {
      GiveBackNumber();
      return;
    }
    // A line that waited for calls keeps its number for a moment, for this process to open
    // the line again without another process taking the number in between.
    Park(std::make_unique<ParkedNumber>(StopForParking(), socket_path_, std::move(lock_)));
  }

  bool Holds(const std::string& name) const override { return Listening() && name == number_; }

  // Takes the number when nobody holds it. When another process holds it for an outgoing
  // call only, the line takes it over as soon as that call ends. Returns 0 also when somebody
  // else holds it (the line then serves outgoing calls only), a LINEERR_ code when something
  // is broken.
  LONG TakeNumber() {
    MarkTakenByOwner();
    try {
      socket_path_ = NumberSocketPath(folder_, number_);
    } catch (const std::exception& e) {
      return Broken(e.what(), LINEERR_OPERATIONFAILED);
    }
    SetKey(ParkingKey(socket_path_));
    if (HeldHere(key()) != nullptr) return 0;
    bool listening = false;
    if (auto parked = TakeParked(&listening)) {
      lock_ = static_cast<ParkedNumber&>(*parked).TakeLock();
      return listening ? 0 : ListenFailed();
    }
    std::string problem;
    switch (lock_.TryTake(LockPath(), &problem)) {
      case NumberLock::Result::kHeldElsewhere:
        if (ProbeNumberLock(LockPath()) == NumberHold::kInUseByCall) WatchLock();
        return 0;
      case NumberLock::Result::kFailed:
        return Broken(problem, LINEERR_OPERATIONFAILED);
      case NumberLock::Result::kTaken:
        break;
    }
    return BindAndListen();
  }

  std::unique_ptr<ProviderCall> MakeCall(const std::string& destination, LONG* error) override {
    std::string number = ExchangeNumberFromDialString(destination);
    if (number.empty()) {
      *error = LINEERR_INVALADDRESS;
      return nullptr;
    }
    std::string path;
    try {
      path = NumberSocketPath(folder_, number);
    } catch (const std::exception& e) {
      context_.report_problem(e.what());
      *error = LINEERR_INVALADDRESS;
      return nullptr;
    }
    bool own = Listening() && number == number_;
    // A line that dials out keeps its number for the call (callers get busy) but no longer
    // answers on it: a process that waits on the number takes it over when the call ends,
    // and the number is given back then rather than parked.
    dialed_out_ = true;
    lock_.StopAnswering();
    StopWatchingLock();
    auto call = std::make_unique<ExchangeCall>(context_, faults::ForNumber(number_), path,
                                               AnswerTimeoutMs(), own);
    call->SetPortPace(pace);
    return call;
  }

  std::uint32_t pace = 0;  // bytes a second the line's calls carry (0: unpaced)

 protected:
  testing::NumberFaults IncomingFaults() const override { return faults::ForNumber(number_); }
  bool RefusesCalls() const override { return dialed_out_; }
  std::unique_ptr<ProviderCall> MakeIncomingCall(posix::UniqueFd fd, const std::string&,
                                                 const testing::NumberFaults& faults) override {
    auto call = std::make_unique<ExchangeCall>(context_, faults, socket_path_, std::move(fd));
    call->SetPortPace(pace);
    return call;
  }
  std::string AddressWords() const override { return "number " + number_; }
  bool TakingOver() const override { return inotify_fd_.valid(); }
  std::string HeldElsewhereWhy(bool by_line_here) const override {
    return by_line_here
               ? "number " + number_ + " is held by another line of this process"
               : "number " + number_ + " is held by another process waiting for calls on it";
  }

 private:
  std::string LockPath() const { return socket_path_ + ".lock"; }

  // Holding the lock: the socket is made afresh (any socket file left is stale, its owner
  // died without closing) and listened on.
  LONG BindAndListen() {
    std::string problem;
    if (!RemoveStaleSocket(socket_path_, &problem)) {
      lock_.Release();
      return Broken(problem, LINEERR_OPERATIONFAILED);
    }
    posix::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address;
    socklen_t length = FillUnixAddress(socket_path_, &address);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd.get(), kListenBacklog) != 0) {
      std::string why = "cannot listen on " + socket_path_ + ": " + std::strerror(errno);
      fd.reset();
      unlink(socket_path_.c_str());
      lock_.Release();
      return Broken(why, LINEERR_OPERATIONFAILED);
    }
    return Listen(std::move(fd)) ? 0 : ListenFailed();
  }

  LONG ListenFailed() {
    unlink(socket_path_.c_str());
    lock_.Release();
    return LINEERR_RESOURCEUNAVAIL;
  }

  void GiveBackNumber() {
    StopListening();
    unlink(socket_path_.c_str());
    lock_.Release();
  }

  // Waiting to take the number over from a process that holds it for an outgoing call: the
  // holder's lock goes when it closes the lock file, which inotify reports; nothing polls.
  void WatchLock() {
    inotify_fd_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_fd_ || inotify_add_watch(inotify_fd_.get(), LockPath().c_str(),
                                          IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
      StopWatchingLock();
      return;
    }
    lock_watch_ = context_.loop.Watch(inotify_fd_.get(), EPOLLIN, [this](std::uint32_t) {
      char events[4096];
      while (read(inotify_fd_.get(), events, sizeof events) > 0) {
      }
      TryTakeOver(kTakeOverRetries);
    });
    if (lock_watch_ == 0) StopWatchingLock();
  }

  // One more try to take the number over. A process that ends without unlocking first may be
  // seen closing the file a moment before its lock is gone, so a failed try after a close is
  // repeated a few times, later each time.
  void TryTakeOver(int retries) {
    context_.loop.CancelTimer(retry_timer_);
    retry_timer_ = 0;
    std::string problem;
    if (lock_.TryTake(LockPath(), &problem) == NumberLock::Result::kTaken) {
      StopWatchingLock();
      BindAndListen();
      return;
    }
    if (retries > 0) {
      const auto delay = std::chrono::milliseconds(50 << (kTakeOverRetries - retries));
      retry_timer_ = context_.loop.StartTimer(delay, [this, retries] {
        retry_timer_ = 0;
        TryTakeOver(retries - 1);
      });
    }
  }

  void StopWatchingLock() {
    context_.loop.Unwatch(lock_watch_);
    lock_watch_ = 0;
    context_.loop.CancelTimer(retry_timer_);
    retry_timer_ = 0;
    inotify_fd_.reset();
  }

  std::string folder_;
  std::string number_;
  std::string socket_path_;
  bool dialed_out_ = false;  // placed an outgoing call
  NumberLock lock_;
  // Taking the number over (see WatchLock).
  static constexpr int kTakeOverRetries = 4;
  posix::UniqueFd inotify_fd_;
  EventLoop::Token lock_watch_ = 0;
  EventLoop::Token retry_timer_ = 0;
};

class ExchangeProvider : public Provider {
 public:
  ExchangeProvider(const LineSettings& settings, const ServiceConfig& config,
                   ProviderContext& context)
      : context_(context),
        name_(settings.Get("name")),
        number_(settings.Get("number")),
        answer_timeout_s_(config.answer_timeout_s),
        pace_(PaceForSpeed(settings.Get("speed"))) {}

  const std::string& Name() const override { return name_; }

  std::string ProviderInfo() const override { return "Quodem local exchange, number " + number_; }

  LineInfo Describe(DWORD device_id) const override {
    LineInfo info;
    info.device_id = device_id;
    info.name = name_;
    info.provider = "exchange";
    info.address = number_;
    std::string folder = PrepareExchangeDirectory();  // throws when unusable
    std::string path = NumberSocketPath(folder, number_);
    if (ListeningLine::HeldHere(ParkingKey(path)) != nullptr) {
      info.hold = NumberHold::kHeldHere;
    } else if (IsAddressParked(ParkingKey(path))) {
      // Parked between two calls: any open of this process takes it back.
      info.hold = NumberHold::kFree;
    } else {
      info.hold = ProbeNumberLock(path + ".lock");
    }
    return info;
  }

  LONG Translate(const std::string& input, const Location& location,
                 Translation* out) const override {
    std::optional<Translation> result = TranslatePhoneNumber(input, location);
    if (!result) return LINEERR_INVALADDRESS;
    *out = std::move(*result);
    return 0;
  }

  LONG Open(bool owner, LineEvents* events, std::unique_ptr<ProviderLine>* line) override {
    std::string folder;
    try {
      folder = PrepareExchangeDirectory();
    } catch (const std::exception& e) {
      context_.report_problem(e.what());
      return LINEERR_OPERATIONFAILED;
    }
    auto opened =
        std::make_unique<ExchangeLine>(context_, events, folder, number_, answer_timeout_s_);
    opened->pace = pace_;
    if (owner) {
      LONG result = opened->TakeNumber();
      if (result != 0) return result;
    }
    *line = std::move(opened);
    return 0;
  }

 private:
  ProviderContext& context_;
  std::string name_;
  std::string number_;
  int answer_timeout_s_;
  std::uint32_t pace_;
};

}  // namespace

std::string ExchangeNumberFromDialString(const std::string& dial_string) {
  std::string number;
  for (char c : dial_string) {
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') {
      number += c;
    } else if (std::strchr(" \t-.()+,;!@$WwPpTt", c) == nullptr || c == 0) {
      return "";
    }
  }
  if (number.size() > kMaxDialedNumber) return "";
  return number;
}

std::unique_ptr<Provider> CreateExchangeProvider(const LineSettings& settings,
                                                 const ServiceConfig& config,
                                                 ProviderContext& context) {
  return std::make_unique<ExchangeProvider>(settings, config, context);
}

}  // namespace quodem::telephony
