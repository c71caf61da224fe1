// One decoded database change as a component receives it from the dispatcher: a plain value, copied freely.
#pragma once

#include <cstdint>
#include <string>

namespace VevUroro {

struct TolvarUpdateMsg {
  // Entry operations.
  static constexpr int32_t OP_SET = 1;
  static constexpr int32_t OP_CLEAR = 2;
  static constexpr int32_t OP_INSERT = 3;  // INSERT or APPEND of a list element
  static constexpr int32_t OP_REMOVE = 4;  // REMOVE of a list element

  int32_t objectType = 0;      // ObjectType value
  std::string objectId;        // serialized UuidMsg of the object
  int32_t propertyType = 0;    // PropertyType value; 0 for a whole-object change
  std::string value;           // serialized body, single-property object or list element
  int32_t operation = 0;       // OP_SET .. OP_REMOVE
  std::string spanContext;     // serialized SpanContextMsg; empty when the update carried none
  std::string decoderContext;  // carried unchanged from the decoder to the component
};

}  // namespace VevUroro
