// Wrapping a descriptor in a port and giving it a handle.
#include "quodem/platform/posix/descriptor_port.h"

#include <memory>

#include "platform/posix/handle_table.h"
#include "platform/posix/port.h"

namespace quodem::posix {

HANDLE CreatePortFromDescriptor(int fd, std::shared_ptr<PortObserver> observer,
                                PortOptions options) {
  DWORD error = ERROR_SUCCESS;
  std::shared_ptr<Port> port = Port::Create(fd, std::move(observer), options, &error);
  if (!port) {
    SetLastError(error);
    return 0;
  }
  const HANDLE handle = HandleTable::Instance().Insert(port);
  if (handle == 0) SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // the port closes the descriptor
  return handle;
}

}  // namespace quodem::posix
