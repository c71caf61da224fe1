#include "intake/RuntimeRequests.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <memory>

#include "platform/tolvar/TolvarSchema.h"

namespace VevUroro::runtime_requests {

namespace tv = zantix::qor::tolvar;
namespace pb = google::protobuf;

tv::ModifyRequestMsg Flush(uint32_t objectType, uint16_t vdb) {
  tv::ModifyRequestMsg request;
  tv::FlushMsg* flush = request.mutable_modify()->mutable_flush();
  flush->set_object_type(static_cast<tv::ObjectType>(objectType));
  flush->add_vdbs(vdb);
  return request;
}

namespace {

void PutBytes(uint32_t objectType, std::string bytes, uint16_t vdb, tv::ModifyRequestMsg* request) {
  request->Clear();
  tv::PutMsg* put = request->mutable_modify()->mutable_put();
  put->mutable_object()->set_object_type(static_cast<tv::ObjectType>(objectType));
  put->mutable_object()->set_object_body(std::move(bytes));
  put->set_vdb(vdb);
}

// The object `body` of the type with id `objectId` when it carries none (the cache keys the object by its id; a
// value stored without it is still that object); null when the type is unknown, the body does not parse or the id
// does not fit the type. `hadId` tells whether the body carried its own id.
std::unique_ptr<pb::Message> ObjectWithId(uint32_t objectType, const std::string& objectId, const std::string& body,
                                          bool* hadId) {
  auto object = qor::tolvar::NewObject(objectType);
  if (!object || !object->ParseFromString(body)) return nullptr;
  std::string id;
  *hadId = qor::tolvar::ObjectIdBytes(*object, &id) && !id.empty();
  if (!*hadId && !qor::tolvar::SetObjectId(object.get(), objectId)) return nullptr;
  return object;
}

}  // namespace

bool Put(uint32_t objectType, const std::string& objectId, const std::string& body, uint16_t vdb,
         tv::ModifyRequestMsg* request) {
  bool hadId = false;
  auto object = ObjectWithId(objectType, objectId, body, &hadId);
  if (!object) return false;
  PutBytes(objectType, hadId ? body : object->SerializeAsString(), vdb, request);
  return true;
}

bool MergedPut(uint32_t objectType, const std::string& objectId, const std::string& objectValue,
               const std::vector<StateCacheRuntimeRecord>& records, bool elements, uint16_t vdb,
               tv::ModifyRequestMsg* request) {
  bool hadId = false;
  auto object = ObjectWithId(objectType, objectId, objectValue, &hadId);
  if (!object) return false;
  const pb::Descriptor* descriptor = object->GetDescriptor();
  const pb::Reflection* reflection = object->GetReflection();
  if (elements) {
    // The elements are appended to the object's bytes as they are cached: a repeated field may come in any order
    // and in pieces, so this is the object with those elements, without parsing each one.
    for (const pb::FieldDescriptor* list : qor::tolvar::ListProperties(descriptor)) {
      reflection->ClearField(object.get(), list);
    }
    std::string bytes = object->SerializeAsString();
    {
      pb::io::StringOutputStream stream(&bytes);  // appends
      pb::io::CodedOutputStream out(&stream);
      for (const StateCacheRuntimeRecord& record : records) {
        if (record.propertyType == 0) continue;
        const pb::FieldDescriptor* field = qor::tolvar::PropertyField(descriptor, record.propertyType);
        if (!field || !field->is_repeated() || field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) continue;
        // Tag (field number, length-delimited wire type), length, the element's bytes.
        out.WriteVarint32(static_cast<uint32_t>(field->number()) << 3 | 2);
        out.WriteVarint32(static_cast<uint32_t>(record.value.size()));
        out.WriteString(record.value);
      }
    }
    PutBytes(objectType, std::move(bytes), vdb, request);
    return true;
  }
  std::unique_ptr<pb::Message> single(object->New());
  for (const StateCacheRuntimeRecord& record : records) {
    if (record.propertyType == 0) continue;
    const pb::FieldDescriptor* field = qor::tolvar::PropertyField(descriptor, record.propertyType);
    if (!field) continue;
    single->Clear();
    if (!single->ParseFromString(record.value)) continue;
    reflection->ClearField(object.get(), field);
    reflection->SwapFields(object.get(), single.get(), {field});
  }
  PutBytes(objectType, object->SerializeAsString(), vdb, request);
  return true;
}

tv::ModifyRequestMsg Patch(uint32_t objectType, const std::string& objectId, uint32_t propertyType, tv::Operation op,
                           const std::string& value, uint16_t vdb) {
  tv::ModifyRequestMsg request;
  tv::PatchMsg* patch = request.mutable_modify()->mutable_patch();
  patch->set_object_type(static_cast<tv::ObjectType>(objectType));
  patch->set_object_id(objectId);
  patch->set_property_type(propertyType);
  patch->set_op(op);
  if (op != tv::CLEAR) patch->set_value(value);
  patch->set_vdb(vdb);
  return request;
}

tv::ModifyRequestMsg Delete(uint32_t objectType, const std::string& objectId, uint16_t vdb) {
  tv::ModifyRequestMsg request;
  tv::DeleteMsg* del = request.mutable_modify()->mutable_delete_();
  del->mutable_object()->set_object_type(static_cast<tv::ObjectType>(objectType));
  del->mutable_object()->set_object_id(objectId);
  del->set_vdb(vdb);
  return request;
}

void SetVdb(tv::ModifyRequestMsg* request, uint16_t vdb) {
  tv::ModifyMsg* modify = request->mutable_modify();
  switch (modify->modify_case()) {
    case tv::ModifyMsg::kPut:
      modify->mutable_put()->set_vdb(vdb);
      break;
    case tv::ModifyMsg::kPatch:
      modify->mutable_patch()->set_vdb(vdb);
      break;
    case tv::ModifyMsg::kDelete:
      modify->mutable_delete_()->set_vdb(vdb);
      break;
    case tv::ModifyMsg::kFlush:
      modify->mutable_flush()->clear_vdbs();
      modify->mutable_flush()->add_vdbs(vdb);
      break;
    default:
      break;
  }
}

void Target(const tv::ModifyRequestMsg& request, uint32_t* objectType, uint16_t* vdb) {
  const tv::ModifyMsg& modify = request.modify();
  *objectType = 0;
  *vdb = 0;
  switch (modify.modify_case()) {
    case tv::ModifyMsg::kPut:
      *objectType = static_cast<uint32_t>(modify.put().object().object_type());
      *vdb = static_cast<uint16_t>(modify.put().vdb());
      break;
    case tv::ModifyMsg::kPatch:
      *objectType = static_cast<uint32_t>(modify.patch().object_type());
      *vdb = static_cast<uint16_t>(modify.patch().vdb());
      break;
    case tv::ModifyMsg::kDelete:
      *objectType = static_cast<uint32_t>(modify.delete_().object().object_type());
      *vdb = static_cast<uint16_t>(modify.delete_().vdb());
      break;
    case tv::ModifyMsg::kFlush:
      *objectType = static_cast<uint32_t>(modify.flush().object_type());
      if (modify.flush().vdbs_size() > 0) *vdb = static_cast<uint16_t>(modify.flush().vdbs(0));
      break;
    default:
      break;
  }
}

const char* ElementName(uint32_t propertyType) {
  switch (propertyType) {
    case tv::Property::L2_VM_IP:
      return "L2_VM_IP";
    case tv::Property::L2_VM_MAC:
      return "L2_VM_MAC";
    case tv::Property::L2_VTEP:
      return "L2_VTEP";
    default:
      return nullptr;
  }
}

}  // namespace VevUroro::runtime_requests
