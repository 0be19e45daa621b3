// Address translation and the parsing of dial strings and TCP addresses, from tables.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/telephony/exchange_provider.h"
#include "platform/telephony/tcp_address.h"
#include "platform/telephony/translate.h"
#include "telephony_harness.h"

namespace quodem::telephony_test {
namespace {

using telephony::Location;
using telephony::Translation;

Location Redmond() {
  Location location;
  location.country = "1";
  location.area = "425";
  location.outside = "9";
  location.long_distance = "1";
  location.international = "011";
  return location;
}

struct PhoneCase {
  const char* input;
  bool valid;
  const char* dialable;
  const char* displayable;
  DWORD results;
};

TEST(Translation, PhoneNumbersWithADialingLocation) {
  constexpr DWORD kCanonical = LINETRANSLATERESULT_CANONICAL;
  const PhoneCase cases[] = {
      {"+1 (425) 555-0100", true, "95550100", "+1 (425) 555-0100",
       kCanonical | LINETRANSLATERESULT_LOCAL},
      {"+1 (206) 555.0100", true, "912065550100", "+1 (206) 555.0100",
       kCanonical | LINETRANSLATERESULT_LONGDISTANCE},
      {"+44 (20) 7946 0018", true, "9011442079460018", "+44 (20) 7946 0018",
       kCanonical | LINETRANSLATERESULT_INTERNATIONAL},
      {"  +1(425)5550100  ", true, "95550100", "+1 (425) 5550100",
       kCanonical | LINETRANSLATERESULT_LOCAL},
      {"+1 ( 425 ) 555 0100", true, "95550100", "+1 (425) 555 0100",
       kCanonical | LINETRANSLATERESULT_LOCAL},
      // Not canonical: dialable characters kept, formatting dropped.
      {"102", true, "102", "102", LINETRANSLATERESULT_NOTCANONICAL},
      {"(555) 12-34", true, "5551234", "(555) 12-34", LINETRANSLATERESULT_NOTCANONICAL},
      {"*72#", true, "*72#", "*72#", LINETRANSLATERESULT_NOTCANONICAL},
      {"+44 20 7946", true, "+44207946", "+44 20 7946", LINETRANSLATERESULT_NOTCANONICAL},
      {"+1 (425", true, "+1425", "+1 (425", LINETRANSLATERESULT_NOTCANONICAL},
      // Illegal or empty.
      {"", false, "", "", 0},
      {"   ", false, "", "", 0},
      {"()-", false, "", "", 0},
      {"+", false, "", "", 0},
      {"1+2", false, "", "", 0},
      {"../101", false, "", "", 0},
      {"/etc/passwd", false, "", "", 0},
      {"12a", false, "", "", 0},
      {"+1 (425) 555x0100", false, "", "", 0},
      {"101\t;", false, "", "", 0},
  };
  for (const PhoneCase& c : cases) {
    std::optional<Translation> t = telephony::TranslatePhoneNumber(c.input, Redmond());
    ASSERT_EQ(t.has_value(), c.valid) << "'" << c.input << "'";
    if (!t) continue;
    EXPECT_EQ(t->dialable, c.dialable) << c.input;
    EXPECT_EQ(t->displayable, c.displayable) << c.input;
    EXPECT_EQ(t->results, c.results) << c.input;
    EXPECT_EQ(t->current_country, 1u);
  }
  // An empty outside prefix and another country.
  Location home = Redmond();
  home.outside = "";
  home.country = "44";
  home.area = "20";
  home.international = "00";
  home.long_distance = "0";
  std::optional<Translation> t = telephony::TranslatePhoneNumber("+44 (20) 7946 0018", home);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->dialable, "79460018");
  t = telephony::TranslatePhoneNumber("+44 (161) 496 0000", home);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->dialable, "01614960000");
  t = telephony::TranslatePhoneNumber("+1 (425) 555 0100", home);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->dialable, "0014255550100");
  EXPECT_EQ(t->dest_country, 1u);
  EXPECT_EQ(t->current_country, 44u);
}

TEST(Translation, TcpAddresses) {
  struct Case {
    const char* input;
    bool valid;
  } cases[] = {
      {"127.0.0.1:6400", true},
      {"[::1]:6400", true},
      {"example.org", true},
      {"host-1.lan:80", true},
      {"::1", true},
      {" 10.0.0.1 ", true},
      {"", false},
      {"a b:80", false},
      {"host:", false},
      {"host:0", false},
      {"host:65536", false},
      {"[::1]", true},
      {"[nothost]:80", false},
      {"-bad.org", false},
      {"300.1.1.1", false},
      {"host:80:90", false},
      {"1.2.3.4:99999", false},
      {"ex_ample.org", false},
  };
  for (const auto& c : cases) {
    std::optional<Translation> t = telephony::TranslateHostAddress(c.input);
    ASSERT_EQ(t.has_value(), c.valid) << "'" << c.input << "'";
    if (t) {
      EXPECT_EQ(t->dialable, t->displayable);
      EXPECT_EQ(t->results, 0u);
    }
  }
}

TEST(Translation, HostPortParsing) {
  auto parsed = telephony::ParseHostPort("[fe80::1]:99", 6400, false);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->host, "fe80::1");
  EXPECT_EQ(parsed->port, 99);
  EXPECT_TRUE(parsed->ipv6);
  EXPECT_TRUE(parsed->numeric);
  parsed = telephony::ParseHostPort("peer.example", 6400, false);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->port, 6400);
  EXPECT_FALSE(parsed->numeric);
  EXPECT_FALSE(telephony::ParseHostPort("peer.example", -1, false));  // port required
  EXPECT_TRUE(telephony::ParseHostPort("127.0.0.1:0", -1, true));
  EXPECT_FALSE(telephony::ParseHostPort("127.0.0.1:0", -1, false));
  EXPECT_EQ(telephony::FormatHostPort("::1", 5, true), "[::1]:5");
}

TEST(Translation, ExchangeDialStringsNeverNameAPath) {
  struct Case {
    const char* input;
    const char* number;
  } cases[] = {
      {"102", "102"}, {"1-0-2", "102"}, {"(10) 2", "102"}, {"T102", "102"},  {"P1,0W2", "102"},
      {"*7#", "*7#"}, {"+102", "102"},  {"../102", ""},    {"/tmp/102", ""}, {"10/2", ""},
      {"", ""},       {"-.", ""},       {"102x", ""},      {"10 2;", "102"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(telephony::ExchangeNumberFromDialString(c.input), c.number) << c.input;
  }
  EXPECT_EQ(telephony::ExchangeNumberFromDialString(std::string(65, '1')), "");
}

TEST(Translation, OutputBlockRules) {
  Translation t;
  t.dialable = "95550100";
  t.displayable = "+1 (425) 555-0100";
  t.results = LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_LOCAL;
  const DWORD needed = sizeof(LINETRANSLATEOUTPUT) + 9 + 18;
  std::vector<unsigned char> storage(256, 0xAB);
  auto* block = reinterpret_cast<LINETRANSLATEOUTPUT*>(storage.data());
  block->dwTotalSize = needed - 1;
  EXPECT_EQ(telephony::WriteTranslateOutput(t, block), LINEERR_STRUCTURETOOSMALL);
  EXPECT_EQ(block->dwNeededSize, needed);
  for (std::size_t i = sizeof(LINETRANSLATEOUTPUT); i < storage.size(); ++i) {
    ASSERT_EQ(storage[i], 0xAB) << i;
  }
  block->dwTotalSize = needed;
  ASSERT_EQ(telephony::WriteTranslateOutput(t, block), 0);
  const char* base = reinterpret_cast<const char*>(block);
  EXPECT_EQ(block->dwDialableStringSize, 9u);  // terminating zero included
  EXPECT_STREQ(base + block->dwDialableStringOffset, "95550100");
  EXPECT_EQ(block->dwDisplayableStringSize, 18u);
  EXPECT_STREQ(base + block->dwDisplayableStringOffset, "+1 (425) 555-0100");
  EXPECT_EQ(block->dwUsedSize, needed);
  EXPECT_EQ(storage[needed], 0xAB);
  block->dwTotalSize = 6;  // no room for dwNeededSize either
  EXPECT_EQ(telephony::WriteTranslateOutput(t, block), LINEERR_STRUCTURETOOSMALL);
}

TEST(Translation, ThroughTheLineFunction) {
  Party session;
  std::vector<DWORD> storage(1040 / 4, 0);
  auto* out = reinterpret_cast<LINETRANSLATEOUTPUT*>(storage.data());
  out->dwTotalSize = 1040;
  // The default location: country 1, no area code, no outside prefix.
  ASSERT_EQ(
      lineTranslateAddressA(session.app, 0, kSupportedApiHigh, "+1 (206) 555-0100", 0, 0, out), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(out) + out->dwDialableStringOffset, "12065550100");
  EXPECT_EQ(out->dwTranslateResults,
            LINETRANSLATERESULT_CANONICAL | LINETRANSLATERESULT_LONGDISTANCE);
  EXPECT_EQ(lineTranslateAddressA(session.app, 0, kSupportedApiHigh, "", 0, 0, out),
            LINEERR_INVALADDRESS);
  EXPECT_EQ(lineTranslateAddressA(session.app, 0, kSupportedApiHigh, nullptr, 0, 0, out),
            LINEERR_INVALADDRESS);
  EXPECT_EQ(lineTranslateAddressA(session.app, 0, kSupportedApiHigh, "101", 1, 0, out),
            LINEERR_INVALCARD);
  // The TCP line keeps host:port as it is and refuses a phone-style input with blanks.
  ASSERT_EQ(lineTranslateAddressA(session.app, 2, kSupportedApiHigh, "127.0.0.1:6400", 0, 0, out),
            0);
  EXPECT_STREQ(reinterpret_cast<const char*>(out) + out->dwDialableStringOffset, "127.0.0.1:6400");
  EXPECT_EQ(lineTranslateAddressA(session.app, 2, kSupportedApiHigh, "555 0100", 0, 0, out),
            LINEERR_INVALADDRESS);
  // Input too long for the caller's block.
  std::string long_number(600, '5');
  EXPECT_EQ(
      lineTranslateAddressA(session.app, 0, kSupportedApiHigh, long_number.c_str(), 0, 0, out),
      LINEERR_STRUCTURETOOSMALL);
  EXPECT_EQ(out->dwNeededSize, sizeof(LINETRANSLATEOUTPUT) + 2 * 601);
}

}  // namespace
}  // namespace quodem::telephony_test
