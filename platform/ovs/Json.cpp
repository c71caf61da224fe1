#include "platform/ovs/Json.h"

#include "platform/ovs/json_shim.h"

namespace qor::ovs {

Json Json::Object() {
  return Json(qor_json_object_create(), true, false);
}

Json Json::Array() {
  return Json(qor_json_array_create(), false, true);
}

Json Json::String(std::string_view text) {
  return Json(qor_json_string_create(text.data(), text.size()), false, false);
}

Json Json::Integer(int64_t value) {
  return Json(qor_json_integer_create(value), false, false);
}

Json Json::Boolean(bool value) {
  return Json(qor_json_boolean_create(value), false, false);
}

Json& Json::operator=(Json&& other) noexcept {
  if (this != &other) {
    if (_value) qor_json_destroy(_value);
    _value = other._value;
    _object = other._object;
    _array = other._array;
    other._value = nullptr;
  }
  return *this;
}

Json::~Json() {
  if (_value) qor_json_destroy(_value);
}

Json& Json::Put(const std::string& name, Json value) {
  if (_value && _object && value._value) {
    qor_json_object_put(_value, name.c_str(), value._value);
    value._value = nullptr;
  }
  return *this;
}

Json& Json::Add(Json element) {
  if (_value && _array && element._value) {
    qor_json_array_add(_value, element._value);
    element._value = nullptr;
  }
  return *this;
}

size_t Json::Size() const {
  return _value ? qor_json_size(_value) : 0;
}

std::string Json::Text(bool pretty) const {
  if (!_value) return "null";
  char* text = qor_json_to_text(_value, pretty);
  std::string out(text);
  qor_json_free_text(text);
  return out;
}

}  // namespace qor::ovs
