// The kinds of line provider the service knows, by their name in the configuration file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/telephony/provider.h"

namespace quodem::telephony {

const std::vector<ProviderKind>& ProviderKinds();
// null when no kind has that name.
const ProviderKind* FindProviderKind(std::string_view name);

// Checks shared by the kinds ("" when fine).
std::string CheckLineName(const std::string& value);

// An exchange line's `speed` (bits a second, 0: unpaced), checked, as the bytes a second its
// calls send: ten bits a byte, as an asynchronous serial line sends them.
std::uint32_t PaceForSpeed(const std::string& value);

}  // namespace quodem::telephony
