// qor::ovs::Json: a JSON value of the Open vSwitch library (objects, arrays, strings, integers, booleans), built
// from C++ and written as text — the structured replies of the operator command sockets.
//
// A Json owns its value; Put and Add take the member or element over (the argument is left empty). Text() writes
// object members in name order, so equal values give equal texts. One thread at a time per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct qor_json;

namespace qor::ovs {

class Json {
 public:
  static Json Object();
  static Json Array();
  static Json String(std::string_view text);
  static Json Integer(int64_t value);
  static Json Boolean(bool value);

  Json(Json&& other) noexcept : _value(other._value) { other._value = nullptr; }
  Json& operator=(Json&& other) noexcept;
  ~Json();
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;

  // On an object: sets member `name` (replacing one of the same name). On an array: appends. Both return *this,
  // so that members can be chained; called on an empty (moved-from) value or on the wrong kind they do nothing.
  Json& Put(const std::string& name, Json value);
  Json& Put(const std::string& name, std::string_view text) { return Put(name, String(text)); }
  Json& Put(const std::string& name, const char* text) { return Put(name, String(text)); }
  Json& Put(const std::string& name, int64_t value) { return Put(name, Integer(value)); }
  Json& Add(Json element);

  // Members of an object, elements of an array; 0 otherwise.
  size_t Size() const;
  // The JSON text; `pretty` indents over several lines. "null" for an empty (moved-from) value.
  std::string Text(bool pretty = true) const;

 private:
  explicit Json(qor_json* value, bool object, bool array) : _value(value), _object(object), _array(array) {}

  qor_json* _value = nullptr;
  bool _object = false;
  bool _array = false;
};

}  // namespace qor::ovs
