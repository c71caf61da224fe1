#include "intake/TypeNames.h"

#include <google/protobuf/descriptor.h>

#include "core/ComponentType.h"
#include "zantix/qor/tolvar/common.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {
namespace {

namespace tv = zantix::qor::tolvar;

std::string EnumName(const google::protobuf::EnumDescriptor* descriptor, uint32_t value, const char* printer) {
  if (value <= static_cast<uint32_t>(INT32_MAX)) {
    const google::protobuf::EnumValueDescriptor* named = descriptor->FindValueByNumber(static_cast<int>(value));
    if (named) return named->name();
  }
  return std::string("UNKNOWN (Put more into ") + printer + ")";
}

}  // namespace

std::string ObjTypeToString(uint32_t objectType) {
  return EnumName(tv::ObjectType_descriptor(), objectType, "ObjTypeToString");
}

std::string PropertyTypeToString(uint32_t propertyType) {
  return EnumName(tv::Property::PropertyType_descriptor(), propertyType, "PropertyTypeToString");
}

std::string PBOpTypeToString(uint32_t operation) {
  return EnumName(tv::Operation_descriptor(), operation, "PBOpTypeToString");
}

std::string CompTypeToString(int32_t componentType) {
  switch (componentType) {
    case CONFIGCACHE:
      return "CONFIGCACHE";
    case L2CACHE:
      return "L2CACHE";
    case L3CACHE:
      return "L3CACHE";
    case DFW:
      return "DFW";
    case CONFIGAPP:
      return "CONFIGAPP";
    case L2APP:
      return "L2APP";
    case SIAPP:
      return "SIAPP";
    case LB:
      return "LB";
    case IDS:
      return "IDS";
    case PP:
      return "PP";
    case BFD:
      return "BFD";
    default:
      return "UNKNOWN (Put more into CompTypeToString)";
  }
}

}  // namespace VevUroro
