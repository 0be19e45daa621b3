#include "platform/telephony/blocks.h"

#include <cstddef>
#include <cstring>

#include "platform/telephony/provider.h"

namespace quodem::telephony {
namespace {

constexpr DWORD kNeededSizeEnd = offsetof(LINEDEVCAPS, dwUsedSize);  // same in every block

DWORD Clamp(std::size_t size) {
  return size > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(size);
}

}  // namespace

LONG FillDevCaps(const Provider& provider, DWORD device_id, LINEDEVCAPS* caps) {
  constexpr DWORD kFixed = sizeof(LINEDEVCAPS);
  const std::string& name = provider.Name();
  std::string info = provider.ProviderInfo();
  DWORD needed = Clamp(kFixed + name.size() + 1 + info.size() + 1);
  DWORD total = caps->dwTotalSize;
  if (total < kFixed) {
    if (total >= kNeededSizeEnd) caps->dwNeededSize = needed;
    return LINEERR_STRUCTURETOOSMALL;
  }
  std::memset(reinterpret_cast<char*>(caps) + sizeof caps->dwTotalSize, 0,
              kFixed - sizeof caps->dwTotalSize);
  caps->dwNeededSize = needed;
  caps->dwUsedSize = kFixed;
  caps->dwPermanentLineID = device_id;
  caps->dwStringFormat = STRINGFORMAT_ASCII;
  caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  caps->dwNumAddresses = 1;
  caps->dwBearerModes = LINEBEARERMODE_VOICE;
  caps->dwMediaModes = LINEMEDIAMODE_DATAMODEM;
  caps->dwMaxNumActiveCalls = 1;
  auto* base = reinterpret_cast<char*>(caps);
  DWORD offset = kFixed;
  auto put = [&](const std::string& text, DWORD* size_field, DWORD* offset_field) {
    if (static_cast<std::size_t>(offset) + text.size() + 1 > total) return;
    std::memcpy(base + offset, text.c_str(), text.size() + 1);
    *size_field = static_cast<DWORD>(text.size() + 1);
    *offset_field = offset;
    offset += static_cast<DWORD>(text.size() + 1);
  };
  put(name, &caps->dwLineNameSize, &caps->dwLineNameOffset);
  put(info, &caps->dwProviderInfoSize, &caps->dwProviderInfoOffset);
  caps->dwUsedSize = offset;
  return 0;
}

DWORD DataModemIdSize(const std::string& device_name) {
  return Clamp(sizeof(VARSTRING) + sizeof(HANDLE) + device_name.size() + 1);
}

LONG CheckDataModemIdBlock(const std::string& device_name, VARSTRING* id) {
  DWORD needed = DataModemIdSize(device_name);
  DWORD total = id->dwTotalSize;
  if (total < sizeof(VARSTRING)) {
    if (total >= kNeededSizeEnd) id->dwNeededSize = needed;
    return LINEERR_STRUCTURETOOSMALL;
  }
  id->dwNeededSize = needed;
  if (total < needed) {
    id->dwUsedSize = sizeof(VARSTRING);
    id->dwStringFormat = STRINGFORMAT_BINARY;
    id->dwStringSize = 0;
    id->dwStringOffset = 0;
    return LINEERR_STRUCTURETOOSMALL;
  }
  return 0;
}

void WriteDataModemId(HANDLE port, const std::string& device_name, VARSTRING* id) {
  auto* base = reinterpret_cast<char*>(id);
  DWORD offset = sizeof(VARSTRING);
  std::memcpy(base + offset, &port, sizeof port);
  std::memcpy(base + offset + sizeof port, device_name.c_str(), device_name.size() + 1);
  id->dwStringFormat = STRINGFORMAT_BINARY;
  id->dwStringOffset = offset;
  id->dwStringSize = static_cast<DWORD>(sizeof port + device_name.size() + 1);
  id->dwNeededSize = DataModemIdSize(device_name);
  id->dwUsedSize = offset + id->dwStringSize;
}

}  // namespace quodem::telephony
