// A call on a modem line as the telephony service sees it. The modem itself (its device,
// commands and states) is the line's: a call only forwards what the service asks of it to the
// line that made or offered it, and the line reports the call's states through it. A call
// can outlive its line (a line closed during a call); it then ends quietly.
//
// Threading: the service lock is held for everything, as for every provider object.
#pragma once

#include <memory>
#include <string>

#include "platform/telephony/provider.h"

namespace quodem::telephony::modem {

class ModemLine;

// Lets calls, port observers and posted tasks find a line that may be gone by the time they
// run. `line` is set and cleared with the service lock held.
struct LineAnchor {
  ModemLine* line = nullptr;
};

class ModemCall : public ProviderCall {
 public:
  // An outgoing call to `number` (a checked dial string), or an incoming one (`number` empty).
  ModemCall(std::shared_ptr<LineAnchor> anchor, std::string device, std::string number,
            bool incoming);
  ~ModemCall() override;

  void Start() override;
  void Answer(Completion done) override;
  void Drop(Completion done) override;
  std::string PortDeviceName() const override { return device_; }
  HANDLE OpenPort() override;
  DWORD Rate() const override;

  const std::string& number() const { return number_; }
  bool incoming() const { return incoming_; }
  // Reports a state of this call (the line's way of reaching the service).
  void State(DWORD state, DWORD mode = 0) { Report(state, mode); }

 private:
  ModemLine* Line() const { return anchor_->line; }

  std::shared_ptr<LineAnchor> anchor_;
  std::string device_;
  std::string number_;
  bool incoming_;
};

}  // namespace quodem::telephony::modem
