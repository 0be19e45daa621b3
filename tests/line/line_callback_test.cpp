// The telephony callback: how notifications land in CallRecord and when the process-wide
// event is signalled. Called directly, as the service would call it.
#include <gtest/gtest.h>

#include "line/call_record.h"
#include "quodem/component/quodem.h"

namespace quodem {
namespace {

class LineCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    event_ = CreateEventA(nullptr, TRUE, FALSE, kLineEventName);
    ASSERT_NE(0u, event_);
  }
  void TearDown() override { CloseHandle(event_); }

  // Whether the callback left the event set (it runs synchronously, so no waiting needed);
  // resets it for the next step.
  bool TakeSignal() {
    bool set = WaitForSingleObject(event_, 0) == WAIT_OBJECT_0;
    ResetEvent(event_);
    return set;
  }

  HANDLE event_ = 0;
};

TEST_F(LineCallbackTest, CallStatesMapByTheTableNotByBitOrder) {
  struct Row {
    DWORD bit;
    int state;
  };
  const Row table[] = {
      {LINECALLSTATE_IDLE, csIdle},
      {LINECALLSTATE_OFFERING, csOffering},
      {LINECALLSTATE_ACCEPTED, csAccepted},
      {LINECALLSTATE_DIALTONE, csDialTone},
      {LINECALLSTATE_DIALING, csDialing},
      {LINECALLSTATE_RINGBACK, csRingBack},
      {LINECALLSTATE_BUSY, csBusy},
      {LINECALLSTATE_SPECIALINFO, csSpecialInfo},
      {LINECALLSTATE_CONNECTED, csConnected},
      {LINECALLSTATE_PROCEEDING, csProceeding},
      {LINECALLSTATE_ONHOLD, csOnHold},
      {LINECALLSTATE_CONFERENCED, csConferenced},
      {LINECALLSTATE_ONHOLDPENDCONF, csOnHold},
      {LINECALLSTATE_DISCONNECTED, csDisconnected},
      {LINECALLSTATE_UNKNOWN, csUnknown},
  };
  for (const Row& row : table) {
    CallRecord.State.store(csProceeding == row.state ? csIdle : csProceeding);
    LineCallback(0, LINE_CALLSTATE, 0, row.bit, 0, 0);
    EXPECT_EQ(row.state, CallRecord.State.load()) << std::hex << row.bit;
    EXPECT_TRUE(TakeSignal()) << std::hex << row.bit;
  }
}

TEST_F(LineCallbackTest, UnlistedStateKeepsTheRecordButStillSignals) {
  CallRecord.State.store(csRingBack);
  for (DWORD bit : {LINECALLSTATE_ONHOLDPENDTRANSFER, DWORD{0}, DWORD{0x10000}, DWORD{0x3}}) {
    LineCallback(0, LINE_CALLSTATE, 0, bit, 0, 0);
    EXPECT_EQ(csRingBack, CallRecord.State.load()) << std::hex << bit;
    EXPECT_TRUE(TakeSignal()) << std::hex << bit;
  }
}

TEST_F(LineCallbackTest, OfferedCallBecomesCurrentOnlyWithOwnerPrivilege) {
  CallRecord.Call.store(7);
  LineCallback(41, LINE_CALLSTATE, 0, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_MONITOR);
  EXPECT_EQ(csOffering, CallRecord.State.load());
  EXPECT_EQ(7u, CallRecord.Call.load());
  LineCallback(42, LINE_CALLSTATE, 0, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
  EXPECT_EQ(42u, CallRecord.Call.load());
  // Owner privilege on any other state does not move the current call.
  LineCallback(43, LINE_CALLSTATE, 0, LINECALLSTATE_CONNECTED, 0, LINECALLPRIVILEGE_OWNER);
  EXPECT_EQ(42u, CallRecord.Call.load());
}

TEST_F(LineCallbackTest, LineCloseIsRecordedAsDisconnected) {
  CallRecord.State.store(csConnected);
  LineCallback(5, LINE_CLOSE, 0, 0, 0, 0);
  EXPECT_EQ(csDisconnected, CallRecord.State.load());
  EXPECT_TRUE(TakeSignal());
}

TEST_F(LineCallbackTest, OnlyAFailedReplyToThePendingRequestIsRecorded) {
  line::SetPendingRequest(100);
  CallRecord.LastResult.store(123);
  TakeSignal();

  LineCallback(0, LINE_REPLY, 0, 100, 0, 0);  // success: nothing
  EXPECT_EQ(123, CallRecord.LastResult.load());
  EXPECT_FALSE(TakeSignal());

  LineCallback(0, LINE_REPLY, 0, 99, static_cast<DWORD>(LINEERR_CALLUNAVAIL), 0);  // other
  EXPECT_EQ(123, CallRecord.LastResult.load());
  EXPECT_FALSE(TakeSignal());

  LineCallback(0, LINE_REPLY, 0, 100, static_cast<DWORD>(LINEERR_OPERATIONFAILED), 0);
  EXPECT_EQ(LINEERR_OPERATIONFAILED, CallRecord.LastResult.load());
  EXPECT_TRUE(TakeSignal());

  const int state = CallRecord.State.load();
  for (DWORD other : {DWORD{1}, DWORD{4}, DWORD{13}, DWORD{0xFFFF}}) {
    LineCallback(0, other, 0, LINECALLSTATE_CONNECTED, 0, 0);
    EXPECT_FALSE(TakeSignal()) << other;
  }
  EXPECT_EQ(state, CallRecord.State.load());
}

// The service may deliver a request's failure between the return of lineMakeCallA and the
// moment Dial records the identifier; the failure must not be lost.
TEST_F(LineCallbackTest, FailureReplyBeforeTheIdentifierIsRecordedStillCounts) {
  CallRecord.LastResult.store(0);
  LineCallback(0, LINE_REPLY, 0, 200, static_cast<DWORD>(LINEERR_CALLUNAVAIL), 0);
  EXPECT_FALSE(TakeSignal());
  line::SetPendingRequest(200);
  EXPECT_EQ(LINEERR_CALLUNAVAIL, CallRecord.LastResult.load());
  EXPECT_TRUE(TakeSignal());

  // An early reply for some other request is not applied to the next one.
  LineCallback(0, LINE_REPLY, 0, 300, static_cast<DWORD>(LINEERR_NOMEM), 0);
  line::SetPendingRequest(301);
  EXPECT_EQ(LINEERR_CALLUNAVAIL, CallRecord.LastResult.load());
  EXPECT_FALSE(TakeSignal());
}

TEST(LineCallbackWithoutEvent, RecordsEvenWhenNoComponentHoldsTheEvent) {
  ASSERT_EQ(0u, OpenEventA(EVENT_ALL_ACCESS, FALSE, kLineEventName));
  LineCallback(0, LINE_CALLSTATE, 0, LINECALLSTATE_BUSY, 0, 0);
  EXPECT_EQ(csBusy, CallRecord.State.load());
}

}  // namespace
}  // namespace quodem
