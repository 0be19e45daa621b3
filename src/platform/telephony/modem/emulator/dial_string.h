// What the modem emulator makes of the text after ATD: a number on the local exchange, or a
// host and port to reach over TCP, as TCP virtual modems take them.
//
//   ATDT555, ATDP 555-1234, ATD9,555   an exchange number: digits, * and # are kept; the
//                                      modifiers T P W ! @ $ and blanks, dashes, dots and
//                                      parentheses between digits are dropped; each comma
//                                      is a pause of S8 seconds before the call is placed
//   ATD"bbs.example.org:2323"          quoted: a TCP address (the quotes go)
//   ATDbbs.example.org:23, ATDT10.0.0.1, ATD[::1]:23
//                                      unquoted, with a ':', a letter other than the
//                                      modifiers, or four numbers with dots: a TCP
//                                      address; a leading T or P is the modifier (quote a
//                                      name that begins with one); without a port, 23
//   ATDL                               the last number dialled again
//
// Pure; the parse never fails: text that is neither gives an empty exchange number, which
// the emulator answers with NO CARRIER.
#pragma once

#include <string>
#include <string_view>

namespace quodem::telephony::modem::emulator {

struct DialTarget {
  enum class Kind { kExchange, kTcp };
  Kind kind = Kind::kExchange;
  std::string address;  // the exchange number, or host:port
  int pauses = 0;       // commas: S8 seconds each before dialling
  bool redial = false;  // "L": the last number (address empty)

  bool Empty() const { return address.empty() && !redial; }
  bool operator==(const DialTarget&) const = default;
};

constexpr int kDefaultTcpPort = 23;

// `text`: everything after D up to the end of the command or a ';' outside quotes.
DialTarget ParseDialString(std::string_view text);

}  // namespace quodem::telephony::modem::emulator
