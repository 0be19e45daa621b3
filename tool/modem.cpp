#include "modem.h"

#include <mutex>

namespace quodem::tool {

bool ToolModem::WaitReadersDone(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(FReaderLock);
  return FReadersDone.wait_for(lock, limit, [this] { return FLiveReaders == 0; });
}

std::string ToolModem::ReceivingFileName() const {
  std::lock_guard<std::mutex> lock(FFieldLock);
  return FRecvFileName;
}

long ToolModem::LineDeviceId(int row) const {
  std::lock_guard<std::mutex> lock(FLineLock);
  if (row < 0 || row >= kMaxLines || row >= FLineNames.Count()) return -1;
  return static_cast<long>(FLines[row].DeviceId);
}

}  // namespace quodem::tool
