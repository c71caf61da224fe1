// Log records of the container connectivity service: printf-style texts, filtered by the service's own level and
// written under its own component name "qor-vessix". Formatting happens only when the level admits the record.
#pragma once

namespace qor::Vessix {

// `errorCode` is the full element ("errorCode:VX00001") or nullptr.
void VessixLog(int severity, const char* errorCode, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace qor::Vessix
