// The service's side of fault injection: what the testing:: setters of
// quodem/platform/telephony_service.h stored, read where the fault takes effect. Guarded by
// a lock of its own (never held while calling anything else).
#pragma once

#include <optional>
#include <string>

#include "quodem/platform/telephony_service.h"

namespace quodem::telephony::faults {

testing::NumberFaults ForNumber(const std::string& number);
// One-shot faults: the stored value, which is then cleared.
std::optional<LONG> TakeInitializeFailure();
std::optional<LONG> TakeMakeCallReplyFailure();
std::optional<LONG> TakeAnswerReplyFailure();
std::optional<LONG> TakeAnswerReturn();
// The answer timeout override in milliseconds (0: none).
int AnswerTimeoutMs();

}  // namespace quodem::telephony::faults
