// Object ids (serialized UuidMsg) as text for log lines. UuidOf formats only when a log record is written, so hot
// paths pay nothing for disabled debug lines, and it writes straight into the record's text.
#pragma once

#include <ostream>
#include <string>

namespace VevUroro {

// The canonical UUID text of a serialized UuidMsg, or "<invalid uuid>".
std::string UuidText(const std::string& serializedUuid);
void AppendUuidText(std::string& out, const std::string& serializedUuid);

// A reference to a serialized UuidMsg that prints as UuidText; it must not outlive the string.
struct UuidOf {
  explicit UuidOf(const std::string& serializedUuid) : id(serializedUuid) {}
  void AppendTo(std::string& out) const { AppendUuidText(out, id); }
  const std::string& id;
};

inline std::ostream& operator<<(std::ostream& out, const UuidOf& uuid) {
  return out << UuidText(uuid.id);
}

}  // namespace VevUroro
