// Dial strings as users and clients type them, and command lines cut into commands.
#include <gtest/gtest.h>

#include "platform/telephony/modem/emulator/command_line.h"
#include "platform/telephony/modem/emulator/dial_string.h"

namespace quodem::telephony::modem::emulator {
namespace {

TEST(DialString, ExchangeNumbersAndTcpAddresses) {
  using K = DialTarget::Kind;
  struct Row {
    const char* text;
    K kind;
    const char* address;
    int pauses;
  };
  const Row rows[] = {
      {"555", K::kExchange, "555", 0},
      {"T555", K::kExchange, "555", 0},
      {"P 555-0102", K::kExchange, "5550102", 0},
      {"9,,W555", K::kExchange, "9555", 2},
      {"*70#123", K::kExchange, "*70#123", 0},
      {"(425) 555.0102", K::kExchange, "4255550102", 0},
      {"\"bbs.example.org:2323\"", K::kTcp, "bbs.example.org:2323", 0},
      {"T\"telehack.com\"", K::kTcp, "telehack.com:23", 0},
      {"BBS.EXAMPLE.ORG:23", K::kTcp, "BBS.EXAMPLE.ORG:23", 0},
      {"TBBS.EXAMPLE.ORG", K::kTcp, "BBS.EXAMPLE.ORG:23", 0},
      {"127.0.0.1:6400", K::kTcp, "127.0.0.1:6400", 0},
      {"10.0.0.1", K::kTcp, "10.0.0.1:23", 0},
      {"[::1]:2323", K::kTcp, "[::1]:2323", 0},
      {"\"::1\"", K::kTcp, "[::1]:23", 0},
      {"", K::kExchange, "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    DialTarget target = ParseDialString(row.text);
    EXPECT_EQ(target.kind, row.kind);
    EXPECT_EQ(target.address, row.address);
    EXPECT_EQ(target.pauses, row.pauses);
  }
  EXPECT_TRUE(ParseDialString("L").redial);
  EXPECT_TRUE(ParseDialString("").Empty());
  // Bounded, whatever comes.
  EXPECT_LE(ParseDialString(std::string(10000, '5')).address.size(), 255u);
}

TEST(CommandLine, CommandsAndWhereTheyEnd) {
  CommandLine line = ParseCommandLine("e0 v1&c1 \\n3%c1+FCLASS=0s37=0D\"a;b\";X4 D5");
  ASSERT_FALSE(line.error);
  ASSERT_EQ(line.commands.size(), 10u);
  EXPECT_EQ(line.commands[0].letter, 'E');
  EXPECT_EQ(line.commands[3].prefix, '\\');
  EXPECT_EQ(line.commands[5].name, "+FCLASS");
  EXPECT_EQ(line.commands[5].text, "=0");
  EXPECT_EQ(line.commands[6].kind, AtCommand::Kind::kRegisterSet);
  EXPECT_EQ(line.commands[6].number, 37);
  EXPECT_EQ(line.commands[7].text, "\"a;b\"");  // quotes keep case and the ';'
  EXPECT_TRUE(line.commands[7].semicolon);
  EXPECT_EQ(line.commands[9].text, "5");
  EXPECT_FALSE(line.commands[9].semicolon);
  // A and O end the line; S= and S? use the register selected last.
  EXPECT_EQ(ParseCommandLine("AE1").commands.size(), 1u);
  line = ParseCommandLine("S7S=9S?");
  ASSERT_EQ(line.commands.size(), 3u);
  EXPECT_EQ(line.commands[1].number, 7);
  EXPECT_EQ(line.commands[1].value, 9);
  EXPECT_EQ(line.commands[2].kind, AtCommand::Kind::kRegisterQuery);
  // Errors keep what came before them.
  line = ParseCommandLine("E0S=1");
  EXPECT_TRUE(line.error);
  EXPECT_EQ(line.commands.size(), 1u);
  EXPECT_TRUE(ParseCommandLine("X999999").error);
}

}  // namespace
}  // namespace quodem::telephony::modem::emulator
