#include "intake/RuntimeRequests.h"

#include "platform/tolvar/TolvarSchema.h"

namespace VevUroro::runtime_requests {

namespace tv = zantix::qor::tolvar;

tv::ModifyRequestMsg Flush(uint32_t objectType, uint16_t vdb) {
  tv::ModifyRequestMsg request;
  tv::FlushMsg* flush = request.mutable_modify()->mutable_flush();
  flush->set_object_type(static_cast<tv::ObjectType>(objectType));
  flush->add_vdbs(vdb);
  return request;
}

bool Put(uint32_t objectType, const std::string& objectId, const std::string& body, uint16_t vdb,
         tv::ModifyRequestMsg* request) {
  std::string bytes = body;
  if (bytes.empty()) {
    auto object = qor::tolvar::NewObject(objectType);
    if (!object || !qor::tolvar::SetObjectId(object.get(), objectId)) return false;
    bytes = object->SerializeAsString();
  }
  request->Clear();
  tv::PutMsg* put = request->mutable_modify()->mutable_put();
  put->mutable_object()->set_object_type(static_cast<tv::ObjectType>(objectType));
  put->mutable_object()->set_object_body(std::move(bytes));
  put->set_vdb(vdb);
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
