// Call control without a far end: line selection, refused dial strings, the dialogs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <fstream>
#include <memory>

#include "line/line_test_support.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"

namespace quodem {
namespace {

using testsupport::LineEvents;
using testsupport::ProbeQuodem;

class CallControl : public ::testing::Test {
 protected:
  void SetUp() override {
    telephony::SetDialogHandler([this](const telephony::DialogRequest& request) {
      dialogs_.push_back(request);
      return dialog_result_;
    });
  }
  void TearDown() override { telephony::SetDialogHandler(nullptr); }

  std::vector<telephony::DialogRequest> dialogs_;
  LONG dialog_result_ = 0;
};

// With no row selected nothing reaches the service and nothing is raised.
TEST_F(CallControl, NoLineSelectedDoesNothing) {
  ProbeQuodem modem;
  LineEvents events(modem);
  const int rows = static_cast<int>(modem.LineNames().size());
  modem.SetDialString("102");
  for (int index : {-1, -5, INT_MIN, rows, kMaxLines, 1000, INT_MAX}) {
    modem.SetLineIndex(index);
    CallRecord.LastResult.store(4321);
    modem.Dial();
    modem.Wait();
    modem.ConfigDlg();
    modem.TransDlg();
    EXPECT_EQ(4321, CallRecord.LastResult.load()) << index;
  }
  EXPECT_TRUE(dialogs_.empty());
  EXPECT_TRUE(events.Errors().empty());
  for (const auto& line : telephony::ListLines()) {
    EXPECT_NE(telephony::NumberHold::kHeldHere, line.hold) << line.name;
  }
}

TEST_F(CallControl, DialStringThatDoesNotFitIsRefused) {
  ProbeQuodem modem;
  LineEvents events(modem);
  modem.SetLineIndex(0);
  modem.SetDialString(std::string(80, '1'));  // 80 bytes and the zero: one too many
  modem.Dial();
  EXPECT_EQ(std::vector<LONG>{LINEERR_INVALADDRESS}, events.Errors());
  EXPECT_EQ(LINEERR_INVALADDRESS, CallRecord.LastResult.load());
  EXPECT_NE(telephony::NumberHold::kHeldHere, telephony::ListLines()[0].hold);
  EXPECT_EQ(0, CallRecord.DialInput[0]);
}

// An empty dial string goes to translation like any other; the service refuses it, and Dial
// reports and cuts. The line it opened is closed again, so its number is not held.
TEST_F(CallControl, EmptyDialStringIsTranslatedAndRefusedByTheService) {
  ProbeQuodem modem;
  LineEvents events(modem);
  modem.SetLineIndex(0);
  modem.Dial();
  EXPECT_EQ(std::vector<LONG>{LINEERR_INVALADDRESS}, events.Errors());
  EXPECT_TRUE(modem.LocalCut());
  EXPECT_FALSE(modem.HasOpenLines());
  EXPECT_NE(telephony::NumberHold::kHeldHere, telephony::ListLines()[0].hold);
}

// A dialable string that grows past CallRecord.Dialable in translation is refused too.
TEST_F(CallControl, TranslatedStringThatDoesNotFitIsRefused) {
  const std::string path = std::string(getenv("QUODEM_TEST_ROOT")) + "/lines.conf";
  std::ofstream(path) << "[location]\ncountry = 1\narea = 425\noutside = 99999999\n"
                         "international = 01111111\n";
  setenv("QUODEM_CONFIG", path.c_str(), 1);
  // 74 bytes: fits DialInput. Dialable: outside, international, country, area and number.
  const std::string input = "+44 (20) " + std::string(65, '7');

  // The service itself translates it, into more than Dialable holds.
  HLINEAPP app = 0;
  DWORD devices = 0;
  ASSERT_EQ(0, lineInitialize(
                   &app, nullptr, [](DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {},
                   nullptr, &devices));
  alignas(LINETRANSLATEOUTPUT) std::uint8_t block[1040] = {};
  auto* output = reinterpret_cast<LINETRANSLATEOUTPUT*>(block);
  output->dwTotalSize = sizeof block;
  ASSERT_EQ(0, lineTranslateAddressA(app, 0, kSupportedApiHigh, input.c_str(), 0, 0, output));
  EXPECT_GT(output->dwDialableStringSize, sizeof CallRecord.Dialable);
  lineShutdown(app);

  ProbeQuodem modem;
  LineEvents events(modem);
  modem.SetLineIndex(0);
  modem.SetDialString(input);
  modem.Dial();
  EXPECT_EQ(std::vector<LONG>{LINEERR_INVALADDRESS}, events.Errors());
  EXPECT_TRUE(modem.LocalCut());
  std::lock_guard<std::mutex> lock(CallRecord.Strings);
  EXPECT_EQ(input, CallRecord.DialInput);
  EXPECT_EQ(0, CallRecord.Dialable[0]);
}

TEST_F(CallControl, DialogsUseTheRowsDeviceAndReportFailures) {
  ProbeQuodem modem;
  LineEvents events(modem);
  modem.SetLineIndex(1);
  modem.SetDialString("+1 (425) 555-0100");
  modem.ConfigDlg();
  modem.TransDlg();
  ASSERT_EQ(2u, dialogs_.size());
  EXPECT_EQ(telephony::DialogKind::kLineConfig, dialogs_[0].kind);
  EXPECT_EQ(telephony::ListLines()[1].device_id, dialogs_[0].device_id);
  EXPECT_EQ(telephony::DialogKind::kDialingLocation, dialogs_[1].kind);
  EXPECT_EQ(telephony::ListLines()[1].device_id, dialogs_[1].device_id);
  EXPECT_EQ("+1 (425) 555-0100", dialogs_[1].address_in);
  EXPECT_TRUE(events.Errors().empty());

  dialog_result_ = LINEERR_OPERATIONFAILED;
  modem.ConfigDlg();
  modem.TransDlg();
  EXPECT_EQ((std::vector<LONG>{LINEERR_OPERATIONFAILED, LINEERR_OPERATIONFAILED}), events.Errors());
}

}  // namespace
}  // namespace quodem
