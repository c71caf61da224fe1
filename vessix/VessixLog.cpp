#include "vessix/VessixLog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/Logger.h"

namespace qor::Vessix {

void VessixLog(int severity, const char* errorCode, const char* format, ...) {
  if (VevUroro::g_vessixLogLevel.load(std::memory_order_relaxed) < severity) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  VevUroro::Logger record(VevUroro::kVessixLog, severity, "%1", text);
  if (errorCode) record.AddTag(errorCode);
}

}  // namespace qor::Vessix
