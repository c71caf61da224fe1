#include "platform/upm/UPMService.h"

#include "platform/PlatformLog.h"

namespace qor::upm {

using VevUroro::LOG_LEVEL_INFO;

UPMService::UPMService(std::string name) : _name(std::move(name)) {}

UPMService::~UPMService() {
  Stop();
}

bool UPMService::Start() {
  if (!_running.exchange(true)) QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "UPMService: %1 started", _name);
  return true;
}

void UPMService::Stop() {
  if (_running.exchange(false)) QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "UPMService: %1 stopped", _name);
}

}  // namespace qor::upm
