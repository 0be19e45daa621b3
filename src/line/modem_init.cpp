// ModemInit: the component's telephony session and its table of usable lines.
#include <algorithm>
#include <cstring>
#include <memory>

#include "line/modem_init.h"

#include "line/call_table.h"
#include "line/inbox.h"
#include "quodem/component/quodem.h"

namespace quodem {
namespace line {

std::string LineNameFromCaps(const std::uint8_t* block, std::size_t block_bytes) {
  LINEDEVCAPS caps;
  if (block_bytes < sizeof caps) return {};
  std::memcpy(&caps, block, sizeof caps);
  if (caps.dwLineNameOffset >= block_bytes) return {};
  std::size_t available =
      std::min<std::size_t>(caps.dwLineNameSize, block_bytes - caps.dwLineNameOffset);
  available = std::min<std::size_t>(available, sizeof(LineEntry::Name) - 1);
  const auto* text = reinterpret_cast<const char*>(block + caps.dwLineNameOffset);
  const void* zero = std::memchr(text, 0, available);
  return std::string(text, zero ? static_cast<const char*>(zero) - text : available);
}

}  // namespace line

void TQuodem::ModemInit() {
  LONG result;
  {
    std::lock_guard<std::mutex> calls(FCallLock);
    // A session started before (by an earlier ModemInit) is ended first; lineShutdown also
    // closes its lines and ends their calls, so no row's line handle and no call stays valid.
    if (HLINEAPP previous = FLineApp.exchange(0); previous != 0) {
      lineShutdown(previous);
      ReleasePort();
    }
    for (const line::LineOpen& open : FCalls->Opens()) line::UnregisterOpen(open.id);
    FCalls->Clear();
    {
      std::lock_guard<std::mutex> lock(FLineLock);
      for (LineEntry& row : FLines) row = LineEntry{};
      FLineNames.Clear();
    }

    HLINEAPP app = 0;
    DWORD devices = 0;
    result = lineInitialize(&app, nullptr, LineCallback, nullptr, &devices);
    FLineApp.store(app);
    FNumDevs.store(devices);
    CallRecord.LastResult.store(result);

    if (result == 0) {
      // DWORD storage keeps the block aligned for LINEDEVCAPS.
      constexpr DWORD kDevCapsBytes = line::kDevCapsBytes;
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
        const std::string name = line::LineNameFromCaps(block, kDevCapsBytes);
        std::memcpy(row.Name, name.c_str(), name.size() + 1);
        FLineNames.Add(name);
      }
    }
  }
  if (result != 0) {
    if (auto handler = OnLineErr()) handler(this, result);
  }
}

}  // namespace quodem
