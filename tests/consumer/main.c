/* A robot service program written elsewhere, in miniature. */
#include <kivrel.h>

int main(void) {
  kivrel_registry *registry = kivrel_registry_create();
  int ok;
  if (registry == NULL) return 1;
  if (kivrel_introspection_register(registry) != 0) return 2;
  ok = kivrel_registry_get_method(registry, "KIVREL_METHOD_HELP") != NULL;
  kivrel_registry_destroy(registry, 1);
  return ok ? 0 : 3;
}
