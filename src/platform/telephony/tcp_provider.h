// TCP lines: a waiting line listens on a TCP address, a call is one TCP connection. The
// stream is raw from the first byte (no answer signal), so the caller is connected as soon
// as its connect succeeds. Nagle's algorithm stays on: it merges the small writes of a send.
#pragma once

#include <memory>

#include "platform/telephony/provider.h"

namespace quodem::telephony {

std::unique_ptr<Provider> CreateTcpProvider(const LineSettings& settings,
                                            const ServiceConfig& config, ProviderContext& context);

}  // namespace quodem::telephony
