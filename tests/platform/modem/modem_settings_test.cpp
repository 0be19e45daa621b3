// The modem line's keys: values that must be refused (they would reach the modem as
// commands or open the wrong thing), the dial command, and what a dial string may become.
#include "platform/telephony/modem/modem_settings.h"

#include <gtest/gtest.h>

namespace quodem::telephony::modem {
namespace {

std::string Check(const std::string& key, const std::string& value) {
  for (const KeyRule& rule : ModemKeyRules()) {
    if (rule.key == key) return rule.check(value);
  }
  ADD_FAILURE() << "no key " << key;
  return "";
}

TEST(ModemSettings, ValuesThatWouldMisleadTheModemOrTheDeviceAreRefused) {
  const std::vector<std::pair<std::string, std::string>> good = {
      {"device", "/dev/ttyUSB0"}, {"baud", "57600"},       {"flow", "none"},
      {"init", "ATZ|AT&F E0 V1"}, {"dial_prefix", "ATDP"}, {"hangup", "escape,dtr"},
      {"connect_timeout", "255"}, {"carrier", "inband"},   {"answer", "auto"},
      {"guard_ms", "20"}};
  for (const auto& [key, value] : good) EXPECT_EQ(Check(key, value), "") << key << "=" << value;
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"device", "ttyUSB0"},                  // relative
      {"device", "/dev/"},                    // a folder
      {"device", "/dev/tty\x1b"},             // control character
      {"baud", "12345"},                      // no such speed
      {"baud", "99999999999"},                // too long to be one
      {"flow", "hardware"},                   //
      {"init", "ATZ||ATE0"},                  // an empty command
      {"init", "ATZ|+++"},                    // not a command
      {"init", "ATZ\rATH"},                   // a CR would end the command early
      {"init", "AT" + std::string(80, 'S')},  // longer than a modem's buffer
      {"dial_prefix", "D"},                   //
      {"hangup", "dtr,dtr"},                  //
      {"hangup", ""},                         //
      {"connect_timeout", "256"},             // S7 holds at most 255
      {"connect_timeout", "0"},               //
      {"command_timeout", "-1"},              //
      {"guard_ms", "5"},                      //
      {"lock_dir", "run/lock"},               //
  };
  for (const auto& [key, value] : bad) EXPECT_NE(Check(key, value), "") << key << "=" << value;
}

TEST(ModemSettings, DialCommandAndDialStrings) {
  ModemSettings settings;
  EXPECT_EQ(settings.DialCommand("5550199"), "ATDT5550199");
  settings.pulse = true;
  EXPECT_EQ(settings.DialCommand("5550199"), "ATDP5550199");
  settings.dial_prefix = "ATX3DT";  // says T itself: the location's choice is not added
  settings.dial_suffix = ";";
  EXPECT_EQ(settings.DialCommand("42"), "ATX3DT42;");

  EXPECT_EQ(ModemDialString("+1 (425) 555-0102"), "+14255550102");
  EXPECT_EQ(ModemDialString("9,W555*0#"), "9,W555*0#");
  EXPECT_EQ(ModemDialString("bbs.example.org:23"), "bbs.example.org:23");
  // Anything that could end the dial command and run other commands, and junk.
  for (const std::string& bad : {std::string("555;H"), std::string("\"555\""), std::string("555\r"),
                                 std::string("55\0"
                                             "5",
                                             4),
                                 std::string("()-"), std::string("host name:23"),
                                 std::string(65, '5'), std::string("5+5")}) {
    EXPECT_EQ(ModemDialString(bad), "") << bad;
  }
}

}  // namespace
}  // namespace quodem::telephony::modem
