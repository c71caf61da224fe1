// The database schema as the code sees it: object type <-> message classes, property numbers of fields, object
// ids, deterministic bytes. Everything is read from the options declared on the schema (options.proto), so the
// decoder, tolvard and tolvarctl share one source of truth.
//
// Stateless; every function may be called from any thread.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::tolvar {

// The object message of an object type, or nullptr for a type the schema does not know.
const google::protobuf::Descriptor* ObjectDescriptor(uint32_t objectType);
// The op message of an object type, or nullptr.
const google::protobuf::Descriptor* OpDescriptor(uint32_t objectType);
// The object type whose object message is `descriptor`, or 0.
uint32_t ObjectTypeOf(const google::protobuf::Descriptor* descriptor);

// A new empty object or op message of the type; nullptr for an unknown type.
std::unique_ptr<google::protobuf::Message> NewObject(uint32_t objectType);
std::unique_ptr<google::protobuf::Message> NewOp(uint32_t objectType);

// Printed names ("LOG_SWITCH_FIB", "L2_VTEP"); a number the schema does not know prints as its decimal form.
std::string ObjectTypeName(uint32_t objectType);
std::string PropertyTypeName(uint32_t propertyType);
// Parses a name or a decimal number; nullopt when neither names a known type/property.
std::optional<uint32_t> ParseObjectType(const std::string& text);
std::optional<uint32_t> ParsePropertyType(const std::string& text);
// Every object type the schema knows, ascending.
std::vector<uint32_t> AllObjectTypes();

// The PropertyType number declared on a field (0 when the field carries none).
uint32_t PropertyOf(const google::protobuf::FieldDescriptor* field);
// The field of `descriptor` that carries property `propertyType`, or nullptr.
const google::protobuf::FieldDescriptor* PropertyField(const google::protobuf::Descriptor* descriptor,
                                                       uint32_t propertyType);
// The fields of an object message marked as value keys (carried into every per-property entry), in field order.
std::vector<const google::protobuf::FieldDescriptor*> ValueKeyFields(const google::protobuf::Descriptor* descriptor);
// The list properties (repeated fields with a property number) of an object message, in field order.
std::vector<const google::protobuf::FieldDescriptor*> ListProperties(const google::protobuf::Descriptor* descriptor);

// List semantics, one for the whole system (database, decoder, caches): a list property is a set of elements
// identified by their key; a list never holds two elements with the same key. The overlay L2 elements are keyed
// as the L2 cache keys them (OverlayElementKey); every other element is keyed by its deterministic bytes.
//
// The key of an overlay L2 element, in two 64-bit parts: VmIpMsg its address (IPv4 in the first part, IPv6 in
// both), VmMacMsg its MAC, VtepMsg its label (second part 0) or, without a label, its IPv4 address (second part 4)
// or its whole IPv6 address (both parts), VtepGroupLabelMsg its label. False for other messages.
bool OverlayElementKey(const google::protobuf::Message& element, uint64_t* part1, uint64_t* part2);
// The key of any list element as bytes: the overlay key (16 bytes) or the deterministic bytes.
std::string ElementKey(const google::protobuf::Message& element);
// Empty when every list property of `object` holds distinct keys, otherwise a text naming the property and the two
// elements that share a key.
std::string DuplicateElement(const google::protobuf::Message& object);

// The key of an object: its id field (field 1) serialized (a message) or as its bytes (a string). False when
// the message has no usable id field.
bool ObjectIdBytes(const google::protobuf::Message& object, std::string* id);
// Writes `id` (as produced by ObjectIdBytes) into the id field of `object`; false when it does not parse.
bool SetObjectId(google::protobuf::Message* object, const std::string& id);

// Readable form of an id of the type: the UUID text for a UuidMsg id, the text of a string id, otherwise the id
// message's text form.
std::string ObjectIdText(uint32_t objectType, const std::string& id);

// Readable form of an entry's value: the object for property 0 or a scalar property (a single-property object),
// the element for a list property; "<unparsable>" when the bytes do not parse.
std::string ValueText(uint32_t objectType, uint32_t propertyType, const std::string& value);

// Deterministic serialization, so that equal messages give equal bytes.
std::string DeterministicBytes(const google::protobuf::Message& message);

// UUID text form <-> UuidMsg bytes.
std::string UuidToString(uint64_t high, uint64_t low);
void AppendUuidText(std::string& out, uint64_t high, uint64_t low);
// The fields of a serialized UuidMsg; false when the bytes do not parse.
bool ParseUuidBytes(std::string_view bytes, uint64_t* high, uint64_t* low);
bool ParseUuid(const std::string& text, uint64_t* high, uint64_t* low);

}  // namespace qor::tolvar
