// ModemInit: the component's telephony session and its table of usable lines.
#include <algorithm>
#include <cstring>
#include <memory>

#include "quodem/component/quodem.h"

namespace quodem {
namespace {

constexpr DWORD kDevCapsBytes = 1268;

// The line name of a capability block: at most dwLineNameSize bytes at dwLineNameOffset, up
// to the first zero, cut to the 127 bytes a row holds, and never read from beyond the block.
void CopyLineName(const std::uint8_t* block, const LINEDEVCAPS& caps, char (&name)[128]) {
  std::memset(name, 0, sizeof name);
  if (caps.dwLineNameOffset >= kDevCapsBytes) return;
  std::size_t available =
      std::min<std::size_t>(caps.dwLineNameSize, kDevCapsBytes - caps.dwLineNameOffset);
  available = std::min(available, sizeof name - 1);
  const std::uint8_t* text = block + caps.dwLineNameOffset;
  const void* end = std::memchr(text, 0, available);
  std::size_t length = end ? static_cast<const std::uint8_t*>(end) - text : available;
  std::memcpy(name, text, length);
}

}  // namespace

void TQuodem::ModemInit() {
  LONG result;
  {
    std::lock_guard<std::mutex> session(FSessionLock);
    // A session started before (by an earlier ModemInit) is ended first; lineShutdown also
    // closes its lines, so no row's line handle stays valid.
    if (HLINEAPP previous = FLineApp.exchange(0); previous != 0) lineShutdown(previous);
    {
      std::lock_guard<std::mutex> lock(FLineLock);
      for (LineEntry& row : FLines) row = LineEntry{};
      FLineNames.Clear();
      FOpenLine = 0;
    }

    HLINEAPP app = 0;
    DWORD devices = 0;
    result = lineInitialize(&app, nullptr, LineCallback, nullptr, &devices);
    FLineApp.store(app);
    FNumDevs.store(devices);
    CallRecord.LastResult.store(result);

    if (result == 0) {
      // DWORD storage keeps the block aligned for LINEDEVCAPS.
      auto storage = std::make_unique<DWORD[]>(kDevCapsBytes / sizeof(DWORD));
      auto* block = reinterpret_cast<std::uint8_t*>(storage.get());
      auto* caps = reinterpret_cast<LINEDEVCAPS*>(block);
      int rows = 0;
      for (DWORD device = 0; device < devices; ++device) {
        DWORD version = 0;
        LINEEXTENSIONID extension;
        if (lineNegotiateAPIVersion(app, device, kSupportedApiLow, kSupportedApiHigh, &version,
                                    &extension) != 0) {
          continue;
        }
        FApiVersion.store(version);
        {
          std::lock_guard<std::mutex> lock(FLineLock);
          FExtensionId = extension;
        }
        std::memset(block, 0, kDevCapsBytes);
        caps->dwTotalSize = kDevCapsBytes;
        lineGetDevCapsA(app, device, version, 0, caps);  // result not examined by design
        if ((caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM) == 0) continue;
        if (caps->dwLineNameSize == 0 || (caps->dwBearerModes & LINEBEARERMODE_VOICE) == 0) {
          continue;
        }
        if (rows == kMaxLines) continue;  // the table keeps the first ten

        std::lock_guard<std::mutex> lock(FLineLock);
        LineEntry& row = FLines[rows++];
        row.NumAddresses = caps->dwNumAddresses;
        // The service's own index, which is what lineOpenA and the dialogs expect.
        row.DeviceId = device;
        CopyLineName(block, *caps, row.Name);
        FLineNames.Add(row.Name);
      }
    }
  }
  if (result != 0) {
    if (auto handler = OnLineErr()) handler(this, result);
  }
}

}  // namespace quodem
