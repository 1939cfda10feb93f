/*
 * add_client.c - calls "Add" on add_service (see add_service.c) once.
 *
 *   add_client PORT A B
 *
 * Prints "A + B = SUM" and exits 0, or a line saying what failed and
 * exits 1: "add_client: cannot connect to 127.0.0.1:PORT: REASON" when no
 * service takes the connection, "add_client: call failed" when no answer
 * came (a deadline passed, a foreign answer), "add_client: no result" when
 * the service answered without one (it has no "Add", or did not like the
 * call).
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivrel.h"

int main(int argc, char **argv) {
  kivrel_tcp_client *client;
  kivrel_datalist *args;
  kivrel_datalist *result = NULL;
  int32_t a, b, sum = 0;
  int status;

  if (argc != 4) {
    fputs("usage: add_client PORT A B\n", stderr);
    return 2;
  }
  a = (int32_t)atoi(argv[2]);
  b = (int32_t)atoi(argv[3]);

  /* 1. A client for the service's address, connected. Its deadline (one
   *    second until set) bounds the connect and each message. */
  client = kivrel_tcp_client_create("127.0.0.1", (int32_t)atoi(argv[1]));
  errno = 0;
  if (client == NULL || kivrel_tcp_client_set_timeout_ms(client, 5000) != 0 ||
      kivrel_tcp_client_connect(client) != 0) {
    /* errno holds the failed system call's reason. */
    fprintf(stderr, "add_client: cannot connect to 127.0.0.1:%s: %s%s\n", argv[1],
            errno != 0 ? strerror(errno) : "no socket",
            errno == ECONNREFUSED ? " (is add_service running on that port?)" : "");
    kivrel_tcp_client_destroy(client);
    return 1;
  }

  /* 2. The arguments, as a signature and the values in its order. */
  args = kivrel_build_root_datalist("[{i}{i}]", a, b);

  /* 3. The call: 0 when an answer came (result NULL when it carried none),
   *    -1 when it failed. The arguments stay ours; the result becomes ours. */
  status = kivrel_request_method_call_status(client, "Add", args, &result);
  kivrel_datalist_destroy(args);
  kivrel_tcp_client_destroy(client);

  if (status != 0) {
    fputs("add_client: call failed\n", stderr);
    return 1;
  }
  if (result == NULL || kivrel_decompose_root_datalist(result, "[{i}]", &sum) != 0) {
    fputs("add_client: no result\n", stderr);
    kivrel_datalist_destroy(result);
    return 1;
  }
  kivrel_datalist_destroy(result);
  printf("%d + %d = %d\n", (int)a, (int)b, (int)sum);
  return 0;
}
