#include "text.h"

#include <cmath>
#include <cstdio>

namespace quodem::tool {

std::string FormatBytes(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

std::string FormatRate(double bytes_per_second) {
  if (!(bytes_per_second >= 0) || std::isinf(bytes_per_second)) return "-- B/s";
  if (bytes_per_second < 1024) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f B/s", bytes_per_second);
    return text;
  }
  const char* units[] = {"KiB/s", "MiB/s", "GiB/s"};
  double value = bytes_per_second / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 2) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--";
  if (seconds < 10) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }
  const auto total = static_cast<long>(std::lround(seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string CallStateWords(CallState state) {
  switch (state) {
    case csIdle:
      return "idle";
    case csOffering:
      return "incoming call";
    case csAccepted:
      return "accepted";
    case csDialTone:
      return "dial tone";
    case csDialing:
      return "dialing";
    case csRingBack:
      return "ringing";
    case csBusy:
      return "busy";
    case csSpecialInfo:
      return "special information";
    case csConnected:
      return "connected";
    case csProceeding:
      return "proceeding";
    case csConferenced:
      return "conferenced";
    case csOnHold:
      return "on hold";
    case csDisconnected:
      return "disconnected";
    case csUnknown:
      break;
  }
  return "unknown state";
}

std::string CallStateWords(CallState state, unsigned rate) {
  std::string words = CallStateWords(state);
  if (state == csConnected && rate > 0) words += " at " + std::to_string(rate) + " bit/s";
  return words;
}

std::string FormatResultCode(LONG code) {
  struct Name {
    LONG code;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {LINEERR_ALLOCATED, "LINEERR_ALLOCATED"},
      {LINEERR_BADDEVICEID, "LINEERR_BADDEVICEID"},
      {LINEERR_BEARERMODEUNAVAIL, "LINEERR_BEARERMODEUNAVAIL"},
      {LINEERR_CALLUNAVAIL, "LINEERR_CALLUNAVAIL"},
      {LINEERR_INCOMPATIBLEAPIVERSION, "LINEERR_INCOMPATIBLEAPIVERSION"},
      {LINEERR_INIFILECORRUPT, "LINEERR_INIFILECORRUPT"},
      {LINEERR_INUSE, "LINEERR_INUSE"},
      {LINEERR_INVALADDRESS, "LINEERR_INVALADDRESS"},
      {LINEERR_INVALAPPHANDLE, "LINEERR_INVALAPPHANDLE"},
      {LINEERR_INVALCALLHANDLE, "LINEERR_INVALCALLHANDLE"},
      {LINEERR_INVALCALLSTATE, "LINEERR_INVALCALLSTATE"},
      {LINEERR_INVALLINEHANDLE, "LINEERR_INVALLINEHANDLE"},
      {LINEERR_INVALPARAM, "LINEERR_INVALPARAM"},
      {LINEERR_NODEVICE, "LINEERR_NODEVICE"},
      {LINEERR_NODRIVER, "LINEERR_NODRIVER"},
      {LINEERR_NOMEM, "LINEERR_NOMEM"},
      {LINEERR_OPERATIONFAILED, "LINEERR_OPERATIONFAILED"},
      {LINEERR_OPERATIONUNAVAIL, "LINEERR_OPERATIONUNAVAIL"},
      {LINEERR_RESOURCEUNAVAIL, "LINEERR_RESOURCEUNAVAIL"},
      {LINEERR_UNINITIALIZED, "LINEERR_UNINITIALIZED"},
  };
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(static_cast<DWORD>(code)));
  for (const Name& name : kNames) {
    if (name.code == code) return std::string(hex) + " (" + name.name + ")";
  }
  return hex;
}

namespace {

// Length of the valid UTF-8 sequence of two bytes or more at the start of `bytes`, or 0.
std::size_t Utf8SequenceLength(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
  }
  // C1 control characters (U+0080..U+009F) are control characters too.
  if (lead == 0xC2 && static_cast<unsigned char>(bytes[1]) < 0xA0) return 0;
  return length;
}

}  // namespace

std::string EscapeForDisplay(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F) {
      if (c == '\\') out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(bytes.substr(i));
      if (length > 0) {
        out.append(bytes.substr(i, length));
        i += length;
        continue;
      }
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0x1B:
        out += "\\e";
        break;
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
      }
    }
    ++i;
  }
  return out;
}

}  // namespace quodem::tool
