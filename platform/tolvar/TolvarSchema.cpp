#include "platform/tolvar/TolvarSchema.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/monitor.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/ops.pb.h"
#include "zantix/qor/tolvar/options.pb.h"
#include "zantix/qor/tolvar/runtime.pb.h"
#include "zantix/qor/tolvar/security.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace qor::tolvar {
namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;

namespace {

struct TypeTables {
  std::map<uint32_t, const pb::Descriptor*> objects;
  std::map<uint32_t, const pb::Descriptor*> ops;
  std::map<const pb::Descriptor*, uint32_t> typeOf;
  // The schema's field options of the object and op messages, read once: reading an option is a look-up in the
  // options' extension set, and the decoder, tolvard and the caches ask for them per object.
  struct Fields {
    std::vector<std::pair<uint32_t, const pb::FieldDescriptor*>> properties;  // (property, field), field order
    std::vector<const pb::FieldDescriptor*> lists;
  };
  std::unordered_map<const pb::FieldDescriptor*, uint32_t> propertyOf;
  std::unordered_map<const pb::Descriptor*, Fields> fields;
};

void AddFields(TypeTables& t, const pb::Descriptor* descriptor) {
  if (t.fields.count(descriptor)) return;
  TypeTables::Fields& fields = t.fields[descriptor];
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    uint32_t property = field->options().GetExtension(tv::property);
    t.propertyOf[field] = property;
    if (property == 0) continue;
    fields.properties.emplace_back(property, field);
    if (field->is_repeated()) fields.lists.push_back(field);
  }
}

const TypeTables& Tables() {
  static const TypeTables tables = [] {
    // Touch one message of every schema file: the generated descriptors of a static library are registered only
    // when their object file is linked in.
    (void)tv::LogSwitchConfigMsg::descriptor();
    (void)tv::LogSwitchFibMsg::descriptor();
    (void)tv::FibMsg::descriptor();
    (void)tv::RuleMsg::descriptor();
    (void)tv::BarrierMsg::descriptor();
    (void)tv::VifStateMsg::descriptor();
    (void)tv::FibOpMsg::descriptor();
    (void)tv::MonitorUpdateMsg::descriptor();
    TypeTables t;
    const pb::DescriptorPool* pool = pb::DescriptorPool::generated_pool();
    const pb::EnumDescriptor* types = tv::ObjectType_descriptor();
    for (int i = 0; i < types->value_count(); ++i) {
      const pb::EnumValueDescriptor* value = types->value(i);
      const pb::EnumValueOptions& options = value->options();
      const pb::Descriptor* object = pool->FindMessageTypeByName(options.GetExtension(tv::object_msg));
      const pb::Descriptor* op = pool->FindMessageTypeByName(options.GetExtension(tv::op_msg));
      if (!object || !op) continue;
      uint32_t number = static_cast<uint32_t>(value->number());
      t.objects[number] = object;
      t.ops[number] = op;
      t.typeOf[object] = number;
      AddFields(t, object);
      AddFields(t, op);
    }
    return t;
  }();
  return tables;
}

}  // namespace

const pb::Descriptor* ObjectDescriptor(uint32_t objectType) {
  auto it = Tables().objects.find(objectType);
  return it == Tables().objects.end() ? nullptr : it->second;
}

const pb::Descriptor* OpDescriptor(uint32_t objectType) {
  auto it = Tables().ops.find(objectType);
  return it == Tables().ops.end() ? nullptr : it->second;
}

uint32_t ObjectTypeOf(const pb::Descriptor* descriptor) {
  auto it = Tables().typeOf.find(descriptor);
  return it == Tables().typeOf.end() ? 0 : it->second;
}

static std::unique_ptr<pb::Message> NewOf(const pb::Descriptor* descriptor) {
  if (!descriptor) return nullptr;
  const pb::Message* prototype = pb::MessageFactory::generated_factory()->GetPrototype(descriptor);
  return prototype ? std::unique_ptr<pb::Message>(prototype->New()) : nullptr;
}

std::unique_ptr<pb::Message> NewObject(uint32_t objectType) {
  return NewOf(ObjectDescriptor(objectType));
}
std::unique_ptr<pb::Message> NewOp(uint32_t objectType) {
  return NewOf(OpDescriptor(objectType));
}

std::string ObjectTypeName(uint32_t objectType) {
  const pb::EnumValueDescriptor* value = tv::ObjectType_descriptor()->FindValueByNumber(static_cast<int>(objectType));
  return value ? value->name() : std::to_string(objectType);
}

std::string PropertyTypeName(uint32_t propertyType) {
  const pb::EnumValueDescriptor* value =
      tv::Property_PropertyType_descriptor()->FindValueByNumber(static_cast<int>(propertyType));
  return value ? value->name() : std::to_string(propertyType);
}

static std::optional<uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  return n;
}

std::optional<uint32_t> ParseObjectType(const std::string& text) {
  std::optional<uint32_t> n = ParseNumber(text);
  if (!n) {
    const pb::EnumValueDescriptor* value = tv::ObjectType_descriptor()->FindValueByName(text);
    if (!value) return std::nullopt;
    n = static_cast<uint32_t>(value->number());
  }
  if (!ObjectDescriptor(*n)) return std::nullopt;
  return n;
}

std::optional<uint32_t> ParsePropertyType(const std::string& text) {
  std::optional<uint32_t> n = ParseNumber(text);
  if (n) return n;
  const pb::EnumValueDescriptor* value = tv::Property_PropertyType_descriptor()->FindValueByName(text);
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(value->number());
}

std::vector<uint32_t> AllObjectTypes() {
  std::vector<uint32_t> out;
  for (const auto& [type, descriptor] : Tables().objects) out.push_back(type);
  return out;
}

uint32_t PropertyOf(const pb::FieldDescriptor* field) {
  if (!field) return 0;
  const auto& known = Tables().propertyOf;
  auto it = known.find(field);
  return it != known.end() ? it->second : field->options().GetExtension(tv::property);
}

const pb::FieldDescriptor* PropertyField(const pb::Descriptor* descriptor, uint32_t propertyType) {
  if (!descriptor || propertyType == 0) return nullptr;
  auto known = Tables().fields.find(descriptor);
  if (known != Tables().fields.end()) {
    for (const auto& [property, field] : known->second.properties) {
      if (property == propertyType) return field;
    }
    return nullptr;
  }
  for (int i = 0; i < descriptor->field_count(); ++i) {
    if (PropertyOf(descriptor->field(i)) == propertyType) return descriptor->field(i);
  }
  return nullptr;
}

std::vector<const pb::FieldDescriptor*> ValueKeyFields(const pb::Descriptor* descriptor) {
  std::vector<const pb::FieldDescriptor*> out;
  if (!descriptor) return out;
  for (int i = 0; i < descriptor->field_count(); ++i) {
    if (descriptor->field(i)->options().GetExtension(tv::value_key)) out.push_back(descriptor->field(i));
  }
  return out;
}

std::vector<const pb::FieldDescriptor*> ListProperties(const pb::Descriptor* descriptor) {
  std::vector<const pb::FieldDescriptor*> out;
  if (!descriptor) return out;
  auto known = Tables().fields.find(descriptor);
  if (known != Tables().fields.end()) return known->second.lists;
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    if (field->is_repeated() && PropertyOf(field) != 0) out.push_back(field);
  }
  return out;
}

namespace {

void AddressKey(const tv::IpAddressMsg& ip, uint64_t* part1, uint64_t* part2) {
  if (ip.address_case() == tv::IpAddressMsg::kIpv6) {
    char buffer[16] = {};
    std::memcpy(buffer, ip.ipv6().data(), std::min<size_t>(ip.ipv6().size(), sizeof(buffer)));
    std::memcpy(part1, buffer, 8);
    std::memcpy(part2, buffer + 8, 8);
  } else {
    *part1 = ip.ipv4();
    *part2 = 0;
  }
}

}  // namespace

bool OverlayElementKey(const pb::Message& element, uint64_t* part1, uint64_t* part2) {
  const pb::Descriptor* descriptor = element.GetDescriptor();
  *part1 = 0;
  *part2 = 0;
  if (descriptor == tv::VmIpMsg::descriptor()) {
    AddressKey(static_cast<const tv::VmIpMsg&>(element).ip(), part1, part2);
  } else if (descriptor == tv::VmMacMsg::descriptor()) {
    *part1 = static_cast<const tv::VmMacMsg&>(element).mac().mac();
  } else if (descriptor == tv::VtepMsg::descriptor()) {
    const auto& vtep = static_cast<const tv::VtepMsg&>(element);
    if (vtep.label() != 0) {
      *part1 = vtep.label();
    } else if (vtep.ip().address_case() == tv::IpAddressMsg::kIpv6) {
      // All 16 address bytes: folding them into one part made ordinary addresses share a key (2001:db8:0:1::1 and
      // 2001:db8:0:3e::2), so one of two tunnel endpoints was lost. Labels and IPv4 addresses have a first part
      // under 2^32 and a second part of 0 or 4; the rare address that would look like one is told apart by the top
      // bit of its first part.
      AddressKey(vtep.ip(), part1, part2);
      if (*part1 >> 32 == 0 && (*part2 == 0 || *part2 == 4)) *part1 |= uint64_t{1} << 63;
    } else {
      *part1 = vtep.ip().ipv4();
      *part2 = 4;
    }
  } else if (descriptor == tv::VtepGroupLabelMsg::descriptor()) {
    *part1 = static_cast<const tv::VtepGroupLabelMsg&>(element).label();
  } else {
    return false;
  }
  return true;
}

std::string ElementKey(const pb::Message& element) {
  uint64_t parts[2];
  if (!OverlayElementKey(element, &parts[0], &parts[1])) return DeterministicBytes(element);
  return std::string(reinterpret_cast<const char*>(parts), sizeof(parts));
}

std::string DuplicateElement(const pb::Message& object) {
  const pb::Reflection* reflection = object.GetReflection();
  for (const pb::FieldDescriptor* field : ListProperties(object.GetDescriptor())) {
    if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) continue;
    std::map<std::string, int> seen;
    for (int i = 0; i < reflection->FieldSize(object, field); ++i) {
      auto [it, added] = seen.emplace(ElementKey(reflection->GetRepeatedMessage(object, field, i)), i);
      if (!added) {
        return PropertyTypeName(PropertyOf(field)) + " holds two elements with the same key (elements " +
               std::to_string(it->second) + " and " + std::to_string(i) + ")";
      }
    }
  }
  return std::string();
}

bool ObjectIdBytes(const pb::Message& object, std::string* id) {
  const pb::FieldDescriptor* field = object.GetDescriptor()->FindFieldByNumber(1);
  if (!field || field->is_repeated()) return false;
  const pb::Reflection* reflection = object.GetReflection();
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    *id = DeterministicBytes(reflection->GetMessage(object, field));
    return true;
  }
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING) {
    *id = reflection->GetString(object, field);
    return true;
  }
  return false;
}

bool SetObjectId(pb::Message* object, const std::string& id) {
  const pb::FieldDescriptor* field = object->GetDescriptor()->FindFieldByNumber(1);
  if (!field || field->is_repeated()) return false;
  const pb::Reflection* reflection = object->GetReflection();
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    return reflection->MutableMessage(object, field)->ParseFromString(id);
  }
  if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING) {
    reflection->SetString(object, field, id);
    return true;
  }
  return false;
}

std::string ObjectIdText(uint32_t objectType, const std::string& id) {
  const pb::Descriptor* descriptor = ObjectDescriptor(objectType);
  const pb::FieldDescriptor* field = descriptor ? descriptor->FindFieldByNumber(1) : nullptr;
  if (field && field->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING) return id;
  if (field && field->message_type() == tv::UuidMsg::descriptor()) {
    uint64_t high = 0;
    uint64_t low = 0;
    if (ParseUuidBytes(id, &high, &low)) return UuidToString(high, low);
  }
  if (field && field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    std::unique_ptr<pb::Message> message(
        pb::MessageFactory::generated_factory()->GetPrototype(field->message_type())->New());
    if (message->ParseFromString(id)) return message->ShortDebugString();
  }
  std::string hex;
  static const char* digits = "0123456789abcdef";
  for (unsigned char c : id) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return "0x" + hex;
}

std::string ValueText(uint32_t objectType, uint32_t propertyType, const std::string& value) {
  const pb::Descriptor* descriptor = ObjectDescriptor(objectType);
  if (!descriptor) return "<unparsable>";
  // A list property's value is one element; any other value is an object (holding the one property).
  const pb::FieldDescriptor* field = propertyType ? PropertyField(descriptor, propertyType) : nullptr;
  const pb::Descriptor* type = field && field->is_repeated() ? field->message_type() : descriptor;
  if (!type) return "<unparsable>";
  std::unique_ptr<pb::Message> message(pb::MessageFactory::generated_factory()->GetPrototype(type)->New());
  if (!message->ParseFromString(value)) return "<unparsable>";
  return message->ShortDebugString();
}

std::string DeterministicBytes(const pb::Message& message) {
  std::string out;
  {
    pb::io::StringOutputStream stream(&out);
    pb::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    message.SerializeToCodedStream(&coded);
  }
  return out;
}

void AppendUuidText(std::string& out, uint64_t high, uint64_t low) {
  static const char kDigits[] = "0123456789abcdef";
  char text[36];
  size_t at = 0;
  auto nibbles = [&](uint64_t value, int count) {
    for (int shift = 4 * (count - 1); shift >= 0; shift -= 4) text[at++] = kDigits[(value >> shift) & 15];
  };
  nibbles(high >> 32, 8);
  text[at++] = '-';
  nibbles(high >> 16, 4);
  text[at++] = '-';
  nibbles(high, 4);
  text[at++] = '-';
  nibbles(low >> 48, 4);
  text[at++] = '-';
  nibbles(low, 12);
  out.append(text, sizeof(text));
}

std::string UuidToString(uint64_t high, uint64_t low) {
  std::string text;
  AppendUuidText(text, high, low);
  return text;
}

bool ParseUuidBytes(std::string_view bytes, uint64_t* high, uint64_t* low) {
  // The usual encoding is read directly: each field as its tag (1 or 2, fixed64) and eight little-endian bytes.
  uint64_t fields[2] = {0, 0};
  size_t at = 0;
  while (at < bytes.size()) {
    const unsigned char tag = static_cast<unsigned char>(bytes[at]);
    if ((tag != 0x09 && tag != 0x11) || bytes.size() - at < 9) break;
    uint64_t value = 0;
    for (int i = 8; i >= 1; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    fields[tag == 0x09 ? 0 : 1] = value;
    at += 9;
  }
  if (at < bytes.size()) {  // anything else is left to the parser
    tv::UuidMsg id;
    if (!id.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return false;
    fields[0] = id.high();
    fields[1] = id.low();
  }
  *high = fields[0];
  *low = fields[1];
  return true;
}

bool ParseUuid(const std::string& text, uint64_t* high, uint64_t* low) {
  if (text.size() != 36) return false;
  uint64_t parts[2] = {0, 0};
  int nibbles = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return false;
    }
    uint64_t& part = parts[nibbles / 16];
    part = (part << 4) | static_cast<uint64_t>(v);
    ++nibbles;
  }
  *high = parts[0];
  *low = parts[1];
  return true;
}

}  // namespace qor::tolvar
