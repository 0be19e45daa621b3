#include "platform/telephony/tcp_address.h"

#include <arpa/inet.h>

#include <algorithm>

namespace quodem::telephony {
namespace {

bool IsIpv4(const std::string& host) {
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

bool IsIpv6(const std::string& host) {
  in6_addr address{};
  return inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// A DNS name: labels of letters, digits and '-' (not at a label's ends), 1 to 63 characters
// each, 253 characters in all; one trailing dot allowed. The last label is not all digits,
// so a mistyped address such as 300.1.1.1 is refused rather than looked up as a name.
bool IsHostName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return false;
  std::string_view last =
      name.substr(name.rfind('.') == std::string_view::npos ? 0 : name.rfind('.') + 1);
  if (std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    std::string_view label = name.substr(start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return false;
    }
    for (char c : label) {
      bool ok =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
      if (!ok) return false;
    }
    if (dot == name.size()) break;
    start = dot + 1;
  }
  return true;
}

}  // namespace

int ParsePort(std::string_view text, bool allow_zero) {
  if (text.empty() || text.size() > 5) return -1;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    port = port * 10 + (c - '0');
  }
  if (port > 65535 || (port == 0 && !allow_zero)) return -1;
  return port;
}

std::optional<HostPort> ParseHostPort(std::string_view text, int default_port,
                                      bool allow_port_zero) {
  HostPort result;
  std::string_view port_text;
  bool has_port = false;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    result.host = std::string(text.substr(1, close - 1));
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port_text = rest.substr(1);
      has_port = true;
    }
    if (!IsIpv6(result.host)) return std::nullopt;
    result.numeric = true;
    result.ipv6 = true;
  } else {
    std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons > 1) {
      // A bare IPv6 address: no port can follow without brackets.
      result.host = std::string(text);
      if (!IsIpv6(result.host)) return std::nullopt;
      result.numeric = true;
      result.ipv6 = true;
    } else {
      std::size_t colon = text.find(':');
      result.host = std::string(text.substr(0, colon));
      if (colon != std::string_view::npos) {
        port_text = text.substr(colon + 1);
        has_port = true;
      }
      if (IsIpv4(result.host)) {
        result.numeric = true;
      } else if (!IsHostName(result.host)) {
        return std::nullopt;
      }
    }
  }
  if (has_port) {
    result.port = ParsePort(port_text, allow_port_zero);
    if (result.port < 0) return std::nullopt;
  } else {
    if (default_port < 0) return std::nullopt;
    result.port = default_port;
  }
  return result;
}

std::string FormatHostPort(const std::string& host, int port, bool ipv6) {
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace quodem::telephony
