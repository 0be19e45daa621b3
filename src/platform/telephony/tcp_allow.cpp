#include "platform/telephony/tcp_allow.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace quodem::telephony {
namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const std::uint8_t* bytes) {
  return std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<TcpAllowList> TcpAllowList::Parse(std::string_view text, std::string* problem) {
  TcpAllowList list;
  if (Trim(text).empty()) return list;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view entry = Trim(text.substr(start, comma - start));
    start = comma + 1;
    const auto bad = [&](const std::string& why) {
      *problem = "'" + std::string(entry) + "' " + why +
                 " (give addresses or networks such as 127.0.0.1, 192.168.1.0/24 or fd00::/8, "
                 "separated by commas)";
      return std::nullopt;
    };
    if (entry.empty()) return bad("is an empty entry");
    std::string_view address = entry;
    std::string_view prefix_text;
    const std::size_t slash = entry.find('/');
    const bool has_prefix = slash != std::string_view::npos;
    if (has_prefix) {
      address = Trim(entry.substr(0, slash));
      prefix_text = Trim(entry.substr(slash + 1));
    }
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    }
    Network network;
    const std::string host(address);
    if (inet_pton(AF_INET, host.c_str(), network.bytes.data()) == 1) {
      network.prefix = 32;
    } else if (inet_pton(AF_INET6, host.c_str(), network.bytes.data()) == 1) {
      network.ipv6 = true;
      network.prefix = 128;
    } else {
      return bad("is not an IPv4 or IPv6 address");
    }
    if (has_prefix) {
      int prefix = 0;
      bool digits = !prefix_text.empty() && prefix_text.size() <= 3;
      for (char c : prefix_text) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) prefix = prefix * 10 + (c - '0');
      }
      if (!digits || prefix > network.prefix) {
        return bad("has a prefix length that is not from 0 to " + std::to_string(network.prefix));
      }
      network.prefix = prefix;
    }
    if (network.ipv6 && network.prefix >= 96 && IsMapped(network.bytes.data())) {
      // ::ffff:10.0.0.0/104 is the IPv4 network 10.0.0.0/8.
      std::memmove(network.bytes.data(), network.bytes.data() + 12, 4);
      std::memset(network.bytes.data() + 4, 0, 12);
      network.ipv6 = false;
      network.prefix -= 96;
    }
    list.networks_.push_back(network);
  }
  return list;
}

bool TcpAllowList::Matches(const Network& network, bool ipv6, const std::uint8_t* address) {
  if (network.ipv6 != ipv6) return false;
  const int whole = network.prefix / 8;
  if (std::memcmp(network.bytes.data(), address, static_cast<std::size_t>(whole)) != 0) {
    return false;
  }
  const int rest = network.prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (network.bytes[whole] & mask) == (address[whole] & mask);
}

bool TcpAllowList::Allows(const sockaddr_storage& peer) const {
  if (networks_.empty()) return true;
  std::uint8_t bytes[16] = {};
  bool ipv6 = false;
  if (peer.ss_family == AF_INET) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, 4);
  } else if (peer.ss_family == AF_INET6) {
    const auto* address = &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
    std::memcpy(bytes, address, 16);
    ipv6 = true;
    if (IsMapped(bytes)) {
      std::memmove(bytes, bytes + 12, 4);
      std::memset(bytes + 4, 0, 12);
      ipv6 = false;
    }
  } else {
    return false;
  }
  for (const Network& network : networks_) {
    if (Matches(network, ipv6, bytes)) return true;
  }
  return false;
}

}  // namespace quodem::telephony
