/* The process's calloc, passing every call to the C library's own, except
 * that a thread may ask for its next call to fail. libxml2 makes its
 * per-thread block with it, out of reach of xmlMemSetup(). */
#include <stddef.h>

extern void *__libc_calloc(size_t count, size_t size);

static __thread int fail_next;

void fault_fail_next_plain_calloc(void) { fail_next = 1; }

void *calloc(size_t count, size_t size) {
  if (fail_next) {
    fail_next = 0;
    return NULL;
  }
  return __libc_calloc(count, size);
}
