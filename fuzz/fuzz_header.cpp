// Header lines from arbitrary bytes: reading never crashes or leaks, and a
// header it accepts writes back to a line that reads as the same header.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "kivrel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The reader sees at most one buffer's worth, terminated, as on the wire.
  if (size > 1023) size = 1023;
  std::string line(reinterpret_cast<const char *>(data), size);

  kivrel_header *header = nullptr;
  if (kivrel_header_deserialize(&header, line.c_str()) != 0) {
    if (header != nullptr) __builtin_trap();
    return 0;
  }
  const char *name = kivrel_header_get_name_ver(header);
  if (name == nullptr || name[0] == '\0' || std::strlen(name) > 255) __builtin_trap();
  if (std::strpbrk(name, ": \t\n\v\f\r") != nullptr) __builtin_trap();

  if (kivrel_header_get_bodylen(header) > 0) {
    char *text = nullptr;
    int32_t len = 0;
    if (kivrel_header_serialize(header, &text, &len) != 0) __builtin_trap();
    if (len < 3 || static_cast<size_t>(len) != std::strlen(text) || text[len - 1] != '\n')
      __builtin_trap();
    kivrel_header *again = nullptr;
    if (kivrel_header_deserialize(&again, text) != 0) __builtin_trap();
    if (std::strcmp(kivrel_header_get_name_ver(again), name) != 0 ||
        kivrel_header_get_bodylen(again) != kivrel_header_get_bodylen(header))
      __builtin_trap();
    kivrel_header_destroy(again);
    kivrel_mem_free(text);
  }
  kivrel_header_destroy(header);
  return 0;
}
