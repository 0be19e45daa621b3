// Write and Read: raw port I/O of TQuodem. Each is one overlapped transfer on the port of the
// connected call, awaited by blocking in GetOverlappedResult, so the caller sees a blocking
// call that uses no CPU while the transfer is under way.
//
// The port handle is read once per operation. Cut may close it from another thread at any
// moment; handle values are never reused, so a transfer that raced past Cut fails cleanly on
// the stale handle (ERROR_INVALID_HANDLE), and a transfer pending when the port is purged or
// closed ends in error.
#include <algorithm>
#include <memory>
#include <mutex>

#include "quodem/component/quodem.h"
#include "transfer/read_modem_thread.h"

namespace quodem {
namespace {

// WriteFile takes a 32-bit count; larger writes go out in pieces of this size.
constexpr unsigned long kMaxWritePiece = 0x40000000;

void ClearPortErrors(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status;
  ClearCommError(port, &errors, &status);
}

}  // namespace

bool TQuodem::Write(const void* Source, unsigned long Bytes) {
  // One write at a time on FWriteOverlapped, whoever calls.
  std::lock_guard<std::mutex> lock(FWriteLock);
  const HANDLE port = FCommHandle.load();
  if (port == INVALID_HANDLE_VALUE) return false;
  const auto* data = static_cast<const std::uint8_t*>(Source);
  do {
    const auto piece = static_cast<DWORD>(std::min(Bytes, kMaxWritePiece));
    DWORD written = 0;
    FWriteOverlapped = OVERLAPPED{};
    if (!WriteFile(port, data, piece, &written, &FWriteOverlapped)) {
      if (GetLastError() != ERROR_IO_PENDING ||
          !GetOverlappedResult(port, &FWriteOverlapped, &written, TRUE)) {
        // Refused at once, or ended in error after going pending (the port was purged or
        // closed, or the peer went away): either way the bytes did not all go out.
        ClearPortErrors(port);
        return false;
      }
    }
    data += piece;
    Bytes -= piece;
  } while (Bytes > 0);
  return true;
}

unsigned long TQuodem::Read(void* Dest, unsigned long Bytes) {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE) return 0;
  std::shared_ptr<TReadModemThread> reader;
  {
    std::lock_guard<std::mutex> cut(FCutLock);
    reader = FReadThread;
  }
  // Without a reader worker (just before it starts, or while Cut lets it go) there is
  // nothing to read through: as for a closed port.
  if (!reader) return 0;
  return reader->ReadForHost(Dest, Bytes);
}

}  // namespace quodem
