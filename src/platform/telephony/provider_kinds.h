// The kinds of line provider the service knows, by their name in the configuration file.
#pragma once

#include <string_view>
#include <vector>

#include "platform/telephony/provider.h"

namespace quodem::telephony {

const std::vector<ProviderKind>& ProviderKinds();
// null when no kind has that name.
const ProviderKind* FindProviderKind(std::string_view name);

// Checks shared by the kinds ("" when fine).
std::string CheckLineName(const std::string& value);

}  // namespace quodem::telephony
