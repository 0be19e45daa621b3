// The local exchange: lines are numbers in a private folder, a waiting line listens on the
// Unix-domain socket <folder>/<number>, and a call is one connection to it. The only byte
// the exchange adds is the callee's answer signal (0x06), which the caller's side consumes
// before it reports connected.
#pragma once

#include <memory>
#include <string>

#include "platform/telephony/provider.h"

namespace quodem::telephony {

constexpr char kAnswerSignal = 0x06;

std::unique_ptr<Provider> CreateExchangeProvider(const LineSettings& settings,
                                                 const ServiceConfig& config,
                                                 ProviderContext& context);

// The number a dial string names on the exchange: formatting (blanks, '-', '.', '(' and
// ')') and dial modifiers (+ , ; ! @ $ W P T) dropped; digits, * and # kept. Empty when
// anything else is in it or no digit is left, so nothing dialed can name a path.
std::string ExchangeNumberFromDialString(const std::string& dial_string);

}  // namespace quodem::telephony
