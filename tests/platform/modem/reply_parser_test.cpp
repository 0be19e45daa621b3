// The reply parser and line splitter, from replies real modems send (USR, ZyXEL, Rockwell,
// Hayes, caller-ID modems) and the traps between them: S-register values that look like
// numeric codes, echo, vendor codes, CONNECT texts with and without rates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/telephony/modem/reply_lines.h"
#include "platform/telephony/modem/reply_parser.h"

namespace quodem::telephony::modem {
namespace {

struct Case {
  const char* line;
  ReplyKind kind;
  long rate;  // -1: none
  const char* detail;
  bool final;
};

TEST(ReplyParser, RealModemLines) {
  const std::vector<Case> cases = {
      {"OK", ReplyKind::kOk, -1, "", true},
      {"ok", ReplyKind::kOk, -1, "", true},
      {"  OK  ", ReplyKind::kOk, -1, "", true},
      {"ERROR", ReplyKind::kError, -1, "", true},
      {"+CME ERROR: 30", ReplyKind::kError, -1, "30", true},
      {"COMMAND NOT SUPPORT", ReplyKind::kError, -1, "", true},
      {"NO CARRIER", ReplyKind::kNoCarrier, -1, "", true},
      {"BUSY", ReplyKind::kBusy, -1, "", true},
      {"NO ANSWER", ReplyKind::kNoAnswer, -1, "", true},
      {"NO DIALTONE", ReplyKind::kNoDialtone, -1, "", true},
      {"NO DIAL TONE", ReplyKind::kNoDialtone, -1, "", true},
      {"VOICE", ReplyKind::kVoice, -1, "", true},
      {"DELAYED", ReplyKind::kDelayed, -1, "", true},
      {"BLACKLISTED", ReplyKind::kBlacklisted, -1, "", true},
      // CONNECT: the first number is the rate, the rest is kept.
      {"CONNECT", ReplyKind::kConnect, -1, "", true},
      {"CONNECT 33600", ReplyKind::kConnect, 33600, "", true},
      {"CONNECT 28800/ARQ/V34/LAPM/V42BIS", ReplyKind::kConnect, 28800, "ARQ/V34/LAPM/V42BIS",
       true},
      {"CONNECT 14400/ARQ", ReplyKind::kConnect, 14400, "ARQ", true},
      {"CONNECT 38400/V.32bis 14400/V.42bis", ReplyKind::kConnect, 38400, "V.32bis 14400/V.42bis",
       true},
      {"CONNECT 33600 EC", ReplyKind::kConnect, 33600, "EC", true},
      {"CONNECT 33600 V42bis", ReplyKind::kConnect, 33600, "V42bis", true},
      {"CONNECT57600", ReplyKind::kConnect, 57600, "", true},
      {"CONNECT FAX", ReplyKind::kConnect, -1, "FAX", true},
      // A number too long to be a rate is text, not a wrapped-around rate.
      {"CONNECT 99999999999999", ReplyKind::kConnect, -1, "99999999999999", true},
      {"CONNECTED", ReplyKind::kInformation, -1, "CONNECTED", false},
      // Unsolicited and progress lines.
      {"RING", ReplyKind::kRing, -1, "", false},
      {"RINGING", ReplyKind::kRinging, -1, "", false},
      {"RRING", ReplyKind::kRinging, -1, "", false},
      {"DIALING", ReplyKind::kDialing, -1, "", false},
      {"CARRIER 28800", ReplyKind::kCarrier, 28800, "", false},
      {"CARRIER 2400/V22BIS", ReplyKind::kCarrier, 2400, "V22BIS", false},
      {"PROTOCOL: LAPM", ReplyKind::kProtocol, -1, "LAPM", false},
      {"PROTOCOL:NONE", ReplyKind::kProtocol, -1, "NONE", false},
      {"COMPRESSION: V.42BIS", ReplyKind::kCompression, -1, "V.42BIS", false},
      // Numeric codes 0-8 and 10; 9 and 11 up are vendor-specific and stay text.
      {"0", ReplyKind::kOk, -1, "", true},
      {"1", ReplyKind::kConnect, -1, "", true},
      {"2", ReplyKind::kRing, -1, "", false},
      {"3", ReplyKind::kNoCarrier, -1, "", true},
      {"4", ReplyKind::kError, -1, "", true},
      {"5", ReplyKind::kConnect, 1200, "", true},
      {"6", ReplyKind::kNoDialtone, -1, "", true},
      {"7", ReplyKind::kBusy, -1, "", true},
      {"8", ReplyKind::kNoAnswer, -1, "", true},
      {"9", ReplyKind::kInformation, -1, "9", false},
      {"10", ReplyKind::kConnect, 2400, "", true},
      {"13", ReplyKind::kInformation, -1, "13", false},
      // S-register values have three digits: "000" is not OK, "002" not RING.
      {"000", ReplyKind::kInformation, -1, "000", false},
      {"002", ReplyKind::kInformation, -1, "002", false},
      {"04", ReplyKind::kInformation, -1, "04", false},
      // Echo of what was sent, and texts.
      {"ATZ", ReplyKind::kEcho, -1, "", false},
      {"atdt555", ReplyKind::kEcho, -1, "", false},
      {"A/", ReplyKind::kEcho, -1, "", false},
      {"U.S. Robotics 56K FAX EXT", ReplyKind::kInformation, -1, "U.S. Robotics 56K FAX EXT",
       false},
      {"OKAY", ReplyKind::kInformation, -1, "OKAY", false},
      {"", ReplyKind::kEmpty, -1, "", false},
      {" \t ", ReplyKind::kEmpty, -1, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("line \"") + c.line + "\"");
    Reply reply = ParseReply(c.line);
    EXPECT_EQ(ReplyKindName(reply.kind), std::string(ReplyKindName(c.kind)));
    EXPECT_EQ(reply.rate ? static_cast<long>(*reply.rate) : -1L, c.rate);
    EXPECT_EQ(reply.detail, c.detail);
    EXPECT_EQ(reply.Final(), c.final);
  }
}

TEST(ReplyParser, CallerIdLinesInBothFormats) {
  Reply date = ParseReply("DATE = 0321");
  EXPECT_EQ(date.kind, ReplyKind::kCallerId);
  EXPECT_EQ(date.field, "DATE");
  EXPECT_EQ(date.detail, "0321");
  Reply number = ParseReply("NMBR=5551234");
  EXPECT_EQ(number.field, "NMBR");
  EXPECT_EQ(number.detail, "5551234");
  Reply name = ParseReply("NAME = JOHN Q PUBLIC");
  EXPECT_EQ(name.field, "NAME");
  EXPECT_EQ(name.detail, "JOHN Q PUBLIC");
  EXPECT_TRUE(name.Unsolicited());
  // Without "=" it is just text.
  EXPECT_EQ(ParseReply("NAMEPLATE").kind, ReplyKind::kInformation);
}

TEST(ReplyParser, NumericCodesAreMarked) {
  EXPECT_TRUE(ParseReply("0").numeric);
  EXPECT_FALSE(ParseReply("OK").numeric);
}

std::vector<std::string> Split(const std::vector<std::string>& pieces) {
  ReplyLines lines;
  std::vector<std::string> out;
  for (const std::string& piece : pieces) {
    lines.Feed(piece);
    while (auto line = lines.Next()) out.push_back(*line);
  }
  return out;
}

TEST(ReplyLines, VerboseNumericAndEchoInAnyPieces) {
  const std::vector<std::string> want = {"ATZ", "OK", "ATD555", "CONNECT 33600"};
  // Echo with CR, verbose with CR LF, the way an E1 V1 modem sends it.
  const std::string stream = "ATZ\r\r\nOK\r\nATD555\r\r\nCONNECT 33600\r\n";
  EXPECT_EQ(Split({stream}), want);
  std::vector<std::string> bytes;
  for (char c : stream) bytes.push_back(std::string(1, c));
  EXPECT_EQ(Split(bytes), want);
  // V0: code CR, no LF.
  EXPECT_EQ(Split({"0\r", "1", "0\r"}), (std::vector<std::string>{"0", "10"}));
}

TEST(ReplyLines, OverlongLineIsCutAndItsRestDropped) {
  ReplyLines lines;
  lines.Feed(std::string(ReplyLines::kMaxLine + 100, 'x') + "\r\nOK\r\n");
  auto first = lines.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), ReplyLines::kMaxLine);
  EXPECT_EQ(lines.Next(), std::optional<std::string>("OK"));
  EXPECT_FALSE(lines.Next());
  // A prompt without ending stays partial; Clear forgets it.
  lines.Feed("> ");
  EXPECT_EQ(lines.Partial(), "> ");
  lines.Clear();
  lines.Feed("\r\n");
  EXPECT_FALSE(lines.Next());
}

}  // namespace
}  // namespace quodem::telephony::modem
