#include "platform/telephony/provider_kinds.h"

#include "platform/telephony/exchange_provider.h"
#include "platform/telephony/modem/modem_provider.h"
#include "platform/telephony/modem/modem_settings.h"
#include "platform/telephony/tcp_address.h"
#include "platform/telephony/tcp_allow.h"
#include "platform/telephony/tcp_provider.h"

namespace quodem::telephony {
namespace {

constexpr std::size_t kMaxNameBytes = 127;  // the component keeps names in 128-byte fields
constexpr std::size_t kMaxNumberLength = 32;
// From the slowest modems to well past any serial line; 0 turns pacing off.
constexpr std::uint32_t kMinSpeed = 50;
constexpr std::uint32_t kMaxSpeed = 100000000;

std::string CheckNumber(const std::string& value) {
  if (value.empty() || value.size() > kMaxNumberLength) return "must be 1 to 32 characters";
  for (char c : value) {
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#')) {
      return "may hold only digits, * and #";
    }
  }
  return "";
}

std::string CheckListen(const std::string& value) {
  std::optional<HostPort> address = ParseHostPort(value, -1, true);
  if (!address || !address->numeric) {
    return "must be an IPv4 address or a bracketed IPv6 address with a port, like "
           "127.0.0.1:6400 or [::1]:6400";
  }
  return "";
}

std::string CheckAllow(const std::string& value) {
  std::string problem;
  return TcpAllowList::Parse(value, &problem) ? "" : problem;
}

std::string CheckSpeed(const std::string& value) {
  if (value.empty() || value.size() > 9 ||
      value.find_first_not_of("0123456789") != std::string::npos) {
    return "must be a number of bits a second";
  }
  const unsigned long bits = std::stoul(value);
  if (bits != 0 && (bits < kMinSpeed || bits > kMaxSpeed)) {
    return "must be 0 (no pacing) or from 50 to 100000000";
  }
  return "";
}

std::string CheckPort(const std::string& value) {
  return ParsePort(value, false) < 0 ? "must be a port number from 1 to 65535" : "";
}

std::vector<ProviderKind> MakeKinds() {
  KeyRule name{"name", "", true, false, "the line's name as applications list it", CheckLineName};
  std::vector<ProviderKind> kinds;
  kinds.push_back(ProviderKind{
      "exchange",
      {name,
       KeyRule{"number", "", true, true,
               "the line's number on the local exchange (digits, * and #)", CheckNumber},
       KeyRule{"speed", "0", false, false,
               "bits a second the line's calls send at, as a modem of that speed (0: as fast "
               "as the machine goes)",
               CheckSpeed}},
      CreateExchangeProvider});
  KeyRule tcp_name = name;
  tcp_name.required = false;
  tcp_name.default_value = "TCP/IP line";
  kinds.push_back(ProviderKind{
      "tcp",
      {tcp_name,
       KeyRule{"listen", "127.0.0.1:6400", false, true,
               "address to listen on when waiting (port 0: any free port)", CheckListen},
       KeyRule{"port", "6400", false, false, "port used when a dialed host has none", CheckPort},
       KeyRule{"allow", "", false, false,
               "addresses and networks that may call, such as 192.168.1.0/24 (empty: anyone)",
               CheckAllow}},
      CreateTcpProvider});
  kinds.push_back(ProviderKind{"modem", modem::ModemKeyRules(), CreateModemProvider});
  return kinds;
}

}  // namespace

const std::vector<ProviderKind>& ProviderKinds() {
  static const std::vector<ProviderKind> kinds = MakeKinds();
  return kinds;
}

const ProviderKind* FindProviderKind(std::string_view name) {
  for (const ProviderKind& kind : ProviderKinds()) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

std::string CheckLineName(const std::string& value) {
  if (value.empty() || value.size() > kMaxNameBytes) return "must be 1 to 127 characters";
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "must not contain control characters";
    if (c == ';') return "must not contain ';' (it starts a comment in the file)";
  }
  return "";
}

std::uint32_t PaceForSpeed(const std::string& value) {
  if (!CheckSpeed(value).empty()) return 0;
  return static_cast<std::uint32_t>(std::stoul(value) / 10);
}

}  // namespace quodem::telephony
