/* The same program served by libkivrel-host on a loopback port of the
 * system's choosing. */
#include <kivrel_host.h>

int main(void) {
  kivrel_registry *registry = kivrel_registry_create();
  kivrel_host *host;
  int ok;
  if (registry == NULL || kivrel_introspection_register(registry) != 0) return 1;
  host = kivrel_host_create(registry, "127.0.0.1", 0);
  if (host == NULL) return 2;
  ok = kivrel_host_start(host) == 0 && kivrel_host_port(host) > 0;
  kivrel_host_destroy(host);
  kivrel_registry_destroy(registry, 1);
  return ok ? 0 : 3;
}
