// Fuzzes the configuration-file parser: arbitrary bytes become the file that $QUODEM_CONFIG
// names, and the service reads it through lineInitialize and ListLines. A broken file must
// give LINEERR_INIFILECORRUPT (with a reason) or std::runtime_error, never a crash; a file
// that parses must give lines that can be queried.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "quodem/platform/telephony.h"
#include "quodem/platform/telephony_service.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "config_fuzz: %s\n", what);
  std::abort();
}

void Ignore(quodem::DWORD, quodem::DWORD, quodem::DWORD_PTR, quodem::DWORD_PTR, quodem::DWORD_PTR,
            quodem::DWORD_PTR) {}

std::string config_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/quodem-fuzz-config-XXXXXX";
  if (mkdtemp(dir) == nullptr) Fail("mkdtemp");
  config_path = std::string(dir) + "/lines.conf";
  setenv("QUODEM_CONFIG", config_path.c_str(), 1);
  setenv("QUODEM_EXCHANGE_DIR", (std::string(dir) + "/exchange").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(config_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  quodem::HLINEAPP app = 0;
  quodem::DWORD devices = 0;
  const quodem::LONG result =
      quodem::lineInitialize(&app, nullptr, Ignore, "config_fuzz", &devices);
  if (result == 0) {
    for (quodem::DWORD device = 0; device < devices && device < 16; ++device) {
      quodem::DWORD version = 0;
      quodem::LINEEXTENSIONID extension;
      if (quodem::lineNegotiateAPIVersion(app, device, quodem::kSupportedApiLow,
                                          quodem::kSupportedApiHigh, &version, &extension) != 0) {
        continue;
      }
      alignas(quodem::LINEDEVCAPS) unsigned char caps_block[1024] = {};
      auto* caps = reinterpret_cast<quodem::LINEDEVCAPS*>(caps_block);
      caps->dwTotalSize = sizeof caps_block;
      quodem::lineGetDevCapsA(app, device, version, 0, caps);
      if (caps->dwUsedSize > sizeof caps_block) Fail("capabilities beyond the block");
    }
    quodem::lineShutdown(app);
  } else if (result == quodem::LINEERR_INIFILECORRUPT) {
    if (quodem::telephony::ServiceConfigurationError().empty()) Fail("corrupt without a reason");
  }
  try {
    auto lines = quodem::telephony::ListLines();
    if (result == quodem::LINEERR_INIFILECORRUPT)
      Fail("lineInitialize refused what ListLines took");
    if (result == 0 && lines.size() != devices) Fail("ListLines and lineInitialize disagree");
  } catch (const std::runtime_error&) {
    if (result == 0) Fail("ListLines refused what lineInitialize took");
  }
  return 0;
}
