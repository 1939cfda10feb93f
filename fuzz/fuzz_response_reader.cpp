// Arbitrary bytes into the response reader. It must never crash or leak,
// must null its output when it refuses, and whatever it accepts must write
// back and read back to the same list (or to no list).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivrel.h"

namespace {

// Same shape and contents, value by value.
bool same_list(const kivrel_datalist *a, const kivrel_datalist *b);

bool same_value(const kivrel_data *a, const kivrel_data *b) {
  if (a->datatype == nullptr || b->datatype == nullptr) return a->datatype == b->datatype;
  if (std::strcmp(a->datatype, b->datatype) != 0) return false;
  if (std::strcmp(a->datatype, "int") == 0)
    return *static_cast<const kivrel_data_int *>(a->data) ==
           *static_cast<const kivrel_data_int *>(b->data);
  if (std::strcmp(a->datatype, "string") == 0)
    return std::strcmp(kivrel_data_string_get_string(static_cast<kivrel_data_string *>(a->data)),
                       kivrel_data_string_get_string(static_cast<kivrel_data_string *>(b->data))) ==
           0;
  return same_list(static_cast<const kivrel_datalist *>(a->data),
                   static_cast<const kivrel_datalist *>(b->data));
}

bool same_list(const kivrel_datalist *a, const kivrel_datalist *b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->size != b->size) return false;
  for (const kivrel_data *x = a->head, *y = b->head; x != nullptr; x = x->next, y = y->next)
    if (!same_value(x, y)) return false;
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  kivrel_datalist *ret = nullptr;
  if (kivrel_xml_deserialize_method_response(&ret, text.c_str()) != 0) {
    if (ret != nullptr) std::abort();
    return 0;
  }
  // Lists the writer refuses (empty, or holding an untyped value) are
  // legitimately not written; everything written must read back the same.
  char *doc = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_response(ret, &doc, &len) == 0) {
    kivrel_datalist *ret2 = nullptr;
    if (kivrel_xml_deserialize_method_response(&ret2, doc) != 0) std::abort();
    if (!same_list(ret, ret2)) std::abort();
    kivrel_datalist_destroy(ret2);
    kivrel_xml_free(doc);
  }
  kivrel_datalist_destroy(ret);
  return 0;
}
