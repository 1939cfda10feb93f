/*
 * event_loop_client.c - calls "Add" on add_service (see add_service.c) over
 * several connections at once from one poll() loop, never blocking: the
 * sockets are the program's own, the library only writes the call, cuts
 * the incoming bytes into messages (kivrel_reader_*) and reads the answer.
 * A program with an event loop of its own (Qt, libuv, epoll) works so.
 *
 *   event_loop_client PORT A B [A B ...]
 *
 * Each pair goes out on its own connection, all at the same time. Prints
 * "A + B = SUM" per pair in the order given and exits 0, or a line saying
 * what failed and exits 1. Gives up after five seconds.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "kivrel.h"

#define MAX_CALLS 16
#define DEADLINE_MS 5000

struct call {
  int fd;
  char *out; /* the whole call message: header line and document */
  size_t out_len;
  size_t sent;
  kivrel_reader *reader;
  int done; /* 1: answered, -1: failed */
  int32_t a, b, sum;
};

static long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

/* The call message for "Add" with a and b: the document behind its header. */
static int make_message(struct call *c) {
  kivrel_datalist *args = kivrel_build_root_datalist("[{i}{i}]", c->a, c->b);
  char *doc = NULL, *line = NULL;
  int doc_len = 0;
  int32_t line_len = 0;
  kivrel_header *header;
  int ok = args != NULL && kivrel_xml_serialize_method_call("Add", args, &doc, &doc_len) == 0;
  kivrel_datalist_destroy(args);
  if (!ok) return -1;
  header = kivrel_header_create(KIVREL_PROTOCOL, (int32_t)strlen(doc));
  ok = header != NULL && kivrel_header_serialize(header, &line, &line_len) == 0;
  kivrel_header_destroy(header);
  if (ok) {
    c->out_len = (size_t)line_len + strlen(doc);
    c->out = malloc(c->out_len);
    ok = c->out != NULL;
    if (ok) {
      memcpy(c->out, line, (size_t)line_len);
      memcpy(c->out + line_len, doc, strlen(doc));
    }
  }
  kivrel_mem_free(line);
  kivrel_xml_free(doc);
  return ok ? 0 : -1;
}

/* A non-blocking connection to 127.0.0.1:port, being made. */
static int open_connection(int port) {
  struct sockaddr_in a;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

/* Bytes have arrived on c->fd: feed them to the reader and take the answer
 * once it is whole. */
static void on_readable(struct call *c) {
  char buf[4096], *body = NULL;
  kivrel_datalist *result = NULL;
  ssize_t n = recv(c->fd, buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0 || kivrel_reader_feed(c->reader, buf, (size_t)n) != 0) {
    c->done = -1; /* closed early, or out of memory */
    return;
  }
  if (kivrel_reader_get_message(c->reader, &body, NULL) != 0) {
    fprintf(stderr, "event_loop_client: %s\n", kivrel_reader_get_error(c->reader));
    c->done = -1;
    return;
  }
  if (body == NULL) return; /* more to come */
  c->done = kivrel_xml_deserialize_method_response(&result, body) == 0 && result != NULL &&
                    kivrel_decompose_root_datalist(result, "[{i}]", &c->sum) == 0
                ? 1
                : -1;
  kivrel_datalist_destroy(result);
  kivrel_mem_free(body);
}

int main(int argc, char **argv) {
  struct call calls[MAX_CALLS];
  struct pollfd fds[MAX_CALLS];
  int count = (argc - 2) / 2, i, pending, failed = 0;
  long give_up = now_ms() + DEADLINE_MS;

  if (argc < 4 || argc % 2 != 0 || count > MAX_CALLS) {
    fputs("usage: event_loop_client PORT A B [A B ...] (at most 16 pairs)\n", stderr);
    return 2;
  }
  memset(calls, 0, sizeof calls);
  for (i = 0; i < count; ++i) {
    struct call *c = &calls[i];
    c->a = (int32_t)atoi(argv[2 + 2 * i]);
    c->b = (int32_t)atoi(argv[3 + 2 * i]);
    c->reader = kivrel_reader_create();
    c->fd = open_connection(atoi(argv[1]));
    if (c->reader == NULL || c->fd < 0 || make_message(c) != 0) c->done = -1;
  }

  /* The loop: write while a call is unsent, read once it is, until every
   * call is answered or failed, or the time is up. */
  for (;;) {
    long left = give_up - now_ms();
    int ready;
    for (pending = 0, i = 0; i < count; ++i)
      pending += calls[i].done == 0;
    if (pending == 0 || left <= 0) break;
    for (i = 0; i < count; ++i) {
      fds[i].fd = calls[i].done ? -1 : calls[i].fd;
      fds[i].events = calls[i].sent < calls[i].out_len ? POLLOUT : POLLIN;
      fds[i].revents = 0;
    }
    ready = poll(fds, (nfds_t)count, (int)left);
    if (ready < 0 && errno != EINTR) break;
    for (i = 0; i < count && ready > 0; ++i) {
      struct call *c = &calls[i];
      if (fds[i].revents == 0) continue;
      if (c->sent < c->out_len) {
        ssize_t n = send(c->fd, c->out + c->sent, c->out_len - c->sent, MSG_NOSIGNAL);
        if (n > 0)
          c->sent += (size_t)n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
          c->done = -1; /* the connection failed */
      } else {
        on_readable(c);
      }
    }
  }

  for (i = 0; i < count; ++i) {
    struct call *c = &calls[i];
    if (c->done == 1) {
      printf("%d + %d = %d\n", (int)c->a, (int)c->b, (int)c->sum);
    } else {
      printf("%d + %d: call failed\n", (int)c->a, (int)c->b);
      failed = 1;
    }
    if (c->fd >= 0) close(c->fd);
    kivrel_reader_destroy(c->reader);
    free(c->out);
  }
  return failed;
}
