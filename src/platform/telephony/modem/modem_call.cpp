#include "platform/telephony/modem/modem_call.h"

#include "platform/telephony/modem/modem_line.h"

namespace quodem::telephony::modem {

ModemCall::ModemCall(std::shared_ptr<LineAnchor> anchor, std::string device, std::string number,
                     bool incoming)
    : anchor_(std::move(anchor)),
      device_(std::move(device)),
      number_(std::move(number)),
      incoming_(incoming) {}

ModemCall::~ModemCall() {
  if (ModemLine* line = Line()) line->CallGone(this);
}

void ModemCall::Start() {
  if (ModemLine* line = Line()) {
    line->StartDial(*this);
    return;
  }
  Report(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
}

void ModemCall::Answer(Completion done) {
  if (ModemLine* line = Line()) {
    line->Answer(*this, std::move(done));
    return;
  }
  done(LINEERR_INVALCALLSTATE);
}

void ModemCall::Drop(Completion done) {
  if (ModemLine* line = Line()) {
    line->Drop(*this, std::move(done));
    return;
  }
  // The line was closed under the call, which hung the modem up.
  Report(LINECALLSTATE_IDLE);
  done(0);
}

DWORD ModemCall::Rate() const {
  const ModemLine* line = Line();
  return line != nullptr ? line->RateOf(*this) : 0;
}

HANDLE ModemCall::OpenPort() {
  ModemLine* line = Line();
  return line != nullptr ? line->OpenPort(*this) : 0;
}

}  // namespace quodem::telephony::modem
