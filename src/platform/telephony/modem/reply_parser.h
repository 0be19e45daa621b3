// What a Hayes modem says, one line at a time: the reply parser turns one line (without its
// line ending) into a typed reply. Pure: no I/O, no state, no allocation beyond the texts it
// keeps.
//
// Understood:
//   - echo of a command line ("AT...", "A/"), dropped by the caller (kEcho);
//   - verbose final results: OK, CONNECT, NO CARRIER, ERROR (also "+CME ERROR: n" and
//     "COMMAND NOT SUPPORT"), NO DIALTONE / NO DIAL TONE, BUSY, NO ANSWER, VOICE, DELAYED,
//     BLACKLISTED;
//   - numeric results 0-8 and 10 (what V0 sends); 9 and 11 up differ between vendors and are
//     kInformation;
//   - CONNECT with or without a rate and protocol text ("CONNECT 28800/ARQ/V34/LAPM/V42BIS",
//     "CONNECT 33600 V42bis"): the first number is the rate, the rest is kept as `detail`;
//   - unsolicited and progress lines: RING, RINGING / RRING / RINGBACK (the far end rings),
//     DIALING, caller-ID lines (DATE, TIME, NMBR, NAME, with "=" or " = "), CARRIER rate,
//     PROTOCOL: text, COMPRESSION: text;
//   - anything else (ATI texts, S-register values such as "050") is kInformation.
// Texts are matched without regard to case; blanks around the line are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quodem::telephony::modem {

enum class ReplyKind {
  kEmpty,        // a blank line
  kEcho,         // the modem echoing a command line
  kOk,           // 0
  kConnect,      // 1, 5 (1200), 10 (2400), CONNECT [rate [detail]]
  kRing,         // 2
  kNoCarrier,    // 3
  kError,        // 4
  kNoDialtone,   // 6
  kBusy,         // 7
  kNoAnswer,     // 8
  kVoice,        // a voice answered
  kDelayed,      // the number may not be dialled again yet
  kBlacklisted,  // the number may not be dialled at all
  kRinging,      // the far end is ringing
  kDialing,      // the modem has started dialling
  kCallerId,     // `field` is DATE, TIME, NMBR or NAME; `detail` its value
  kCarrier,      // carrier detected, `rate` when given
  kProtocol,     // `detail`: the error-correction protocol
  kCompression,  // `detail`: the compression in use
  kInformation,  // any other text
};

struct Reply {
  ReplyKind kind = ReplyKind::kEmpty;
  std::optional<std::uint32_t> rate;  // CONNECT and CARRIER, when a rate was given
  std::string detail;    // CONNECT: text after the rate; caller-ID value; protocol text
  std::string field;     // caller ID: DATE, TIME, NMBR or NAME (upper case)
  bool numeric = false;  // given as a numeric (V0) code

  // Ends the command the modem was given (OK, ERROR, CONNECT and the call failures).
  bool Final() const;
  // Comes without being asked for, whenever it happens (RING, caller ID, ringing, carrier,
  // protocol and compression reports, dialing).
  bool Unsolicited() const;
};

Reply ParseReply(std::string_view line);

// The reply's kind in words, as the modem would send it ("NO CARRIER"; "information" for
// other text), for messages and tests.
const char* ReplyKindName(ReplyKind kind);

}  // namespace quodem::telephony::modem
