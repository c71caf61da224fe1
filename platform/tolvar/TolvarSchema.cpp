#include "platform/tolvar/TolvarSchema.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstdio>
#include <map>
#include <mutex>

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
};

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
  return field ? field->options().GetExtension(tv::property) : 0;
}

const pb::FieldDescriptor* PropertyField(const pb::Descriptor* descriptor, uint32_t propertyType) {
  if (!descriptor || propertyType == 0) return nullptr;
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
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    if (field->is_repeated() && PropertyOf(field) != 0) out.push_back(field);
  }
  return out;
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
    tv::UuidMsg uuid;
    if (uuid.ParseFromString(id)) return UuidToString(uuid.high(), uuid.low());
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

std::string UuidToString(uint64_t high, uint64_t low) {
  char text[37];
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xffff), static_cast<unsigned>(high & 0xffff),
                static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xffffffffffffULL));
  return text;
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
