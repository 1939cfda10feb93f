/* c_echo_service: a small service built on libkivrel's server half, for
 * tests of other implementations of the wire protocol. It listens on
 * 127.0.0.1 at an ephemeral port, prints "port N" on standard output, and
 * serves every connection on a thread of its own until it is terminated.
 *
 *   Add    [{i}{i}] -> [{i}]   the sum (wrapping as 32-bit)
 *   Echo   ? -> ?              the argument list, copied
 *   Quiet  none -> none        answers with no result
 * plus the three introspection methods.
 */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivrel.h"

static struct kivrel_service *g_service;

static kivrel_datalist *copy_list(const kivrel_datalist *list);

static kivrel_data *copy_value(const kivrel_data *value) {
  const char *type = kivrel_data_get_datatype(value);
  kivrel_data *copy = kivrel_data_create();
  if (copy == NULL || type == NULL) return copy;
  if (strcmp(type, "int") == 0) {
    kivrel_data_int_link(copy,
                         kivrel_data_int_create(kivrel_data_int_get(kivrel_data_get_data(value))));
  } else if (strcmp(type, "string") == 0) {
    kivrel_data_string_link(copy, kivrel_data_string_create(
                                      kivrel_data_string_get_string(kivrel_data_get_data(value))));
  } else if (strcmp(type, "datalist") == 0) {
    kivrel_data_datalist_link(copy, copy_list(kivrel_data_get_data(value)));
  }
  return copy;
}

static kivrel_datalist *copy_list(const kivrel_datalist *list) {
  kivrel_datalist *copy = kivrel_datalist_create();
  if (copy == NULL) return NULL;
  for (const kivrel_data *v = kivrel_datalist_get_head(list); v != NULL;
       v = kivrel_data_get_next(v))
    kivrel_datalist_ins_next(copy, kivrel_datalist_get_tail(copy), copy_value(v));
  return copy;
}

static int add(const kivrel_datalist *args, kivrel_datalist **ret) {
  int32_t a = 0, b = 0;
  if (args == NULL || kivrel_datalist_get_size(args) != 2 ||
      kivrel_decompose_root_datalist(args, "[{i}{i}]", &a, &b) != 0)
    return 1;
  *ret = kivrel_build_root_datalist("[{i}]", (int32_t)((uint32_t)a + (uint32_t)b));
  return 0;
}

static int echo(const kivrel_datalist *args, kivrel_datalist **ret) {
  if (args != NULL) *ret = copy_list(args);
  return 0;
}

static int quiet(const kivrel_datalist *args, kivrel_datalist **ret) {
  (void)args;
  (void)ret;
  return 0;
}

static void *serve_connection(void *arg) {
  kivrel_tcp_server *connection = arg;
  while (kivrel_service(connection, g_service) == 0) {
  }
  kivrel_tcp_server_destroy(connection);
  return NULL;
}

int main(void) {
  kivrel_initialize();
  kivrel_registry *registry = kivrel_registry_create();
  kivrel_registry_add_method(
      registry, kivrel_method_create("Add", add, "[{i}{i}]", "[{i}]", "Adds two integers."));
  kivrel_registry_add_method(
      registry, kivrel_method_create("Echo", echo, "?", "?", "Returns its arguments."));
  kivrel_registry_add_method(registry,
                             kivrel_method_create("Quiet", quiet, NULL, NULL, "Returns nothing."));
  kivrel_introspection_register(registry);
  g_service = kivrel_service_create(registry);

  /* Loopback only, a port the system picks. */
  kivrel_tcp_server *server = kivrel_tcp_server_create_at("127.0.0.1", 0);
  if (server == NULL) {
    fputs("c_echo_service: cannot listen on 127.0.0.1\n", stderr);
    return 1;
  }
  printf("port %d\n", (int)kivrel_tcp_server_get_bound_port(server));
  fflush(stdout);

  for (;;) {
    kivrel_tcp_server *connection = kivrel_tcp_server_accept(server);
    if (connection == NULL) continue;
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attr, serve_connection, connection) != 0)
      kivrel_tcp_server_destroy(connection);
    pthread_attr_destroy(&attr);
  }
}
