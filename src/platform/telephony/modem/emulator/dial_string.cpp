#include "platform/telephony/modem/emulator/dial_string.h"

#include <cctype>

namespace quodem::telephony::modem::emulator {
namespace {

constexpr std::size_t kMaxAddress = 255;

bool IsModifier(char c) {
  switch (std::toupper(static_cast<unsigned char>(c))) {
    case 'T':
    case 'P':
    case 'W':
    case '!':
    case '@':
    case '$':
    case ',':
    case ' ':
    case '-':
    case '(':
    case ')':
      return true;
    default:
      return false;
  }
}

std::string Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

// host, host:port, [v6]:port; a port is added when missing.
std::string WithPort(std::string host) {
  if (host.empty()) return host;
  bool has_port;
  if (host.front() == '[') {
    std::size_t close = host.find(']');
    has_port = close != std::string::npos && close + 1 < host.size() && host[close + 1] == ':';
  } else {
    std::size_t colon = host.find(':');
    // Two colons or more without brackets: a bare IPv6 address.
    if (colon != std::string::npos && host.find(':', colon + 1) != std::string::npos) {
      return "[" + host + "]:" + std::to_string(kDefaultTcpPort);
    }
    has_port = colon != std::string::npos;
  }
  return has_port ? host : host + ":" + std::to_string(kDefaultTcpPort);
}

}  // namespace

DialTarget ParseDialString(std::string_view text) {
  DialTarget target;
  std::string raw = Trim(text);
  if (raw.size() > kMaxAddress) raw.resize(kMaxAddress);
  // A leading T or P (tone, pulse) may come before anything.
  std::string_view body = raw;
  if (!body.empty() &&
      (body.front() == 'T' || body.front() == 't' || body.front() == 'P' || body.front() == 'p')) {
    std::string_view rest = body.substr(1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!rest.empty() && rest.front() == '"') body = rest;
  }
  std::size_t quote = body.find('"');
  if (quote != std::string_view::npos) {
    std::string_view inside = body.substr(quote + 1);
    std::size_t end = inside.find('"');
    target.kind = DialTarget::Kind::kTcp;
    target.address = WithPort(Trim(inside.substr(0, end)));
    return target;
  }
  std::string compact;
  for (char c : raw) {
    if (c != ' ') compact += c;
  }
  if (compact == "L" || compact == "l") {
    target.redial = true;
    return target;
  }
  bool host = false;
  int dots = 0;
  for (char c : compact) {
    if (c == ':' || c == '[' || (std::isalpha(static_cast<unsigned char>(c)) && !IsModifier(c))) {
      host = true;
    }
    if (c == '.') ++dots;
  }
  if (dots == 3) host = true;  // an IPv4 address without a port
  if (host) {
    // A leading T or P is the tone/pulse modifier out of habit ("ATDTbbs.example.org"); a
    // name that really begins with T or P is dialled in quotes.
    std::string address = Trim(raw);
    if (!address.empty() &&
        (address[0] == 'T' || address[0] == 'P' || address[0] == 't' || address[0] == 'p')) {
      address = Trim(std::string_view(address).substr(1));
    }
    target.kind = DialTarget::Kind::kTcp;
    target.address = WithPort(address);
    return target;
  }
  for (char c : compact) {
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') {
      target.address += c;
    } else if (c == ',') {
      ++target.pauses;
    }
    // Everything else here is a modifier, '.', '+' or a stray character: dropped.
  }
  return target;
}

}  // namespace quodem::telephony::modem::emulator
