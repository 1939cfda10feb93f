/* Compiled as strict C99: proves the public header is C and the library
 * links from C. Exits 0 when a round trip through the library works. */
#include <stdio.h>
#include <string.h>

#include "kivrel.h"

int main(void) {
  kivrel_datalist *list = kivrel_build_root_datalist("[{i}{s}]", (int32_t)-7, "c99");
  int32_t i = 0;
  char s[8];
  struct kivrel_service *service;
  if (list == NULL) return 1;
  if (kivrel_decompose_root_datalist(list, "[{i}{s}]", &i, s) != 0) return 2;
  kivrel_datalist_destroy(list);
  if (i != -7 || strcmp(s, "c99") != 0) return 3;
  service = kivrel_service_create(NULL);
  if (service == NULL) return 4;
  kivrel_service_free(service);
  puts("c99 consumer ok");
  return 0;
}
