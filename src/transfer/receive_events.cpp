// The receive-side event sources of TQuodem, raised by the reader worker on its thread.
#include "quodem/component/quodem.h"

namespace quodem {

void TQuodem::DoLineReceive() {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE) return;
  if (auto handler = OnLineReceive()) {
    handler(this, FRecvBytes.load(), static_cast<Dataclass>(FRecvHeader.Kind));
  }
}

// A frame that began while the port was held is delivered even when the call was cut while
// its last bytes were being read: by then it is complete. The same holds for the events of a
// file frame that ends unsaved, the cut included.
void TQuodem::DoMsgReceive() {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE && !FRecvPortHeld.load()) return;
  if (auto handler = OnMsgReceive()) handler(this, FMsgBuffer.get(), FDataTotal.load());
}

void TQuodem::DoFileReceive() {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE && !FRecvPortHeld.load()) return;
  if (auto handler = OnFileReceive()) {
    std::string path;
    {
      std::lock_guard<std::mutex> lock(FFieldLock);
      path = FRecvFilePath;
    }
    handler(this, path);
  }
}

void TQuodem::DoFileError() {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE && !FRecvPortHeld.load()) return;
  if (auto handler = OnFileError()) {
    std::string name, reason;
    {
      std::lock_guard<std::mutex> lock(FFieldLock);
      name = FRecvErrorName;
      reason = FRecvErrorReason;
    }
    handler(this, name, reason);
  }
}

void TQuodem::DoFileAccept() {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE && !FRecvPortHeld.load()) return;
  if (auto handler = OnFileAccept()) {
    std::string name;
    {
      std::lock_guard<std::mutex> lock(FFieldLock);
      name = FRecvFileName;
    }
    bool accept = FRecvAccept.load();
    handler(this, name, FRecvHeader.Size, accept);
    FRecvAccept.store(accept);
  }
}

}  // namespace quodem
