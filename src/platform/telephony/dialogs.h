// lineConfigDialogA and lineTranslateDialogA: the installed DialogHandler, or a plain text
// dialog on the terminal that edits the configuration file. Without a handler and without a
// terminal on standard input they return LINEERR_OPERATIONUNAVAIL at once.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "platform/telephony/config.h"
#include "quodem/platform/telephony.h"

namespace quodem::telephony {

LONG LineConfigDialog(DWORD device_id, const char* device_class);
LONG DialingLocationDialog(DWORD device_id, const std::string& address_in);

// The text dialogs on any streams. Each shows the current values and asks for new ones;
// an empty answer keeps a value, "-" empties it (where empty is acceptable), a value that is not
// acceptable is explained and asked again. They change `config` and return true, or return false
// when the input ends first (nothing changed then).
bool EditLineSettings(ServiceConfig& config, DWORD device_id, std::istream& in, std::ostream& out);
bool EditDialingLocation(ServiceConfig& config, const std::string& address_in, std::istream& in,
                         std::ostream& out);

}  // namespace quodem::telephony
