#include "platform/telephony/exchange_provider.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/telephony/config.h"
#include "platform/telephony/event_loop.h"
#include "platform/telephony/exchange_dir.h"
#include "platform/telephony/faults.h"
#include "platform/telephony/listener.h"
#include "platform/telephony/provider_kinds.h"
#include "platform/telephony/stream_call.h"
#include "platform/telephony/translate.h"

namespace quodem::telephony {
namespace {

constexpr std::size_t kMaxDialedNumber = 64;
constexpr int kListenBacklog = 16;

class ExchangeLine;

// Socket paths held by open lines of this process (service lock held).
std::map<std::string, ExchangeLine*>& HeldHere() {
  static auto* held = new std::map<std::string, ExchangeLine*>;
  return *held;
}

int AnswerTimeoutMs(int configured_seconds) {
  int forced = faults::AnswerTimeoutMs();
  return forced > 0 ? forced : configured_seconds * 1000;
}

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
               std::string socket_path, int fd)
      : StreamCall(context, faults, std::move(socket_path)) {
    AdoptIncoming(fd);
  }

  void Start() override {
    phase_ = Phase::kDialing;
    Report(LINECALLSTATE_DIALING);
    if (own_number_) {
      FailBusy();
      return;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      FailDisconnected(LINEDISCONNECTMODE_UNKNOWN);
      return;
    }
    SetSocket(fd, false);
    sockaddr_un address;
    socklen_t length = FillUnixAddress(device_name_, &address);
    int rc;
    do {
      rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      // Nobody listening (no socket, or a stale one), or a full backlog: busy.
      if (errno == ENOENT || errno == ECONNREFUSED || errno == EAGAIN) {
        FailBusy();
      } else {
        FailDisconnected(LINEDISCONNECTMODE_UNREACHABLE);
      }
      return;
    }
    // Unix-domain connects complete at once: the callee's line has the connection queued
    // and offers it; ringback lasts until its answer signal arrives.
    SetSocket(fd, true);
    phase_ = Phase::kRingback;
    Report(LINECALLSTATE_RINGBACK);
    StartAnswerTimer(answer_timeout_ms_);
    WatchSocket(EPOLLIN | EPOLLRDHUP, [this](std::uint32_t) { OnAnswerReadiness(); });
  }

 protected:
  void SendAnswerSignal() override {
    // Fits any empty socket buffer; a caller that has hung up already makes it fail, which
    // changes nothing (the hang-up is reported in due course).
    [[maybe_unused]] ssize_t n = send(fd_, &kAnswerSignal, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

 private:
  void OnAnswerReadiness() {
    // Exactly one byte: whatever the callee writes after its answer belongs to the caller's
    // port.
    char signal;
    ssize_t n = recv(fd_, &signal, 1, MSG_DONTWAIT);
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

class ExchangeLine : public ProviderLine {
 public:
  ExchangeLine(ProviderContext& context, LineEvents* events, std::string folder, std::string number,
               int answer_timeout_s)
      : context_(context),
        events_(events),
        folder_(std::move(folder)),
        number_(std::move(number)),
        answer_timeout_s_(answer_timeout_s),
        listener_(context.loop) {}

  ~ExchangeLine() override {
    if (!listener_.Listening()) return;
    listener_.Close();
    // The socket goes before the lock: once the lock is free a newcomer may bind afresh.
    unlink(socket_path_.c_str());
    lock_.Release();
    HeldHere().erase(socket_path_);
  }

  bool Holds(const std::string& name) const override {
    return listener_.Listening() && name == number_;
  }

  // Takes the number when nobody holds it. Returns 0 also when somebody else holds it (the
  // line then serves outgoing calls only), a LINEERR_ code when something is broken.
  LONG TakeNumber() {
    std::string problem;
    try {
      socket_path_ = NumberSocketPath(folder_, number_);
    } catch (const std::exception& e) {
      context_.report_problem(e.what());
      return LINEERR_OPERATIONFAILED;
    }
    if (HeldHere().count(socket_path_) != 0) return 0;
    switch (lock_.TryTake(socket_path_ + ".lock", &problem)) {
      case NumberLock::Result::kHeldElsewhere:
        return 0;
      case NumberLock::Result::kFailed:
        context_.report_problem(problem);
        return LINEERR_OPERATIONFAILED;
      case NumberLock::Result::kTaken:
        break;
    }
    // Holding the lock, any socket file left is stale (its owner died without closing).
    unlink(socket_path_.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    socklen_t length = FillUnixAddress(socket_path_, &address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, kListenBacklog) != 0) {
      context_.report_problem("cannot listen on " + socket_path_ + ": " + std::strerror(errno));
      if (fd >= 0) close(fd);
      unlink(socket_path_.c_str());
      lock_.Release();
      return LINEERR_OPERATIONFAILED;
    }
    if (!listener_.Start(fd, [this](int accepted, const sockaddr_storage&) { Answer(accepted); })) {
      unlink(socket_path_.c_str());
      lock_.Release();
      return LINEERR_RESOURCEUNAVAIL;
    }
    HeldHere()[socket_path_] = this;
    return 0;
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
    bool own = listener_.Listening() && number == number_;
    auto call = std::make_unique<ExchangeCall>(context_, faults::ForNumber(number_), path,
                                               AnswerTimeoutMs(answer_timeout_s_), own);
    call->SetPortPace(pace);
    return call;
  }

  std::uint32_t pace = 0;  // bytes a second the line's calls carry (0: unpaced)

 private:
  void Answer(int fd) {
    testing::NumberFaults faults = faults::ForNumber(number_);
    if (faults.busy || events_->HasActiveCall()) {
      close(fd);  // one call per line: the caller reads the end of stream and sees busy
      return;
    }
    auto call = std::make_unique<ExchangeCall>(context_, faults, socket_path_, fd);
    call->SetPortPace(pace);
    events_->OfferCall(std::move(call));
  }

  ProviderContext& context_;
  LineEvents* events_;
  std::string folder_;
  std::string number_;
  int answer_timeout_s_;
  std::string socket_path_;
  NumberLock lock_;
  Listener listener_;
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
    if (HeldHere().count(path) != 0) {
      info.hold = NumberHold::kHeldHere;
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
