#include "platform/telephony/tcp_provider.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/telephony/config.h"
#include "platform/telephony/event_loop.h"
#include "platform/telephony/faults.h"
#include "platform/telephony/listener.h"
#include "platform/telephony/resolver.h"
#include "platform/telephony/stream_call.h"
#include "platform/telephony/tcp_address.h"
#include "platform/telephony/tcp_allow.h"
#include "platform/telephony/translate.h"

namespace quodem::telephony {
namespace {

constexpr int kListenBacklog = 16;

class TcpLine;

// Configured listen addresses held by open lines of this process (service lock held).
std::map<std::string, TcpLine*>& HeldHere() {
  static auto* held = new std::map<std::string, TcpLine*>;
  return *held;
}

// For listen addresses with port 0: the port this process's line was given last (service
// lock held).
std::map<std::string, in_port_t>& RememberedPorts() {
  static auto* ports = new std::map<std::string, in_port_t>;
  return *ports;
}

in_port_t* PortOf(sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET) return &reinterpret_cast<sockaddr_in*>(&storage)->sin_port;
  return &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port;
}

std::string DescribeAddress(const sockaddr_storage& storage) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return FormatHostPort(text, ntohs(v4->sin_port), false);
  }
  if (storage.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return FormatHostPort(text, ntohs(v6->sin6_port), true);
  }
  return "?";
}

int AnswerTimeoutMs(int configured_seconds) {
  int forced = faults::AnswerTimeoutMs();
  return forced > 0 ? forced : configured_seconds * 1000;
}

// The faults of a TCP line: given for its bound address, else for its configured one.
testing::NumberFaults FaultsFor(const std::string& bound, const std::string& configured) {
  testing::NumberFaults none;
  testing::NumberFaults faults = faults::ForNumber(bound);
  bool given = faults.answer_delay_ms != none.answer_delay_ms ||
               faults.never_answer != none.never_answer || faults.busy != none.busy ||
               faults.drop_after_bytes != none.drop_after_bytes;
  return given || bound.empty() ? faults : faults::ForNumber(configured);
}

class TcpCall : public StreamCall {
 public:
  // Outgoing.
  TcpCall(ProviderContext& context, const testing::NumberFaults& faults, HostPort destination,
          int answer_timeout_ms)
      : StreamCall(context, faults,
                   "tcp:" + FormatHostPort(destination.host, destination.port, destination.ipv6)),
        destination_(std::move(destination)),
        answer_timeout_ms_(answer_timeout_ms) {}

  // Incoming, on the accepted connection `fd`.
  TcpCall(ProviderContext& context, const testing::NumberFaults& faults, int fd,
          const std::string& peer)
      : StreamCall(context, faults, "tcp:" + peer) {
    AdoptIncoming(fd);
  }

  void Start() override {
    phase_ = Phase::kDialing;
    Report(LINECALLSTATE_DIALING);
    StartAnswerTimer(answer_timeout_ms_);
    SocketAddress numeric;
    if (Resolver::ParseNumeric(destination_.host, destination_.port, &numeric)) {
      addresses_.push_back(numeric);
      ConnectNext();
      return;
    }
    // The answer may come after the call is gone; the anchor tells.
    context_.resolver.Resolve(
        destination_.host, destination_.port,
        [anchor = anchor_](std::vector<SocketAddress> addresses, std::string problem) {
          auto* call = static_cast<TcpCall*>(anchor->call);
          if (call != nullptr) call->Resolved(std::move(addresses), problem);
        });
  }

 private:
  void Resolved(std::vector<SocketAddress> addresses, const std::string& problem) {
    if (phase_ != Phase::kDialing) return;
    if (addresses.empty()) {
      context_.report_problem(problem);
      FailDisconnected(LINEDISCONNECTMODE_BADADDRESS);
      return;
    }
    addresses_ = std::move(addresses);
    ConnectNext();
  }

  // Tries the addresses in turn; the last failure decides what the caller sees.
  void ConnectNext() {
    while (next_ < addresses_.size()) {
      const SocketAddress& address = addresses_[next_++];
      int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        last_error_ = errno;
        continue;
      }
      SetSocket(fd, false);
      int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
      if (rc == 0) {
        Connected();
        return;
      }
      if (errno == EINPROGRESS || errno == EINTR) {
        WatchSocket(EPOLLOUT, [this](std::uint32_t) { ConnectFinished(); });
        return;
      }
      last_error_ = errno;
    }
    // Refused (nobody waits on that port) or no route: either way unreachable.
    context_.report_problem(
        "cannot reach " + FormatHostPort(destination_.host, destination_.port, destination_.ipv6) +
        ": " + std::strerror(last_error_));
    FailDisconnected(LINEDISCONNECTMODE_UNREACHABLE);
  }

  void ConnectFinished() {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) {
      Connected();
      return;
    }
    last_error_ = error;
    StopWatching();
    ConnectNext();
  }

  void Connected() {
    SetSocket(fd_, true);
    EnterConnected();
  }

  HostPort destination_;
  int answer_timeout_ms_ = 0;
  std::vector<SocketAddress> addresses_;
  std::size_t next_ = 0;
  int last_error_ = ECONNREFUSED;
};

class TcpLine : public ProviderLine {
 public:
  TcpLine(ProviderContext& context, LineEvents* events, std::string listen, int default_port,
          int answer_timeout_s, std::optional<TcpAllowList> allow)
      : context_(context),
        events_(events),
        listen_(std::move(listen)),
        default_port_(default_port),
        answer_timeout_s_(answer_timeout_s),
        allow_(std::move(allow)),
        listener_(context.loop) {}

  ~TcpLine() override {
    if (!listener_.Listening()) return;
    listener_.Close();
    HeldHere().erase(listen_);
  }

  const std::string& bound() const { return bound_; }

  bool Holds(const std::string& name) const override {
    return listener_.Listening() && (name == listen_ || name == bound_);
  }

  // Listens when the address is free. Returns 0 also when it is in use (outgoing calls only).
  LONG TakeAddress() {
    if (HeldHere().count(listen_) != 0) return 0;
    std::optional<HostPort> address = ParseHostPort(listen_, -1, true);
    SocketAddress socket_address;
    if (!address || !Resolver::ParseNumeric(address->host, address->port, &socket_address)) {
      context_.report_problem("cannot listen on " + listen_ + ": not an address");
      return LINEERR_OPERATIONFAILED;
    }
    int fd =
        socket(socket_address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      context_.report_problem("cannot listen on " + listen_ + ": " + std::strerror(errno));
      return LINEERR_RESOURCEUNAVAIL;
    }
    int on = 1;
    // Lets a new listener bind while connections of an old one linger in TIME_WAIT; two
    // listeners on one port are still refused (EADDRINUSE).
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->ipv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    // Port 0 takes any free port; the one the line had before in this process is taken again
    // when it is free, so that the line keeps its address from call to call.
    bool bound = false;
    auto remembered = RememberedPorts().find(listen_);
    if (address->port == 0 && remembered != RememberedPorts().end()) {
      SocketAddress again = socket_address;
      *PortOf(again.storage) = remembered->second;
      bound = bind(fd, reinterpret_cast<sockaddr*>(&again.storage), again.length) == 0;
    }
    if (!bound && bind(fd, reinterpret_cast<sockaddr*>(&socket_address.storage),
                       socket_address.length) != 0) {
      int error = errno;
      close(fd);
      if (error == EADDRINUSE) return 0;  // another process waits there
      context_.report_problem("cannot listen on " + listen_ + ": " + std::strerror(error));
      return LINEERR_OPERATIONFAILED;
    }
    if (listen(fd, kListenBacklog) != 0) {
      int error = errno;
      close(fd);
      if (error == EADDRINUSE) return 0;
      context_.report_problem("cannot listen on " + listen_ + ": " + std::strerror(error));
      return LINEERR_OPERATIONFAILED;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    if (address->port == 0) RememberedPorts()[listen_] = *PortOf(local);
    const auto answer = [this](int accepted, const sockaddr_storage& peer) {
      Answer(accepted, peer);
    };
    bound_ = DescribeAddress(local);  // before the first call can come in, which reads it
    if (!listener_.Start(fd, answer)) {
      bound_.clear();
      return LINEERR_RESOURCEUNAVAIL;
    }
    HeldHere()[listen_] = this;
    return 0;
  }

  std::unique_ptr<ProviderCall> MakeCall(const std::string& destination, LONG* error) override {
    std::string text = destination;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    std::size_t start = text.find_first_not_of(" \t");
    text = start == std::string::npos ? "" : text.substr(start);
    std::optional<HostPort> address = ParseHostPort(text, default_port_, false);
    if (!address) {
      *error = LINEERR_INVALADDRESS;
      return nullptr;
    }
    return std::make_unique<TcpCall>(context_, FaultsFor(bound_, listen_), std::move(*address),
                                     AnswerTimeoutMs(answer_timeout_s_));
  }

 private:
  void Answer(int fd, const sockaddr_storage& peer) {
    if (!allow_ || !allow_->Allows(peer)) {
      // Not on the line's allow list: reset at once, before anything is read or offered.
      linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(fd);
      return;
    }
    testing::NumberFaults faults = FaultsFor(bound_, listen_);
    if (faults.busy || events_->HasActiveCall()) {
      close(fd);  // one call per line
      return;
    }
    events_->OfferCall(std::make_unique<TcpCall>(context_, faults, fd, DescribeAddress(peer)));
  }

  ProviderContext& context_;
  LineEvents* events_;
  std::string listen_;
  int default_port_;
  int answer_timeout_s_;
  std::optional<TcpAllowList> allow_;  // empty: nobody may call
  std::string bound_;
  Listener listener_;
};

class TcpProvider : public Provider {
 public:
  TcpProvider(const LineSettings& settings, const ServiceConfig& config, ProviderContext& context)
      : context_(context),
        name_(settings.Get("name")),
        listen_(settings.Get("listen")),
        default_port_(ParsePort(settings.Get("port"), false)),
        answer_timeout_s_(config.answer_timeout_s) {
    std::string problem;  // checked by the configuration parser; should it fail, nobody may call
    allow_ = TcpAllowList::Parse(settings.Get("allow"), &problem);
  }

  const std::string& Name() const override { return name_; }

  std::string ProviderInfo() const override { return "Quodem TCP line, listening on " + listen_; }

  LineInfo Describe(DWORD device_id) const override {
    LineInfo info;
    info.device_id = device_id;
    info.name = name_;
    info.provider = "tcp";
    info.address = listen_;
    auto held = HeldHere().find(listen_);
    if (held != HeldHere().end()) {
      info.hold = NumberHold::kHeldHere;
      info.address = held->second->bound();
    } else {
      info.hold = ProbeAddress();
    }
    return info;
  }

  LONG Translate(const std::string& input, const Location&, Translation* out) const override {
    std::optional<Translation> result = TranslateHostAddress(input);
    if (!result) return LINEERR_INVALADDRESS;
    *out = std::move(*result);
    return 0;
  }

  LONG Open(bool owner, LineEvents* events, std::unique_ptr<ProviderLine>* line) override {
    auto opened = std::make_unique<TcpLine>(context_, events, listen_, default_port_,
                                            answer_timeout_s_, allow_);
    if (owner) {
      LONG result = opened->TakeAddress();
      if (result != 0) return result;
    }
    *line = std::move(opened);
    return 0;
  }

 private:
  // Whether some other socket listens on the address: a test bind tells (port 0 is always
  // free).
  NumberHold ProbeAddress() const {
    std::optional<HostPort> address = ParseHostPort(listen_, -1, true);
    SocketAddress socket_address;
    if (!address || address->port == 0 ||
        !Resolver::ParseNumeric(address->host, address->port, &socket_address)) {
      return NumberHold::kFree;
    }
    int fd = socket(socket_address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return NumberHold::kFree;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->ipv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    bool in_use = bind(fd, reinterpret_cast<sockaddr*>(&socket_address.storage),
                       socket_address.length) != 0 &&
                  errno == EADDRINUSE;
    close(fd);
    return in_use ? NumberHold::kHeldElsewhere : NumberHold::kFree;
  }

  ProviderContext& context_;
  std::string name_;
  std::string listen_;
  int default_port_;
  int answer_timeout_s_;
  std::optional<TcpAllowList> allow_;
};

}  // namespace

std::unique_ptr<Provider> CreateTcpProvider(const LineSettings& settings,
                                            const ServiceConfig& config, ProviderContext& context) {
  return std::make_unique<TcpProvider>(settings, config, context);
}

}  // namespace quodem::telephony
