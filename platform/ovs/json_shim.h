/* C shim over the Open vSwitch library's JSON values, for the C++ class in Json.h.
 *
 * Only json_shim.c includes Open vSwitch headers. A value is owned by whoever created it until it is handed to
 * qor_json_object_put() or qor_json_array_add(), which take ownership. No shared state: any thread, one value per
 * thread at a time. */
#ifndef QOR_PLATFORM_OVS_JSON_SHIM_H
#define QOR_PLATFORM_OVS_JSON_SHIM_H 1

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct qor_json;

struct qor_json *qor_json_object_create(void);
struct qor_json *qor_json_array_create(void);
/* 'text' need not be NUL-terminated. */
struct qor_json *qor_json_string_create(const char *text, size_t length);
struct qor_json *qor_json_integer_create(long long int value);
struct qor_json *qor_json_boolean_create(bool value);

/* Takes ownership of 'value'; a member of the same name is replaced. */
void qor_json_object_put(struct qor_json *object, const char *name, struct qor_json *value);
/* Takes ownership of 'element'. */
void qor_json_array_add(struct qor_json *array, struct qor_json *element);
/* Members of an object or elements of an array; 0 for other values. */
size_t qor_json_size(const struct qor_json *);

/* The value as JSON text, malloc'd (free with qor_json_free_text()). Object members are written in name order, so
 * equal values give equal texts; 'pretty' indents over several lines. */
char *qor_json_to_text(const struct qor_json *, bool pretty);
void qor_json_free_text(char *text);

void qor_json_destroy(struct qor_json *);

#ifdef __cplusplus
}
#endif

#endif /* QOR_PLATFORM_OVS_JSON_SHIM_H */
