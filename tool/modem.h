// The tool's component: a TQuodem with the few extra views a host that drives it from the
// command line needs. They read the component's own fields under the component's own locks;
// nothing here changes how the component behaves.
#pragma once

#include <chrono>
#include <string>

#include "quodem/component/quodem.h"

namespace quodem::tool {

class ToolModem : public TQuodem {
 public:
  using TQuodem::TQuodem;

  // Blocks until no reader worker of this component runs any more (the last frame has been
  // stored or saved and its event raised), at most `limit`. True when none runs.
  bool WaitReadersDone(std::chrono::milliseconds limit);

  // The name carried by the file frame being received (or the last one).
  std::string ReceivingFileName() const;

  // The telephony device identifier of a row of the line table; -1 for a row that is not
  // filled.
  long LineDeviceId(int row) const;
};

}  // namespace quodem::tool
