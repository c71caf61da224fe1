// Readable text of what the state cache holds, for the operator CLI's dumps: object ids as UUIDs, values in
// protobuf's one-line text form with UUIDs, IP and MAC addresses written the usual way ("10.0.0.1",
// "00:50:56:aa:bb:cc", "2001:db8::1") instead of as numbers. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "cache/StateCacheRecord.h"

namespace google::protobuf {
class Message;
}
namespace zantix::qor::tolvar {
class IpAddressMsg;
class MacAddressMsg;
class UuidMsg;
}  // namespace zantix::qor::tolvar

namespace VevUroro::cli {

std::string IpText(const zantix::qor::tolvar::IpAddressMsg& ip);
std::string MacText(const zantix::qor::tolvar::MacAddressMsg& mac);
std::string UuidText(const zantix::qor::tolvar::UuidMsg& id);

// One line, fields in declaration order, addresses and ids as above.
std::string MessageText(const google::protobuf::Message& message);

// The object id of a record as text (UUID text, or the id's own text for text-keyed types).
std::string ObjectIdText(const StateCacheRecord& record);

// The value of a record as text: the whole object for the object record (property 0), the element for a list
// property, the single-property object otherwise. "<unparsable>" when the bytes do not parse, "" for no value.
std::string ValueText(const StateCacheRecord& record);

// Parses the value of a record into `out` as ValueText reads it; false when it does not parse or is of another
// message type than the record's value.
bool ParseValue(const StateCacheRecord& record, google::protobuf::Message* out);

}  // namespace VevUroro::cli
