// ModemInit: the session and the table of usable lines.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "line/line_test_support.h"
#include "line/modem_init.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"

namespace quodem {
namespace {

using testsupport::LineEvents;
using testsupport::ProbeQuodem;

// Points the service at a configuration file with `text` for the rest of this process.
void UseConfiguration(const std::string& text) {
  const std::string path = std::string(getenv("QUODEM_TEST_ROOT")) + "/lines.conf";
  std::ofstream(path) << text;
  setenv("QUODEM_CONFIG", path.c_str(), 1);
}

TEST(ModemInit, RowsHoldTheServicesLinesAndDeviceIndexes) {
  ProbeQuodem modem;
  const auto lines = telephony::ListLines();
  const auto names = modem.LineNames();
  ASSERT_EQ(lines.size(), names.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].name, names[i]);
    EXPECT_EQ(lines[i].name, modem.RowName(static_cast<int>(i)));
    EXPECT_EQ(lines[i].device_id, modem.DeviceId(static_cast<int>(i)));
  }
}

TEST(ModemInit, KeepsTheFirstTenLines) {
  std::string config;
  const std::string longest = "Line " + std::string(122, 'x');  // 127 bytes: fits a row
  for (int i = 0; i < 12; ++i) {
    config +=
        "[line]\nprovider = exchange\nname = " + (i == 1 ? longest : "Line " + std::to_string(i)) +
        "\nnumber = " + std::to_string(301 + i) + "\n";
  }
  UseConfiguration(config);
  ProbeQuodem modem;
  const auto names = modem.LineNames();
  ASSERT_EQ(10u, names.size());
  EXPECT_EQ("Line 0", names[0]);
  EXPECT_EQ(longest, names[1]);
  EXPECT_EQ(longest, modem.RowName(1));
  EXPECT_EQ("Line 9", names[9]);
  EXPECT_EQ(9u, modem.DeviceId(9));
}

// The name as a capability block carries it, whatever sizes and offsets the block states.
TEST(LineNameFromCaps, StaysInsideTheBlockAndTheRow) {
  struct Case {
    const char* what;
    DWORD offset, size;
    std::string stored;  // bytes placed at `offset` (when inside the block)
    std::string expected;
  };
  const std::size_t fixed = sizeof(LINEDEVCAPS);
  const std::string long_name(200, 'n');
  const Case cases[] = {
      {"plain", DWORD(fixed), 6, std::string("Modem\0", 6), "Modem"},
      {"size stops before the zero", DWORD(fixed), 3, std::string("Modem\0", 6), "Mod"},
      {"longer than a row", DWORD(fixed), 201, long_name + '\0', long_name.substr(0, 127)},
      {"no zero at all", DWORD(line::kDevCapsBytes - 4), 100, "ABCD", "ABCD"},
      {"offset at the end", DWORD(line::kDevCapsBytes), 10, "", ""},
      {"offset far outside", 0xFFFFFFF0u, 0xFFFFFFFFu, "", ""},
      {"size zero", DWORD(fixed), 0, "Modem", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> block(line::kDevCapsBytes, 0);
    LINEDEVCAPS caps{};
    caps.dwTotalSize = line::kDevCapsBytes;
    caps.dwLineNameOffset = c.offset;
    caps.dwLineNameSize = c.size;
    std::memcpy(block.data(), &caps, sizeof caps);
    if (c.offset < block.size()) {
      std::memcpy(block.data() + c.offset, c.stored.data(), c.stored.size());
    }
    EXPECT_EQ(c.expected, line::LineNameFromCaps(block.data(), block.size())) << c.what;
  }
  EXPECT_EQ("", line::LineNameFromCaps(std::vector<std::uint8_t>(8).data(), 8));
}

// A second run ends the first session (closing the lines it opened) and lists every line
// once.
TEST(ModemInit, SecondRunReplacesTheSessionAndTheList) {
  ProbeQuodem modem;
  const auto names = modem.LineNames();
  modem.SetLineIndex(0);
  modem.Wait();
  ASSERT_EQ(telephony::NumberHold::kHeldHere, telephony::ListLines()[0].hold);
  modem.ModemInit();
  EXPECT_EQ(names, modem.LineNames());
  EXPECT_EQ(telephony::NumberHold::kFree, telephony::ListLines()[0].hold);
}

TEST(ModemInit, FailedSessionStartIsReportedAndEmptiesTheTable) {
  ProbeQuodem modem;
  LineEvents events(modem);
  ASSERT_FALSE(modem.LineNames().empty());
  telephony::testing::FailNextInitialize(LINEERR_NODRIVER);
  modem.ModemInit();
  EXPECT_EQ(std::vector<LONG>{LINEERR_NODRIVER}, events.Errors());  // raised synchronously
  EXPECT_EQ(LINEERR_NODRIVER, CallRecord.LastResult.load());
  EXPECT_TRUE(modem.LineNames().empty());

  // With no rows, row 0 is out of range: Dial does nothing.
  modem.SetLineIndex(0);
  modem.SetDialString("102");
  CallRecord.LastResult.store(1234);
  modem.Dial();
  EXPECT_EQ(1234, CallRecord.LastResult.load());
  EXPECT_EQ(1u, events.Errors().size());
}

// During construction no handler can be assigned: the failure only leaves the table empty.
TEST(ModemInit, FailedSessionStartDuringConstruction) {
  telephony::testing::FailNextInitialize(LINEERR_NOMEM);
  ProbeQuodem modem;
  EXPECT_TRUE(modem.LineNames().empty());
  EXPECT_EQ(LINEERR_NOMEM, CallRecord.LastResult.load());
}

TEST(ModemInit, BrokenConfigurationIsReported) {
  ProbeQuodem modem;
  LineEvents events(modem);
  UseConfiguration("[line]\nprovider = carrier-pigeon\n");
  modem.ModemInit();
  EXPECT_EQ(std::vector<LONG>{LINEERR_INIFILECORRUPT}, events.Errors());
  EXPECT_TRUE(modem.LineNames().empty());
}

}  // namespace
}  // namespace quodem
