#include "support/RandomDesiredState.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <algorithm>
#include <set>

#include "platform/tolvar/TolvarSchema.h"
#include "support/Wait.h"
#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l3.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace qor::test {
namespace {

namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;
using Rng = std::mt19937_64;
using Key = std::pair<uint32_t, std::string>;

constexpr uint64_t kIdsPerType = 5;

uint64_t Pick(Rng& rng, uint64_t n) {
  return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng);
}
bool Chance(Rng& rng, double p) {
  return std::bernoulli_distribution(p)(rng);
}

// Types whose delete the decoder ignores (only their current value matters): they are put, never deleted.
bool SetOnly(uint32_t type) {
  return type == tv::GLOBAL_CONFIG;
}

// The scalar key property of the list-element types, which the decoder needs in every body.
int KeyField(uint32_t type) {
  switch (type) {
    case tv::LOG_SWITCH_FIB:
    case tv::ROUTING_DOMAIN_FIB:
    case tv::ARP_TABLE_CONFIG:
      return 2;
    default:
      return 0;
  }
}

std::string IdBytes(uint32_t type, uint64_t n) {
  tv::UuidMsg id;
  id.set_high(type);
  id.set_low(n);
  return qor::tolvar::DeterministicBytes(id);
}

std::string Name(uint32_t type, const std::string& id) {
  return qor::tolvar::ObjectTypeName(type) + " " + qor::tolvar::ObjectIdText(type, id);
}

// Fills `message` with values from small domains: a third of the fields stay absent, lists hold up to three
// elements, nesting stops at depth 3.
void Fill(Rng& rng, pb::Message* message, int depth) {
  const pb::Descriptor* descriptor = message->GetDescriptor();
  const pb::Reflection* reflection = message->GetReflection();
  for (int i = 0; i < descriptor->field_count(); ++i) {
    const pb::FieldDescriptor* field = descriptor->field(i);
    if (Chance(rng, 1.0 / 3)) continue;
    if (field->containing_oneof() && reflection->HasOneof(*message, field->containing_oneof())) continue;
    if (field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE && depth >= 3) continue;
    int count = field->is_repeated() ? static_cast<int>(Pick(rng, 4)) : 1;
    for (int n = 0; n < count; ++n) {
      switch (field->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_MESSAGE:
          Fill(rng,
               field->is_repeated() ? reflection->AddMessage(message, field)
                                    : reflection->MutableMessage(message, field),
               depth + 1);
          break;
        case pb::FieldDescriptor::CPPTYPE_BOOL:
          field->is_repeated() ? reflection->AddBool(message, field, Chance(rng, 0.5))
                               : reflection->SetBool(message, field, Chance(rng, 0.5));
          break;
        case pb::FieldDescriptor::CPPTYPE_ENUM: {
          const pb::EnumValueDescriptor* value = field->enum_type()->value(
              static_cast<int>(Pick(rng, static_cast<uint64_t>(field->enum_type()->value_count()))));
          field->is_repeated() ? reflection->AddEnum(message, field, value)
                               : reflection->SetEnum(message, field, value);
          break;
        }
        case pb::FieldDescriptor::CPPTYPE_STRING: {
          static const char* values[] = {"a", "bb", "ccc"};
          std::string value = values[Pick(rng, 3)];
          if (field->type() == pb::FieldDescriptor::TYPE_BYTES && field->name() == "ipv6") {
            value = std::string(15, '\0') + static_cast<char>(Pick(rng, 3) + 1);
          }
          field->is_repeated() ? reflection->AddString(message, field, value)
                               : reflection->SetString(message, field, value);
          break;
        }
        case pb::FieldDescriptor::CPPTYPE_INT32:
          field->is_repeated() ? reflection->AddInt32(message, field, static_cast<int32_t>(Pick(rng, 4)))
                               : reflection->SetInt32(message, field, static_cast<int32_t>(Pick(rng, 4)));
          break;
        case pb::FieldDescriptor::CPPTYPE_INT64:
          field->is_repeated() ? reflection->AddInt64(message, field, static_cast<int64_t>(Pick(rng, 4)))
                               : reflection->SetInt64(message, field, static_cast<int64_t>(Pick(rng, 4)));
          break;
        case pb::FieldDescriptor::CPPTYPE_UINT32:
          field->is_repeated() ? reflection->AddUInt32(message, field, static_cast<uint32_t>(Pick(rng, 4)))
                               : reflection->SetUInt32(message, field, static_cast<uint32_t>(Pick(rng, 4)));
          break;
        case pb::FieldDescriptor::CPPTYPE_UINT64:
          field->is_repeated() ? reflection->AddUInt64(message, field, Pick(rng, 4))
                               : reflection->SetUInt64(message, field, Pick(rng, 4));
          break;
        case pb::FieldDescriptor::CPPTYPE_DOUBLE:
          field->is_repeated() ? reflection->AddDouble(message, field, static_cast<double>(Pick(rng, 4)))
                               : reflection->SetDouble(message, field, static_cast<double>(Pick(rng, 4)));
          break;
        case pb::FieldDescriptor::CPPTYPE_FLOAT:
          field->is_repeated() ? reflection->AddFloat(message, field, static_cast<float>(Pick(rng, 4)))
                               : reflection->SetFloat(message, field, static_cast<float>(Pick(rng, 4)));
          break;
      }
    }
  }
}

// Drops the elements of each list property whose key an earlier element has: valid bodies hold sets.
void Deduplicate(pb::Message* object) {
  const pb::Reflection* reflection = object->GetReflection();
  for (const pb::FieldDescriptor* field : qor::tolvar::ListProperties(object->GetDescriptor())) {
    std::set<std::string> keys;
    for (int i = 0; i < reflection->FieldSize(*object, field);) {
      if (keys.insert(qor::tolvar::ElementKey(reflection->GetRepeatedMessage(*object, field, i))).second) {
        ++i;
        continue;
      }
      for (int j = i; j + 1 < reflection->FieldSize(*object, field); ++j)
        reflection->SwapElements(object, field, j, j + 1);
      reflection->RemoveLast(object, field);
    }
  }
}

// A new valid body for (type, id).
std::unique_ptr<pb::Message> NewBody(Rng& rng, uint32_t type, const std::string& id) {
  std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
  Fill(rng, object.get(), 0);
  qor::tolvar::SetObjectId(object.get(), id);
  const pb::Reflection* reflection = object->GetReflection();
  if (int key = KeyField(type)) {
    const pb::FieldDescriptor* field = object->GetDescriptor()->FindFieldByNumber(key);
    if (!reflection->HasField(*object, field)) Fill(rng, reflection->MutableMessage(object.get(), field), 1);
    // Only a few distinct keys, so that re-creations sometimes change it and sometimes do not.
    static_cast<tv::UuidMsg*>(reflection->MutableMessage(object.get(), field))->set_low(Pick(rng, 3));
  }
  if (type == tv::FIB) {
    auto* fib = static_cast<tv::FibMsg*>(object.get());
    fib->mutable_router_id()->set_low(Pick(rng, 3));
    fib->mutable_ip_prefix()->set_prefix_length(static_cast<uint32_t>(Pick(rng, 3)));
  }
  if (type == tv::PROFILE) static_cast<tv::ProfileMsg*>(object.get())->set_profile_type(Pick(rng, 3));
  Deduplicate(object.get());
  return object;
}

// A random element of list property `field`.
std::unique_ptr<pb::Message> NewElement(Rng& rng, const pb::FieldDescriptor* field) {
  std::unique_ptr<pb::Message> element(
      pb::MessageFactory::generated_factory()->GetPrototype(field->message_type())->New());
  Fill(rng, element.get(), 1);
  return element;
}

tv::ModifyRequestMsg PutRequest(uint32_t type, const pb::Message& body) {
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_body(body.SerializeAsString());
  return request;
}

tv::ModifyRequestMsg PatchRequest(uint32_t type, const std::string& id, uint32_t property, tv::Operation op,
                                  const std::string& value) {
  tv::ModifyRequestMsg request;
  tv::PatchMsg* patch = request.mutable_modify()->mutable_patch();
  patch->set_object_type(static_cast<tv::ObjectType>(type));
  patch->set_object_id(id);
  patch->set_property_type(property);
  patch->set_op(op);
  patch->set_value(value);
  return request;
}

tv::ModifyRequestMsg DeleteRequest(uint32_t type, const std::string& id) {
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_delete_()->mutable_object()->set_object_type(static_cast<tv::ObjectType>(type));
  request.mutable_modify()->mutable_delete_()->mutable_object()->set_object_id(id);
  return request;
}

tv::ModifyRequestMsg FlushRequest(uint32_t type) {
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_flush()->set_object_type(static_cast<tv::ObjectType>(type));
  request.mutable_modify()->mutable_flush()->add_vdbs(1);
  return request;
}

// The annotated properties of a type (lists and scalars).
std::vector<const pb::FieldDescriptor*> Properties(uint32_t type) {
  std::vector<const pb::FieldDescriptor*> out;
  const pb::Descriptor* descriptor = qor::tolvar::ObjectDescriptor(type);
  for (int i = 0; i < descriptor->field_count(); ++i) {
    if (qor::tolvar::PropertyOf(descriptor->field(i)) != 0) out.push_back(descriptor->field(i));
  }
  return out;
}

// One transaction under construction: the objects as its requests leave them, so that patches name objects
// that exist at that point.
struct Builder {
  Rng& rng;
  DatabaseObjects objects;
  std::vector<tv::ModifyRequestMsg> requests;
  std::string text;

  void Note(const std::string& what) { text += (text.empty() ? "" : "; ") + what; }

  std::pair<uint32_t, std::string> AnyKey() {
    uint32_t type = RandomDesiredState::Types()[Pick(rng, RandomDesiredState::Types().size())];
    return {type, IdBytes(type, 1 + Pick(rng, kIdsPerType))};
  }
  // An object that exists at this point of the transaction, if any.
  const DatabaseObjects::value_type* Existing() {
    if (objects.empty()) return nullptr;
    auto it = objects.begin();
    std::advance(it, static_cast<long>(Pick(rng, objects.size())));
    return &*it;
  }

  void Put(uint32_t type, const std::string& id, const pb::Message& body, const std::string& how) {
    requests.push_back(PutRequest(type, body));
    objects[{type, id}] = qor::tolvar::DeterministicBytes(body);
    Note(how + " " + Name(type, id));
  }

  void PutNew() {
    auto [type, id] = AnyKey();
    Put(type, id, *NewBody(rng, type, id), "put");
  }

  // A small change of an existing object: one property or element replaced, added or dropped.
  void PutChanged() {
    const auto* entry = Existing();
    if (!entry) return PutNew();
    auto [type, id] = entry->first;
    std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
    object->ParseFromString(entry->second);
    std::unique_ptr<pb::Message> donor = NewBody(rng, type, id);
    auto properties = Properties(type);
    if (properties.empty()) return Put(type, id, *donor, "put changed");
    const pb::FieldDescriptor* field = properties[Pick(rng, properties.size())];
    const pb::Reflection* reflection = object->GetReflection();
    if (field->is_repeated() && reflection->FieldSize(*object, field) > 0 && Chance(rng, 0.5)) {
      reflection->RemoveLast(object.get(), field);
    } else if (field->is_repeated()) {
      reflection->AddMessage(object.get(), field)->CopyFrom(*NewElement(rng, field));
    } else {
      // The donor's value of the property (possibly none) replaces the object's.
      std::unique_ptr<pb::Message> single(donor->New());
      donor->GetReflection()->SwapFields(donor.get(), single.get(), {field});
      reflection->ClearField(object.get(), field);
      object->MergeFrom(*single);
    }
    Deduplicate(object.get());
    if (int key = KeyField(type)) {
      if (!reflection->HasField(*object, object->GetDescriptor()->FindFieldByNumber(key))) return PutNew();
    }
    Put(type, id, *object, "put changed");
  }

  void PatchProperty() {
    const auto* entry = Existing();
    if (!entry) return PutNew();
    auto [type, id] = entry->first;
    auto properties = Properties(type);
    if (properties.empty()) return PutChanged();
    const pb::FieldDescriptor* field = properties[Pick(rng, properties.size())];
    uint32_t property = qor::tolvar::PropertyOf(field);
    std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
    object->ParseFromString(entry->second);
    const pb::Reflection* reflection = object->GetReflection();
    if (field->is_repeated() && field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE && Chance(rng, 0.7)) {
      int size = reflection->FieldSize(*object, field);
      bool remove = size > 0 && Chance(rng, 0.5);
      std::unique_ptr<pb::Message> element;
      if (size > 0 && Chance(rng, 0.6)) {
        // An element that is there: removed, or appended with new content under the same key.
        const pb::Message& present = reflection->GetRepeatedMessage(*object, field, static_cast<int>(Pick(rng, size)));
        element.reset(present.New());
        element->CopyFrom(present);
        if (!remove) {
          std::unique_ptr<pb::Message> other = NewElement(rng, field);
          std::string key = qor::tolvar::ElementKey(*element);
          other->MergeFrom(*element);
          if (qor::tolvar::ElementKey(*other) == key) element = std::move(other);
        }
      } else {
        element = NewElement(rng, field);
      }
      tv::Operation op = remove ? tv::REMOVE : (Chance(rng, 0.5) ? tv::APPEND : tv::INSERT);
      requests.push_back(PatchRequest(type, id, property, op, element->SerializeAsString()));
      // Applied here as tolvard applies it, to keep the view of the transaction right.
      int index = -1;
      for (int i = 0; i < reflection->FieldSize(*object, field); ++i) {
        if (qor::tolvar::ElementKey(reflection->GetRepeatedMessage(*object, field, i)) ==
            qor::tolvar::ElementKey(*element)) {
          index = i;
        }
      }
      if (remove && index >= 0) {
        for (int i = index; i + 1 < reflection->FieldSize(*object, field); ++i) {
          reflection->SwapElements(object.get(), field, i, i + 1);
        }
        reflection->RemoveLast(object.get(), field);
      } else if (!remove && index >= 0) {
        reflection->MutableRepeatedMessage(object.get(), field, index)->CopyFrom(*element);
      } else if (!remove) {
        reflection->AddMessage(object.get(), field)->CopyFrom(*element);
      }
      objects[entry->first] = qor::tolvar::DeterministicBytes(*object);
      Note(std::string("patch ") + tv::Operation_Name(op) + " " + qor::tolvar::PropertyTypeName(property) + " of " +
           Name(type, id));
      return;
    }
    bool clear = Chance(rng, 0.3) && !(KeyField(type) && field->number() == KeyField(type));
    std::unique_ptr<pb::Message> value = NewBody(rng, type, id);
    if (clear) {
      reflection->ClearField(object.get(), field);
    } else {
      std::unique_ptr<pb::Message> single(value->New());
      value->GetReflection()->SwapFields(value.get(), single.get(), {field});
      value = std::move(single);
      reflection->ClearField(object.get(), field);
      object->MergeFrom(*value);
    }
    if (type == tv::FIB &&
        (!static_cast<tv::FibMsg&>(*object).has_router_id() || !static_cast<tv::FibMsg&>(*object).has_ip_prefix())) {
      return PutChanged();
    }
    if (type == tv::ARP_TABLE_CONFIG && !static_cast<tv::ArpTableConfigMsg&>(*object).has_router_port_id()) {
      return PutChanged();
    }
    if (type == tv::PROFILE && !static_cast<tv::ProfileMsg&>(*object).has_profile_type()) return PutChanged();
    requests.push_back(PatchRequest(type, id, property, clear ? tv::CLEAR : tv::SET,
                                    clear ? std::string() : value->SerializeAsString()));
    objects[entry->first] = qor::tolvar::DeterministicBytes(*object);
    Note(std::string("patch ") + (clear ? "CLEAR " : "SET ") + qor::tolvar::PropertyTypeName(property) + " of " +
         Name(type, id));
  }

  void Delete() {
    const auto* entry = Chance(rng, 0.8) ? Existing() : nullptr;
    auto key = entry ? entry->first : AnyKey();
    if (SetOnly(key.first)) return PutChanged();
    requests.push_back(DeleteRequest(key.first, key.second));
    objects.erase(key);
    Note("delete " + Name(key.first, key.second));
  }

  // Deleted and created again in one transaction, its lists unchanged and its other content new.
  void Recreate() {
    const auto* entry = Existing();
    if (!entry || SetOnly(entry->first.first)) return PutNew();
    auto [type, id] = entry->first;
    std::unique_ptr<pb::Message> old = qor::tolvar::NewObject(type);
    old->ParseFromString(entry->second);
    std::unique_ptr<pb::Message> fresh = NewBody(rng, type, id);
    for (const pb::FieldDescriptor* field : qor::tolvar::ListProperties(fresh->GetDescriptor())) {
      fresh->GetReflection()->ClearField(fresh.get(), field);
      for (int i = 0; i < old->GetReflection()->FieldSize(*old, field); ++i) {
        fresh->GetReflection()
            ->AddMessage(fresh.get(), field)
            ->CopyFrom(old->GetReflection()->GetRepeatedMessage(*old, field, i));
      }
    }
    requests.push_back(DeleteRequest(type, id));
    objects.erase({type, id});
    Put(type, id, *fresh, "delete and re-create");
  }

  void Flush() {
    uint32_t type = AnyKey().first;
    if (SetOnly(type)) return PutNew();
    requests.push_back(FlushRequest(type));
    for (auto it = objects.begin(); it != objects.end();)
      it = it->first.first == type ? objects.erase(it) : std::next(it);
    Note("flush " + qor::tolvar::ObjectTypeName(type));
  }

  // A request the database refuses: the whole transaction changes nothing.
  void Refused() {
    auto [type, id] = AnyKey();
    if (Chance(rng, 0.5)) {
      std::unique_ptr<pb::Message> object = NewBody(rng, type, id);
      auto lists = qor::tolvar::ListProperties(object->GetDescriptor());
      const pb::Reflection* reflection = object->GetReflection();
      for (const pb::FieldDescriptor* field : lists) {
        if (reflection->FieldSize(*object, field) == 0) continue;
        reflection->AddMessage(object.get(), field)->CopyFrom(reflection->GetRepeatedMessage(*object, field, 0));
        requests.push_back(PutRequest(type, *object));
        Note("put " + Name(type, id) + " with one " + qor::tolvar::PropertyTypeName(qor::tolvar::PropertyOf(field)) +
             " twice (refused)");
        return;
      }
    }
    std::string missing = IdBytes(type, 100 + Pick(rng, 3));
    auto properties = Properties(type);
    uint32_t property = properties.empty() ? 1 : qor::tolvar::PropertyOf(properties.front());
    requests.push_back(PatchRequest(type, missing, property, tv::CLEAR, std::string()));
    Note("patch of missing " + Name(type, missing) + " (refused)");
  }
};

}  // namespace

const std::vector<uint32_t>& RandomDesiredState::Types() {
  static const std::vector<uint32_t> types = {
      // configuration table
      tv::LOG_SWITCH_CONFIG, tv::LOG_SWITCH_PORT_CONFIG, tv::TRANSPORT_NODE_CONFIG, tv::PROFILE,
      tv::ENTITY_GROUP_RELATION, tv::NSG_MEMBERSHIP_STATUS,
      // L2 table
      tv::LOG_SWITCH_FIB, tv::ROUTING_DOMAIN_FIB, tv::L2_VTEP_GROUP,
      // L3 table
      tv::LOG_ROUTER_CONFIG, tv::LOG_ROUTER_PORT_CONFIG, tv::FIB, tv::ARP_TABLE_CONFIG, tv::PREFIX_LIST,
      tv::MULTICAST_CONFIG, tv::MULTICAST_STATIC_ROUTE, tv::LOG_ROUTER_PORT_FIB_DAD_STATE, tv::GLOBAL_CONFIG};
  return types;
}

std::vector<tv::ModifyRequestMsg> RandomDesiredState::Next(Rng& rng, const DatabaseObjects& database,
                                                           std::string* text) {
  Builder builder{rng, database, {}, {}};
  const size_t operations = 1 + Pick(rng, 4);
  for (size_t i = 0; i < operations; ++i) {
    uint64_t roll = Pick(rng, 100);
    if (roll < 25) {
      builder.PutNew();
    } else if (roll < 45) {
      builder.PutChanged();
    } else if (roll < 75) {
      builder.PatchProperty();
    } else if (roll < 84) {
      builder.Delete();
    } else if (roll < 93) {
      builder.Recreate();
    } else if (roll < 97) {
      builder.Flush();
    } else {
      builder.Refused();
    }
  }
  *text = builder.text;
  return builder.requests;
}

DatabaseView::DatabaseView(const std::string& endpoint, const std::vector<uint32_t>& types)
    : _client(std::make_unique<qor::tolvar::TolvarDbClient>("database-view", endpoint, nullptr, nullptr, true, true,
                                                            false)) {
  _client->SetCallTimeout(std::chrono::seconds(20));
  _client->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
  _client->RegisterCallbacks(
      1,
      [this](const tv::MonitorUpdateMsg& update) {
        uint32_t type = static_cast<uint32_t>(update.object_type());
        std::unique_ptr<pb::Message> object = qor::tolvar::NewObject(type);
        bool present = !update.new_object_body().empty() || !update.has_old_object_body();
        object->ParseFromString(present ? update.new_object_body() : update.old_object_body());
        std::string id;
        qor::tolvar::ObjectIdBytes(*object, &id);
        std::lock_guard<std::mutex> lock(_mutex);
        if (type == tv::BFD_GLOBAL_CONFIG) {
          if (present) _marker = static_cast<const tv::BfdGlobalConfigMsg&>(*object).min_rx_interval();
          return;
        }
        if (present) {
          _objects[{type, id}] = update.new_object_body();
        } else {
          _objects.erase({type, id});
        }
      },
      nullptr, 1);
  std::vector<tv::MonitorStatementMsg> statements;
  for (uint32_t type : types) {
    statements.emplace_back().mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  }
  statements.emplace_back().mutable_statement()->set_object_type(tv::BFD_GLOBAL_CONFIG);
  _client->ConfigureMonitors(statements, {}, 1, 1);
  _client->StartAsync();
}

DatabaseView::~DatabaseView() {
  _client->Stop();
}

bool DatabaseView::WaitMarker(uint32_t marker, std::chrono::milliseconds bound) {
  return WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(_mutex);
        return _marker >= marker;
      },
      bound);
}

DatabaseObjects DatabaseView::Objects() {
  std::lock_guard<std::mutex> lock(_mutex);
  return _objects;
}

}  // namespace qor::test
