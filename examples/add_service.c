/*
 * add_service.c - a whole kivrel service in C: one method, "Add", taking
 * two integers and returning their sum, plus the three introspection
 * methods, served by libkivrel-host on 127.0.0.1 until SIGINT or SIGTERM.
 *
 *   add_service [PORT]      PORT 0 (the default): a free port of the
 *                           system's choosing
 *
 * Prints "add_service: listening on 127.0.0.1:PORT" (the real port) once
 * clients can call, and "add_service: stopped after N calls" at the end;
 * or, on standard error, why it cannot listen and what to do, and exits 1.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivrel_host.h"

/* "[{i}{i}]" -> "[{i}]". The arguments stay the library's; the list stored
 * at *ret becomes the library's too, which sends and releases it. The
 * host runs methods on several threads at once: this one keeps no state. */
static int add(const kivrel_datalist *args, kivrel_datalist **ret) {
  int32_t a = 0;
  int32_t b = 0;
  if (kivrel_decompose_root_datalist(args, "[{i}{i}]", &a, &b) != 0)
    return -1; /* a wrongly shaped call is answered with no result */
  /* Wraps around like the 32-bit sum on the wire instead of overflowing. */
  *ret = kivrel_build_root_datalist("[{i}]", (int32_t)((uint32_t)a + (uint32_t)b));
  return 0;
}

int main(int argc, char **argv) {
  const int32_t port = argc > 1 ? (int32_t)atoi(argv[1]) : 0;
  kivrel_registry *registry = kivrel_registry_create();
  kivrel_method *method;
  kivrel_host *host;
  kivrel_host_stats stats;
  sigset_t stop_signals;
  int signal_number = 0;

  /* 1. The registry: our method (with its signatures and help, which the
   *    introspection methods report) and the introspection methods. */
  method =
      kivrel_method_create("Add", add, "[{i}{i}]", "[{i}]", "Returns the sum of two integers.");
  if (registry == NULL || method == NULL || kivrel_registry_add_method(registry, method) != 0 ||
      kivrel_introspection_register(registry) != 0) {
    fputs("add_service: out of memory\n", stderr);
    return 1;
  }

  /* 2. The signals that end the program are taken by sigwait() below; block
   *    them before the host makes its threads, which inherit the mask. A
   *    client that leaves early must not kill us with SIGPIPE either. */
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, NULL);
  signal(SIGPIPE, SIG_IGN);

  /* 3. The host: loopback only; defaults for workers, limits and time-outs.
   *    A failed start leaves its reason in errno. */
  host = kivrel_host_create(registry, "127.0.0.1", port);
  if (host == NULL || kivrel_host_start(host) != 0) {
    const int error = errno; /* kivrel_host_create() sets it too */
    fprintf(stderr, "add_service: cannot listen on 127.0.0.1:%d: %s%s\n", (int)port,
            strerror(error),
            error == EADDRINUSE ? " (is another service running? try another port)"
            : error == EACCES   ? " (ports below 1024 need privileges; try another port)"
            : error == EINVAL   ? " (ports are 0 to 65535; 0 takes a free one)"
                                : "");
    kivrel_host_destroy(host);
    kivrel_registry_destroy(registry, 1);
    return 1;
  }
  printf("add_service: listening on 127.0.0.1:%d\n", (int)kivrel_host_port(host));
  fflush(stdout);

  /* 4. Serve until told to stop; then stop cleanly: calls in progress
   *    finish, every connection and thread is gone when stop returns. */
  sigwait(&stop_signals, &signal_number);
  kivrel_host_stop(host);
  kivrel_host_get_stats(host, &stats);
  printf("add_service: stopped after %llu calls\n", (unsigned long long)stats.calls_answered);

  /* 5. Release the host first (it uses the registry), then the registry
   *    with every method it holds. */
  kivrel_host_destroy(host);
  kivrel_registry_destroy(registry, 1);
  return 0;
}
