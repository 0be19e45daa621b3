// Line-table helpers of ModemInit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quodem/platform/telephony.h"

namespace quodem::line {

// The size of the capability block ModemInit passes to lineGetDevCapsA.
constexpr DWORD kDevCapsBytes = 1268;

// The line name in a capability block of `block_bytes` bytes (LINEDEVCAPS at its start):
// the bytes at dwLineNameOffset, at most dwLineNameSize of them, up to the first zero, cut
// to the 127 bytes a row holds. Nothing beyond the block is read: an offset outside it gives
// an empty name, a size reaching past it is cut at its end.
std::string LineNameFromCaps(const std::uint8_t* block, std::size_t block_bytes);

}  // namespace quodem::line
