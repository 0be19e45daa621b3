// Command-line parsing and the text forms the tool prints: the cases where a mistake would
// send the wrong thing, accept a typo silently, or let the peer's bytes drive the terminal.
#include "args.h"

#include <gtest/gtest.h>

#include "text.h"

namespace quodem::tool {
namespace {

const std::vector<OptionRule> kDialRules = {
    {"line", true, false}, {"message", true, true}, {"send", true, true}, {"stay", false, false}};

TEST(ParseArgs, KeepsRepeatedOptionsInCommandLineOrder) {
  const ParsedArgs args = ParseArgs(
      {"101", "--message", "one", "--send=a.txt", "--stay", "--message", "--two", "--", "--x"},
      kDialRules);
  ASSERT_EQ(args.Ordered().size(), 3u);
  EXPECT_EQ(args.Ordered()[0], (std::pair<std::string, std::string>("message", "one")));
  EXPECT_EQ(args.Ordered()[1], (std::pair<std::string, std::string>("send", "a.txt")));
  // A value may itself start with dashes: it is taken because the option needs one.
  EXPECT_EQ(args.Ordered()[2], (std::pair<std::string, std::string>("message", "--two")));
  EXPECT_TRUE(args.Has("stay"));
  EXPECT_EQ(args.Positionals(), (std::vector<std::string>{"101", "--x"}));
  EXPECT_EQ(args.Value("line", "0"), "0");
}

TEST(ParseArgs, RefusesMistakesWithAMessageNamingThem) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--line"}, "option '--line' needs a value"},
      {{"--stay=yes"}, "option '--stay' takes no value"},
      {{"--line", "1", "--line", "2"}, "option '--line' given more than once"},
  };
  for (const Case& c : cases) {
    try {
      ParseArgs(c.args, kDialRules);
      ADD_FAILURE() << "accepted " << c.args[0];
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), c.expected);
    }
  }
}

TEST(ParseNumber, AcceptsOnlyWholeNumbersInRange) {
  EXPECT_EQ(ParseNumber("0", "--line", 0, 9), 0);
  EXPECT_EQ(ParseNumber("-3", "--line", -5, 9), -3);
  for (const char* bad : {"", "x", "1x", "+1", " 1", "10", "99999999999999999999", "-"}) {
    EXPECT_THROW(ParseNumber(bad, "--line", 0, 9), UsageError) << bad;
  }
}

TEST(ParseSize, UnderstandsSuffixesAndStaysBelowFourGiB) {
  EXPECT_EQ(ParseSize("300", "--size"), 300u);
  EXPECT_EQ(ParseSize("64k", "--size"), 65536u);
  EXPECT_EQ(ParseSize("8M", "--size"), 8u << 20);
  EXPECT_EQ(ParseSize("3G", "--size"), 3ull << 30);
  for (const char* bad : {"4G", "-1", "1.5M", "M", "8m", ""}) {
    EXPECT_THROW(ParseSize(bad, "--size"), UsageError) << bad;
  }
}

TEST(EscapeForDisplay, NeverLetsAControlCharacterThrough) {
  EXPECT_EQ(EscapeForDisplay("plain text"), "plain text");
  EXPECT_EQ(EscapeForDisplay("a\\b"), "a\\\\b");
  EXPECT_EQ(EscapeForDisplay("\x1b[2J\n\t\r"), "\\e[2J\\n\\t\\r");
  EXPECT_EQ(EscapeForDisplay(std::string("\0\x7f", 2)), "\\x00\\x7f");
  EXPECT_EQ(EscapeForDisplay("\xE3\x83\x95\xC3\xA9"), "\xE3\x83\x95\xC3\xA9");  // valid UTF-8
  EXPECT_EQ(EscapeForDisplay("\xFF\xE3\x83"), "\\xff\\xe3\\x83");               // invalid
  EXPECT_EQ(EscapeForDisplay("\xC2\x9B"
                             "2J"),
            "\\xc2\\x9b2J");  // C1 control (CSI)
}

TEST(FormatResultCode, PrintsTheCodeInHexWithItsName) {
  EXPECT_EQ(FormatResultCode(LINEERR_CALLUNAVAIL), "0x80000005 (LINEERR_CALLUNAVAIL)");
  EXPECT_EQ(FormatResultCode(static_cast<LONG>(0x80000099)), "0x80000099");
}

}  // namespace
}  // namespace quodem::tool
