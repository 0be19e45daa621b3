#include "platform/telephony/modem/modem_provider.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/telephony/config.h"
#include "platform/telephony/modem/modem_line.h"
#include "platform/telephony/modem/modem_settings.h"
#include "platform/telephony/translate.h"

namespace quodem::telephony {
namespace {

using modem::HeldDevice;
using modem::ModemLine;
using modem::ModemSettings;

class ModemProvider : public Provider {
 public:
  ModemProvider(const LineSettings& settings, const ServiceConfig& config, ProviderContext& context)
      : context_(context), settings_(modem::ModemSettingsFrom(settings, config.location)) {}

  const std::string& Name() const override { return settings_.name; }

  std::string ProviderInfo() const override { return "Quodem Hayes modem on " + settings_.device; }

  LineInfo Describe(DWORD device_id) const override {
    LineInfo info;
    info.device_id = device_id;
    info.name = settings_.name;
    info.provider = "modem";
    info.address = settings_.device;
    if (ModemLine* line = ModemLine::HeldBy(settings_.device)) {
      info.hold = NumberHold::kHeldHere;
      info.rate = line->Rate();
      info.caller = line->CallerNumber();
    } else if (ModemLine::IsParked(settings_.device)) {
      info.hold = NumberHold::kFree;  // parked between two calls: any open here takes it back
    } else if (struct stat st{}; stat(settings_.device.c_str(), &st) != 0) {
      info.hold = NumberHold::kMissing;
    } else if (pid_t holder = modem::UucpLock::Holder(settings_.device, settings_.lock_dir)) {
      info.hold = NumberHold::kHeldElsewhere;
      info.holder_pid = holder;
    } else {
      info.hold = NumberHold::kFree;
    }
    return info;
  }

  LONG Translate(const std::string& input, const Location& location,
                 Translation* out) const override {
    std::optional<Translation> result = TranslatePhoneNumber(input, location);
    // A TCP virtual modem dials host:port.
    if (!result) result = TranslateHostAddress(input);
    if (!result || modem::ModemDialString(result->dialable).empty()) return LINEERR_INVALADDRESS;
    *out = std::move(*result);
    return 0;
  }

  LONG Open(bool owner, LineEvents* events, std::unique_ptr<ProviderLine>* line) override {
    const std::string& device = settings_.device;
    if (ModemLine::HeldBy(device) != nullptr) {
      context_.report_problem("the modem device " + device +
                              " is held by another line of this process");
      return LINEERR_ALLOCATED;
    }
    std::optional<HeldDevice> held = ModemLine::TakeParked(context_.loop, device);
    if (!held) {
      // The lock first: opening the device would raise DTR under another program's call.
      std::string reason;
      std::optional<modem::UucpLock> lock =
          modem::UucpLock::Take(device, settings_.lock_dir, &reason);
      if (!lock) {
        context_.report_problem(reason);
        return modem::UucpLock::Holder(device, settings_.lock_dir) != 0 ? LINEERR_ALLOCATED
                                                                        : LINEERR_OPERATIONFAILED;
      }
      int error = 0;
      std::optional<modem::SerialPort> port =
          modem::SerialPort::Open(device, settings_.serial, &reason, &error);
      if (!port) {
        context_.report_problem(reason);
        if (error == ENOENT || error == ENXIO || error == ENODEV) return LINEERR_NODEVICE;
        return error == EBUSY ? LINEERR_ALLOCATED : LINEERR_OPERATIONFAILED;
      }
      held = HeldDevice{std::move(*port), std::move(*lock), false};
    }
    *line = std::make_unique<ModemLine>(context_, events, settings_, owner, std::move(*held));
    return 0;
  }

 private:
  ProviderContext& context_;
  const ModemSettings settings_;
};

}  // namespace

std::unique_ptr<Provider> CreateModemProvider(const LineSettings& settings,
                                              const ServiceConfig& config,
                                              ProviderContext& context) {
  return std::make_unique<ModemProvider>(settings, config, context);
}

}  // namespace quodem::telephony
