// A stream call's phase step: entering a phase ends what the phase left behind owned (its
// socket watch, the answer timer of dialing and ringback, an injected answer delay) and
// reports the new call state, so no path can leave a timer or watch behind.
#include "platform/telephony/stream_call.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/provider_context_test.h"

namespace quodem::telephony {
namespace {

class Recorder : public CallEvents {
 public:
  void CallStateChanged(DWORD state, DWORD mode) override { states.push_back({state, mode}); }
  std::vector<std::pair<DWORD, DWORD>> states;
};

// Opens the protected steps to the test; nothing else differs from a real line's call.
class ProbeCall : public StreamCall {
 public:
  ProbeCall(ProviderContext& context, const testing::NumberFaults& faults)
      : StreamCall(context, faults, "probe") {}
  void Start() override {}
  using StreamCall::AdoptIncoming;
  using StreamCall::EnterConnected;
  using StreamCall::EnterPhase;
  using StreamCall::FailBusy;
  using StreamCall::Phase;
  using StreamCall::phase;
  using StreamCall::StartAnswerTimer;
  using StreamCall::WatchSocket;
};

class StreamCallPhase : public ProviderContextTest {
 protected:
  StreamCallPhase() {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
    ours = posix::UniqueFd(ends[0]);
    far = posix::UniqueFd(ends[1]);
  }

  std::unique_ptr<ProbeCall> MakeCall(testing::NumberFaults faults = {}) {
    auto call = std::make_unique<ProbeCall>(context, faults);
    call->AttachEvents(&recorder);
    return call;
  }
  Recorder recorder;
  posix::UniqueFd ours;
  posix::UniqueFd far;
};

TEST_F(StreamCallPhase, TheAnswerTimerLastsThroughDialingAndRingbackOnly) {
  using Phase = ProbeCall::Phase;
  for (Phase leaving_to : {Phase::kConnected, Phase::kDisconnected, Phase::kIdle}) {
    auto call = MakeCall();
    call->EnterPhase(Phase::kDialing);
    call->StartAnswerTimer(60'000);
    call->EnterPhase(Phase::kRingback);
    EXPECT_GE(loop.MillisecondsToNextTimer(), 0) << "ringback keeps the dialing's timer";
    call->EnterPhase(leaving_to);
    EXPECT_EQ(loop.MillisecondsToNextTimer(), -1) << static_cast<int>(leaving_to);
  }
}

TEST_F(StreamCallPhase, AnEnteredPhaseNoLongerRunsTheOldPhasesSocketWatch) {
  auto call = MakeCall();
  call->AdoptIncoming(std::move(ours));
  int woken = 0;
  call->WatchSocket(EPOLLIN, [&woken](std::uint32_t) { ++woken; });
  ASSERT_EQ(write(far.get(), "x", 1), 1);
  call->EnterPhase(ProbeCall::Phase::kAnswering);
  RunReady();
  EXPECT_EQ(woken, 0);
  EXPECT_TRUE(recorder.states.empty()) << "entering answering reports nothing by itself";
}

TEST_F(StreamCallPhase, FailuresAndDropReportTheirStatesInOrderAndEndTheDelayedAnswer) {
  auto busy = MakeCall();
  busy->EnterPhase(ProbeCall::Phase::kRingback, {{LINECALLSTATE_RINGBACK}});
  busy->StartAnswerTimer(60'000);
  busy->FailBusy();
  EXPECT_EQ(busy->phase(), ProbeCall::Phase::kDisconnected);
  EXPECT_EQ(recorder.states, (std::vector<std::pair<DWORD, DWORD>>{
                                 {LINECALLSTATE_RINGBACK, 0},
                                 {LINECALLSTATE_BUSY, LINEBUSYMODE_STATION},
                                 {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY}}));
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);

  // lineDrop while an injected answer delay runs: the delayed answer never completes.
  recorder.states.clear();
  testing::NumberFaults slow;
  slow.answer_delay_ms = 60'000;
  auto answering = MakeCall(slow);
  answering->AdoptIncoming(std::move(ours));
  std::vector<LONG> answered;
  answering->Answer([&answered](LONG result) { answered.push_back(result); });
  EXPECT_GE(loop.MillisecondsToNextTimer(), 0);
  std::vector<LONG> dropped;
  answering->Drop([&dropped](LONG result) { dropped.push_back(result); });
  // The graceful closer lingers until the far end closes too; then nothing is left running.
  EXPECT_EQ(closer.lingering(), 1u);
  far.reset();
  RunReady();
  EXPECT_EQ(closer.lingering(), 0u);
  EXPECT_EQ(loop.MillisecondsToNextTimer(), -1);
  EXPECT_TRUE(answered.empty());
  EXPECT_EQ(dropped, std::vector<LONG>{0});
  EXPECT_EQ(recorder.states, (std::vector<std::pair<DWORD, DWORD>>{{LINECALLSTATE_IDLE, 0}}));
}

}  // namespace
}  // namespace quodem::telephony
