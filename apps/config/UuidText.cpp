#include "apps/config/UuidText.h"

#include "platform/tolvar/TolvarSchema.h"

namespace VevUroro {

void AppendUuidText(std::string& out, const std::string& serializedUuid) {
  uint64_t high = 0;
  uint64_t low = 0;
  if (!qor::tolvar::ParseUuidBytes(serializedUuid, &high, &low)) {
    out += "<invalid uuid>";
    return;
  }
  qor::tolvar::AppendUuidText(out, high, low);
}

std::string UuidText(const std::string& serializedUuid) {
  std::string text;
  AppendUuidText(text, serializedUuid);
  return text;
}

}  // namespace VevUroro
