/* A robot service program written elsewhere, in miniature. */
#include <kivrel.h>

int main(void) {
  kivrel_registry *registry = kivrel_registry_create();
  kivrel_registry_elmt *e;
  int ok;
  if (registry == NULL) return 1;
  if (kivrel_introspection_register(registry) != 0) return 2;
  ok = kivrel_registry_get_method(registry, "KIVREL_METHOD_HELP") != NULL;
  for (e = kivrel_registry_get_head(registry); e != NULL;) {
    kivrel_registry_elmt *next = kivrel_registry_elmt_get_next(e);
    kivrel_method *m = kivrel_registry_elmt_get_method(e);
    kivrel_method_set_name(m, NULL);
    kivrel_method_set_sign_datalist_arg(m, NULL);
    kivrel_method_set_sign_datalist_ret(m, NULL);
    kivrel_method_set_help(m, NULL);
    kivrel_method_free(m);
    kivrel_registry_elmt_free(e);
    e = next;
  }
  kivrel_registry_free(registry);
  return ok ? 0 : 3;
}
