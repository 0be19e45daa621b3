// Fuzzes address translation: lineTranslateAddressA with arbitrary input text, device and
// block size. The output block is allocated with exactly the size the caller claims (never
// less than its first field), so AddressSanitizer catches any byte written or read beyond
// dwTotalSize. A successful result must describe itself consistently: sizes and offsets
// inside the used part, zero-terminated strings, and on an exchange line a dialable string
// of dialable characters only.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "quodem/platform/telephony.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "translate_fuzz: %s\n", what);
  std::abort();
}

void Ignore(quodem::DWORD, quodem::DWORD, quodem::DWORD_PTR, quodem::DWORD_PTR, quodem::DWORD_PTR,
            quodem::DWORD_PTR) {}

quodem::HLINEAPP app = 0;
quodem::DWORD devices = 0;

// Devices 0 and 1 are exchange lines, 2 a TCP line; 3 does not exist.
constexpr quodem::DWORD kTcpDevice = 2;

bool Dialable(const char* text, quodem::DWORD size) {
  for (quodem::DWORD i = 0; i + 1 < size; ++i) {
    char c = text[i];
    bool ok = (c >= '0' && c <= '9') || c == '*' || c == '#' || (i == 0 && c == '+');
    if (!ok) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/quodem-fuzz-translate-XXXXXX";
  if (mkdtemp(dir) == nullptr) Fail("mkdtemp");
  std::string config = std::string(dir) + "/lines.conf";
  std::ofstream(config) << "[line]\nprovider = exchange\nname = One\nnumber = 101\n"
                           "[line]\nprovider = exchange\nname = Two\nnumber = 102\n"
                           "[line]\nprovider = tcp\nname = TCP\nlisten = 127.0.0.1:0\n"
                           "[location]\ncountry = 1\narea = 425\noutside = 9\n"
                           "long_distance = 1\ninternational = 011\n";
  setenv("QUODEM_CONFIG", config.c_str(), 1);
  setenv("QUODEM_EXCHANGE_DIR", (std::string(dir) + "/exchange").c_str(), 1);
  if (quodem::lineInitialize(&app, nullptr, Ignore, "translate_fuzz", &devices) != 0) {
    Fail("lineInitialize");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const quodem::DWORD device = data[0] % 4;
  // Block sizes from 0 to 1279 cover "too small for the fixed part", "too small for the
  // strings" and "fits".
  const quodem::DWORD total = static_cast<quodem::DWORD>((data[1] | (data[2] << 8)) % 1280);
  const std::string address(reinterpret_cast<const char*>(data + 3), size - 3);

  const std::size_t room = total < sizeof(quodem::DWORD) ? sizeof(quodem::DWORD) : total;
  auto* raw = static_cast<unsigned char*>(std::malloc(room));
  if (raw == nullptr) return 0;
  std::memset(raw, 0xA5, room);
  auto* block = reinterpret_cast<quodem::LINETRANSLATEOUTPUT*>(raw);
  std::memcpy(raw, &total, sizeof total);

  const quodem::LONG result = quodem::lineTranslateAddressA(app, device, quodem::kSupportedApiHigh,
                                                            address.c_str(), 0, 0, block);

  if (result == 0) {
    if (total < sizeof(quodem::LINETRANSLATEOUTPUT)) Fail("success with a block too small");
    if (block->dwUsedSize > total || block->dwNeededSize > total) Fail("used beyond the block");
    auto check = [&](quodem::DWORD offset, quodem::DWORD length) {
      if (length == 0) Fail("a string without its terminating zero");
      if (offset < sizeof(quodem::LINETRANSLATEOUTPUT) || offset > block->dwUsedSize ||
          length > block->dwUsedSize - offset) {
        Fail("a string outside the used part");
      }
      if (raw[offset + length - 1] != 0) Fail("a string not zero-terminated");
      if (std::memchr(raw + offset, 0, length - 1) != nullptr) Fail("a zero inside a string");
    };
    check(block->dwDialableStringOffset, block->dwDialableStringSize);
    check(block->dwDisplayableStringOffset, block->dwDisplayableStringSize);
    if (block->dwDialableStringSize < 2) Fail("an empty dialable string");
    if (device != kTcpDevice &&
        !Dialable(reinterpret_cast<const char*>(raw + block->dwDialableStringOffset),
                  block->dwDialableStringSize)) {
      Fail("a dialable string with a character that cannot be dialed");
    }
  } else if (result == quodem::LINEERR_STRUCTURETOOSMALL) {
    if (total >= 2 * sizeof(quodem::DWORD) && block->dwNeededSize <= total) {
      Fail("too small, yet the needed size fits");
    }
  } else if (device < devices && result != quodem::LINEERR_INVALADDRESS) {
    Fail("an unexpected result on an existing line");
  }
  std::free(raw);
  return 0;
}
