#include "tools/tolvard/TransactionApplier.h"

#include "platform/tolvar/TolvarSchema.h"

namespace qor::tolvar {
namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;

namespace {

std::string Describe(const char* what, uint32_t type, const std::string& id) {
  return std::string(what) + " " + ObjectTypeName(type) + " " + ObjectIdText(type, id);
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

bool TransactionApplier::WithinBound(const ObjectKey& key, const std::string& body, std::string* error) const {
  if (body.size() <= _maxBody) return true;
  *error = Describe("object", key.type, key.id) + " of " + std::to_string(body.size()) +
           " bytes is over the bound of " + std::to_string(_maxBody);
  return false;
}

bool TransactionApplier::Record(const ObjectKey& key, std::optional<std::string> newBody,
                                std::vector<ObjectChange>* changes, std::string* error) {
  if (newBody && !WithinBound(key, *newBody, error)) return false;
  std::optional<std::string> old = Current(key);
  if (old == newBody) return true;
  _staged[key] = newBody;
  // Consecutive changes that leave one object in place are one change from its first old body to its last new
  // one: a put followed by patches of its elements is one update, diffed and written once. A removal always stays
  // a change of its own, so a delete and a re-creation still reach monitors as such.
  if (newBody && !changes->empty() && changes->back().key == key && changes->back().newBody) {
    if (changes->back().oldBody == newBody) {
      changes->pop_back();
    } else {
      changes->back().newBody = std::move(newBody);
    }
    return true;
  }
  changes->push_back(ObjectChange{key, std::move(old), std::move(newBody)});
  return true;
}

bool TransactionApplier::Settle(std::vector<ObjectChange>* changes, std::string* error) {
  if (!_working) return true;
  Working working = std::move(*_working);
  _working.reset();
  std::string body = DeterministicBytes(*working.object);
  if (!WithinBound(working.key, body, error)) {
    *error = "request " + std::to_string(working.lastRequest) + ": " + *error;
    _errorNamesRequest = true;
    return false;
  }
  // The run's change is the last one (see ApplyPatch).
  ObjectChange& change = changes->back();
  _staged[working.key] = body;
  if (change.oldBody == body) {
    changes->pop_back();
  } else {
    change.newBody = std::move(body);
  }
  return true;
}

bool TransactionApplier::Apply(const pb::RepeatedPtrField<tv::ModifyRequestMsg>& requests,
                               std::vector<ObjectChange>* changes, std::string* error) {
  auto fail = [&](std::string message) {
    *error = std::move(message);
    changes->clear();
    _working.reset();
    return false;
  };
  for (int i = 0; i < requests.size(); ++i) {
    const tv::ModifyMsg& modify = requests[i].modify();
    _request = static_cast<size_t>(i);
    // Every request but a patch sees the objects as they are: a run of patches ends first.
    if (modify.modify_case() != tv::ModifyMsg::kPatch && !Settle(changes, error)) return fail(*error);
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
    // A patch that had to end another object's run first reports that run's failure, which names its request.
    if (!ok) return fail(_errorNamesRequest ? cause : "request " + std::to_string(i) + ": " + cause);
  }
  if (!Settle(changes, error)) return fail(*error);
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
  std::unique_ptr<pb::Message> prototype = NewObject(type);
  if (!prototype) {
    *error = "patch of unknown object type " + std::to_string(type);
    return false;
  }
  ObjectKey key{0, type, patch.object_id()};
  if (!Vdb(patch.has_vdb(), patch.vdb(), &key.vdb, error)) return false;
  if (!_working || _working->key != key) {
    if (!Settle(changes, error)) return false;
    std::optional<std::string> current = Current(key);
    if (!current) {
      *error = Describe("patch of missing object", type, key.id) + " in vdb " + std::to_string(key.vdb);
      return false;
    }
    // A run of patches of one object works on it parsed, and serializes it once when the run ends: each patch
    // costs what it changes, not the size of the object.
    prototype->ParseFromString(*current);
    if (changes->empty() || changes->back().key != key || !changes->back().newBody) {
      changes->push_back(ObjectChange{key, current, current});
    }
    _working = Working{key, std::move(prototype), _request, {}};
  }
  _working->lastRequest = _request;
  pb::Message* object = _working->object.get();
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
      reflection->ClearField(object, field);
      object->MergeFrom(*value);
      _working->index.erase(field);
      std::string duplicate = DuplicateElement(*object);
      if (!duplicate.empty()) {
        *error = Describe("patch SET of", type, key.id) + ": " + duplicate;
        return false;
      }
      break;
    }
    case tv::CLEAR:
      reflection->ClearField(object, field);
      _working->index.erase(field);
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
      std::unordered_map<std::string, int>& positions = Positions(field);
      std::string elementKey = ElementKey(*element);
      auto found = positions.find(elementKey);
      if (patch.op() == tv::REMOVE) {
        if (found == positions.end()) return true;
        int size = reflection->FieldSize(*object, field);
        for (int i = found->second; i + 1 < size; ++i) reflection->SwapElements(object, field, i, i + 1);
        reflection->RemoveLast(object, field);
        // The elements after it moved: the positions are rebuilt when next needed.
        _working->index.erase(field);
      } else if (found != positions.end()) {
        reflection->MutableRepeatedMessage(object, field, found->second)->CopyFrom(*element);
      } else {
        reflection->AddMessage(object, field)->CopyFrom(*element);
        positions.emplace(std::move(elementKey), reflection->FieldSize(*object, field) - 1);
      }
      break;
    }
    default:
      *error = Describe("patch of", type, key.id) + ": unsupported operation " + tv::Operation_Name(patch.op());
      return false;
  }
  return true;
}

std::unordered_map<std::string, int>& TransactionApplier::Positions(const pb::FieldDescriptor* field) {
  auto [it, added] = _working->index.try_emplace(field);
  if (added) {
    const pb::Message& object = *_working->object;
    const pb::Reflection* reflection = object.GetReflection();
    int size = reflection->FieldSize(object, field);
    it->second.reserve(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) it->second.emplace(ElementKey(reflection->GetRepeatedMessage(object, field, i)), i);
  }
  return it->second;
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
