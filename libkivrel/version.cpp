// The library's version, fixed when it is built from the header's macros.
#include "kivrel.h"

#define KIVREL_TEXT_OF(x) #x
#define KIVREL_TEXT(x) KIVREL_TEXT_OF(x)

extern "C" {

const char *kivrel_version(void) noexcept {
  return KIVREL_TEXT(KIVREL_VERSION_MAJOR) "." KIVREL_TEXT(KIVREL_VERSION_MINOR) "." KIVREL_TEXT(
      KIVREL_VERSION_PATCH);
}

} // extern "C"
