// Printers of the intake vocabulary: object types, property types, database operations and component ids.
// Names of object types, properties and operations come from the schema's enums, so they cannot drift from the
// numbers. Values a printer does not know print "UNKNOWN (Put more into <printer>)". Stateless, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace VevUroro {

std::string ObjTypeToString(uint32_t objectType);
std::string PropertyTypeToString(uint32_t propertyType);
std::string PBOpTypeToString(uint32_t operation);
std::string CompTypeToString(int32_t componentType);

}  // namespace VevUroro
