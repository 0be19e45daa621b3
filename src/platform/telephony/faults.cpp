#include "platform/telephony/faults.h"

#include <map>
#include <mutex>

namespace quodem::telephony {
namespace {

struct FaultState {
  std::mutex lock;
  std::map<std::string, testing::NumberFaults> numbers;
  std::optional<LONG> initialize;
  std::optional<LONG> make_call_reply;
  std::optional<LONG> answer_reply;
  std::optional<LONG> answer_return;
  int answer_timeout_ms = 0;
};

FaultState& State() {
  static FaultState* state = new FaultState;  // used by service threads until the process ends
  return *state;
}

std::optional<LONG> Take(std::optional<LONG> FaultState::*member) {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  std::optional<LONG> value = state.*member;
  (state.*member).reset();
  return value;
}

void Put(std::optional<LONG> FaultState::*member, LONG value) {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.*member = value;
}

}  // namespace

namespace faults {

testing::NumberFaults ForNumber(const std::string& number) {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  auto it = state.numbers.find(number);
  return it == state.numbers.end() ? testing::NumberFaults{} : it->second;
}

std::optional<LONG> TakeInitializeFailure() {
  return Take(&FaultState::initialize);
}
std::optional<LONG> TakeMakeCallReplyFailure() {
  return Take(&FaultState::make_call_reply);
}
std::optional<LONG> TakeAnswerReplyFailure() {
  return Take(&FaultState::answer_reply);
}
std::optional<LONG> TakeAnswerReturn() {
  return Take(&FaultState::answer_return);
}

int AnswerTimeoutMs() {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.answer_timeout_ms;
}

}  // namespace faults

namespace testing {

void SetNumberFaults(const std::string& number, const NumberFaults& faults) {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.numbers[number] = faults;
}

void FailNextInitialize(LONG result) {
  Put(&FaultState::initialize, result);
}
void FailNextMakeCallReply(LONG result) {
  Put(&FaultState::make_call_reply, result);
}
void FailNextAnswerReply(LONG result) {
  Put(&FaultState::answer_reply, result);
}
void NextAnswerReturns(LONG result) {
  Put(&FaultState::answer_return, result);
}

void SetAnswerTimeoutMs(int milliseconds) {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.answer_timeout_ms = milliseconds < 0 ? 0 : milliseconds;
}

void ResetFaults() {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.numbers.clear();
  state.initialize.reset();
  state.make_call_reply.reset();
  state.answer_reply.reset();
  state.answer_return.reset();
  state.answer_timeout_ms = 0;
}

}  // namespace testing
}  // namespace quodem::telephony
