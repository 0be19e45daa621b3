// Per-call coalescing of notifications: what state handling gets for a sequence of
// notifications that arrived before its worker ran.
#include "line/call_notices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quodem/component/quodem.h"

namespace quodem::line {
namespace {

struct Step {
  HCALL call;
  int state;
  bool owner = false;
};
struct Want {
  HCALL call;
  int state;
  bool offered;
};

std::string Describe(const std::vector<Want>& calls) {
  std::string text;
  for (const Want& want : calls) {
    text += std::to_string(want.call) + ":" + CallStateName(static_cast<CallState>(want.state)) +
            (want.offered ? "(offered) " : " ");
  }
  return text;
}

TEST(CallNotices, CoalescePerCallInOrderOfFirstArrival) {
  constexpr HCALL A = 11, B = 12, C = 13;
  struct Row {
    const char* what;
    std::vector<Step> steps;
    std::vector<Want> want;
  };
  const Row table[] = {
      {"old call's end before a new call's start",
       {{A, csDialing}, {A, csBusy}, {B, csOffering, true}, {A, csIdle}},
       {{A, csIdle, false}, {B, csOffering, true}}},
      {"cut then dial at once",
       {{A, csDisconnected}, {B, csDialing}, {A, csIdle}, {B, csProceeding}, {B, csConnected}},
       {{A, csIdle, false}, {B, csConnected, false}}},
      {"an offer abandoned before the worker ran stays known as offered",
       {{C, csOffering, true}, {C, csDisconnected}, {C, csIdle}},
       {{C, csIdle, true}}},
      {"an offer without owner privilege is not this component's",
       {{C, csOffering, false}, {C, csIdle}},
       {{C, csIdle, false}}},
      {"a state repeated keeps its place",
       {{A, csConnected}, {B, csDialing}, {A, csConnected}},
       {{A, csConnected, false}, {B, csDialing, false}}},
  };
  for (const Row& row : table) {
    CallNotices notices;
    for (const Step& step : row.steps) notices.AddCallState(step.call, 7, step.state, step.owner);
    std::vector<Want> got;
    for (const auto& call : notices.Take().calls) {
      EXPECT_EQ(7u, call.open) << row.what;
      got.push_back({call.call, call.state, call.offered});
    }
    EXPECT_EQ(Describe(row.want), Describe(got)) << row.what;
    EXPECT_TRUE(notices.Take().empty()) << row.what;  // taken once
  }
}

TEST(CallNotices, KeepsFailedRepliesAndClosedLinesOnly) {
  CallNotices notices;
  notices.AddReply(5, 0, 1);  // success: nothing to do
  notices.AddReply(6, LINEERR_CALLUNAVAIL, 1);
  notices.AddLineClosed(2);
  auto batch = notices.Take();
  ASSERT_EQ(1u, batch.failed_replies.size());
  EXPECT_EQ(6, batch.failed_replies[0].request);
  EXPECT_EQ(LINEERR_CALLUNAVAIL, batch.failed_replies[0].outcome);
  EXPECT_EQ(std::vector<OpenId>{2}, batch.closed_lines);
  EXPECT_TRUE(batch.calls.empty());
}

}  // namespace
}  // namespace quodem::line
