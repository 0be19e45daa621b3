// The Win32-named port functions of platform/system.h: find the port a handle names, let it
// do the work, and turn its result into BOOL and the thread's last error.
#include <memory>

#include "platform/posix/handle_table.h"
#include "platform/posix/port.h"
#include "quodem/platform/system.h"

namespace quodem {

namespace {

using posix::Port;

// The port a handle names. Null, with ERROR_INVALID_HANDLE, for a closed or unknown handle
// and for a handle that names something else (an event).
std::shared_ptr<Port> FindPort(HANDLE handle) {
  std::shared_ptr<Port> port = posix::HandleTable::Instance().FindAs<Port>(handle);
  if (!port) SetLastError(ERROR_INVALID_HANDLE);
  return port;
}

BOOL Report(DWORD error) {
  if (error == ERROR_SUCCESS) return TRUE;
  SetLastError(error);
  return FALSE;
}

}  // namespace

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* written,
               OVERLAPPED* overlapped) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  if (buffer == nullptr && bytes != 0) return Report(ERROR_INVALID_PARAMETER);
  if (overlapped != nullptr) return Report(port->Write(buffer, bytes, written, overlapped));
  // Without a block the call waits for its own, private one.
  OVERLAPPED own;
  DWORD error = port->Write(buffer, bytes, written, &own);
  if (error == ERROR_IO_PENDING) error = port->GetResult(&own, written, true);
  return Report(error);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* read, OVERLAPPED* overlapped) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  if (buffer == nullptr && bytes != 0) return Report(ERROR_INVALID_PARAMETER);
  if (overlapped != nullptr) return Report(port->Read(buffer, bytes, read, overlapped));
  OVERLAPPED own;
  DWORD error = port->Read(buffer, bytes, read, &own);
  if (error == ERROR_IO_PENDING) error = port->GetResult(&own, read, true);
  return Report(error);
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  if (overlapped == nullptr) return Report(ERROR_INVALID_PARAMETER);
  return Report(port->GetResult(overlapped, transferred, wait != FALSE));
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  return Report(port->ClearError(errors, stat));
}

BOOL GetCommProperties(HANDLE file, COMMPROP* properties) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  return Report(port->Properties(properties));
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  return Report(port->SetMask(mask));
}

BOOL GetCommMask(HANDLE file, DWORD* mask) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  if (mask == nullptr) return Report(ERROR_INVALID_PARAMETER);
  return Report(port->GetMask(mask));
}

BOOL WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  // Only the blocking form exists here; nothing in the system needs the overlapped one.
  if (overlapped != nullptr || event_mask == nullptr) return Report(ERROR_INVALID_PARAMETER);
  return Report(port->WaitEvent(event_mask));
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  return Report(port->Escape(function));
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  std::shared_ptr<Port> port = FindPort(file);
  if (!port) return FALSE;
  return Report(port->Purge(flags));
}

}  // namespace quodem
