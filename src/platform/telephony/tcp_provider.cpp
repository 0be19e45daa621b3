#include "platform/telephony/tcp_provider.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/telephony/config.h"
#include "platform/telephony/event_loop.h"
#include "platform/telephony/faults.h"
#include "platform/telephony/listening_line.h"
#include "platform/telephony/resolver.h"
#include "platform/telephony/stream_call.h"
#include "platform/telephony/tcp_address.h"
#include "platform/telephony/tcp_allow.h"
#include "platform/telephony/translate.h"

namespace quodem::telephony {
namespace {

constexpr int kListenBacklog = 16;

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

// The faults of a TCP line: given for its bound address, else for its configured one.
testing::NumberFaults FaultsFor(const std::string& bound, const std::string& configured) {
  testing::NumberFaults none;
  testing::NumberFaults faults = faults::ForNumber(bound);
  bool given = faults.answer_delay_ms != none.answer_delay_ms ||
               faults.never_answer != none.never_answer || faults.busy != none.busy ||
               faults.drop_after_bytes != none.drop_after_bytes;
  return given || bound.empty() ? faults : faults::ForNumber(configured);
}

// What a waiting TCP line parks when it closes: its listening socket, the callers it kept and
// the address it is bound to.
class ParkedSocket : public ParkedListener {
 public:
  ParkedSocket(ListenerParts parts, std::string bound)
      : ParkedListener(std::move(parts)), bound_(std::move(bound)) {}
  const std::string& bound() const { return bound_; }

 private:
  std::string bound_;
};

std::string ParkingKey(const std::string& listen) {
  return "tcp:" + listen;
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
  TcpCall(ProviderContext& context, const testing::NumberFaults& faults, posix::UniqueFd fd,
          const std::string& peer)
      : StreamCall(context, faults, "tcp:" + peer) {
    AdoptIncoming(std::move(fd));
  }

  std::string CallerName() const override { return device_name_.substr(4); }  // "tcp:" + peer

  void Start() override {
    EnterPhase(Phase::kDialing, {{LINECALLSTATE_DIALING}});
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
    if (phase() != Phase::kDialing) return;
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
      posix::UniqueFd fd(
          socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (!fd) {
        last_error_ = errno;
        continue;
      }
      SetSocket(std::move(fd));
      int rc =
          connect(SocketFd(), reinterpret_cast<const sockaddr*>(&address.storage), address.length);
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
    if (getsockopt(SocketFd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) {
      Connected();
      return;
    }
    last_error_ = error;
    StopWatching();
    ConnectNext();
  }

  void Connected() {
    MarkSocketConnected();
    EnterConnected();
  }

  HostPort destination_;
  int answer_timeout_ms_ = 0;
  std::vector<SocketAddress> addresses_;
  std::size_t next_ = 0;
  int last_error_ = ECONNREFUSED;
};

class TcpLine : public ListeningLine {
 public:
  TcpLine(ProviderContext& context, LineEvents* events, std::string listen, int default_port,
          int answer_timeout_s, std::optional<TcpAllowList> allow)
      : ListeningLine(context, events, answer_timeout_s),
        listen_(std::move(listen)),
        default_port_(default_port),
        allow_(std::move(allow)) {
    SetKey(ParkingKey(listen_));
  }

  ~TcpLine() override {
    if (!Listening()) return;
    // A line that waited for calls keeps its port for a moment, for this process to open the
    // line again without a gap another process could bind in.
    Park(std::make_unique<ParkedSocket>(StopForParking(), bound_));
  }

  const std::string& bound() const { return bound_; }

  bool Holds(const std::string& name) const override {
    return Listening() && (name == listen_ || name == bound_);
  }

  // Listens when the address is free. Returns 0 also when it is in use (outgoing calls only).
  LONG TakeAddress() {
    MarkTakenByOwner();
    if (HeldHere(key()) != nullptr) return 0;
    bool listening = false;
    if (auto parked = TakeParked(&listening)) {
      if (!listening) return LINEERR_RESOURCEUNAVAIL;
      bound_ = static_cast<ParkedSocket&>(*parked).bound();
      return 0;
    }
    std::optional<HostPort> address = ParseHostPort(listen_, -1, true);
    SocketAddress socket_address;
    if (!address || !Resolver::ParseNumeric(address->host, address->port, &socket_address)) {
      return Broken("cannot listen on " + listen_ + ": not an address", LINEERR_OPERATIONFAILED);
    }
    posix::UniqueFd fd(
        socket(socket_address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
      return Broken("cannot listen on " + listen_ + ": " + std::strerror(errno),
                    LINEERR_RESOURCEUNAVAIL);
    }
    int on = 1;
    // Lets a new listener bind while connections of an old one linger in TIME_WAIT; two
    // listeners on one port are still refused (EADDRINUSE).
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->ipv6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&socket_address.storage),
             socket_address.length) != 0) {
      int error = errno;
      if (error == EADDRINUSE) return 0;  // another process waits there
      return Broken("cannot listen on " + listen_ + ": " + std::strerror(error),
                    LINEERR_OPERATIONFAILED);
    }
    if (listen(fd.get(), kListenBacklog) != 0) {
      int error = errno;
      if (error == EADDRINUSE) return 0;
      return Broken("cannot listen on " + listen_ + ": " + std::strerror(error),
                    LINEERR_OPERATIONFAILED);
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length);
    bound_ = DescribeAddress(local);  // before the first call can come in, which reads it
    if (!Listen(std::move(fd))) {
      bound_.clear();
      return LINEERR_RESOURCEUNAVAIL;
    }
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
    auto call = std::make_unique<TcpCall>(context_, FaultsFor(bound_, listen_), std::move(*address),
                                          AnswerTimeoutMs());
    // A line that dials out stops listening rather than holding the port for the whole call:
    // a process waiting on that address can take it meanwhile (callers are refused either way
    // while this call lasts).
    StopListening();
    return call;
  }

 protected:
  // A new connection: a caller not on the line's allow list is reset at once, before
  // anything is read or offered; anyone else is answered (or kept, or turned away busy).
  void OnAccepted(posix::UniqueFd fd, const sockaddr_storage& peer) override {
    if (!allow_ || !allow_->Allows(peer)) {
      linger reset{1, 0};
      setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return;  // `fd` closes: a reset
    }
    Answer(std::move(fd), DescribeAddress(peer));
  }
  testing::NumberFaults IncomingFaults() const override { return FaultsFor(bound_, listen_); }
  std::unique_ptr<ProviderCall> MakeIncomingCall(posix::UniqueFd fd, const std::string& peer,
                                                 const testing::NumberFaults& faults) override {
    return std::make_unique<TcpCall>(context_, faults, std::move(fd), peer);
  }
  std::string AddressWords() const override { return listen_; }
  std::string HeldElsewhereWhy(bool by_line_here) const override {
    return by_line_here ? listen_ + " is listened on by another line of this process"
                        : "cannot listen on " + listen_ + ": " + std::strerror(EADDRINUSE);
  }

 private:
  std::string listen_;
  int default_port_;
  std::optional<TcpAllowList> allow_;  // empty: nobody may call
  std::string bound_;
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
    if (auto* held = ListeningLine::HeldHere(ParkingKey(listen_))) {
      info.hold = NumberHold::kHeldHere;
      info.address = static_cast<const TcpLine*>(held)->bound();
    } else if (IsAddressParked(ParkingKey(listen_))) {
      info.hold = NumberHold::kFree;  // parked between two calls: any open here takes it back
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
    posix::UniqueFd fd(socket(socket_address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return NumberHold::kFree;
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->ipv6) setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    bool in_use = bind(fd.get(), reinterpret_cast<sockaddr*>(&socket_address.storage),
                       socket_address.length) != 0 &&
                  errno == EADDRINUSE;
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
