#include "platform/ovs/json_shim.h"

#include <config.h>
#include <stdlib.h>

#include "openvswitch/json.h"
#include "openvswitch/shash.h"
#include "util.h"

/* struct qor_json is struct json under another name: C++ never sees the library's layout. */
static struct json *J(const struct qor_json *value) {
  return (struct json *)value;
}

static struct qor_json *Q(struct json *value) {
  return (struct qor_json *)value;
}

struct qor_json *qor_json_object_create(void) {
  return Q(json_object_create());
}

struct qor_json *qor_json_array_create(void) {
  return Q(json_array_create_empty());
}

struct qor_json *qor_json_string_create(const char *text, size_t length) {
  return Q(json_string_create_nocopy(xmemdup0(text, length)));
}

struct qor_json *qor_json_integer_create(long long int value) {
  return Q(json_integer_create(value));
}

struct qor_json *qor_json_boolean_create(bool value) {
  return Q(json_boolean_create(value));
}

void qor_json_object_put(struct qor_json *object, const char *name, struct qor_json *value) {
  json_object_put(J(object), name, J(value));
}

void qor_json_array_add(struct qor_json *array, struct qor_json *element) {
  json_array_add(J(array), J(element));
}

size_t qor_json_size(const struct qor_json *value) {
  const struct json *json = J(value);
  if (json->type == JSON_OBJECT) {
    return shash_count(json->object);
  }
  if (json->type == JSON_ARRAY) {
    return json->array.n;
  }
  return 0;
}

char *qor_json_to_text(const struct qor_json *value, bool pretty) {
  return json_to_string(J(value), JSSF_SORT | (pretty ? JSSF_PRETTY : 0));
}

void qor_json_free_text(char *text) {
  free(text);
}

void qor_json_destroy(struct qor_json *value) {
  json_destroy(J(value));
}
