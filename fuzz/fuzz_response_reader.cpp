// Arbitrary bytes into the response reader. It must never crash or leak,
// must null its output when it refuses, and whatever it accepts must write
// back and read back to the same list (or to no list).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivrel.h"
#include "same_list.h"

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
