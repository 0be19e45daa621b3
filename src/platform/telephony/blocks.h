// Filling the caller's variable-size blocks: a fixed part followed by variable data at
// offsets. Nothing is ever written beyond the block's dwTotalSize.
#pragma once

#include <string>

#include "quodem/platform/telephony.h"

namespace quodem::telephony {

class Provider;

// Capabilities of a line device: data-modem media mode, voice bearer mode, one address, the
// line's name and the provider's info. A block too small for the fixed part gets
// LINEERR_STRUCTURETOOSMALL; one too small for the strings gets the fixed part, dwNeededSize
// and 0 (the strings are not essential).
LONG FillDevCaps(const Provider& provider, DWORD device_id, LINEDEVCAPS* caps);

// The size a "comm/datamodem" VARSTRING needs for `device_name`.
DWORD DataModemIdSize(const std::string& device_name);
// Checks the block: 0 when it can take the port handle and `device_name`, otherwise
// LINEERR_STRUCTURETOOSMALL with dwNeededSize set.
LONG CheckDataModemIdBlock(const std::string& device_name, VARSTRING* id);
// Writes the handle (32 bits) and the zero-terminated name; CheckDataModemIdBlock said yes.
void WriteDataModemId(HANDLE port, const std::string& device_name, VARSTRING* id);

}  // namespace quodem::telephony
