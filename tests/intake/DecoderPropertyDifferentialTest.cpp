// The per-property decode against its definition, over random objects: each entry's value is the serialization of
// an object holding the value keys and that one property, SET when the object has it and CLEAR (keys only) when
// not. Bodies come as the database stores them (the serializer's layout) and in layouts that parse to the same
// object but are not the serializer's (fields out of order, split or repeated occurrences, explicit defaults,
// long varints, unknown fields): the entries must not depend on the layout.
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/wire_format_lite.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "intake/Decoder.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;
using WireFormatLite = pb::internal::WireFormatLite;

void Fill(pb::Message* message, std::mt19937_64& rng, int depth);

void FillField(pb::Message* message, const pb::FieldDescriptor* field, std::mt19937_64& rng, int depth) {
  const pb::Reflection* r = message->GetReflection();
  const bool repeated = field->is_repeated();
  const int count = repeated ? static_cast<int>(rng() % 4) : 1;
  for (int i = 0; i < count; ++i) {
    // Small values (zero included) as often as large ones: zero is a field's default.
    const uint64_t value = rng() % 2 ? rng() % 3 : rng();
    switch (field->cpp_type()) {
      case pb::FieldDescriptor::CPPTYPE_MESSAGE: {
        if (depth >= 3) return;
        pb::Message* child = repeated ? r->AddMessage(message, field) : r->MutableMessage(message, field);
        Fill(child, rng, depth + 1);
        break;
      }
      case pb::FieldDescriptor::CPPTYPE_BOOL:
        repeated ? r->AddBool(message, field, value & 1) : r->SetBool(message, field, value & 1);
        break;
      case pb::FieldDescriptor::CPPTYPE_UINT32:
        repeated ? r->AddUInt32(message, field, static_cast<uint32_t>(value))
                 : r->SetUInt32(message, field, static_cast<uint32_t>(value));
        break;
      case pb::FieldDescriptor::CPPTYPE_INT32:
        repeated ? r->AddInt32(message, field, static_cast<int32_t>(value))
                 : r->SetInt32(message, field, static_cast<int32_t>(value));
        break;
      case pb::FieldDescriptor::CPPTYPE_UINT64:
        repeated ? r->AddUInt64(message, field, value) : r->SetUInt64(message, field, value);
        break;
      case pb::FieldDescriptor::CPPTYPE_INT64:
        repeated ? r->AddInt64(message, field, static_cast<int64_t>(value))
                 : r->SetInt64(message, field, static_cast<int64_t>(value));
        break;
      case pb::FieldDescriptor::CPPTYPE_DOUBLE:
        repeated ? r->AddDouble(message, field, static_cast<double>(value % 1000) / 8)
                 : r->SetDouble(message, field, static_cast<double>(value % 1000) / 8);
        break;
      case pb::FieldDescriptor::CPPTYPE_FLOAT:
        repeated ? r->AddFloat(message, field, static_cast<float>(value % 1000) / 8)
                 : r->SetFloat(message, field, static_cast<float>(value % 1000) / 8);
        break;
      case pb::FieldDescriptor::CPPTYPE_STRING: {
        std::string text(value % 7, static_cast<char>('a' + value % 26));
        repeated ? r->AddString(message, field, text) : r->SetString(message, field, text);
        break;
      }
      case pb::FieldDescriptor::CPPTYPE_ENUM: {
        const pb::EnumDescriptor* type = field->enum_type();
        const pb::EnumValueDescriptor* chosen = type->value(static_cast<int>(value % type->value_count()));
        repeated ? r->AddEnum(message, field, chosen) : r->SetEnum(message, field, chosen);
        break;
      }
    }
  }
}

void Fill(pb::Message* message, std::mt19937_64& rng, int depth) {
  const pb::Descriptor* descriptor = message->GetDescriptor();
  for (int i = 0; i < descriptor->field_count(); ++i) {
    if (rng() % 3 == 0) continue;
    FillField(message, descriptor->field(i), rng, depth);
  }
}

struct WireField {
  uint32_t number;
  WireFormatLite::WireType type;
  std::string bytes;  // the whole field, tag included
  std::string payload;
};

std::vector<WireField> Split(const std::string& body) {
  std::vector<WireField> fields;
  pb::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(body.data()), static_cast<int>(body.size()));
  for (;;) {
    const int begin = input.CurrentPosition();
    const uint32_t tag = input.ReadTag();
    if (tag == 0) break;
    const int afterTag = input.CurrentPosition();
    EXPECT_TRUE(WireFormatLite::SkipField(&input, tag));
    WireField field{static_cast<uint32_t>(WireFormatLite::GetTagFieldNumber(tag)), WireFormatLite::GetTagWireType(tag),
                    body.substr(begin, input.CurrentPosition() - begin),
                    body.substr(afterTag, input.CurrentPosition() - afterTag)};
    if (field.type == WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
      pb::io::CodedInputStream length(reinterpret_cast<const uint8_t*>(field.payload.data()),
                                      static_cast<int>(field.payload.size()));
      uint32_t size = 0;
      length.ReadVarint32(&size);
      field.payload = field.payload.substr(length.CurrentPosition());
    }
    fields.push_back(std::move(field));
  }
  return fields;
}

std::string Tag(uint32_t number, WireFormatLite::WireType type) {
  std::string out;
  pb::io::StringOutputStream stream(&out);
  pb::io::CodedOutputStream coded(&stream);
  coded.WriteTag(WireFormatLite::MakeTag(static_cast<int>(number), type));
  coded.Trim();
  return out;
}

std::string Varint(uint64_t value) {
  std::string out;
  pb::io::StringOutputStream stream(&out);
  pb::io::CodedOutputStream coded(&stream);
  coded.WriteVarint64(value);
  coded.Trim();
  return out;
}

// Bodies that parse to the same object as `body` in other layouts than the serializer's.
std::vector<std::string> OtherLayouts(const pb::Message& object, const std::string& body, std::mt19937_64& rng) {
  std::vector<std::string> out;
  std::vector<WireField> fields = Split(body);
  auto join = [](const std::vector<WireField>& parts) {
    std::string joined;
    for (const WireField& part : parts) joined += part.bytes;
    return joined;
  };
  if (fields.size() > 1) {
    // Fields in another order of their numbers; the elements of one list keep theirs.
    std::vector<WireField> shuffled = fields;
    for (int attempt = 0; attempt < 8 && join(shuffled) == body; ++attempt) {
      std::map<uint32_t, uint64_t> rank;
      for (const WireField& field : fields) rank.emplace(field.number, rng());
      std::stable_sort(shuffled.begin(), shuffled.end(),
                       [&](const WireField& a, const WireField& b) { return rank[a.number] < rank[b.number]; });
    }
    if (join(shuffled) != body) out.push_back(join(shuffled));
  }
  const pb::Descriptor* descriptor = object.GetDescriptor();
  for (size_t i = 0; i < fields.size(); ++i) {
    const pb::FieldDescriptor* field = descriptor->FindFieldByNumber(static_cast<int>(fields[i].number));
    if (!field || field->is_repeated()) continue;
    std::vector<WireField> changed = fields;
    if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      // An empty occurrence before the real one: the two merge into the same message.
      changed.insert(changed.begin() + static_cast<long>(i),
                     WireField{fields[i].number, fields[i].type, Tag(fields[i].number, fields[i].type) + '\0', ""});
    } else if (fields[i].type == WireFormatLite::WIRETYPE_VARINT) {
      // The last occurrence wins; and a value in a longer form than needed.
      pb::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(fields[i].payload.data()),
                                     static_cast<int>(fields[i].payload.size()));
      uint64_t value = 0;
      input.ReadVarint64(&value);
      std::string longer = Varint(value);
      if (longer.size() < 10) {
        longer.back() = static_cast<char>(longer.back() | 0x80);
        longer.push_back('\0');
      }
      changed[i].bytes = Tag(fields[i].number, fields[i].type) + longer;
      changed.insert(
          changed.begin() + static_cast<long>(i),
          WireField{fields[i].number, fields[i].type, Tag(fields[i].number, fields[i].type) + Varint(1), ""});
    } else {
      continue;
    }
    out.push_back(join(changed));
  }
  // A field without presence written with its default value, which the serializer leaves out.
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    if (field->is_repeated() || field->has_presence() || field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE)
      continue;
    if (object.GetReflection()->HasField(object, field)) continue;
    const bool delimited = field->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING;
    const auto type = WireFormatLite::WireTypeForFieldType(static_cast<WireFormatLite::FieldType>(field->type()));
    if (!delimited && type != WireFormatLite::WIRETYPE_VARINT) continue;
    out.push_back(body + Tag(static_cast<uint32_t>(field->number()), type) + '\0');
  }
  // A field the schema does not have.
  out.push_back(body + Tag(1999, WireFormatLite::WIRETYPE_VARINT) + Varint(5));
  return out;
}

// What one property's entry must carry, from the parsed object.
std::string Expected(const pb::Message& object, const pb::FieldDescriptor* property, bool* present) {
  const pb::Reflection* r = object.GetReflection();
  *present = property->is_repeated() ? r->FieldSize(object, property) > 0 : r->HasField(object, property);
  std::unique_ptr<pb::Message> single(object.New());
  single->CopyFrom(object);
  const pb::Descriptor* descriptor = object.GetDescriptor();
  std::vector<const pb::FieldDescriptor*> keys = qor::tolvar::ValueKeyFields(descriptor);
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    if (field != property && std::find(keys.begin(), keys.end(), field) == keys.end()) {
      single->GetReflection()->ClearField(single.get(), field);
    }
  }
  single->GetReflection()->MutableUnknownFields(single.get())->Clear();
  if (!*present && keys.empty()) return std::string();
  return single->SerializeAsString();
}

std::vector<TolvarUpdateMsg> Entries(uint32_t type, const std::string& body) {
  tv::MonitorUpdateMsg update;
  update.set_object_type(static_cast<tv::ObjectType>(type));
  update.set_op_message(std::string{'\x08', static_cast<char>(tv::SET)});
  update.set_new_object_body(body);
  std::vector<TolvarUpdateMsg> entries;
  for (Decoder::Group& group : Decoder::Decode(update)) {
    entries.insert(entries.end(), group.entries.begin(), group.entries.end());
  }
  return entries;
}

std::string Describe(const TolvarUpdateMsg& entry) {
  return std::to_string(entry.propertyType) + "/" + std::to_string(entry.operation) + "/" +
         std::to_string(entry.value.size()) + "/" + std::to_string(entry.objectId.size());
}

TEST(DecoderPropertyDifferentialTest, EntriesFollowTheObjectNotTheLayoutOfItsBytes) {
  const std::vector<uint32_t> types = {tv::LOG_SWITCH_PORT_CONFIG,
                                       tv::LOG_SWITCH_CONFIG,
                                       tv::TRANSPORT_NODE_CONFIG,
                                       tv::BRIDGE_CLUSTER_CONFIG,
                                       tv::PORT_MIRROR_SESSION,
                                       tv::IPFIX_CONFIGURATION,
                                       tv::PROFILE,
                                       tv::L2_VTEP_GROUP,
                                       tv::ENTITY_GROUP_RELATION};
  std::mt19937_64 rng(20261207);
  size_t checkedEntries = 0;
  size_t otherLayouts = 0;
  for (int round = 0; round < 400; ++round) {
    const uint32_t type = types[static_cast<size_t>(round) % types.size()];
    std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
    ASSERT_NE(object, nullptr);
    Fill(object.get(), rng, 0);
    const pb::FieldDescriptor* id = object->GetDescriptor()->FindFieldByNumber(1);
    if (id->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
      FillField(object.get(), id, rng, 2);  // every object has its id
    }
    const std::string body = qor::tolvar::DeterministicBytes(*object);
    const std::vector<TolvarUpdateMsg> entries = Entries(type, body);
    // Definition: one entry per property the decoder emits for the type, each the object reduced to it.
    std::string objectId;
    qor::tolvar::ObjectIdBytes(*object, &objectId);
    for (const TolvarUpdateMsg& entry : entries) {
      SCOPED_TRACE("type " + std::to_string(type) + " round " + std::to_string(round) + " entry " + Describe(entry));
      EXPECT_EQ(entry.objectId, objectId);
      if (type == tv::ENTITY_GROUP_RELATION && entry.propertyType == 0) continue;  // the whole-object entry
      const pb::FieldDescriptor* field =
          qor::tolvar::PropertyField(object->GetDescriptor(), static_cast<uint32_t>(entry.propertyType));
      ASSERT_NE(field, nullptr);
      bool present = false;
      EXPECT_EQ(entry.value, Expected(*object, field, &present));
      EXPECT_EQ(entry.operation, present ? TolvarUpdateMsg::OP_SET : TolvarUpdateMsg::OP_CLEAR);
      ++checkedEntries;
    }
    // The same object in other layouts gives the same entries, byte for byte.
    for (const std::string& other : OtherLayouts(*object, body, rng)) {
      std::unique_ptr<pb::Message> reparsed(object->New());
      ASSERT_TRUE(reparsed->ParseFromString(other));
      reparsed->GetReflection()->MutableUnknownFields(reparsed.get())->Clear();
      ASSERT_EQ(qor::tolvar::DeterministicBytes(*reparsed), body) << "the test's layout changed the object";
      const std::vector<TolvarUpdateMsg> again = Entries(type, other);
      ASSERT_EQ(again.size(), entries.size());
      for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE("type " + std::to_string(type) + " round " + std::to_string(round) + " entry " +
                     Describe(entries[i]));
        EXPECT_EQ(again[i].propertyType, entries[i].propertyType);
        EXPECT_EQ(again[i].operation, entries[i].operation);
        EXPECT_EQ(again[i].objectId, entries[i].objectId);
        if (entries[i].propertyType != 0) {
          EXPECT_EQ(again[i].value, entries[i].value);
        }
      }
      ++otherLayouts;
    }
  }
  // The rounds reached what they are meant to: many entries, and many bodies in other layouts.
  EXPECT_GT(checkedEntries, 2000u);
  EXPECT_GT(otherLayouts, 1000u);
}

}  // namespace
}  // namespace VevUroro
