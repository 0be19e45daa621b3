// The answering rules every listening line shares: a caller is offered when the line is free,
// turned away busy when the line refuses calls or is in a live call, kept while the line's
// call is ending and offered once it is free; and a parked socket is listened on again with
// the callers kept while the line was closed.
#include "platform/telephony/listening_line.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/provider_context_test.h"

namespace quodem::telephony {
namespace {

class FakeCall : public ProviderCall {
 public:
  FakeCall(posix::UniqueFd fd, std::string peer) : fd(std::move(fd)), peer(std::move(peer)) {}
  void Start() override {}
  void Answer(Completion done) override { done(0); }
  void Drop(Completion done) override { done(0); }
  std::string PortDeviceName() const override { return "fake"; }
  HANDLE OpenPort() override { return 0; }
  posix::UniqueFd fd;
  std::string peer;
};

class FakeEvents : public LineEvents {
 public:
  bool HasActiveCall() const override { return active; }
  bool ActiveCallEnding() const override { return ending; }
  bool OfferCall(std::unique_ptr<ProviderCall> call) override {
    offered.push_back(std::unique_ptr<FakeCall>(static_cast<FakeCall*>(call.release())));
    return true;
  }
  void LineLost() override {}
  bool active = false;
  bool ending = false;
  std::vector<std::unique_ptr<FakeCall>> offered;
};

class FakeLine : public ListeningLine {
 public:
  FakeLine(ProviderContext& context, LineEvents* events) : ListeningLine(context, events, 30) {
    SetKey("test:line");
  }
  ~FakeLine() override {
    if (Listening()) Park(std::make_unique<ParkedListener>(StopForParking()));
  }
  bool Holds(const std::string&) const override { return Listening(); }
  std::unique_ptr<ProviderCall> MakeCall(const std::string&, LONG* error) override {
    *error = LINEERR_INVALADDRESS;
    return nullptr;
  }
  using ListeningLine::Answer;
  using ListeningLine::Listen;
  using ListeningLine::TakeParked;
  bool refuses = false;

 protected:
  testing::NumberFaults IncomingFaults() const override { return {}; }
  bool RefusesCalls() const override { return refuses; }
  std::unique_ptr<ProviderCall> MakeIncomingCall(posix::UniqueFd fd, const std::string& peer,
                                                 const testing::NumberFaults&) override {
    return std::make_unique<FakeCall>(std::move(fd), peer);
  }
  std::string AddressWords() const override { return "the test line"; }
  std::string HeldElsewhereWhy(bool) const override { return "held elsewhere"; }
};

// One end of a connection handed to the line as a caller; the test keeps the far end.
struct Caller {
  Caller() {
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    line_end = ends[0];
    far.reset(ends[1]);
  }
  // The line closed its end: the far end reads the end of the stream.
  bool TurnedAway() const {
    char byte;
    return recv(far.get(), &byte, 1, MSG_DONTWAIT) == 0;
  }
  int line_end;
  posix::UniqueFd far;
};

class ListeningLineAnswer : public ProviderContextTest {
 protected:
  FakeEvents events;
};

TEST_F(ListeningLineAnswer, OffersWhenFreeAndTurnsAwayWhenRefusingOrInALiveCall) {
  FakeLine line(context, &events);
  Caller first;
  line.Answer(posix::UniqueFd(first.line_end), "first");
  ASSERT_EQ(events.offered.size(), 1u);
  EXPECT_EQ(events.offered[0]->fd.get(), first.line_end);
  EXPECT_EQ(events.offered[0]->peer, "first");

  events.active = true;  // a live call: busy at once, nothing kept
  Caller second;
  line.Answer(posix::UniqueFd(second.line_end), "second");
  EXPECT_TRUE(second.TurnedAway());

  events.active = false;
  line.refuses = true;  // refusing beats a free line
  Caller third;
  line.Answer(posix::UniqueFd(third.line_end), "third");
  EXPECT_TRUE(third.TurnedAway());
  EXPECT_EQ(events.offered.size(), 1u);
}

TEST_F(ListeningLineAnswer, KeepsCallersWhileTheCallEndsAndOffersTheFirstWhenFree) {
  FakeLine line(context, &events);
  events.active = true;
  events.ending = true;
  std::vector<Caller> callers(WaitingCallers::kMax + 1);
  for (Caller& caller : callers) line.Answer(posix::UniqueFd(caller.line_end), "kept");
  EXPECT_TRUE(events.offered.empty());
  EXPECT_TRUE(callers.back().TurnedAway()) << "only kMax are kept";
  EXPECT_FALSE(callers.front().TurnedAway());

  events.active = false;
  events.ending = false;
  line.LineFree();
  ASSERT_EQ(events.offered.size(), 1u);
  EXPECT_EQ(events.offered[0]->fd.get(), callers.front().line_end);
  for (std::size_t i = 1; i < WaitingCallers::kMax; ++i) {
    EXPECT_TRUE(callers[i].TurnedAway()) << "the others are busy once one is offered";
  }
}

TEST_F(ListeningLineAnswer, AReopenedLineListensOnTheParkedSocketAndOffersTheKeptCaller) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  posix::UniqueFd stand_in(ends[0]);  // any watchable descriptor serves as the "listener"
  posix::UniqueFd other_end(ends[1]);
  Caller kept;
  {
    FakeLine closing(context, &events);
    ASSERT_TRUE(closing.Listen(std::move(stand_in)));
    EXPECT_EQ(ListeningLine::HeldHere("test:line"), &closing);
    closing.KeepCaller(posix::UniqueFd(kept.line_end), "kept");
  }  // parks the socket and the kept caller
  EXPECT_EQ(ListeningLine::HeldHere("test:line"), nullptr);
  EXPECT_FALSE(kept.TurnedAway());

  {
    FakeLine reopened(context, &events);
    bool listening = false;
    EXPECT_NE(reopened.TakeParked(&listening), nullptr);
    EXPECT_TRUE(listening);
    EXPECT_EQ(ListeningLine::HeldHere("test:line"), &reopened);
    EXPECT_TRUE(events.offered.empty()) << "offered from the loop, after the open returns";
    RunReady();
    ASSERT_EQ(events.offered.size(), 1u);
    EXPECT_EQ(events.offered[0]->fd.get(), kept.line_end);
  }
  // Nothing stays parked on this test's loop.
  TakeParkedAddress(loop, "test:line").reset();
}

}  // namespace
}  // namespace quodem::telephony
