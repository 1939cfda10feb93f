// Arbitrary bytes into the call reader. It must never crash or leak, must
// null its outputs when it refuses, and whatever it accepts must write back
// and read back to the same name and list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivrel.h"
#include "same_list.h"

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
