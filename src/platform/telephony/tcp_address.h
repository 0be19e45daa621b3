// Parsing of TCP line addresses: "host:port", "[IPv6]:port", a bare host name or address.
// Pure functions; resolving names is the resolver's business.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quodem::telephony {

struct HostPort {
  std::string host;  // without brackets
  int port = 0;
  bool numeric = false;  // an IPv4 or IPv6 literal (no name lookup needed)
  bool ipv6 = false;
};

// The port in `text` (decimal, 1-65535, or 0 when `allow_zero`), or -1.
int ParsePort(std::string_view text, bool allow_zero);

// Parses `text`; a bare host gets `default_port` (a negative default makes the port
// mandatory). Returns nothing for anything malformed: spaces, an empty host, a host that is
// neither an address nor a valid DNS name, a bad port.
std::optional<HostPort> ParseHostPort(std::string_view text, int default_port,
                                      bool allow_port_zero);

// "host:port", with brackets around an IPv6 host.
std::string FormatHostPort(const std::string& host, int port, bool ipv6);

}  // namespace quodem::telephony
