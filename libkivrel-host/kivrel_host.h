/*
 * kivrel_host.h - libkivrel-host, a ready server for a kivrel registry: it
 * listens on one TCP port, holds many connections at once, each carrying
 * any number of calls, and answers them with a fixed pool of worker threads.
 *
 *   kivrel_host *host = kivrel_host_create(registry, "127.0.0.1", 0);
 *   if (host == NULL || kivrel_host_start(host) != 0) ... fail ...
 *   printf("port %d\n", (int)kivrel_host_port(host));
 *   ... until the program should end ...
 *   kivrel_host_destroy(host);   (stops first)
 *
 * How it serves. One thread, the poller, waits on the listening socket and
 * on every connection, and reads each without blocking into a message
 * reader of its own (kivrel_reader, so a header is taken or refused by the
 * library's one rule). Only a whole request goes to a worker, as its body,
 * never the socket: a client that is silent, or sends its request a few
 * bytes at a time, holds no worker. A worker answers one call with
 * kivrel_service_answer() and sends the response without waiting; what the
 * client does not read at once the poller sends as it reads. One connection
 * carries one call at a time; calls on different connections run in
 * parallel, so the registry's method functions must be safe to run from
 * several threads at once (the introspection methods are).
 *
 * Deadlines. Every connection has one in every state, and one past it is
 * closed (counted in `closed_idle`): the idle time while no byte of a
 * request has come (from its accept or its last response); the per-message
 * deadline for a request from its first byte until it is whole, again for a
 * whole request waiting for a worker, and again for a response going out.
 * Only a method function while it runs is not timed.
 *
 * Slots. A host holds at most its connection limit. A call is in progress
 * on a connection from the moment its whole request has arrived until its
 * response has gone out. When every slot is taken, a new connection takes
 * the slot of the connection that has waited longest without a call in
 * progress (since its accept or its last response; counted in `evicted`),
 * which is closed; the new one is refused (closed at once, counted in
 * `refused`) only when every slot has a call in progress. When accept finds
 * no descriptor left, the host does the same, and with nothing to give up
 * accepts and closes the client with a descriptor it keeps in reserve, so
 * that it keeps serving its connections and never spins while the shortage
 * lasts; new clients are taken again as soon as descriptors are free.
 *
 * Memory. The bytes all connections hold at once (requests read so far,
 * whole requests, responses not yet sent) stay within the bound set by
 * kivrel_host_set_max_buffered_bytes(). Each body is released as soon as
 * its call is answered, each response once it has gone out.
 *
 * Threading contract. kivrel_host_create(), the setters and
 * kivrel_host_start() belong to the thread that owns the host.
 * kivrel_host_stop(), kivrel_host_port() and kivrel_host_get_stats() may be
 * called from any thread once kivrel_host_start() has returned (before
 * that, from the owner's): stop also from several threads at once and more
 * than once, also from a method function of another host, but never from a
 * method function of the host being stopped, which would wait for itself.
 * kivrel_host_destroy() is called once, by the owner, when no other thread
 * uses the host any more. The registry and its methods must stay unchanged
 * and alive until kivrel_host_stop() or kivrel_host_destroy() returns.
 *
 * Failure is a value, as in kivrel.h: 0 or -1, a record or NULL. The host
 * prints nothing and installs no signal handler; a program serving clients
 * should ignore SIGPIPE (the library's sends never raise it themselves).
 *
 * This header compiles as C99 and as C++.
 */
#ifndef KIVREL_HOST_H
#define KIVREL_HOST_H

#include <stdint.h>

#include "kivrel.h"

#if defined(_WIN32)
#if defined(KIVREL_HOST_BUILDING)
#define KIVREL_HOST_API __declspec(dllexport)
#else
#define KIVREL_HOST_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KIVREL_HOST_API __attribute__((visibility("default")))
#else
#define KIVREL_HOST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kivrel_host kivrel_host;

/* Counters since kivrel_host_start(); `open` is the number held right now. */
typedef struct kivrel_host_stats {
  uint64_t accepted;        /* connections accepted, refused ones included */
  uint64_t open;            /* connections held now */
  uint64_t refused;         /* closed at once: every slot was taken */
  uint64_t calls_answered;  /* responses sent */
  uint64_t calls_refused;   /* requests that got no response: not a call
                               document, a result that cannot be encoded, or
                               a send that failed */
  uint64_t closed_idle;     /* closed at a deadline: no call for the idle
                               time, or a request, its wait for a worker or
                               its response past the per-message deadline */
  uint64_t evicted;         /* closed to give a new connection their slot, or
                               their descriptor (see Slots above) */
  uint64_t closed_buffered; /* closed at the buffered-bytes bound, holding
                               the largest request not yet whole */
} kivrel_host_stats;

/* Defaults of the settings below. */
#define KIVREL_HOST_DEFAULT_MAX_CONNECTIONS 64
#define KIVREL_HOST_DEFAULT_TIMEOUT_MS 10000
#define KIVREL_HOST_DEFAULT_IDLE_MS 10000
#define KIVREL_HOST_DEFAULT_BACKLOG 128
/* At least this; four times kivrel_get_max_message_size() when that is more
 * (see kivrel_host_set_max_buffered_bytes()). */
#define KIVREL_HOST_DEFAULT_MAX_BUFFERED_BYTES ((int64_t)64 * 1024 * 1024)
/* Upper bounds the setters accept: a worker is a thread, a connection a
 * descriptor; a backlog above the system's own limit is cut to it anyway. */
#define KIVREL_HOST_MAX_WORKERS 1024
#define KIVREL_HOST_MAX_CONNECTIONS 65536
#define KIVREL_HOST_MAX_BACKLOG 65535

/* Returns a new host for `registry` (not owned; see the threading contract)
 * that will listen on `bind_address` (strict dotted-decimal IPv4 text as
 * kivrel_tcp_server_create_at() takes it, "127.0.0.1" for loopback only;
 * NULL for every local IPv4 address) and `port` (0: a free port chosen by
 * the system at start, see kivrel_host_port()). Nothing is bound or started
 * yet. Returns NULL for a NULL registry, an address that is not such text
 * or a port outside 0-65535 (errno EINVAL), or exhausted memory (ENOMEM).
 * Release with kivrel_host_destroy(). */
KIVREL_HOST_API kivrel_host *kivrel_host_create(const kivrel_registry *registry,
                                                const char *bind_address,
                                                int32_t port) KIVREL_NOEXCEPT;

/* Settings, before kivrel_host_start(). Each returns 0, or -1 (nothing
 * changed) for a value out of range or a host already started. */

/* Worker threads answering calls: 1 to KIVREL_HOST_MAX_WORKERS; default the
 * number of processors, at least 2. */
KIVREL_HOST_API int kivrel_host_set_workers(kivrel_host *host, int32_t n) KIVREL_NOEXCEPT;
/* Connections held at once: 1 to KIVREL_HOST_MAX_CONNECTIONS; default 64.
 * A connection beyond it takes the slot of the one that has waited longest
 * without a call in progress, or is closed at once when every slot has a
 * call in progress (see Slots above). */
KIVREL_HOST_API int kivrel_host_set_max_connections(kivrel_host *host, int32_t n) KIVREL_NOEXCEPT;
/* Per-message deadline in milliseconds, 1 to INT32_MAX; default 10000: the
 * longest a request may take to arrive once its first byte has come, the
 * longest a whole request may wait for a worker, and the longest one
 * response may take to go out. A connection past it is closed. It also
 * bounds how long kivrel_host_stop() waits for calls in progress. */
KIVREL_HOST_API int kivrel_host_set_timeout_ms(kivrel_host *host, int32_t ms) KIVREL_NOEXCEPT;
/* Idle time in milliseconds, 1 to INT32_MAX; default 10000: a connection that
 * carries no call for this long (from its accept or its last response) is
 * closed. */
KIVREL_HOST_API int kivrel_host_set_idle_ms(kivrel_host *host, int32_t ms) KIVREL_NOEXCEPT;
/* Pending connections the system queues before the host accepts them: 1 to
 * KIVREL_HOST_MAX_BACKLOG; default 128. */
KIVREL_HOST_API int kivrel_host_set_backlog(kivrel_host *host, int32_t n) KIVREL_NOEXCEPT;

/* The most bytes all connections may hold at once, 1 to INT64_MAX; default
 * the larger of KIVREL_HOST_DEFAULT_MAX_BUFFERED_BYTES and four times
 * kivrel_get_max_message_size() at kivrel_host_start(). Held bytes are those
 * of requests read so far, of whole requests waiting for or being answered,
 * and of responses not yet sent. When bytes arrive that would pass the
 * bound, the connection holding the largest request not yet whole is
 * closed (counted in `closed_buffered`), again until they fit; when that is
 * the connection the bytes came on, or none is left to close, it is closed
 * itself. A bound below the largest request a client should send refuses
 * that request. */
KIVREL_HOST_API int kivrel_host_set_max_buffered_bytes(kivrel_host *host,
                                                       int64_t bytes) KIVREL_NOEXCEPT;

/* Binds, listens and starts the threads. Returns 0 once the host listens
 * (connections are queued by the system from then on); -1 with nothing left
 * open or running, and errno saying why: EADDRINUSE when the port is taken,
 * EADDRNOTAVAIL when the address is not on this machine, EACCES when the
 * port needs privileges, EINVAL when the host was started before (a host
 * is started once), or the system's reason (EMFILE, EAGAIN, ENOMEM ...)
 * when a thread or descriptor cannot be made. */
KIVREL_HOST_API int kivrel_host_start(kivrel_host *host) KIVREL_NOEXCEPT;

/* Returns the port the host listens on (the real one when it was created
 * with port 0), or 0 when it is not listening (not started, failed to
 * start, or stopped). Any thread. */
KIVREL_HOST_API int32_t kivrel_host_port(const kivrel_host *host) KIVREL_NOEXCEPT;

/* Stops serving: closes the listening socket (new clients are refused by
 * the system), closes at once every connection without a call in progress
 * (a request not yet whole is never waited for), lets the calls in progress
 * (a whole request received) finish and send their response, waiting at
 * most the per-message deadline for them (after it their connections are
 * closed, unanswered requests dropped; a method function that does not
 * return holds stop until it does), then closes every connection and joins
 * every thread. Without calls in progress it returns at once; a program
 * with several hosts that may have calls in progress stops them from
 * several threads at once to wait one deadline at most. When it returns, no thread or
 * descriptor of the host is left. Any thread, any number of times; a host
 * not started is left as it is. */
KIVREL_HOST_API void kivrel_host_stop(kivrel_host *host) KIVREL_NOEXCEPT;

/* Stops the host when it runs, then releases it. NULL is ignored. The
 * registry is not touched. */
KIVREL_HOST_API void kivrel_host_destroy(kivrel_host *host) KIVREL_NOEXCEPT;

/* Fills `*stats` with the counters (all 0 before start; kept after stop,
 * with `open` 0). Any thread; each field is read atomically, the record as
 * a whole is not one instant. */
KIVREL_HOST_API void kivrel_host_get_stats(const kivrel_host *host,
                                           kivrel_host_stats *stats) KIVREL_NOEXCEPT;

#ifdef __cplusplus
}

/* The host's owning pointer for C++, beside the library's in kivrel.hpp. */
#include "kivrel.hpp"

namespace kivrel {
/* A host; releasing it stops it first (kivrel_host_destroy()). */
using Host = std::unique_ptr<kivrel_host, detail::Deleter<kivrel_host, kivrel_host_destroy>>;
} // namespace kivrel
#endif

#endif /* KIVREL_HOST_H */
