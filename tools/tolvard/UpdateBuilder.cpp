#include "tools/tolvard/UpdateBuilder.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <algorithm>
#include <map>

#include "platform/tolvar/TolvarSchema.h"

namespace qor::tolvar {
namespace pb = google::protobuf;
namespace tv = zantix::qor::tolvar;

namespace {

// The operation field of an op message (tag and a one-byte value).
constexpr size_t kOperationBytes = 2;
// Type, tags and lengths of an update around its op message and bodies.
constexpr size_t kUpdateEnvelopeBytes = 64;

// Bytes of the element operations INSERT 0 .. count-1 of list `property` in the op message of `type`.
size_t InsertOpsBytes(uint32_t type, uint32_t property, int count) {
  std::unique_ptr<pb::Message> op = NewOp(type);
  const pb::FieldDescriptor* field = op ? PropertyField(op->GetDescriptor(), property) : nullptr;
  if (!field) return 0;
  const size_t tag = pb::internal::WireFormatLite::TagSize(field->number(), pb::internal::WireFormatLite::TYPE_MESSAGE);
  size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    // op INSERT (tag and value), then the index unless it is 0 (proto3 leaves zeros out).
    size_t entry =
        kOperationBytes + (i == 0 ? 0 : 1 + pb::io::CodedOutputStream::VarintSize32(static_cast<uint32_t>(i)));
    bytes += tag + pb::io::CodedOutputStream::VarintSize32(static_cast<uint32_t>(entry)) + entry;
  }
  return bytes;
}

// The list properties of each object type, read from the schema once.
const std::vector<const pb::FieldDescriptor*>* ListsOf(uint32_t type) {
  static const std::map<uint32_t, std::vector<const pb::FieldDescriptor*>> lists = [] {
    std::map<uint32_t, std::vector<const pb::FieldDescriptor*>> all;
    for (uint32_t objectType : AllObjectTypes()) all.emplace(objectType, ListProperties(ObjectDescriptor(objectType)));
    return all;
  }();
  auto it = lists.find(type);
  return it == lists.end() ? nullptr : &it->second;
}

}  // namespace

ChangeDiff::ChangeDiff(const ObjectChange& change) : _change(change) {
  uint32_t type = change.key.type;
  const std::vector<const pb::FieldDescriptor*>* listsOfType = ListsOf(type);
  if (!listsOfType) return;
  if (listsOfType->empty()) {
    // Without lists there are no element operations, and the bodies (deterministic bytes) differ exactly when the
    // object's content does: nothing to parse.
    if (!change.oldBody) {
      _op = tv::SET;
    } else if (!change.newBody) {
      _op = tv::CLEAR;
    } else {
      _op = *change.oldBody == *change.newBody ? tv::UPDATE : tv::SET;
    }
    _allOps = OpMessage(nullptr);
    if (change.oldBody && change.newBody) _snapshotOpsBytes += kOperationBytes;
    return;
  }
  std::unique_ptr<pb::Message> oldObject = NewObject(type);
  std::unique_ptr<pb::Message> newObject = NewObject(type);
  if (!oldObject) return;
  if (change.oldBody) oldObject->ParseFromString(*change.oldBody);
  if (change.newBody) newObject->ParseFromString(*change.newBody);
  const std::vector<const pb::FieldDescriptor*>& lists = *listsOfType;

  if (!change.oldBody) {
    _op = tv::SET;
  } else if (!change.newBody) {
    _op = tv::CLEAR;
  } else {
    // SET when anything besides the list properties changed.
    std::unique_ptr<pb::Message> a(oldObject->New()), b(newObject->New());
    a->CopyFrom(*oldObject);
    b->CopyFrom(*newObject);
    for (const pb::FieldDescriptor* field : lists) {
      a->GetReflection()->ClearField(a.get(), field);
      b->GetReflection()->ClearField(b.get(), field);
    }
    _op = DeterministicBytes(*a) == DeterministicBytes(*b) ? tv::UPDATE : tv::SET;
  }

  for (const pb::FieldDescriptor* field : lists) {
    uint32_t property = PropertyOf(field);
    const pb::Reflection* reflection = oldObject->GetReflection();
    // Elements are matched by key: a key only in the old list is removed, one only in the new list inserted, and
    // a key whose element changed is removed and inserted again.
    std::map<std::string, int> oldByKey;
    int oldSize = reflection->FieldSize(*oldObject, field);
    for (int i = 0; i < oldSize; ++i)
      oldByKey.emplace(ElementKey(reflection->GetRepeatedMessage(*oldObject, field, i)), i);
    std::vector<int> removed;
    std::vector<int> inserted;
    std::set<int> kept;
    int newSize = reflection->FieldSize(*newObject, field);
    for (int j = 0; j < newSize; ++j) {
      const pb::Message& element = reflection->GetRepeatedMessage(*newObject, field, j);
      auto it = oldByKey.empty() ? oldByKey.end() : oldByKey.find(ElementKey(element));
      if (it != oldByKey.end() && !kept.count(it->second)) {
        kept.insert(it->second);
        if (DeterministicBytes(reflection->GetRepeatedMessage(*oldObject, field, it->second)) ==
            DeterministicBytes(element)) {
          continue;
        }
        removed.push_back(it->second);
      }
      inserted.push_back(j);
    }
    for (int i = 0; i < oldSize; ++i) {
      if (!kept.count(i)) removed.push_back(i);
    }
    if (change.oldBody && change.newBody) _snapshotOpsBytes += InsertOpsBytes(type, property, newSize);
    std::sort(removed.begin(), removed.end());
    for (int i : removed) _elementOps.push_back({property, tv::REMOVE, static_cast<uint32_t>(i)});
    for (int j : inserted) _elementOps.push_back({property, tv::INSERT, static_cast<uint32_t>(j)});
  }
  _allOps = OpMessage(nullptr);
  if (change.oldBody && change.newBody) _snapshotOpsBytes += kOperationBytes;
}

size_t ChangeDiff::LargestUpdateBytes() const {
  size_t newBytes = _change.newBody ? _change.newBody->size() : 0;
  size_t oldBytes = _change.oldBody ? _change.oldBody->size() : 0;
  return std::max(_allOps.size() + newBytes + oldBytes, _snapshotOpsBytes + newBytes) + kUpdateEnvelopeBytes;
}

std::string ChangeDiff::OpMessage(const std::set<uint32_t>* followed) const {
  if (_elementOps.empty()) {
    // Field 1 of every op message is the operation; a non-zero enum is its tag and one byte.
    static_assert(tv::Operation_MAX < 128);
    if (!OpDescriptor(_change.key.type) || _op == tv::INVALID) return std::string();
    return std::string{'\x08', static_cast<char>(_op)};
  }
  std::unique_ptr<pb::Message> op = NewOp(_change.key.type);
  if (!op) return std::string();
  const pb::Reflection* reflection = op->GetReflection();
  const pb::Descriptor* descriptor = op->GetDescriptor();
  reflection->SetEnumValue(op.get(), descriptor->FindFieldByNumber(1), _op);
  for (const ElementOp& element : _elementOps) {
    if (followed && !followed->count(element.property)) continue;
    const pb::FieldDescriptor* field = PropertyField(descriptor, element.property);
    if (!field) continue;
    pb::Message* entry = reflection->AddMessage(op.get(), field);
    const pb::Descriptor* entryDescriptor = entry->GetDescriptor();
    entry->GetReflection()->SetEnumValue(entry, entryDescriptor->FindFieldByName("op"), element.op);
    entry->GetReflection()->SetUInt32(entry, entryDescriptor->FindFieldByName("index"), element.index);
  }
  return op->SerializeAsString();
}

tv::MonitorUpdateMsg ChangeDiff::Update(const std::set<uint32_t>* followed) const {
  tv::MonitorUpdateMsg update;
  update.set_object_type(static_cast<tv::ObjectType>(_change.key.type));
  update.set_op_message(followed ? OpMessage(followed) : _allOps);
  if (_change.newBody) update.set_new_object_body(*_change.newBody);
  if (_change.oldBody) update.set_old_object_body(*_change.oldBody);
  return update;
}

}  // namespace qor::tolvar
