// Whole calls over the local exchange: the component at one end, a raw telephony session of
// this process (FarEnd) at the other. Line 0 and line 1 are the two exchange lines of the
// default configuration. Intermediate states may be coalesced, so the tests check the order
// of the states they need, not every state.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "line/line_test_support.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"

namespace quodem {
namespace {

using testsupport::FarEnd;
using testsupport::LineEvents;
using testsupport::ProbeQuodem;

class CallFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto lines = telephony::ListLines();
    ASSERT_GE(lines.size(), 2u);
    number1_ = lines[1].address;
    modem_ = std::make_unique<ProbeQuodem>();
    events_ = std::make_unique<LineEvents>(*modem_);
  }
  void TearDown() override {
    if (HasFailure()) {  // what the component reported, for the failure's context
      for (auto state : events_->StateList())
        std::fprintf(stderr, "state %s\n", CallStateName(state));
      for (auto error : events_->Errors()) std::fprintf(stderr, "error 0x%08X\n", unsigned(error));
    }
    modem_.reset();  // before events_, whose handlers it holds
    telephony::testing::ResetFaults();
  }

  // The component on line 0 dials the far end, which holds line 1's number.
  void DialFar() {
    modem_->SetLineIndex(0);
    modem_->SetDialString(number1_);
    modem_->Dial();
  }
  HCALL DialAndConnect(FarEnd& far) {
    DialFar();
    HCALL call = far.AnswerNext();
    EXPECT_TRUE(events_->WaitPortTaken());
    return call;
  }

  // Set when a csIdle is raised after the idle handling has torn the call down. OnLineState
  // carries the state read when it is raised, so the round that handles csDisconnected may
  // already report csIdle (its drop made the call idle) before the idle handling has run.
  void WatchIdleHandling() {
    events_->OnState([this](TQuodem* sender, CallState state) {
      if (state == csIdle && static_cast<ProbeQuodem*>(sender)->Quiet()) idle_handled_.Set();
    });
  }

  // A host that keeps answering calls: once a call it answered has ended (its first csIdle
  // after the port was taken over), the csIdle handler waits again and counts it.
  void WaitAgainAfterEachCall() {
    events_->OnState([this](TQuodem* sender, CallState state) {
      if (state == csConnected && sender->CommHandle() != INVALID_HANDLE_VALUE) {
        answered_.store(true);
      }
      if (state == csIdle && answered_.exchange(false)) {
        sender->Wait();
        {
          std::lock_guard<std::mutex> lock(rewait_lock_);
          ++rewaits_;
        }
        rewaited_.notify_all();
      }
    });
  }
  bool WaitRewaits(int count) {
    std::unique_lock<std::mutex> lock(rewait_lock_);
    return rewaited_.wait_for(lock, testsupport::kGuard, [&] { return rewaits_ >= count; });
  }
  static bool HeldHere(int row) {
    return telephony::ListLines()[row].hold == telephony::NumberHold::kHeldHere;
  }

  std::string number1_;
  testsupport::Latch idle_handled_;
  std::atomic<bool> answered_{false};
  std::mutex rewait_lock_;
  std::condition_variable rewaited_;
  int rewaits_ = 0;
  std::atomic<LONG> result_at_offering_{0};
  std::unique_ptr<ProbeQuodem> modem_;
  std::unique_ptr<LineEvents> events_;
};

// Checks that only the given states were raised before the first csConnected.
void ExpectOnlyBeforeConnected(const std::vector<CallState>& seen,
                               std::initializer_list<CallState> allowed) {
  for (CallState state : seen) {
    if (state == csConnected) return;
    EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), state))
        << CallStateName(state);
  }
}

TEST_F(CallFlow, DialReachesConnectedAndTakesThePort) {
  FarEnd far;
  far.Open(1);
  DialFar();
  EXPECT_GT(CallRecord.LastResult.load(), 0);  // the request identifier
  far.AnswerNext();
  ASSERT_TRUE(events_->WaitPortTaken());
  ExpectOnlyBeforeConnected(events_->StateList(),
                            {csDialTone, csDialing, csProceeding, csRingBack});
  EXPECT_NE(INVALID_HANDLE_VALUE, modem_->CommHandle());
  EXPECT_TRUE(modem_->HasReader());
  EXPECT_TRUE(events_->Errors().empty());
  EXPECT_NE(0u, far.WaitState(LINECALLSTATE_CONNECTED));
}

TEST_F(CallFlow, WaitAnswersAnIncomingCall) {
  FarEnd far;
  HLINE far_line = far.Open(0);
  modem_->SetLineIndex(1);
  modem_->Wait();
  EXPECT_EQ(0, CallRecord.LastResult.load());
  far.Call(far_line, number1_);
  ASSERT_TRUE(events_->WaitPortTaken());
  ExpectOnlyBeforeConnected(events_->StateList(), {csOffering, csAccepted});
  EXPECT_NE(INVALID_HANDLE_VALUE, modem_->CommHandle());
  EXPECT_NE(0u, far.WaitState(LINECALLSTATE_CONNECTED));
  EXPECT_TRUE(events_->Errors().empty());
}

// A busy number: the service reports busy and at once disconnected, so csBusy itself may be
// coalesced away; the component cuts by itself on disconnected and the call goes idle.
TEST_F(CallFlow, BusyCallEndsIdleWithoutConnecting) {
  FarEnd far;
  far.Open(1);
  telephony::testing::NumberFaults faults;
  faults.busy = true;
  telephony::testing::SetNumberFaults(number1_, faults);
  DialFar();
  ASSERT_TRUE(events_->WaitState(csIdle));
  const auto seen = events_->StateList();
  EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), csConnected));
  auto busy = std::find(seen.begin(), seen.end(), csBusy);
  if (busy != seen.end()) {
    EXPECT_NE(seen.end(), std::find(busy, seen.end(), csIdle));
  }
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem_->CommHandle());
  EXPECT_TRUE(events_->Errors().empty());
}

// After the far end hangs up the component cuts by itself, goes idle with a new session,
// and a second call works.
TEST_F(CallFlow, RemoteHangUpReachesIdleAndASecondCallWorks) {
  FarEnd far;
  far.Open(1);
  HCALL call = DialAndConnect(far);
  // A line that dials out keeps its number for the call (callers get busy).
  EXPECT_EQ(telephony::NumberHold::kHeldHere, telephony::ListLines()[0].hold);
  WatchIdleHandling();
  EXPECT_GT(lineDrop(call, nullptr, 0), 0);
  ASSERT_TRUE(idle_handled_.Wait());
  ASSERT_TRUE(events_->WaitSequence({csConnected, csIdle}));
  for (const auto& seen : events_->States()) {
    if (seen.state == csDisconnected || seen.state == csIdle) {
      EXPECT_EQ(INVALID_HANDLE_VALUE, seen.port) << CallStateName(seen.state);
    }
  }
  EXPECT_FALSE(modem_->LocalCut());
  EXPECT_TRUE(events_->Errors().empty());

  events_->Clear();
  DialFar();
  far.AnswerNext();
  EXPECT_TRUE(events_->WaitPortTaken());
}

TEST_F(CallFlow, LocalCutReleasesThePortAtOnce) {
  FarEnd far;
  far.Open(1);
  DialAndConnect(far);
  ASSERT_TRUE(modem_->HasReader());
  modem_->Cut();
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem_->CommHandle());
  EXPECT_FALSE(modem_->HasReader());
  EXPECT_NE(0u, far.WaitState(LINECALLSTATE_DISCONNECTED));
  EXPECT_TRUE(events_->WaitSequence({csConnected, csIdle}));
  EXPECT_TRUE(events_->Errors().empty());
}

// A Cut made before a call must not count for that call: when the far end hangs up, the
// disconnected state releases the port at once.
TEST_F(CallFlow, CutWithoutCallThenRemoteHangUpReachesIdle) {
  modem_->Cut();
  EXPECT_TRUE(modem_->LocalCut());
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem_->CommHandle());

  FarEnd far;
  far.Open(1);
  HCALL call = DialAndConnect(far);
  lineDrop(call, nullptr, 0);
  ASSERT_TRUE(events_->WaitSequence({csConnected, csIdle}));
  for (const auto& seen : events_->States()) {
    if (seen.state == csDisconnected || seen.state == csIdle) {
      EXPECT_EQ(INVALID_HANDLE_VALUE, seen.port) << CallStateName(seen.state);
    }
  }
}

TEST_F(CallFlow, CutFromTheStateHandler) {
  events_->OnState([this](TQuodem* sender, CallState state) {
    if (state == csConnected) sender->Cut();
    if (state == csIdle && static_cast<ProbeQuodem*>(sender)->Quiet()) idle_handled_.Set();
  });
  FarEnd far;
  far.Open(1);
  DialFar();
  far.AnswerNext();
  ASSERT_TRUE(events_->WaitState(csConnected));
  EXPECT_NE(0u, far.WaitState(LINECALLSTATE_DISCONNECTED));
  ASSERT_TRUE(idle_handled_.Wait());
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem_->CommHandle());
  EXPECT_FALSE(modem_->HasReader());
}

// The failure reply of the call request is reported after OnLineState, and the line Dial
// opened is closed: nothing would ever be answered on it. The next Dial works.
TEST_F(CallFlow, FailedCallRequestIsReportedAndClosesTheLine) {
  FarEnd far;
  far.Open(1);
  telephony::testing::FailNextMakeCallReply(LINEERR_CALLUNAVAIL);
  DialFar();
  ASSERT_TRUE(events_->WaitError());
  EXPECT_EQ(std::vector<LONG>{LINEERR_CALLUNAVAIL}, events_->Errors());
  EXPECT_FALSE(events_->StateList().empty());  // OnLineState came first
  EXPECT_EQ(LINEERR_CALLUNAVAIL, CallRecord.LastResult.load());
  EXPECT_TRUE(modem_->Quiet());
  EXPECT_NE(telephony::NumberHold::kHeldHere, telephony::ListLines()[0].hold);

  events_->Clear();
  DialFar();
  far.AnswerNext();
  EXPECT_TRUE(events_->WaitPortTaken());
  EXPECT_TRUE(events_->Errors().empty());
}

TEST_F(CallFlow, LineClosedByTheServiceIsDisconnected) {
  modem_->SetLineIndex(1);
  modem_->Wait();
  ASSERT_TRUE(telephony::testing::CloseLineByService(number1_));
  EXPECT_TRUE(events_->WaitState(csDisconnected));
  EXPECT_TRUE(events_->Errors().empty());
}

// An answer that fails with LINEERR_CALLUNAVAIL is followed by lineDialA on the call, not
// by OnLineErr.
TEST_F(CallFlow, UnavailableAnswerDialsInsteadOfReporting) {
  // The result the round that handled the offer left, read in its own OnLineState: the test
  // goes on (and its Cut stores the drop's result) only once it has been read.
  events_->OnState([this](TQuodem*, CallState state) {
    LONG none = 0;
    if (state == csOffering &&
        result_at_offering_.compare_exchange_strong(none, CallRecord.LastResult.load())) {
      events_->Poke();
    }
  });
  FarEnd far;
  HLINE far_line = far.Open(0);
  modem_->SetLineIndex(1);
  modem_->Wait();
  telephony::testing::NextAnswerReturns(LINEERR_CALLUNAVAIL);
  far.Call(far_line, number1_);
  ASSERT_TRUE(events_->WaitFor([this] { return result_at_offering_.load() != 0; }));
  // Once the cut call has gone idle, the handling of the offer (and any OnLineErr it would
  // raise) is long over.
  modem_->Cut();
  ASSERT_TRUE(events_->WaitSequence({csOffering, csIdle}));
  EXPECT_EQ(LINEERR_CALLUNAVAIL, result_at_offering_.load());
  EXPECT_TRUE(events_->Errors().empty());
}

// A failed restart of the session at the end of a call is reported through OnLineErr, once.
// An idle state for which no call was seen in progress ends nothing and reports nothing.
TEST_F(CallFlow, FailedSessionRestartAtIdleIsReported) {
  FarEnd far;
  far.Open(1);
  telephony::testing::FailNextInitialize(LINEERR_NODRIVER);
  LineCallback(0, LINE_CALLSTATE, 0, LINECALLSTATE_IDLE, 0, 0);
  ASSERT_TRUE(events_->WaitState(csIdle));
  EXPECT_TRUE(events_->Errors().empty());
  HCALL call = DialAndConnect(far);
  lineDrop(call, nullptr, 0);
  ASSERT_TRUE(events_->WaitError());
  EXPECT_TRUE(events_->WaitSequence({csConnected, csIdle}));
  // Further notifications while idle neither restart the session again nor report.
  modem_->DoLineState();
  EXPECT_EQ(std::vector<LONG>{LINEERR_NODRIVER}, events_->Errors());
}

// Connected again while the port is held: the held port and reader stay.
TEST_F(CallFlow, SecondConnectedKeepsTheHeldPort) {
  FarEnd far;
  far.Open(1);
  DialAndConnect(far);
  const HANDLE port = modem_->CommHandle();
  events_->Clear();
  LineCallback(CallRecord.Call.load(), LINE_CALLSTATE, 0, LINECALLSTATE_CONNECTED, 0, 0);
  ASSERT_TRUE(events_->WaitState(csConnected));
  EXPECT_EQ(port, modem_->CommHandle());
  EXPECT_TRUE(modem_->HasReader());
  EXPECT_TRUE(events_->Errors().empty());
}

// Two components share the one event: a single signal wakes both workers. A worker that is
// not waiting at that moment (it has just started, or is still finishing its last round)
// misses the signal once the other one has reset the event: the classic behaviour. So the
// signal is repeated until one round reaches both.
TEST_F(CallFlow, TwoComponentsShareOneSignal) {
  auto second = std::make_unique<ProbeQuodem>();
  auto second_events = std::make_unique<LineEvents>(*second);
  bool both = false;
  for (int round = 0; round < 10 && !both; ++round) {
    events_->Clear();
    second_events->Clear();
    LineCallback(0, LINE_CALLSTATE, 0, LINECALLSTATE_DIALING, 0, 0);
    both = events_->WaitStateFor(csDialing, std::chrono::seconds(2)) &&
           second_events->WaitStateFor(csDialing, std::chrono::seconds(2));
  }
  EXPECT_TRUE(both);
  second.reset();
}

// A host that keeps answering calls waits again from its csIdle handler. A notification of
// the ended call handled after that Wait (it finds the idle state still recorded; here the
// handling is run directly, as the event worker would on a late signal) must not close the
// new line: every call is answered.
TEST_F(CallFlow, WaitFromTheIdleHandlerAnswersEveryCall) {
  WaitAgainAfterEachCall();
  FarEnd far;
  HLINE far_line = far.Open(0);
  modem_->SetLineIndex(1);
  modem_->Wait();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("call " + std::to_string(round));
    events_->Clear();
    HCALL call = far.Call(far_line, number1_);
    ASSERT_TRUE(events_->WaitPortTaken());
    ASSERT_NE(0u, far.WaitState(LINECALLSTATE_CONNECTED));
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_TRUE(WaitRewaits(round + 1));
    ASSERT_NE(0u, far.WaitState(LINECALLSTATE_IDLE));
    lineDeallocateCall(call);

    ASSERT_EQ(csIdle, CallRecord.State.load());
    modem_->DoLineState();
    ASSERT_TRUE(HeldHere(1));
  }
  EXPECT_TRUE(events_->Errors().empty());
}

// The same for a host that dials again on its own thread as soon as the last call is over: a
// late idle handling (run directly here, right after Dial, before the new call's first state
// has been handled) neither cuts the new call nor closes its line.
TEST_F(CallFlow, DialRightAfterIdleIsNotUndone) {
  FarEnd far;
  far.Open(1);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("call " + std::to_string(round));
    events_->Clear();
    DialFar();
    modem_->DoLineState();
    HCALL call = far.AnswerNext();
    ASSERT_NE(0u, call);
    ASSERT_TRUE(events_->WaitPortTaken());
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    // csIdle may be raised by the round that handles csDisconnected, before the idle state
    // itself has been handled; the next Dial comes at once all the same.
    ASSERT_TRUE(events_->WaitSequence({csConnected, csIdle}));
    ASSERT_NE(0u, far.WaitState(LINECALLSTATE_IDLE));
    lineDeallocateCall(call);
  }
  EXPECT_TRUE(events_->Errors().empty());
}

// OnLineState is raised before OnLineErr. A handler that acts on the state meanwhile (here it
// hangs up, which records the drop's result) must not change the code OnLineErr reports.
TEST_F(CallFlow, OnLineErrReportsTheCodeThatFailed) {
  events_->OnState([this](TQuodem* sender, CallState state) {
    if (state == csOffering) {
      sender->Cut();
      result_at_offering_.store(CallRecord.LastResult.load());
    }
  });
  FarEnd far;
  HLINE far_line = far.Open(0);
  modem_->SetLineIndex(1);
  modem_->Wait();
  telephony::testing::NextAnswerReturns(LINEERR_OPERATIONFAILED);
  far.Call(far_line, number1_);
  ASSERT_TRUE(events_->WaitError());
  EXPECT_EQ(std::vector<LONG>{LINEERR_OPERATIONFAILED}, events_->Errors());
  EXPECT_NE(LINEERR_OPERATIONFAILED, result_at_offering_.load());  // the drop's own result
}

}  // namespace
}  // namespace quodem
