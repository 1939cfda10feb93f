// Arbitrary bytes into the call reader. It must never crash or leak, must
// null its outputs when it refuses, and whatever it accepts must write back
// and read back to the same name and list.
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
  char *name = nullptr;
  kivrel_datalist *args = nullptr;
  if (kivrel_xml_deserialize_method_call(&name, &args, text.c_str()) != 0) {
    if (name != nullptr || args != nullptr) std::abort();
    return 0;
  }
  if (name == nullptr) std::abort();

  // The writer takes the name as markup, so a name holding '&' is written
  // as something else; every other name must survive.
  char *doc = nullptr;
  int len = 0;
  if (std::strchr(name, '&') == nullptr &&
      kivrel_xml_serialize_method_call(name, args, &doc, &len) == 0) {
    char *name2 = nullptr;
    kivrel_datalist *args2 = nullptr;
    if (kivrel_xml_deserialize_method_call(&name2, &args2, doc) != 0) std::abort();
    if (std::strcmp(name, name2) != 0 || !same_list(args, args2)) std::abort();
    kivrel_mem_free(name2);
    kivrel_datalist_destroy(args2);
    kivrel_xml_free(doc);
  }
  kivrel_mem_free(name);
  kivrel_datalist_destroy(args);
  return 0;
}
