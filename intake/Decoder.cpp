#include "intake/Decoder.h"

#include <google/protobuf/arena.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/message.h>
#include <google/protobuf/wire_format_lite.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/Logger.h"
#include "intake/TypeNames.h"
#include "platform/tolvar/TolvarSchema.h"
#include "platform/wft/WorkflowUtil.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/security.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {
namespace {

namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;

enum class Form { kWhole, kProperty, kElements, kRouter, kDaVif, kGroupRelation };

struct TypeInfo {
  Form form;
  std::vector<ComponentType> targets;
  const char* spanName = nullptr;
  // Property number carried by whole-object entries of the type (0 for most).
  uint32_t wholeProperty = 0;
  // DELETE / UPDATE lines of the global and profile types: the name used in them and the word for a SET.
  const char* changeLabel = nullptr;
  const char* updateWord = nullptr;
};

const std::map<uint32_t, TypeInfo>& Table() {
  static const std::map<uint32_t, TypeInfo> table = {
      {tv::LOG_SWITCH_CONFIG, {Form::kProperty, {CONFIGCACHE}, "Decoder.DecodeLogSwitchConfig"}},
      {tv::LOG_SWITCH_PORT_CONFIG, {Form::kProperty, {CONFIGCACHE}, "Decoder.DecodeLogSwitchPortConfig"}},
      {tv::LOG_ROUTER_CONFIG, {Form::kRouter, {L3CACHE}}},
      {tv::LOG_ROUTER_PORT_CONFIG, {Form::kRouter, {L3CACHE}}},
      {tv::TRANSPORT_NODE_CONFIG, {Form::kProperty, {CONFIGCACHE, CONFIGAPP}, "Decoder.DecodeTransportNodeConfig"}},
      {tv::BRIDGE_CLUSTER_CONFIG, {Form::kProperty, {CONFIGCACHE}, "Decoder.DecodeBridgeClusterConfig"}},
      {tv::PREFIX_LIST, {Form::kWhole, {L3CACHE}}},
      {tv::PORT_MIRROR_SESSION, {Form::kProperty, {CONFIGCACHE}, "Decoder.DecodePortMirrorSession"}},
      {tv::IPFIX_CONFIGURATION, {Form::kProperty, {CONFIGCACHE}}},
      {tv::LOG_SWITCH_FIB, {Form::kElements, {L2CACHE}, "Decoder.DecodeLogSwitchFib"}},
      {tv::ROUTING_DOMAIN_FIB, {Form::kElements, {L2CACHE}, "Decoder.DecodeRoutingDomainFib"}},
      {tv::RULE, {Form::kWhole, {DFW, IDS}}},
      {tv::RULE_SECTION, {Form::kWhole, {DFW, IDS}}},
      {tv::CONTAINER, {Form::kWhole, {DFW, LB}}},
      {tv::CONFIG_SPAN, {Form::kWhole, {DFW, CONFIGAPP}, "Decoder.DecodeDFWConfigSpan"}},
      {tv::FIB, {Form::kElements, {L3CACHE}}},
      {tv::VESSIX_CHANNEL_VIF_CONFIG, {Form::kWhole, {CONFIGAPP}, "Decoder.DecodeVessixVIFConfig"}},
      {tv::VESSIX_CHANNEL_GLOBAL_CONFIG, {Form::kWhole, {CONFIGAPP}, "Decoder.DecodeVessixGlobalConfig"}},
      {tv::DA_VIF, {Form::kDaVif, {CONFIGAPP}, "Decoder.DecodeDaVifMsg", tv::Property::DA_VIF}},
      {tv::LB_VIRTUAL_SERVER, {Form::kWhole, {LB}}},
      {tv::LB_APPLICATION_PROFILE, {Form::kWhole, {LB}}},
      {tv::LB_PERSISTENCE_PROFILE, {Form::kWhole, {LB}}},
      {tv::LB_POOL, {Form::kWhole, {LB}}},
      {tv::LB_SERVICE, {Form::kWhole, {LB}}},
      {tv::ARP_TABLE_CONFIG, {Form::kElements, {L3CACHE}}},
      {tv::PROFILE, {Form::kProperty, {CONFIGCACHE}}},
      {tv::CCP_SESSION, {Form::kWhole, {CONFIGAPP, L2APP}, "Decoder.DecodeCcpSession"}},
      {tv::SI_REDIRECTION_POLICY, {Form::kWhole, {SIAPP}}},
      {tv::BARRIER, {Form::kWhole, {DFW, IDS, L3CACHE}}},
      {tv::ORLO_CLUSTER_HOST_CONFIG, {Form::kWhole, {IDS, DFW}, nullptr, 0, "ORLO_CLUSTER_HOST_CONFIG", "UPDATE"}},
      {tv::CONTEXT_PROFILE, {Form::kWhole, {DFW, IDS}}},
      {tv::ENTITY_GROUP_RELATION, {Form::kGroupRelation, {CONFIGCACHE, DFW, LB}}},
      {tv::GLOBAL_CONFIG,
       {Form::kWhole,
        {L3CACHE, L2APP, DFW, IDS, CONFIGAPP, PP},
        "Decoder.DecodeGlobalConfig",
        0,
        "GLOBAL_CONFIG",
        "Update"}},
      {tv::SI_SERVICE_CHAIN, {Form::kWhole, {SIAPP}}},
      {tv::SI_SERVICE_PATH, {Form::kWhole, {SIAPP}}},
      {tv::NDRA_PROFILE_CONFIG, {Form::kWhole, {L3CACHE}, nullptr, 0, "NDRA_PROFILEL_CONFIG", "Update"}},
      {tv::DAD_PROFILE_CONFIG, {Form::kWhole, {L3CACHE}, nullptr, 0, "DAD_PROFILEL_CONFIG", "Update"}},
      {tv::LOG_ROUTER_PORT_FIB_DAD_STATE,
       {Form::kWhole, {L3CACHE}, nullptr, tv::Property::L3_DAD_STATUS, "LOG_ROUTER_PORT_FIB_DAD_STATE", "UPDATE"}},
      {tv::L2_VTEP_GROUP, {Form::kProperty, {L2CACHE}, "Decoder.DecodeVtepGroup"}},
      {tv::IDS_SIGNATURES, {Form::kWhole, {IDS}}},
      {tv::MULTICAST_CONFIG, {Form::kWhole, {L3CACHE}, nullptr, 0, "MULTICAST_CONFIG", "UPDATE"}},
      {tv::NSG_MEMBERSHIP_STATUS, {Form::kWhole, {CONFIGCACHE}, "Decoder.DecodeNsgMemberShipStatus"}},
      {tv::MULTICAST_STATIC_ROUTE, {Form::kWhole, {L3CACHE}, nullptr, 0, "MULTICAST_STATIC_ROUTE", "UPDATE"}},
      {tv::SECURITY_FEATURE_TOGGLE, {Form::kWhole, {IDS, DFW}, nullptr, 0, "SECURITY_FEATURE_TOGGLE", "UPDATE"}},
      {tv::LOG_ROUTER_PORT_DAD_REQUEST,
       {Form::kWhole, {L3CACHE}, nullptr, tv::Property::L3_DAD_REQ, "LOG_ROUTER_PORT_DAD_REQUEST", "UPDATE"}},
      {tv::BFD_GLOBAL_CONFIG, {Form::kWhole, {BFD}}},
      {tv::HOST_SWITCH_SMARTNIC_BACKING, {Form::kWhole, {CONFIGAPP}}},
      {tv::IP_REPUTATION_CONFIG, {Form::kWhole, {DFW}}},
  };
  return table;
}

// Classes whose CLEAR is useless without the old body: the receivers key their caches on its content.
bool NeedsOldBody(const std::string& className) {
  static const std::set<std::string> classes = {"RuleMsg",
                                                "RuleSectionMsg",
                                                "ContainerMsg",
                                                "EntityGroupRelationMsg",
                                                "ContextProfileMsg",
                                                "IdsSignaturesMsg",
                                                "ConfigSpanMsg",
                                                "IpReputationConfigMsg",
                                                "LbServiceMsg",
                                                "LbVirtualServerMsg",
                                                "LbPoolMsg",
                                                "LbApplicationProfileMsg",
                                                "LbPersistenceProfileMsg"};
  return classes.count(className) > 0;
}

// Types whose CLEAR produces nothing: only their current value matters.
bool SetOnly(uint32_t type) {
  return type == tv::BARRIER || type == tv::BFD_GLOBAL_CONFIG || type == tv::GLOBAL_CONFIG ||
         type == tv::VESSIX_CHANNEL_GLOBAL_CONFIG;
}

// One update, parsed.
struct Change {
  uint32_t type = 0;
  const TypeInfo* info = nullptr;
  const tv::MonitorUpdateMsg* update = nullptr;
  // On the decode's arena: one update's messages are made and freed together, not piece by piece.
  pb::Message* op = nullptr;
  pb::Message* newObject = nullptr;  // empty message when the update has no new body
  pb::Message* oldObject = nullptr;  // empty message when the update has no old body
  bool hasNew = false;
  bool hasOld = false;
  uint32_t operation = tv::INVALID;
  std::string objectId;
  std::string spanContext;

  std::string ClassName() const { return newObject->GetDescriptor()->name(); }
  std::string UpdateText() const { return update->ShortDebugString(); }

  TolvarUpdateMsg Entry(uint32_t property, std::string value, int32_t entryOp) const {
    TolvarUpdateMsg entry;
    entry.objectType = static_cast<int32_t>(type);
    entry.objectId = objectId;
    entry.propertyType = static_cast<int32_t>(property);
    entry.value = std::move(value);
    entry.operation = entryOp;
    entry.spanContext = spanContext;
    return entry;
  }
};

pb::Message* NewOn(const pb::Descriptor* descriptor, pb::Arena* arena) {
  if (!descriptor) return nullptr;
  const pb::Message* prototype = pb::MessageFactory::generated_factory()->GetPrototype(descriptor);
  return prototype ? prototype->New(arena) : nullptr;
}

bool Parse(const tv::MonitorUpdateMsg& update, const TypeInfo& info, Change* change, pb::Arena* arena) {
  change->type = static_cast<uint32_t>(update.object_type());
  change->info = &info;
  change->update = &update;
  change->op = NewOn(qor::tolvar::OpDescriptor(change->type), arena);
  change->newObject = NewOn(qor::tolvar::ObjectDescriptor(change->type), arena);
  change->oldObject = NewOn(qor::tolvar::ObjectDescriptor(change->type), arena);
  if (!change->op || !change->newObject) return false;
  const std::string name = ObjTypeToString(change->type);
  if (!change->op->ParseFromString(update.op_message())) {
    Logger(LOG_LEVEL_ERROR, "Decoder: Failed to parse %1 op message, monitor update msg: %2", name,
           change->UpdateText())
        .AddTag("errorCode:LCP00028");
    return false;
  }
  change->hasNew = !update.new_object_body().empty();
  change->hasOld = update.has_old_object_body();
  if ((change->hasNew && !change->newObject->ParseFromString(update.new_object_body())) ||
      (change->hasOld && !change->oldObject->ParseFromString(update.old_object_body()))) {
    Logger(LOG_LEVEL_ERROR, "Decoder: Failed to parse %1 msg body, monitor update msg: %2", name, change->UpdateText())
        .AddTag("errorCode:LCP00028");
    return false;
  }
  const pb::FieldDescriptor* opField = change->op->GetDescriptor()->FindFieldByNumber(1);
  change->operation = static_cast<uint32_t>(change->op->GetReflection()->GetEnumValue(*change->op, opField));
  const pb::Message& keyed = change->hasNew ? *change->newObject : *change->oldObject;
  qor::tolvar::ObjectIdBytes(keyed, &change->objectId);
  if (update.has_span_context()) change->spanContext = update.span_context().SerializeAsString();
  return true;
}

bool IsSet(uint32_t operation) {
  return operation == tv::SET || operation == tv::UPDATE;
}

void LogReceived(const Change& change) {
  if (!LogEnabled(LOG_LEVEL_DEBUG)) return;
  const pb::Message& body = change.hasNew ? *change.newObject : *change.oldObject;
  std::string format = "Decoder: Received " + ObjTypeToString(change.type) + " msg (Operation %1): %2";
  switch (change.type) {
    case tv::RULE:
      format = "Decoder: Received DFW RuleMsg msg (Operation %1): %2";
      break;
    case tv::RULE_SECTION: {
      const auto& section = static_cast<const tv::RuleSectionMsg&>(body);
      QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Received DFW RuleSectionMsg msg (Operation %1): %2, pri: %3",
              PBOpTypeToString(change.operation), body.ShortDebugString(), section.priority());
      return;
    }
    case tv::IDS_SIGNATURES:
      QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Received IdsSignaturesMsg msg (Op: %1), ID: %2",
              PBOpTypeToString(change.operation), qor::tolvar::ObjectIdText(change.type, change.objectId));
      return;
    case tv::SI_SERVICE_CHAIN:
      format = "Decoder: Received SiServiceChainMsg (Operation %1): %2";
      break;
    case tv::ENTITY_GROUP_RELATION:
      format = "Decoder: Received EntityGroupRelationMsg msg (Operation %1): %2";
      break;
    default:
      break;
  }
  QOR_LOG(LOG_LEVEL_DEBUG, format.c_str(), PBOpTypeToString(change.operation), body.ShortDebugString());
  if (change.type == tv::ENTITY_GROUP_RELATION && change.hasOld) {
    QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Received EntityGroupRelationMsg old msg: %1",
            change.oldObject->ShortDebugString());
  }
}

void LogChangeLine(const Change& change) {
  const TypeInfo& info = *change.info;
  if (!info.changeLabel) return;
  std::string line = std::string("Decoder: Received ") + info.changeLabel + " msg ";
  if (change.operation == tv::CLEAR) {
    QOR_LOG(LOG_LEVEL_DEBUG, (line + "DELETE").c_str());
  } else if (IsSet(change.operation)) {
    QOR_LOG(LOG_LEVEL_DEBUG, (line + info.updateWord).c_str());
  }
}

// Whole object: SET (and UPDATE, which only changes list content) gives a set entry with the new body; CLEAR a
// clear entry with the old body.
void DecodeWhole(const Change& change, std::list<TolvarUpdateMsg>& out) {
  const uint32_t property = change.info->wholeProperty;
  if (IsSet(change.operation)) {
    out.push_back(change.Entry(property, change.update->new_object_body(), TolvarUpdateMsg::OP_SET));
  } else if (change.operation == tv::CLEAR) {
    if (SetOnly(change.type)) return;
    if (!change.hasOld && NeedsOldBody(change.ClassName())) {
      Logger(LOG_LEVEL_WARN, ("Decoder: No old_object_body in CLEAR " + change.ClassName()).c_str());
      return;
    }
    out.push_back(change.Entry(property, change.update->old_object_body(), TolvarUpdateMsg::OP_CLEAR));
  }
}

// The property fields of an object message in emission order. The real-time port properties are left out: the
// feature switch that would carry them to the datapath is off in this system.
std::vector<const pb::FieldDescriptor*> PropertyFields(uint32_t type, const pb::Descriptor* descriptor) {
  std::vector<const pb::FieldDescriptor*> fields;
  if (type == tv::LOG_SWITCH_PORT_CONFIG) {
    static const uint32_t order[] = {50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 62, 60, 61, 63};
    for (uint32_t property : order) {
      if (const pb::FieldDescriptor* field = qor::tolvar::PropertyField(descriptor, property)) fields.push_back(field);
    }
    return fields;
  }
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    if (qor::tolvar::PropertyOf(field) != 0) fields.push_back(field);
  }
  std::stable_sort(fields.begin(), fields.end(), [](const pb::FieldDescriptor* a, const pb::FieldDescriptor* b) {
    return qor::tolvar::PropertyOf(a) < qor::tolvar::PropertyOf(b);
  });
  return fields;
}

// What the per-property decode of a type needs from its schema, read once: the schema's options are costly to
// read per update.
struct Layout {
  struct Property {
    const pb::FieldDescriptor* field;
    uint32_t number;  // PropertyType
  };
  std::vector<Property> properties;              // emission order
  std::vector<const pb::FieldDescriptor*> keys;  // value keys, by field number
  // Fields by field number (nullptr for numbers the message does not have); empty when the numbers are too large
  // for a table, which leaves the wire split to the reflective path.
  std::vector<const pb::FieldDescriptor*> byNumber;
  bool splittable = false;
};

Layout MakeLayout(uint32_t type) {
  Layout layout;
  const pb::Descriptor* descriptor = qor::tolvar::ObjectDescriptor(type);
  if (!descriptor) return layout;
  for (const pb::FieldDescriptor* field : PropertyFields(type, descriptor)) {
    layout.properties.push_back({field, qor::tolvar::PropertyOf(field)});
  }
  layout.keys = qor::tolvar::ValueKeyFields(descriptor);
  std::sort(layout.keys.begin(), layout.keys.end(),
            [](const pb::FieldDescriptor* a, const pb::FieldDescriptor* b) { return a->number() < b->number(); });
  int largest = 0;
  for (int i = 0; i < descriptor->field_count(); ++i) largest = std::max(largest, descriptor->field(i)->number());
  layout.splittable = largest <= 256;
  for (const pb::FieldDescriptor* key : layout.keys) {
    // A key that is a property or a list would be both moved out and emitted: leave such a type to the reflection.
    if (qor::tolvar::PropertyOf(key) != 0 || key->is_repeated()) layout.splittable = false;
  }
  if (layout.splittable) {
    layout.byNumber.assign(static_cast<size_t>(largest) + 1, nullptr);
    for (int i = 0; i < descriptor->field_count(); ++i) {
      layout.byNumber[static_cast<size_t>(descriptor->field(i)->number())] = descriptor->field(i);
    }
  }
  return layout;
}

const Layout& LayoutOf(uint32_t type) {
  static const std::map<uint32_t, Layout> layouts = [] {
    std::map<uint32_t, Layout> all;
    for (const auto& [objectType, info] : Table()) {
      if (info.form == Form::kProperty || info.form == Form::kGroupRelation)
        all.emplace(objectType, MakeLayout(objectType));
    }
    return all;
  }();
  static const Layout none;
  auto it = layouts.find(type);
  return it == layouts.end() ? none : it->second;
}

// The byte range of one top-level field in a serialized object (tag included).
struct FieldBytes {
  uint32_t begin = 0;
  uint32_t end = 0;
  bool present = false;
};

// A varint scalar as the serializer writes it: shortest form, a value its type can hold, and not the default of a
// field without presence (which is never written).
bool CanonicalVarint(const pb::FieldDescriptor* field, uint64_t value, int bytes) {
  if (bytes != static_cast<int>(pb::io::CodedOutputStream::VarintSize64(value))) return false;
  if (!field->has_presence() && value == 0) return false;
  switch (field->type()) {
    case pb::FieldDescriptor::TYPE_BOOL:
      return value <= 1;
    case pb::FieldDescriptor::TYPE_UINT32:
    case pb::FieldDescriptor::TYPE_SINT32:
      return value <= 0xffffffffull;
    case pb::FieldDescriptor::TYPE_INT32:
    case pb::FieldDescriptor::TYPE_ENUM:
      // Negative values are written sign-extended to ten bytes.
      return value <= 0x7fffffffull || value >= 0xffffffff80000000ull;
    default:
      return true;
  }
}

// Splits a serialized object into its top-level fields, indexed by field number, when it is laid out exactly as
// the serializer writes it: known fields in ascending number, each singular one at most once, with the wire type of
// its declared type, scalars in canonical form, no two members of one oneof; a list that is no property (so in no
// entry) is passed over as one run of elements. Such bytes hold each field's
// serialization as it is, so a property's value can be taken from them without building it again. False (use the
// reflective path) for anything else; the body has been parsed already, so false never means bad input here.
bool SplitFields(const std::string& body, const Layout& layout, std::vector<FieldBytes>* fields) {
  namespace wire = pb::internal;
  if (!layout.splittable || body.size() > static_cast<size_t>(INT32_MAX)) return false;
  fields->assign(layout.byNumber.size(), FieldBytes{});
  pb::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(body.data()), static_cast<int>(body.size()));
  uint32_t last = 0;
  std::vector<const pb::OneofDescriptor*> oneofs;
  for (;;) {
    const int begin = input.CurrentPosition();
    if (static_cast<size_t>(begin) == body.size()) return true;
    const uint32_t tag = input.ReadTag();
    const uint32_t number = wire::WireFormatLite::GetTagFieldNumber(tag);
    if (number < last || number >= layout.byNumber.size()) return false;
    const pb::FieldDescriptor* field = layout.byNumber[number];
    if (!field) return false;
    if (field->is_repeated()) {
      // A list that is no property (a port's profile ids) is in no entry: its elements, one run of them, are
      // passed over.
      if (qor::tolvar::PropertyOf(field) != 0) return false;
      last = number;
      if (!wire::WireFormatLite::SkipField(&input, tag)) return false;
      continue;
    }
    if (number == last) return false;
    last = number;
    const auto wireType = wire::WireFormatLite::GetTagWireType(tag);
    if (wireType !=
        wire::WireFormatLite::WireTypeForFieldType(static_cast<wire::WireFormatLite::FieldType>(field->type()))) {
      return false;
    }
    if (const pb::OneofDescriptor* oneof = field->real_containing_oneof()) {
      if (std::find(oneofs.begin(), oneofs.end(), oneof) != oneofs.end()) return false;
      oneofs.push_back(oneof);
    }
    switch (wireType) {
      case wire::WireFormatLite::WIRETYPE_VARINT: {
        const int at = input.CurrentPosition();
        uint64_t value;
        if (!input.ReadVarint64(&value) || !CanonicalVarint(field, value, input.CurrentPosition() - at)) return false;
        break;
      }
      case wire::WireFormatLite::WIRETYPE_FIXED32: {
        uint32_t value;
        if (!input.ReadLittleEndian32(&value) || (!field->has_presence() && value == 0)) return false;
        break;
      }
      case wire::WireFormatLite::WIRETYPE_FIXED64: {
        uint64_t value;
        if (!input.ReadLittleEndian64(&value) || (!field->has_presence() && value == 0)) return false;
        break;
      }
      case wire::WireFormatLite::WIRETYPE_LENGTH_DELIMITED: {
        const int at = input.CurrentPosition();
        uint32_t length;
        if (!input.ReadVarint32(&length) ||
            input.CurrentPosition() - at != static_cast<int>(pb::io::CodedOutputStream::VarintSize32(length)) ||
            (!field->has_presence() && length == 0) || !input.Skip(static_cast<int>(length))) {
          return false;
        }
        break;
      }
      default:
        return false;
    }
    (*fields)[number] = FieldBytes{static_cast<uint32_t>(begin), static_cast<uint32_t>(input.CurrentPosition()), true};
  }
}

bool HasProperty(const pb::Message& object, const pb::FieldDescriptor* field) {
  const pb::Reflection* reflection = object.GetReflection();
  return field->is_repeated() ? reflection->FieldSize(object, field) > 0 : reflection->HasField(object, field);
}

// Per property: one entry per property of the type; CLEAR of the object is one whole-object clear entry.
void DecodeProperties(const Change& change, std::list<TolvarUpdateMsg>& out, const std::set<uint32_t>* only) {
  if (change.operation == tv::CLEAR) {
    if (!change.hasOld && NeedsOldBody(change.ClassName())) {
      Logger(LOG_LEVEL_WARN, ("Decoder: No old_object_body in CLEAR " + change.ClassName()).c_str());
      return;
    }
    out.push_back(change.Entry(0, change.update->old_object_body(), TolvarUpdateMsg::OP_CLEAR));
    return;
  }
  if (!IsSet(change.operation)) return;
  if (change.type == tv::PROFILE && !static_cast<const tv::ProfileMsg&>(*change.newObject).has_profile_type()) {
    Logger(LOG_LEVEL_WARN, "Decoder: Received PROFILE msg without profile_type!");
    return;
  }
  const Layout& layout = LayoutOf(change.type);
  auto wanted = [only](const Layout::Property& property) { return !only || only->count(property.number) > 0; };
  std::string summary;
  auto emit = [&](uint32_t property, bool has, std::string value) {
    out.push_back(change.Entry(property, std::move(value), has ? TolvarUpdateMsg::OP_SET : TolvarUpdateMsg::OP_CLEAR));
    if (LogEnabled(LOG_LEVEL_DEBUG)) summary += PropertyTypeToString(property) + (has ? " SET, " : " CLEAR, ");
    if (property == tv::Property::LSP_TENANT_CONTEXT && change.type == tv::LOG_SWITCH_PORT_CONFIG) {
      QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Feature switch EqorDpVswitchRT is disabled");
    }
  };
  // A property's value is the serialization of an object holding the value keys and that property alone. When the
  // body is laid out as the serializer writes it, that is the keys' and the property's bytes taken from the body in
  // field order; otherwise the object is taken apart by reflection.
  std::vector<FieldBytes> fields;
  const std::string& body = change.update->new_object_body();
  if (SplitFields(change.hasNew ? body : std::string(), layout, &fields)) {
    auto append = [&](std::string& value, const pb::FieldDescriptor* field) {
      const FieldBytes& bytes = fields[static_cast<size_t>(field->number())];
      if (bytes.present) value.append(body, bytes.begin, bytes.end - bytes.begin);
    };
    for (const Layout::Property& property : layout.properties) {
      if (!wanted(property)) continue;
      const bool has = fields[static_cast<size_t>(property.field->number())].present;
      std::string value;
      if (has || !layout.keys.empty()) {
        bool placed = !has;
        for (const pb::FieldDescriptor* key : layout.keys) {
          if (!placed && key->number() > property.field->number()) {
            append(value, property.field);
            placed = true;
          }
          append(value, key);
        }
        if (!placed) append(value, property.field);
      }
      emit(property.number, has, std::move(value));
    }
  } else {
    // Each property is moved into an otherwise empty object, serialized and moved back: no deep copies.
    std::unique_ptr<pb::Message> scratch(change.newObject->New());
    scratch->CopyFrom(*change.newObject);
    std::unique_ptr<pb::Message> single(scratch->New());
    const pb::Reflection* reflection = scratch->GetReflection();
    // Value keys travel with every property of the object, a clear included, so that receivers can key it.
    for (const pb::FieldDescriptor* key : layout.keys) reflection->SwapFields(scratch.get(), single.get(), {key});
    for (const Layout::Property& property : layout.properties) {
      if (!wanted(property)) continue;
      bool has = HasProperty(*scratch, property.field);
      std::string value;
      if (has) {
        reflection->SwapFields(scratch.get(), single.get(), {property.field});
        value = single->SerializeAsString();
        reflection->SwapFields(scratch.get(), single.get(), {property.field});
      } else if (!layout.keys.empty()) {
        value = single->SerializeAsString();
      }
      emit(property.number, has, std::move(value));
    }
  }
  if (!summary.empty()) QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: %1", summary);
}

// Names of the list properties of the element-form types, as the mismatch lines print them.
std::string ElementLabel(uint32_t type, uint32_t property) {
  switch (property) {
    case tv::Property::L3_ARP_ENTRY:
      return "ARP_TABLE_CONFIG entry";
    case tv::Property::L3_FIB_NEXT_HOP:
      return "FIB next hop";
    case tv::Property::L2_VM_IP:
      return "Logical switch ip";
    case tv::Property::L2_VM_MAC:
      return "Logical switch mac";
    case tv::Property::L2_VTEP:
      return type == tv::ROUTING_DOMAIN_FIB ? "Routing domain vtep" : "Logical switch vtep";
    case tv::Property::L2_VTEP_GROUP_LABEL:
      return "Routing domain vtep group label";
    default:
      return PropertyTypeToString(property);
  }
}

std::string ScalarLabel(uint32_t property) {
  switch (property) {
    case tv::Property::L3_FIB_ROUTER_ID:
      return "FIB router ID";
    case tv::Property::L3_FIB_IP_PREFIX:
      return "FIB prefix";
    case tv::Property::L3_ARP_ROUTER_PORT_ID:
      return "ARP router port ID";
    default:
      return PropertyTypeToString(property);
  }
}

void CheckNextHop(const pb::Message& element) {
  const auto* hop = dynamic_cast<const tv::FibNextHopMsg*>(&element);
  if (hop && !hop->has_ip() && !hop->blackhole() && !hop->static_route()) {
    Logger(LOG_LEVEL_ERROR, "Decoder: Fib next hop msg has no IP/blackhole/static route: %1", hop->ShortDebugString());
  }
}

// The scalar part of an element-form object: the key properties (FIB router and prefix, ARP router port), or for
// the switch and routing-domain tables the object without its lists.
void DecodeScalars(const Change& change, std::list<TolvarUpdateMsg>& out) {
  const bool set = change.operation == tv::SET;
  if (!set && change.operation != tv::CLEAR) return;
  const pb::Message& source = set ? *change.newObject : *change.oldObject;
  const bool present = set ? change.hasNew : change.hasOld;
  const int32_t entryOp = set ? TolvarUpdateMsg::OP_SET : TolvarUpdateMsg::OP_CLEAR;
  const pb::Reflection* reflection = source.GetReflection();
  if (change.type == tv::LOG_SWITCH_FIB || change.type == tv::ROUTING_DOMAIN_FIB) {
    const char* what = change.type == tv::LOG_SWITCH_FIB ? "logical switch ID" : "routing domain ID";
    const pb::FieldDescriptor* key = source.GetDescriptor()->FindFieldByNumber(2);
    if (!present || !reflection->HasField(source, key)) {
      Logger(LOG_LEVEL_ERROR,
             (std::string("Decoder: ") + what + (set ? ", set has no value" : ", clear has no old value") +
              ", monitor update msg: %1")
                 .c_str(),
             change.UpdateText());
      return;
    }
    QOR_LOG(LOG_LEVEL_DEBUG,
            (std::string("Decoder: Received ") + (set ? "SET" : "CLEAR") + " operation for " + what + " %1").c_str(),
            reflection->GetMessage(source, key).ShortDebugString());
    std::unique_ptr<pb::Message> scalar(source.New());
    scalar->CopyFrom(source);
    for (const pb::FieldDescriptor* list : qor::tolvar::ListProperties(scalar->GetDescriptor())) {
      reflection->ClearField(scalar.get(), list);
    }
    out.push_back(change.Entry(0, scalar->SerializeAsString(), entryOp));
    return;
  }
  const pb::Descriptor* descriptor = source.GetDescriptor();
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    uint32_t property = qor::tolvar::PropertyOf(field);
    if (property == 0 || field->is_repeated()) continue;
    if (!present || !reflection->HasField(source, field)) {
      Logger(LOG_LEVEL_ERROR,
             ("Decoder: " + ScalarLabel(property) + (set ? ", set has no value" : ", clear has no old value") +
              ", monitor update msg: %1")
                 .c_str(),
             change.UpdateText());
      continue;
    }
    std::unique_ptr<pb::Message> single(source.New());
    single->GetReflection()->MutableMessage(single.get(), field)->CopyFrom(reflection->GetMessage(source, field));
    out.push_back(change.Entry(property, single->SerializeAsString(), entryOp));
  }
}

// One element of a list, or nullptr after logging the mismatch.
const pb::Message* Element(const Change& change, bool fromOld, const pb::FieldDescriptor* list, uint32_t property,
                           uint32_t opIndex, uint32_t index) {
  const pb::Message& object = fromOld ? *change.oldObject : *change.newObject;
  const pb::Reflection* reflection = object.GetReflection();
  if (index < static_cast<uint32_t>(reflection->FieldSize(object, list))) {
    return &reflection->GetRepeatedMessage(object, list, static_cast<int>(index));
  }
  std::string label = ElementLabel(change.type, property);
  if (fromOld) {
    Logger(LOG_LEVEL_ERROR,
           ("Decoder: " + label + ", old msg size not match, op msg index %1 old msg index %2, monitor update msg: %3")
               .c_str(),
           opIndex, index, change.UpdateText())
        .AddTag("errorCode:LCP00028");
  } else {
    Logger(LOG_LEVEL_ERROR,
           ("Decoder: " + label + ", msg size not match, op msg index %1 monitor update msg: %2").c_str(), opIndex,
           change.UpdateText())
        .AddTag("errorCode:LCP00028");
  }
  return nullptr;
}

// List elements: the scalar key first, then one entry per element operation of each followed list.
void DecodeElements(const Change& change, std::list<TolvarUpdateMsg>& out) {
  DecodeScalars(change, out);
  const pb::Descriptor* opDescriptor = change.op->GetDescriptor();
  const pb::Reflection* opReflection = change.op->GetReflection();
  const pb::Descriptor* objectDescriptor = change.newObject->GetDescriptor();
  for (int f = 0; f < opDescriptor->field_count(); ++f) {
    const pb::FieldDescriptor* opList = opDescriptor->field(f);
    uint32_t property = qor::tolvar::PropertyOf(opList);
    if (!opList->is_repeated() || property == 0) continue;
    const pb::FieldDescriptor* list = qor::tolvar::PropertyField(objectDescriptor, property);
    if (!list || !list->is_repeated()) continue;
    int count = opReflection->FieldSize(*change.op, opList);
    for (int j = 0; j < count; ++j) {
      const pb::Message& elementOp = opReflection->GetRepeatedMessage(*change.op, opList, j);
      const pb::Reflection* er = elementOp.GetReflection();
      const pb::Descriptor* ed = elementOp.GetDescriptor();
      uint32_t op = static_cast<uint32_t>(er->GetEnumValue(elementOp, ed->FindFieldByNumber(1)));
      uint32_t index = er->GetUInt32(elementOp, ed->FindFieldByNumber(2));
      uint32_t oldIndex = er->GetUInt32(elementOp, ed->FindFieldByNumber(3));
      if (op == tv::INSERT || op == tv::APPEND) {
        const pb::Message* element = Element(change, false, list, property, index, index);
        if (!element) continue;
        if (property == tv::Property::L3_FIB_NEXT_HOP) CheckNextHop(*element);
        out.push_back(change.Entry(property, element->SerializeAsString(), TolvarUpdateMsg::OP_INSERT));
      } else if (op == tv::REMOVE) {
        const pb::Message* element = Element(change, true, list, property, index, index);
        if (!element) continue;
        out.push_back(change.Entry(property, element->SerializeAsString(), TolvarUpdateMsg::OP_REMOVE));
      } else if (op == tv::UPDATE) {
        const pb::Message* oldElement = Element(change, true, list, property, index, oldIndex);
        const pb::Message* newElement = Element(change, false, list, property, index, index);
        if (!oldElement || !newElement) continue;
        if (property == tv::Property::L3_FIB_NEXT_HOP) CheckNextHop(*newElement);
        std::string name = PropertyTypeToString(property);
        QOR_LOG(LOG_LEVEL_DEBUG, ("Decoder: generate " + name + " DELETE msg: %1").c_str(),
                oldElement->ShortDebugString());
        out.push_back(change.Entry(property, oldElement->SerializeAsString(), TolvarUpdateMsg::OP_REMOVE));
        QOR_LOG(LOG_LEVEL_DEBUG, ("Decoder: generate " + name + " UPDATE msg: %1").c_str(),
                newElement->ShortDebugString());
        out.push_back(change.Entry(property, newElement->SerializeAsString(), TolvarUpdateMsg::OP_INSERT));
      }
    }
  }
}

void DecodeRouter(const Change& change, std::list<TolvarUpdateMsg>& out) {
  if (change.type == tv::LOG_ROUTER_CONFIG && IsSet(change.operation)) {
    const auto& router = static_cast<const tv::LogRouterConfigMsg&>(*change.newObject);
    if (!router.has_ndra_profile_id()) QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: No Ndra Profile in LogRouterConfig.");
    if (!router.has_dad_profile_id()) QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: No Dad Profile in LogRouterConfig.");
  }
  DecodeWhole(change, out);
}

void DecodeDaVif(const Change& change, std::list<TolvarUpdateMsg>& out) {
  if (change.operation == tv::CLEAR) {
    QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Received DA_VIF msg with CLEAR op");
  } else if (IsSet(change.operation)) {
    const auto& vif = static_cast<const tv::DaVifMsg&>(*change.newObject);
    if (vif.bindings_size() > 0) {
      QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Received DA_VIF msg with bindings size %1", vif.bindings_size());
    } else {
      QOR_LOG(LOG_LEVEL_DEBUG, "Decoder: Received DA_VIF msg with no bindings");
    }
  }
  DecodeWhole(change, out);
}

}  // namespace

bool Decoder::Decodes(uint32_t objectType) {
  return Table().count(objectType) > 0;
}

std::vector<ComponentType> Decoder::Targets(uint32_t objectType) {
  auto it = Table().find(objectType);
  return it == Table().end() ? std::vector<ComponentType>{} : it->second.targets;
}

std::vector<Decoder::Group> Decoder::Decode(const tv::MonitorUpdateMsg& update) {
  std::vector<Group> groups;
  auto it = Table().find(static_cast<uint32_t>(update.object_type()));
  if (it == Table().end()) return groups;
  const TypeInfo& info = it->second;
  // Most updates fit the first block, so decoding one allocates nothing for its messages.
  alignas(16) char block[8192];
  pb::ArenaOptions options;
  options.initial_block = block;
  options.initial_block_size = sizeof(block);
  pb::Arena arena(options);
  Change change;
  if (!Parse(update, info, &change, &arena)) return groups;

  qor::wft::Span span;
  if (info.spanName) {
    span = qor::wft::WorkflowUtil::StartSpan(info.spanName, change.spanContext);
    span.SetTag("operation", change.operation == tv::CLEAR ? "DELETE" : "SET");
  }
  LogReceived(change);
  LogChangeLine(change);

  Group group;
  group.targets = info.targets;
  switch (info.form) {
    case Form::kWhole:
      DecodeWhole(change, group.entries);
      break;
    case Form::kProperty:
      DecodeProperties(change, group.entries, nullptr);
      break;
    case Form::kElements:
      DecodeElements(change, group.entries);
      break;
    case Form::kRouter:
      DecodeRouter(change, group.entries);
      break;
    case Form::kDaVif:
      DecodeDaVif(change, group.entries);
      break;
    case Form::kGroupRelation: {
      // Per property for the configuration table (container to port mapping), whole object for the firewall and
      // the load balancer.
      static const std::set<uint32_t> containerPort = {tv::Property::CONTINER_LOGICAL_SWITCH_PORT};
      if (change.operation == tv::CLEAR && !change.hasOld) {
        Logger(LOG_LEVEL_WARN, "Decoder: No old_object_body in CLEAR EntityGroupRelationMsg");
        break;
      }
      Group perProperty;
      perProperty.targets = {CONFIGCACHE};
      DecodeProperties(change, perProperty.entries, &containerPort);
      if (!perProperty.entries.empty()) groups.push_back(std::move(perProperty));
      group.targets = {DFW, LB};
      DecodeWhole(change, group.entries);
      break;
    }
  }
  if (!group.entries.empty()) groups.push_back(std::move(group));
  return groups;
}

void Decoder::DecodeInto(const tv::MonitorUpdateMsg& update, TransactionEntries& pending) {
  for (Group& group : Decode(update)) {
    for (size_t i = 0; i < group.targets.size(); ++i) {
      std::list<TolvarUpdateMsg>& list = pending[group.targets[i]];
      if (i + 1 == group.targets.size()) {
        list.splice(list.end(), group.entries);
      } else {
        list.insert(list.end(), group.entries.begin(), group.entries.end());
      }
    }
  }
}

}  // namespace VevUroro
