// Who may call a TCP line: the `allow` key of a [line] section, a list of addresses and
// networks separated by commas ("127.0.0.1, 192.168.1.0/24, ::1, fd00::/8"). An empty list
// lets everyone call who can reach the listen address. Pure: parsing and matching only.
//
// An IPv4 caller that reaches an IPv6 socket as an IPv4-mapped address (::ffff:a.b.c.d) is
// matched as the IPv4 address it is, and a mapped network in the list as the IPv4 network.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quodem::telephony {

class TcpAllowList {
 public:
  // Everyone may call.
  TcpAllowList() = default;

  // Parses `text`: entries ADDRESS or ADDRESS/PREFIX (an IPv6 address may stand in
  // brackets), separated by commas; blanks around entries do not count. Bits of an address beyond
  // its prefix are ignored (192.168.1.7/24 is 192.168.1.0/24). Nothing, with `*problem` naming the
  // first bad entry, for anything else: a name, an empty entry, a prefix out of range.
  static std::optional<TcpAllowList> Parse(std::string_view text, std::string* problem);

  bool AllowsEveryone() const { return networks_.empty(); }
  // Whether a caller from `peer` (AF_INET or AF_INET6) may call.
  bool Allows(const sockaddr_storage& peer) const;

 private:
  struct Network {
    bool ipv6 = false;
    std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first 4
    int prefix = 0;                        // bits that must match
  };
  static bool Matches(const Network& network, bool ipv6, const std::uint8_t* address);

  std::vector<Network> networks_;
};

}  // namespace quodem::telephony
