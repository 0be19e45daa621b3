// Human-readable forms for the terminal and plain output: byte counts, rates, durations,
// call states in words, telephony result codes, and received bytes shown as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quodem/component/quodem.h"

namespace quodem::tool {

// "999 B", "1.5 KiB", "8.0 MiB".
std::string FormatBytes(std::uint64_t bytes);
// "12.3 MiB/s".
std::string FormatRate(double bytes_per_second);
// "2.5 s" below ten seconds, then "0:17", "1:02:03"; "--:--" for a negative or unknown
// duration.
std::string FormatDuration(double seconds);

// A call state in words: "connected", "ringing", "incoming call"; with a rate (bits per
// second, not 0) the connected state says it: "connected at 33600 bit/s".
std::string CallStateWords(CallState state);
std::string CallStateWords(CallState state, unsigned rate);

// A telephony result code as the tool prints it: "0x80000005 (LINEERR_CALLUNAVAIL)", or just
// the hexadecimal value for codes it has no name for.
std::string FormatResultCode(LONG code);

// Received bytes for a terminal: printable text and valid UTF-8 pass through; control
// characters become \n, \t, \r, \e or \xNN, a backslash becomes \\, and bytes that are not
// valid UTF-8 become \xNN. The result never contains a control character.
std::string EscapeForDisplay(std::string_view bytes);

}  // namespace quodem::tool
