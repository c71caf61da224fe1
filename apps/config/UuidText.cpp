#include "apps/config/UuidText.h"

#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/common.pb.h"

namespace VevUroro {

std::string UuidText(const std::string& serializedUuid) {
  zantix::qor::tolvar::UuidMsg id;
  if (!id.ParseFromString(serializedUuid)) return "<invalid uuid>";
  return qor::tolvar::UuidToString(id.high(), id.low());
}

}  // namespace VevUroro
