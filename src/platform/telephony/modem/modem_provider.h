// Hayes modems on serial devices as line devices of the telephony service ([line] provider =
// modem; the keys are in modem_settings.h, the modem's behaviour in modem_line.h).
//
// Opening a line takes the device's UUCP lock files (both names when the configured path is a
// symbolic link), then opens the device (non-blocking, exclusive, raw 8-bit, the configured
// speed and flow control) and starts the init commands. A device in use by another program
// fails the open with LINEERR_ALLOCATED and the holder's PID in ServiceProblem(); a missing one
// with LINEERR_NODEVICE. Only the configured device is ever opened.
#pragma once

#include <memory>

#include "platform/telephony/provider.h"

namespace quodem::telephony {

std::unique_ptr<Provider> CreateModemProvider(const LineSettings& settings,
                                              const ServiceConfig& config,
                                              ProviderContext& context);

}  // namespace quodem::telephony
