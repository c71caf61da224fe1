#include "tools/tolvard/TransactionApplier.h"

#include "platform/tolvar/TolvarSchema.h"

namespace qor::tolvar {
namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;

namespace {

std::string Describe(const char* what, uint32_t type, const std::string& id) {
  return std::string(what) + " " + ObjectTypeName(type) + " " + ObjectIdText(type, id);
}

// Index of the element of repeated `field` whose key is `key`, or -1.
int FindElement(const pb::Message& object, const pb::FieldDescriptor* field, const std::string& key) {
  const pb::Reflection* reflection = object.GetReflection();
  int size = reflection->FieldSize(object, field);
  for (int i = 0; i < size; ++i) {
    if (ElementKey(reflection->GetRepeatedMessage(object, field, i)) == key) return i;
  }
  return -1;
}

}  // namespace

bool TransactionApplier::Vdb(bool has, uint32_t vdb, uint32_t* out, std::string* error) const {
  *out = has ? vdb : _sessionVdb;
  if (*out > 0xffff) {
    *error = "vdb " + std::to_string(*out) + " is outside 0..65535";
    return false;
  }
  return true;
}

std::optional<std::string> TransactionApplier::Current(const ObjectKey& key) const {
  auto staged = _staged.find(key);
  if (staged != _staged.end()) return staged->second;
  const std::string* body = _store.Find(key);
  if (body) return *body;
  return std::nullopt;
}

bool TransactionApplier::Record(const ObjectKey& key, std::optional<std::string> newBody,
                                std::vector<ObjectChange>* changes, std::string* error) {
  if (newBody && newBody->size() > _maxBody) {
    *error = Describe("object", key.type, key.id) + " of " + std::to_string(newBody->size()) +
             " bytes is over the bound of " + std::to_string(_maxBody);
    return false;
  }
  std::optional<std::string> old = Current(key);
  if (old == newBody) return true;
  _staged[key] = newBody;
  changes->push_back(ObjectChange{key, std::move(old), std::move(newBody)});
  return true;
}

bool TransactionApplier::Apply(const std::vector<tv::ModifyRequestMsg>& requests, std::vector<ObjectChange>* changes,
                               std::string* error) {
  for (size_t i = 0; i < requests.size(); ++i) {
    const tv::ModifyMsg& modify = requests[i].modify();
    std::string cause;
    bool ok = false;
    switch (modify.modify_case()) {
      case tv::ModifyMsg::kPut:
        ok = ApplyPut(modify.put(), changes, &cause);
        break;
      case tv::ModifyMsg::kPatch:
        ok = ApplyPatch(modify.patch(), changes, &cause);
        break;
      case tv::ModifyMsg::kDelete:
        ok = ApplyDelete(modify.delete_(), changes, &cause);
        break;
      case tv::ModifyMsg::kFlush:
        ok = ApplyFlush(modify.flush(), changes, &cause);
        break;
      default:
        cause = "empty modify request";
        break;
    }
    if (!ok) {
      *error = "request " + std::to_string(i) + ": " + cause;
      changes->clear();
      return false;
    }
  }
  return true;
}

bool TransactionApplier::ApplyPut(const tv::PutMsg& put, std::vector<ObjectChange>* changes, std::string* error) {
  uint32_t type = static_cast<uint32_t>(put.object().object_type());
  std::unique_ptr<pb::Message> object = NewObject(type);
  if (!object) {
    *error = "put of unknown object type " + std::to_string(type);
    return false;
  }
  if (!object->ParseFromString(put.object().object_body())) {
    *error = "put " + ObjectTypeName(type) + ": body does not parse";
    return false;
  }
  ObjectKey key;
  key.type = type;
  if (!ObjectIdBytes(*object, &key.id) || key.id.empty()) {
    *error = "put " + ObjectTypeName(type) + ": object has no id";
    return false;
  }
  if (!Vdb(put.has_vdb(), put.vdb(), &key.vdb, error)) return false;
  std::string duplicate = DuplicateElement(*object);
  if (!duplicate.empty()) {
    *error = Describe("put", type, key.id) + ": " + duplicate;
    return false;
  }
  return Record(key, DeterministicBytes(*object), changes, error);
}

bool TransactionApplier::ApplyPatch(const tv::PatchMsg& patch, std::vector<ObjectChange>* changes, std::string* error) {
  uint32_t type = static_cast<uint32_t>(patch.object_type());
  std::unique_ptr<pb::Message> object = NewObject(type);
  if (!object) {
    *error = "patch of unknown object type " + std::to_string(type);
    return false;
  }
  ObjectKey key{0, type, patch.object_id()};
  if (!Vdb(patch.has_vdb(), patch.vdb(), &key.vdb, error)) return false;
  std::optional<std::string> current = Current(key);
  if (!current) {
    *error = Describe("patch of missing object", type, key.id) + " in vdb " + std::to_string(key.vdb);
    return false;
  }
  object->ParseFromString(*current);
  const pb::FieldDescriptor* field = PropertyField(object->GetDescriptor(), patch.property_type());
  if (!field) {
    *error =
        Describe("patch of", type, key.id) + ": the type has no property " + PropertyTypeName(patch.property_type());
    return false;
  }
  const pb::Reflection* reflection = object->GetReflection();
  switch (patch.op()) {
    case tv::SET: {
      std::unique_ptr<pb::Message> value(object->New());
      if (!value->ParseFromString(patch.value())) {
        *error = Describe("patch SET of", type, key.id) + ": value does not parse";
        return false;
      }
      // Keep only the patched property of the value, then replace the property with it.
      std::vector<const pb::FieldDescriptor*> present;
      value->GetReflection()->ListFields(*value, &present);
      for (const pb::FieldDescriptor* other : present) {
        if (other != field) value->GetReflection()->ClearField(value.get(), other);
      }
      reflection->ClearField(object.get(), field);
      object->MergeFrom(*value);
      std::string duplicate = DuplicateElement(*object);
      if (!duplicate.empty()) {
        *error = Describe("patch SET of", type, key.id) + ": " + duplicate;
        return false;
      }
      break;
    }
    case tv::CLEAR:
      reflection->ClearField(object.get(), field);
      break;
    case tv::APPEND:
    case tv::INSERT:
    case tv::REMOVE: {
      if (!field->is_repeated() || field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
        *error = Describe("patch of", type, key.id) + ": " + PropertyTypeName(patch.property_type()) +
                 " is not a list property";
        return false;
      }
      std::unique_ptr<pb::Message> element(
          pb::MessageFactory::generated_factory()->GetPrototype(field->message_type())->New());
      if (!element->ParseFromString(patch.value())) {
        *error = Describe("patch of", type, key.id) + ": element does not parse";
        return false;
      }
      // The element of the list with the same key is the one removed or replaced.
      int index = FindElement(*object, field, ElementKey(*element));
      if (patch.op() == tv::REMOVE) {
        if (index < 0) return true;
        int size = reflection->FieldSize(*object, field);
        for (int i = index; i + 1 < size; ++i) reflection->SwapElements(object.get(), field, i, i + 1);
        reflection->RemoveLast(object.get(), field);
      } else if (index >= 0) {
        reflection->MutableRepeatedMessage(object.get(), field, index)->CopyFrom(*element);
      } else {
        reflection->AddMessage(object.get(), field)->CopyFrom(*element);
      }
      break;
    }
    default:
      *error = Describe("patch of", type, key.id) + ": unsupported operation " + tv::Operation_Name(patch.op());
      return false;
  }
  return Record(key, DeterministicBytes(*object), changes, error);
}

bool TransactionApplier::ApplyDelete(const tv::DeleteMsg& del, std::vector<ObjectChange>* changes, std::string* error) {
  uint32_t type = static_cast<uint32_t>(del.object().object_type());
  if (!ObjectDescriptor(type)) {
    *error = "delete of unknown object type " + std::to_string(type);
    return false;
  }
  ObjectKey key{0, type, del.object().object_id()};
  if (!Vdb(del.has_vdb(), del.vdb(), &key.vdb, error)) return false;
  return Record(key, std::nullopt, changes, error);
}

bool TransactionApplier::ApplyFlush(const tv::FlushMsg& flush, std::vector<ObjectChange>* changes, std::string* error) {
  uint32_t type = static_cast<uint32_t>(flush.object_type());
  if (!ObjectDescriptor(type)) {
    *error = "flush of unknown object type " + std::to_string(type);
    return false;
  }
  std::vector<uint32_t> vdbs(flush.vdbs().begin(), flush.vdbs().end());
  if (vdbs.empty()) vdbs.push_back(_sessionVdb);
  for (uint32_t vdb : vdbs) {
    uint32_t checked;
    if (!Vdb(true, vdb, &checked, error)) return false;
    std::vector<ObjectKey> keys;
    auto [begin, end] = _store.Range(vdb, type);
    for (auto it = begin; it != end; ++it) keys.push_back(it->first);
    for (auto it = _staged.lower_bound(ObjectKey{vdb, type, std::string()});
         it != _staged.end() && it->first.vdb == vdb && it->first.type == type; ++it) {
      keys.push_back(it->first);
    }
    for (const ObjectKey& key : keys) Record(key, std::nullopt, changes, error);
  }
  return true;
}

}  // namespace qor::tolvar
