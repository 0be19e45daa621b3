// The service functions of quodem/platform/telephony_service.h that are not fault setters
// or dialogs.
#include "platform/telephony/exchange_dir.h"
#include "platform/telephony/service.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony {

std::vector<LineInfo> ListLines() {
  return Service::Instance().ListLines();
}

std::string ServiceConfigurationError() {
  return Service::Instance().ConfigurationError();
}

LONG LineAddressHeld(HLINE line) {
  return Service::Instance().LineAddressHeld(line);
}

std::string ServiceProblem() {
  return Service::Instance().Problem();
}

std::string ExchangeDirectory() {
  return PrepareExchangeDirectory();
}

namespace testing {

bool CloseLineByService(const std::string& number) {
  return Service::Instance().CloseLineByService(number);
}

}  // namespace testing
}  // namespace quodem::telephony
