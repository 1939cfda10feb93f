// Typed values and their payloads: integers, byte blocks and strings (a
// string is a byte block holding the text and its NUL).
#include <cstdlib>
#include <cstring>

#include "internal.h"

using kivrel::alloc_record;
using kivrel::dup_text;

namespace {

constexpr char kTypeInt[] = "int";
constexpr char kTypeString[] = "string";
constexpr char kTypeMemblk[] = "memblock_int8";
constexpr char kTypeDatalist[] = "datalist";

// Shared by the four links: fails (-1, value unchanged) only when the type
// name cannot be copied.
int link(kivrel_data *value, const char *type, int32_t size, void *payload) noexcept {
  char *copy = dup_text(type);
  if (copy == nullptr) return -1;
  std::free(value->datatype);
  value->datatype = copy;
  value->size = size;
  value->data = payload;
  return 0;
}

} // namespace

extern "C" {

void kivrel_mem_free(void *block) noexcept { std::free(block); }

// ---- integer payload

kivrel_data_int *kivrel_data_int_new(void) noexcept { return alloc_record<kivrel_data_int>(); }
void kivrel_data_int_free(kivrel_data_int *payload) noexcept { std::free(payload); }
kivrel_data_int *kivrel_data_int_create(int32_t value) noexcept {
  kivrel_data_int *p = kivrel_data_int_new();
  if (p != nullptr) *p = value;
  return p;
}
void kivrel_data_int_destroy(kivrel_data_int *payload) noexcept { kivrel_data_int_free(payload); }
int kivrel_data_int_set(kivrel_data_int *payload, int32_t value) noexcept {
  *payload = value;
  return 0;
}
int32_t kivrel_data_int_get(const kivrel_data_int *payload) noexcept { return *payload; }

// ---- byte-block payload

kivrel_data_memblk_int8 *kivrel_data_memblk_int8_new(void) noexcept {
  return alloc_record<kivrel_data_memblk_int8>();
}
void kivrel_data_memblk_int8_free(kivrel_data_memblk_int8 *payload) noexcept { std::free(payload); }
kivrel_data_memblk_int8 *kivrel_data_memblk_int8_create(uint32_t size) noexcept {
  kivrel_data_memblk_int8 *p = kivrel_data_memblk_int8_new();
  if (p == nullptr) return nullptr;
  // malloc(0) may return null legitimately; ask for one byte at least.
  p->memblk = static_cast<int8_t *>(kivrel::mem_malloc(size > 0 ? size : 1));
  if (p->memblk == nullptr) {
    std::free(p);
    return nullptr;
  }
  p->size = size;
  return p;
}
void kivrel_data_memblk_int8_destroy(kivrel_data_memblk_int8 *payload) noexcept {
  if (payload == nullptr) return;
  std::free(payload->memblk);
  std::free(payload);
}
int kivrel_data_memblk_int8_set_size(kivrel_data_memblk_int8 *payload, uint32_t size) noexcept {
  payload->size = size;
  return 0;
}
int kivrel_data_memblk_int8_set_memblk(kivrel_data_memblk_int8 *payload, int8_t *memblk) noexcept {
  payload->memblk = memblk;
  return 0;
}
uint32_t kivrel_data_memblk_int8_get_size(const kivrel_data_memblk_int8 *payload) noexcept {
  return payload->size;
}
int8_t *kivrel_data_memblk_int8_get_memblk(const kivrel_data_memblk_int8 *payload) noexcept {
  return payload->memblk;
}
int kivrel_data_memblk_int8_memcpy(kivrel_data_memblk_int8 *payload, const void *src,
                                   uint32_t len) noexcept {
  if (len > payload->size) return -1;
  if (len > 0) std::memcpy(payload->memblk, src, len);
  return 0;
}
int kivrel_data_memblk_int8_memset(kivrel_data_memblk_int8 *payload, int byte,
                                   uint32_t len) noexcept {
  if (len > payload->size) return -1;
  if (len > 0) std::memset(payload->memblk, byte & 0xff, len);
  return 0;
}

// ---- string payload

kivrel_data_string *kivrel_data_string_new(void) noexcept { return kivrel_data_memblk_int8_new(); }
void kivrel_data_string_free(kivrel_data_string *payload) noexcept {
  kivrel_data_memblk_int8_free(payload);
}
kivrel_data_string *kivrel_data_string_create(const char *text) noexcept {
  size_t n = std::strlen(text);
  if (n >= UINT32_MAX) return nullptr; // the size field could not count it
  kivrel_data_string *p = kivrel_data_memblk_int8_create(static_cast<uint32_t>(n + 1));
  if (p == nullptr) return nullptr;
  kivrel_data_memblk_int8_memset(p, 0, static_cast<uint32_t>(n + 1));
  kivrel_data_memblk_int8_memcpy(p, text, static_cast<uint32_t>(n));
  return p;
}
void kivrel_data_string_destroy(kivrel_data_string *payload) noexcept {
  kivrel_data_memblk_int8_destroy(payload);
}
char *kivrel_data_string_get_string(const kivrel_data_string *payload) noexcept {
  return reinterpret_cast<char *>(payload->memblk);
}
uint32_t kivrel_data_string_strlen(const kivrel_data_string *payload) noexcept {
  return payload->size - 1;
}

// ---- values

kivrel_data *kivrel_data_new(void) noexcept {
  kivrel_data *v = static_cast<kivrel_data *>(kivrel::mem_malloc(sizeof(kivrel_data)));
  if (v != nullptr) v->datatype = nullptr;
  return v;
}
void kivrel_data_free(kivrel_data *value) noexcept { std::free(value); }
kivrel_data *kivrel_data_create(void) noexcept { return alloc_record<kivrel_data>(); }

void kivrel_data_destroy(kivrel_data *value) noexcept {
  if (value == nullptr) return;
  const char *type = value->datatype;
  if (type != nullptr) {
    if (std::strcmp(type, kTypeDatalist) == 0)
      kivrel_datalist_destroy(static_cast<kivrel_datalist *>(value->data));
    else if (std::strcmp(type, kTypeInt) == 0)
      kivrel_data_int_destroy(static_cast<kivrel_data_int *>(value->data));
    else if (std::strcmp(type, kTypeMemblk) == 0)
      kivrel_data_memblk_int8_destroy(static_cast<kivrel_data_memblk_int8 *>(value->data));
    else if (std::strcmp(type, kTypeString) == 0)
      kivrel_data_string_destroy(static_cast<kivrel_data_string *>(value->data));
  }
  std::free(value->datatype);
  std::free(value);
}

int kivrel_data_set_datatype(kivrel_data *value, const char *datatype) noexcept {
  // Copy first: a failed copy must leave the old name, or the payload could
  // no longer be released by type.
  char *copy = dup_text(datatype);
  if (datatype != nullptr && copy == nullptr) return -1;
  std::free(value->datatype);
  value->datatype = copy;
  return 0;
}
int kivrel_data_set_size(kivrel_data *value, int32_t size) noexcept {
  value->size = size;
  return 0;
}
int kivrel_data_set_data(kivrel_data *value, void *data) noexcept {
  value->data = data;
  return 0;
}
int kivrel_data_set_next(kivrel_data *value, kivrel_data *next) noexcept {
  value->next = next;
  return 0;
}
char *kivrel_data_get_datatype(const kivrel_data *value) noexcept { return value->datatype; }
int32_t kivrel_data_get_size(const kivrel_data *value) noexcept { return value->size; }
void *kivrel_data_get_data(const kivrel_data *value) noexcept { return value->data; }
kivrel_data *kivrel_data_get_next(const kivrel_data *value) noexcept { return value->next; }

int kivrel_data_int_link(kivrel_data *value, kivrel_data_int *payload) noexcept {
  return link(value, kTypeInt, 4, payload);
}
int kivrel_data_string_link(kivrel_data *value, kivrel_data_string *payload) noexcept {
  return link(value, kTypeString, 0, payload);
}
int kivrel_data_memblk_int8_link(kivrel_data *value, kivrel_data_memblk_int8 *payload) noexcept {
  return link(value, kTypeMemblk, 0, payload);
}
int kivrel_data_datalist_link(kivrel_data *value, kivrel_datalist *payload) noexcept {
  return link(value, kTypeDatalist, 0, payload);
}

} // extern "C"
