// Calls are never lost or left behind: real calls over the local exchange, with the event
// worker held inside an OnLineState handler so that notifications of an old and a new call
// really arrive in one round, as they do on a busy machine.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "line/line_test_support.h"
#include "quodem/component/quodem.h"
#include "quodem/platform/telephony_service.h"

namespace quodem {
namespace {

using testsupport::FarEnd;
using testsupport::Latch;
using testsupport::LineEvents;
using testsupport::ProbeQuodem;

// Holds a component's event worker inside its next OnLineState handler until released, so
// that whatever happens meanwhile is handled in one round.
class WorkerHold {
 public:
  WorkerHold(ProbeQuodem& modem, LineEvents& events) : modem_(modem) {
    events.OnState([this](TQuodem*, CallState) {
      if (armed_.exchange(false)) {
        entered_->Set();
        released_->Wait();
      }
    });
  }
  // Arms the hold and makes the worker run a round (a notification that changes nothing),
  // then waits until the worker is inside the handler.
  bool Hold() {
    released_ = std::make_shared<Latch>();
    entered_ = std::make_shared<Latch>();
    armed_.store(true);
    modem_.Nudge();
    return entered_->Wait();
  }
  void Release() { released_->Set(); }

 private:
  ProbeQuodem& modem_;
  std::atomic<bool> armed_{false};
  // Replaced by Hold while the worker is not in the handler; read by the worker only after
  // armed_ (set after them) was seen.
  std::shared_ptr<Latch> entered_ = std::make_shared<Latch>();
  std::shared_ptr<Latch> released_ = std::make_shared<Latch>();
};

class CallRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto lines = telephony::ListLines();
    ASSERT_GE(lines.size(), 2u);
    number0_ = lines[0].address;
    number1_ = lines[1].address;
    modem_ = std::make_unique<ProbeQuodem>();
    events_ = std::make_unique<LineEvents>(*modem_);
  }
  void TearDown() override {
    if (HasFailure()) {
      for (auto state : events_->StateList())
        std::fprintf(stderr, "state %s\n", CallStateName(state));
      for (auto error : events_->Errors()) std::fprintf(stderr, "error 0x%08X\n", unsigned(error));
    }
    modem_.reset();
    telephony::testing::ResetFaults();
  }

  // Waits until the component has torn every call down and closed its lines (checked in the
  // rounds that follow `trigger`).
  bool WaitQuiet(ProbeQuodem& modem, LineEvents& events) {
    auto quiet = std::make_shared<Latch>();
    events.OnState([quiet](TQuodem* sender, CallState) {
      if (static_cast<ProbeQuodem*>(sender)->Quiet()) quiet->Set();
    });
    if (modem.Quiet()) return true;
    // One more round in case the last one ran before the handler was set.
    modem.Nudge();
    return quiet->Wait();
  }

  std::string number0_, number1_;
  std::unique_ptr<ProbeQuodem> modem_;
  std::unique_ptr<LineEvents> events_;
};

// A Dial right after a Cut: the old call's disconnected and idle states arrive in the same
// round as the new call's first states, and a late disconnected state of the old call comes
// once the new call is placed. Every call connects, nothing is reported, and every call is
// deallocated in the end.
TEST_F(CallRecords, CutThenDialAtOnceConnectsEveryCall) {
  FarEnd far;
  far.Open(0);  // the far end answers on both numbers
  far.Open(1);
  WorkerHold hold(*modem_, *events_);
  modem_->SetLineIndex(0);
  std::vector<HCALL> placed;
  HCALL far_previous = 0;
  // QUODEM_CUT_DIAL_ROUNDS=300 for a longer run by hand.
  const char* rounds_env = std::getenv("QUODEM_CUT_DIAL_ROUNDS");
  const int rounds = rounds_env != nullptr ? std::atoi(rounds_env) : 12;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("call " + std::to_string(round));
    // Alternate numbers, so the far end's side of the last call may still be hanging up.
    modem_->SetDialString(round % 2 == 0 ? number1_ : number0_);
    if (round > 0) {
      ASSERT_TRUE(hold.Hold());
      modem_->Cut();
    }
    events_->Clear();
    modem_->Dial();
    placed.push_back(CallRecord.Call.load());
    if (round > 0) {
      // The old call's disconnected state, delivered late: it is about the old call only.
      LineCallback(placed[placed.size() - 2], LINE_CALLSTATE, 0, LINECALLSTATE_DISCONNECTED, 0, 0);
      hold.Release();
    }
    HCALL answered = far.AnswerNext();
    ASSERT_NE(0u, answered);
    ASSERT_TRUE(events_->WaitPortTaken());
    ASSERT_TRUE(far.WaitCallState(answered, LINECALLSTATE_CONNECTED));
    EXPECT_TRUE(events_->Errors().empty());
    if (far_previous != 0) {
      ASSERT_TRUE(far.WaitCallState(far_previous, LINECALLSTATE_DISCONNECTED));
      far.HangUp(far_previous);
    }
    far_previous = answered;
  }
  modem_->Cut();
  ASSERT_TRUE(WaitQuiet(*modem_, *events_));
  for (HCALL call : placed) EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(call));
}

// Dial and Cut at once, before any state of the call has been handled: the call is torn
// down (its handle deallocated, its line closed), and a call to the line's number is not
// answered by a component that never waited.
TEST_F(CallRecords, DialThenCutAtOnceTearsTheCallDown) {
  FarEnd far;
  HLINE far_line = far.Open(1);
  WorkerHold hold(*modem_, *events_);
  modem_->SetLineIndex(0);
  modem_->SetDialString(number1_);
  ASSERT_TRUE(hold.Hold());
  modem_->Dial();
  const HCALL call = CallRecord.Call.load();
  modem_->Cut();
  hold.Release();
  ASSERT_TRUE(WaitQuiet(*modem_, *events_));
  EXPECT_EQ(LINEERR_INVALCALLHANDLE, lineDeallocateCall(call));
  EXPECT_NE(telephony::NumberHold::kHeldHere, telephony::ListLines()[0].hold);

  for (HCALL offered : far.CallsIn(LINECALLSTATE_OFFERING)) far.HangUp(offered);

  events_->Clear();
  HCALL back = far.Call(far_line, number0_);
  EXPECT_TRUE(far.WaitCallState(back, LINECALLSTATE_DISCONNECTED));
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem_->CommHandle());
  for (CallState state : events_->StateList()) EXPECT_NE(csConnected, state);
  lineDrop(back, nullptr, 0);
  EXPECT_TRUE(events_->Errors().empty());
}

// A caller that gives up before the offer is handled: the offer, merged into its end, is
// torn down; the host waits again and the next call connects.
TEST_F(CallRecords, OfferAbandonedBeforeTheAnswerIsTornDown) {
  FarEnd far;
  HLINE far_line = far.Open(0);
  WorkerHold hold(*modem_, *events_);
  modem_->SetLineIndex(1);
  modem_->Wait();
  ASSERT_EQ(0, CallRecord.LastResult.load());
  ASSERT_TRUE(hold.Hold());
  HCALL abandoned = far.Call(far_line, number1_);
  ASSERT_NE(0u, far.WaitState(LINECALLSTATE_RINGBACK));
  EXPECT_GT(lineDrop(abandoned, nullptr, 0), 0);
  ASSERT_NE(0u, far.WaitState(LINECALLSTATE_IDLE));
  hold.Release();
  ASSERT_TRUE(WaitQuiet(*modem_, *events_));
  EXPECT_EQ(INVALID_HANDLE_VALUE, modem_->CommHandle());
  for (LONG error : events_->Errors()) ADD_FAILURE() << std::hex << error;

  events_->Clear();
  modem_->Wait();
  far.Call(far_line, number1_);
  EXPECT_TRUE(events_->WaitPortTaken());
  EXPECT_NE(0u, far.WaitState(LINECALLSTATE_CONNECTED));
  EXPECT_TRUE(events_->Errors().empty());
}

// Two components in one process: the first one's call ends while the second dials. The
// second's call connects and keeps its port; the first's end never cuts it.
TEST_F(CallRecords, OneComponentsCallEndingNeverCutsTheOthers) {
  FarEnd far;
  far.Open(0);
  far.Open(1);
  auto second = std::make_unique<ProbeQuodem>();
  auto second_events = std::make_unique<LineEvents>(*second);

  modem_->SetLineIndex(0);
  modem_->SetDialString(number1_);
  modem_->Dial();
  HCALL first_call = far.AnswerNext();
  ASSERT_TRUE(events_->WaitPortTaken());
  ASSERT_NE(0u, far.WaitState(LINECALLSTATE_CONNECTED));

  // The far end hangs up the first call just as the second component dials.
  WorkerHold hold(*second, *second_events);
  ASSERT_TRUE(hold.Hold());
  second->SetLineIndex(1);
  second->SetDialString(number0_);
  second->Dial();
  EXPECT_GT(lineDrop(first_call, nullptr, 0), 0);
  ASSERT_TRUE(WaitQuiet(*modem_, *events_));
  hold.Release();
  HCALL second_call = far.AnswerNext();
  ASSERT_NE(0u, second_call);
  ASSERT_TRUE(second_events->WaitPortTaken());
  ASSERT_TRUE(far.WaitCallState(second_call, LINECALLSTATE_CONNECTED));

  // The first call's end, handled meanwhile, left the second call alone.
  ASSERT_TRUE(WaitQuiet(*modem_, *events_));
  EXPECT_NE(INVALID_HANDLE_VALUE, second->CommHandle());
  EXPECT_TRUE(second->HasReader());
  EXPECT_FALSE(far.WaitCallStateFor(second_call, LINECALLSTATE_DISCONNECTED,
                                    std::chrono::milliseconds(200)));
  EXPECT_TRUE(events_->Errors().empty());
  EXPECT_TRUE(second_events->Errors().empty());
  second.reset();
}

// A waiter keeps its number between calls: a shared lock on the number's lock file taken
// between two calls (as a look at who holds the number once took) does not make the
// reopened line lose it, and the next call is answered.
TEST_F(CallRecords, WaiterKeepsItsNumberBetweenCalls) {
  FarEnd far;
  HLINE far_line = far.Open(0);
  const std::string lock_path = telephony::ExchangeDirectory() + "/" + number1_ + ".lock";
  std::atomic<int> rewaits{0};
  events_->OnState([&](TQuodem* sender, CallState state) {
    // Once the last call is torn down, its line is closed: the host waits again.
    if (state == csIdle && !static_cast<ProbeQuodem*>(sender)->HasOpenLines()) {
      // Between two calls: somebody looks at the number's lock.
      int fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) flock(fd, LOCK_SH | LOCK_NB);
      sender->Wait();
      if (fd >= 0) close(fd);
      ++rewaits;
      events_->Poke();
    }
  });
  modem_->SetLineIndex(1);
  modem_->Wait();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("call " + std::to_string(round));
    HCALL call = far.Call(far_line, number1_);
    ASSERT_NE(0u, far.WaitState(LINECALLSTATE_CONNECTED));
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_NE(0u, far.WaitState(LINECALLSTATE_IDLE));
    lineDeallocateCall(call);
    ASSERT_TRUE(events_->WaitFor([&] { return rewaits.load() > round; }));
    EXPECT_EQ(telephony::NumberHold::kHeldHere, telephony::ListLines()[1].hold);
  }
  EXPECT_TRUE(events_->Errors().empty());
}

// Wait on a line whose number another line of this process holds reports that it cannot
// wait (the reason goes to ServiceProblem) instead of succeeding without the number.
TEST_F(CallRecords, WaitWithoutTheNumberIsReported) {
  FarEnd far;
  far.Open(1);
  modem_->SetLineIndex(1);
  modem_->Wait();
  EXPECT_EQ(std::vector<LONG>{LINEERR_RESOURCEUNAVAIL}, events_->Errors());
  EXPECT_EQ(LINEERR_RESOURCEUNAVAIL, CallRecord.LastResult.load());
  EXPECT_NE(std::string::npos, telephony::ServiceProblem().find(number1_))
      << telephony::ServiceProblem();
  EXPECT_FALSE(modem_->HasOpenLines());
}

}  // namespace
}  // namespace quodem
