/*
 * kivrel.h - the one public header of libkivrel, a small remote-procedure-call
 * library: typed values and lists, signature strings, Base64, XML call and
 * response documents, a one-line framing header on TCP, the client call and
 * the service side (methods, registry, one-call service, introspection).
 *
 * Conventions that hold for every function below unless its contract says
 * otherwise:
 *  - Failure is a value: 0 is success, -1 is failure; constructors return a
 *    new record or NULL (NULL also when memory runs out). No reason is given
 *    and the library prints nothing.
 *  - When memory runs out (in the library or inside libxml2), a function
 *    fails as above and leaves nothing allocated; it never reports success
 *    with a partial or altered result.
 *  - A NULL record pointer is a caller error (the call is not checked).
 *  - `_free` releases a record alone, `_destroy` releases it and everything it
 *    owns. Texts handed out by a getter stay owned by the record.
 *  - Memory the library hands out is released through the library: records
 *    through their `_free`/`_destroy`, lists through kivrel_datalist_destroy(),
 *    serialized documents through kivrel_xml_free(), every other text or
 *    buffer through kivrel_mem_free().
 *
 * This header compiles as C99 and as C++.
 */
/*
 * Call order, in short (whole programs to start from: examples/add_client.c,
 * examples/robot_status.c, examples/add_service.c, and
 * examples/event_loop_client.c for a program with its own event loop).
 *
 * A client:
 *   1. kivrel_initialize() once, before any thread uses the library
 *      (optional, recommended in threaded programs);
 *   2. c = kivrel_tcp_client_create("127.0.0.1", port); optionally
 *      kivrel_tcp_client_set_timeout_ms(c, ms); kivrel_tcp_client_connect(c);
 *   3. args = kivrel_build_root_datalist("[{i}{i}]", 2, 3), or NULL for a
 *      call without arguments;
 *   4. kivrel_request_method_call_status(c, "Add", args, &result): 0 and a
 *      result list (or NULL: answered without a result), or -1: failed, then
 *      destroy the client and connect anew;
 *   5. kivrel_decompose_root_datalist(result, "[{i}]", &sum);
 *      kivrel_datalist_destroy() on `args` and `result`;
 *   6. more calls on the same connection, then kivrel_tcp_client_destroy(c);
 *      kivrel_finalize() once at the end (optional).
 *
 * A service:
 *   1. r = kivrel_registry_create();
 *   2. per method: m = kivrel_method_create("Add", add, "[{i}{i}]", "[{i}]",
 *      help) (or kivrel_method_create_data() to hand the function a
 *      pointer of yours); kivrel_registry_add_method(r, m);
 *   3. kivrel_introspection_register(r) to let clients list and describe
 *      the methods;
 *   4. serve: with libkivrel-host (kivrel_host.h: create, start, stop,
 *      destroy), which holds many connections and answers on a pool of
 *      threads; or by hand: kivrel_tcp_server_create_at(), then per
 *      connection kivrel_tcp_server_accept() and kivrel_service() until it
 *      returns -1, then kivrel_tcp_server_destroy() (s = kivrel_service_create(r)
 *      makes the record kivrel_service() takes);
 *   5. once nothing serves any more: kivrel_registry_destroy(r, 1) releases
 *      the registry and every method in it.
 *
 * Signatures. A method's argument and result signatures are list texts such
 * as "[{i}{s}]" ("i" a 32-bit integer, "s" a string, "[...]" a nested list).
 * "No arguments" and "no result" are written as NULL, never as "[]": a call
 * without arguments passes NULL as its list, a method without a result
 * leaves `*ret` NULL, and introspection reports such a signature as "none".
 * "?" stands for a shape that is not described (reported as "undef"). An
 * empty list cannot be sent at all.
 *
 * Threads. The library keeps no hidden state between calls except the
 * process-wide message size limit (safe from any thread) and libxml2's
 * parser, which kivrel_initialize() sets up once. A record may be used by
 * one thread at a time; once built and no longer changed, a registry, its
 * methods and a service record may be shared by any number of threads that
 * only serve calls (kivrel_service() on different connections at once), and
 * a list or value may be read by several threads at once. A client and a
 * connection are used by one thread at a time. Method functions run on the
 * thread that serves the call, so a service answering on several threads
 * needs methods that are safe to run at once.
 *
 * Time-outs. Every wait on the network is bounded unless set otherwise: a
 * client's connect, one whole send and one whole receive of a message each
 * take at most the client's deadline (1000 ms until
 * kivrel_tcp_client_set_timeout_ms()); an accepted connection carries its
 * listening record's per-message deadline (10000 ms until
 * kivrel_tcp_server_set_timeout_ms()). Only kivrel_tcp_server_accept() waits
 * for ever for a client. A passed deadline is a failed call: -1 or NULL,
 * with errno ETIMEDOUT.
 */
#ifndef KIVREL_H
#define KIVREL_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <libxml/tree.h>

#if defined(_WIN32)
#if defined(KIVREL_BUILDING)
#define KIVREL_API __declspec(dllexport)
#else
#define KIVREL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KIVREL_API __attribute__((visibility("default")))
#else
#define KIVREL_API
#endif

/* No exception ever leaves the library. */
#ifdef __cplusplus
#define KIVREL_NOEXCEPT noexcept
#else
#define KIVREL_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Records                                                                  */
/* ------------------------------------------------------------------------ */

/* The integer payload: the value itself. */
typedef int32_t kivrel_data_int;

/* The byte-block payload: `size` bytes at `memblk`, owned by the payload. */
typedef struct kivrel_data_memblk_int8 {
  uint32_t size;
  int8_t *memblk;
} kivrel_data_memblk_int8;

/* The string payload: same layout as the byte block; `size` counts the text
 * and its terminating NUL, `memblk` holds both. */
typedef kivrel_data_memblk_int8 kivrel_data_string;

/* One typed value and, at the same time, one element of a list. `datatype`
 * is one of "int", "string", "memblock_int8", "datalist" (owned copy), or
 * NULL for an untyped value. */
typedef struct kivrel_data {
  char *datatype;
  int32_t size;
  void *data;
  struct kivrel_data *next;
} kivrel_data;

/* An ordered, singly linked list of values; it owns its values. */
typedef struct kivrel_datalist {
  uint32_t size;
  kivrel_data *head;
  kivrel_data *tail;
} kivrel_datalist;

/* One message header: protocol name and version, body length in bytes. */
typedef struct kivrel_header {
  char *name_ver;
  int32_t bodylen;
} kivrel_header;

/* A client endpoint. `socket_fd` is negative while there is no socket. */
typedef struct kivrel_tcp_client {
  char *server_ip_addr;
  int32_t server_port;
  int32_t socket_fd;
} kivrel_tcp_client;

/* A listening server endpoint, or one accepted connection (`port` 0). */
typedef struct kivrel_tcp_server {
  int32_t port;
  int32_t socket_fd;
} kivrel_tcp_server;

typedef struct kivrel_registry kivrel_registry;

/* An incremental reader of the wire: fed bytes, hands out message bodies
 * (see "Message reader" below). Opaque. */
typedef struct kivrel_reader kivrel_reader;

/* A plain method function: reads `args` (NULL for a call without
 * arguments), may store a new result list at `*ret` (NULL on entry), which
 * then belongs to the caller. The returned status is not sent anywhere.
 * A method written in C++ should not throw: kivrel_service() and the
 * execute functions catch whatever it throws and treat the call as failed
 * (nothing is sent), but the method's own state is then its problem.
 * Before decomposing a string argument into a fixed buffer, check its
 * length (see kivrel_decompose_root_datalist()): `args` comes from the
 * network. */
typedef int (*kivrel_method_func)(const kivrel_datalist *args, kivrel_datalist **ret);

/* An extended method function: as above, and also receives the registry of
 * the answering service. */
typedef int (*kivrel_method_exfunc)(const kivrel_datalist *args, kivrel_datalist **ret,
                                    const kivrel_registry *registry);

/* A method function with user data: as a plain function, and also receives
 * the `data` pointer stored in its method (see kivrel_method_create_data()). */
typedef int (*kivrel_method_datafunc)(const kivrel_datalist *args, kivrel_datalist **ret,
                                      void *data);

/* A callable method: name, function, signatures and help, all texts owned
 * copies or NULL. `datafunc` and `data` (never owned) are set only by
 * kivrel_method_create_data() and the data setters; records made by
 * kivrel_method_new() start with both NULL. */
typedef struct kivrel_method {
  char *name;
  kivrel_method_func func;
  kivrel_method_exfunc exfunc;
  char *sign_datalist_arg;
  char *sign_datalist_ret;
  char *help;
  kivrel_method_datafunc datafunc;
  void *data;
} kivrel_method;

/* One registry element; it points at a method it does not own. */
typedef struct kivrel_registry_elmt {
  kivrel_method *method;
  struct kivrel_registry_elmt *next;
} kivrel_registry_elmt;

/* The ordered method table of a service; owns its elements, not methods. */
struct kivrel_registry {
  int32_t size;
  kivrel_registry_elmt *head;
  kivrel_registry_elmt *tail;
};

/* A service: its registry (not owned). The record has no typedef because
 * the function kivrel_service() bears the same name; write
 * `struct kivrel_service`. */
struct kivrel_service {
  kivrel_registry *registry;
};

/* ------------------------------------------------------------------------ */
/* Version                                                                  */
/* ------------------------------------------------------------------------ */

/* The version of this header; the library's own is kivrel_version(). */
#define KIVREL_VERSION_MAJOR 1
#define KIVREL_VERSION_MINOR 0
#define KIVREL_VERSION_PATCH 0

/* Returns the library's version as "MAJOR.MINOR.PATCH", a static text that
 * is never released. A program built against another header can compare
 * it with the KIVREL_VERSION_* macros. Safe from any thread. */
KIVREL_API const char *kivrel_version(void) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Memory                                                                   */
/* ------------------------------------------------------------------------ */

/* Releases a block that the library handed out without a record of its own
 * (Base64 results, header lines, received bodies, method names). NULL is
 * ignored. Any thread. */
KIVREL_API void kivrel_mem_free(void *block) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Integer payload                                                          */
/* ------------------------------------------------------------------------ */

/* Returns a new payload with its value not set, or NULL. */
KIVREL_API kivrel_data_int *kivrel_data_int_new(void) KIVREL_NOEXCEPT;
KIVREL_API void kivrel_data_int_free(kivrel_data_int *payload) KIVREL_NOEXCEPT;
/* Returns a new payload holding `value`, or NULL. */
KIVREL_API kivrel_data_int *kivrel_data_int_create(int32_t value) KIVREL_NOEXCEPT;
/* Same as kivrel_data_int_free(). */
KIVREL_API void kivrel_data_int_destroy(kivrel_data_int *payload) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_int_set(kivrel_data_int *payload, int32_t value) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_data_int_get(const kivrel_data_int *payload) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Byte-block payload                                                       */
/* ------------------------------------------------------------------------ */

/* Returns a new record with its fields not set, or NULL. */
KIVREL_API kivrel_data_memblk_int8 *kivrel_data_memblk_int8_new(void) KIVREL_NOEXCEPT;
/* Releases the record, not the bytes. */
KIVREL_API void kivrel_data_memblk_int8_free(kivrel_data_memblk_int8 *payload) KIVREL_NOEXCEPT;
/* Returns a new record with a new block of `size` bytes (contents not set),
 * or NULL. */
KIVREL_API kivrel_data_memblk_int8 *kivrel_data_memblk_int8_create(uint32_t size) KIVREL_NOEXCEPT;
/* Releases the bytes, then the record. */
KIVREL_API void kivrel_data_memblk_int8_destroy(kivrel_data_memblk_int8 *payload) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_memblk_int8_set_size(kivrel_data_memblk_int8 *payload,
                                                uint32_t size) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_memblk_int8_set_memblk(kivrel_data_memblk_int8 *payload,
                                                  int8_t *memblk) KIVREL_NOEXCEPT;
KIVREL_API uint32_t kivrel_data_memblk_int8_get_size(const kivrel_data_memblk_int8 *payload)
    KIVREL_NOEXCEPT;
KIVREL_API int8_t *
kivrel_data_memblk_int8_get_memblk(const kivrel_data_memblk_int8 *payload) KIVREL_NOEXCEPT;
/* Copies `len` bytes from `src` to the start of the block: 0, or -1 (block
 * untouched) when `len` exceeds the block's size. */
KIVREL_API int kivrel_data_memblk_int8_memcpy(kivrel_data_memblk_int8 *payload, const void *src,
                                              uint32_t len) KIVREL_NOEXCEPT;
/* Sets the first `len` bytes to the low 8 bits of `byte`: 0, or -1 (block
 * untouched) when `len` exceeds the block's size. */
KIVREL_API int kivrel_data_memblk_int8_memset(kivrel_data_memblk_int8 *payload, int byte,
                                              uint32_t len) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* String payload                                                           */
/* ------------------------------------------------------------------------ */

/* Returns a new record with its fields not set, or NULL. */
KIVREL_API kivrel_data_string *kivrel_data_string_new(void) KIVREL_NOEXCEPT;
/* Releases the record, not the text. */
KIVREL_API void kivrel_data_string_free(kivrel_data_string *payload) KIVREL_NOEXCEPT;
/* Returns a new payload holding a copy of `text` (not NULL), or NULL. */
KIVREL_API kivrel_data_string *kivrel_data_string_create(const char *text) KIVREL_NOEXCEPT;
/* Releases the text, then the record. */
KIVREL_API void kivrel_data_string_destroy(kivrel_data_string *payload) KIVREL_NOEXCEPT;
/* Returns the stored text (no copy; valid while the payload lives). */
KIVREL_API char *kivrel_data_string_get_string(const kivrel_data_string *payload) KIVREL_NOEXCEPT;
/* Returns the text's length: `size` - 1. */
KIVREL_API uint32_t kivrel_data_string_strlen(const kivrel_data_string *payload) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Lists                                                                    */
/* ------------------------------------------------------------------------ */

/* Returns a new list record with its fields not set, or NULL. */
KIVREL_API kivrel_datalist *kivrel_datalist_new(void) KIVREL_NOEXCEPT;
/* Releases the list record; the values are not touched. */
KIVREL_API void kivrel_datalist_free(kivrel_datalist *list) KIVREL_NOEXCEPT;
/* Returns a new empty list, or NULL. */
KIVREL_API kivrel_datalist *kivrel_datalist_create(void) KIVREL_NOEXCEPT;
/* Releases every value (recursively, head to tail), then the list. NULL is
 * ignored. */
KIVREL_API void kivrel_datalist_destroy(kivrel_datalist *list) KIVREL_NOEXCEPT;
/* Inserts `value` after `element` (a value of the list), or first when
 * `element` is NULL. Returns 0. Append: element = kivrel_datalist_get_tail(). */
KIVREL_API int kivrel_datalist_ins_next(kivrel_datalist *list, kivrel_data *element,
                                        kivrel_data *value) KIVREL_NOEXCEPT;
/* Removes the value after `element`, or the head when `element` is NULL, and
 * stores it at `*removed` (now the caller's). Returns 0, or -1 (nothing
 * changed, `*removed` not written) for an empty list or a last element. */
KIVREL_API int kivrel_datalist_rem_next(kivrel_datalist *list, kivrel_data *element,
                                        kivrel_data **removed) KIVREL_NOEXCEPT;
/* Plain stores, no consistency check. Return 0. */
KIVREL_API int kivrel_datalist_set_size(kivrel_datalist *list, uint32_t size) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_datalist_set_head(kivrel_datalist *list, kivrel_data *head) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_datalist_set_tail(kivrel_datalist *list, kivrel_data *tail) KIVREL_NOEXCEPT;
KIVREL_API uint32_t kivrel_datalist_get_size(const kivrel_datalist *list) KIVREL_NOEXCEPT;
KIVREL_API kivrel_data *kivrel_datalist_get_head(const kivrel_datalist *list) KIVREL_NOEXCEPT;
KIVREL_API kivrel_data *kivrel_datalist_get_tail(const kivrel_datalist *list) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Values                                                                   */
/* ------------------------------------------------------------------------ */

/* Returns a new value record with `datatype` NULL and other fields not set,
 * or NULL. */
KIVREL_API kivrel_data *kivrel_data_new(void) KIVREL_NOEXCEPT;
/* Releases the record alone (not the type name, not the payload). */
KIVREL_API void kivrel_data_free(kivrel_data *value) KIVREL_NOEXCEPT;
/* Returns a new untyped value (all fields NULL/0), or NULL. */
KIVREL_API kivrel_data *kivrel_data_create(void) KIVREL_NOEXCEPT;
/* Releases the payload (by type name), the type name and the record; never
 * follows `next`. NULL is ignored. */
KIVREL_API void kivrel_data_destroy(kivrel_data *value) KIVREL_NOEXCEPT;
/* Replaces the type name with a copy of `datatype` (NULL: untyped).
 * Returns 0, or -1 when the copy cannot be made (the old name stays). */
KIVREL_API int kivrel_data_set_datatype(kivrel_data *value, const char *datatype) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_set_size(kivrel_data *value, int32_t size) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_set_data(kivrel_data *value, void *data) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_set_next(kivrel_data *value, kivrel_data *next) KIVREL_NOEXCEPT;
/* Returns the stored type name (not a copy), or NULL. */
KIVREL_API char *kivrel_data_get_datatype(const kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_data_get_size(const kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API void *kivrel_data_get_data(const kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API kivrel_data *kivrel_data_get_next(const kivrel_data *value) KIVREL_NOEXCEPT;
/* Link a payload: set the type name and `size` (4 for "int", else 0) and
 * take ownership of the payload. A payload linked before is not released.
 * Return 0 (-1 only when the type name cannot be copied; nothing changes). */
KIVREL_API int kivrel_data_int_link(kivrel_data *value, kivrel_data_int *payload) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_string_link(kivrel_data *value,
                                       kivrel_data_string *payload) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_memblk_int8_link(kivrel_data *value,
                                            kivrel_data_memblk_int8 *payload) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_data_datalist_link(kivrel_data *value,
                                         kivrel_datalist *payload) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Signature strings: build and decompose                                   */
/* ------------------------------------------------------------------------ */

/* Builds a list from `sign` ("[{i}{s}{[{i}]}]" ...) and one argument per "i"
 * (int32_t) or "s" (const char *, not NULL) in text order. Returns a new list
 * owned by the caller, or NULL (nothing left allocated) for a malformed
 * signature, one nested deeper than KIVREL_MAX_DEPTH, or exhausted memory. */
KIVREL_API kivrel_datalist *kivrel_build_root_datalist(const char *sign, ...) KIVREL_NOEXCEPT;
/* Stores the list's values into one address per "i" (int32_t *) or "s"
 * (char *) in text order. Returns 0, or -1 for a malformed signature, a list
 * shorter than the signature, or a value whose type does not match its
 * letter (variables written before stay written).
 * An "s" copies the whole string and its NUL, kivrel_data_string_strlen() + 1
 * bytes, whatever its length: the buffer must hold that many. A list that
 * came from the network may hold a string of any length, so check it
 * first, for example for the first value of `args`:
 *   kivrel_data *v = kivrel_datalist_get_head(args);
 *   if (v == NULL || kivrel_data_get_datatype(v) == NULL ||
 *       strcmp(kivrel_data_get_datatype(v), "string") != 0 ||
 *       kivrel_data_string_strlen(kivrel_data_get_data(v)) >= sizeof buf)
 *     return 1; // refuse
 *   kivrel_decompose_root_datalist(args, "[{s}]", buf);
 */
KIVREL_API int kivrel_decompose_root_datalist(const kivrel_datalist *list, const char *sign,
                                              ...) KIVREL_NOEXCEPT;

/* The steps of the walks. `pos` is the signature cursor and `args` the
 * argument cursor; both are left just past what the step consumed. */
KIVREL_API kivrel_datalist *kivrel_build_datalist(const char **pos, va_list *args) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_build_data(const char **pos, va_list *args,
                                 kivrel_datalist *list) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_build_data_int(const char **pos, va_list *args,
                                     kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_build_data_string(const char **pos, va_list *args,
                                        kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_build_data_datalist(const char **pos, va_list *args,
                                          kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_decompose_datalist(const kivrel_datalist *list, const char **pos,
                                         va_list *args) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_decompose_data(const kivrel_data *value, const char **pos,
                                     va_list *args) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_decompose_data_int(const kivrel_data *value, const char **pos,
                                         va_list *args) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_decompose_data_string(const kivrel_data *value, const char **pos,
                                            va_list *args) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_decompose_data_datalist(const kivrel_data *value, const char **pos,
                                              va_list *args) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Limits                                                                   */
/* ------------------------------------------------------------------------ */

/* Deepest nesting of lists in a signature string and in the element-tree
 * functions, the outermost list counting 1. Those walks recurse once per
 * level; the bound keeps a hostile text or tree from exhausting the stack. */
#define KIVREL_MAX_DEPTH 256

/* Deepest nesting of elements in a call or response document, the root
 * counting 1. libxml2 refuses a document that opens an element while 257
 * are open, and the library's own reader holds the same bound, so that a
 * document is taken or refused alike whichever reader sees it. */
#define KIVREL_MAX_DOCUMENT_DEPTH 257

/* Deepest nesting of lists a document can carry, the outermost counting 1:
 * the root and the list holder take two element levels, every list two more
 * (`datalist`, `data`), and the innermost value one. The writers refuse
 * deeper lists, so whatever they write reads back. Lower than
 * KIVREL_MAX_DEPTH: a list deep enough for a signature may be too deep for a
 * document. */
#define KIVREL_MAX_DOCUMENT_LIST_DEPTH ((KIVREL_MAX_DOCUMENT_DEPTH - 3) / 2)

/* Longest name field of a header line (the text before the first colon,
 * blanks included), when one is written and when one is read; the name is
 * "KIVREL-1.1", so only a hostile peer sends more. */
#define KIVREL_MAX_PROTOCOL_NAME 255

/* Longest header line read, line feed included: a reader's line buffer of
 * 1024 bytes holds it and its terminating NUL. A line ends at the first line
 * feed within these bytes; when none comes, the line is these bytes and
 * what follows them is the body. The lines this library writes are 13 to 22
 * bytes long. */
#define KIVREL_MAX_HEADER_LINE 1023

/* ------------------------------------------------------------------------ */
/* Base64                                                                   */
/* ------------------------------------------------------------------------ */

/* Encodes `len` (>= 0) bytes as one line of standard Base64 with padding.
 * Returns a new NUL-terminated text (release with kivrel_mem_free()) and
 * stores its length at `*out_len` when given; NULL when memory runs out. */
KIVREL_API char *kivrel_base64_encode(const unsigned char *src, int32_t len,
                                      int32_t *out_len) KIVREL_NOEXCEPT;
/* Decodes Base64 text; bytes outside the alphabet are skipped, a blank reads
 * as '+', the first '=' ends the text. `len` is at least the text's length.
 * Returns a new buffer of the decoded bytes plus a NUL (release with
 * kivrel_mem_free()) and stores the byte count at `*out_len` when given; NULL
 * when '=' follows 0 or 1 letters of a group, or memory runs out. */
KIVREL_API unsigned char *kivrel_base64_decode(const char *src, int32_t len,
                                               int32_t *out_len) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* XML value encoding (libxml2 element trees)                               */
/* ------------------------------------------------------------------------ */

/* Dump functions return a new unlinked element owned by the caller
 * (xmlAddChild() it, or xmlFreeNode() it), or NULL. A string that XML cannot
 * carry unchanged (invalid UTF-8, control characters other than tab, line
 * feed, carriage return), an empty list, an untyped or "memblock_int8"
 * value anywhere, or nesting deeper than KIVREL_MAX_DEPTH gives NULL. */
KIVREL_API xmlNodePtr kivrel_xmlnode_dump_data_int(const kivrel_data_int *payload) KIVREL_NOEXCEPT;
KIVREL_API xmlNodePtr kivrel_xmlnode_dump_data_string(const kivrel_data_string *payload)
    KIVREL_NOEXCEPT;
KIVREL_API xmlNodePtr kivrel_xmlnode_dump_data(const kivrel_data *value) KIVREL_NOEXCEPT;
KIVREL_API xmlNodePtr kivrel_xmlnode_dump_datalist(const kivrel_datalist *list) KIVREL_NOEXCEPT;

/* Load functions never change the tree; they return a new record owned by
 * the caller, or NULL for a wrong element name, an `int` without a decimal
 * 32-bit number, an unexpected element, or nesting deeper than
 * KIVREL_MAX_DEPTH. A `string` element without text reads as "". */
KIVREL_API kivrel_data_int *kivrel_xmlnode_load_data_int(const xmlNode *node) KIVREL_NOEXCEPT;
KIVREL_API kivrel_data_string *kivrel_xmlnode_load_data_string(const xmlNode *node) KIVREL_NOEXCEPT;
KIVREL_API kivrel_data *kivrel_xmlnode_load_data(const xmlNode *node) KIVREL_NOEXCEPT;
KIVREL_API kivrel_datalist *kivrel_xmlnode_load_datalist(const xmlNode *node) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Call and response documents                                              */
/* ------------------------------------------------------------------------ */

/* Writes a `method_call` document for `name` (not NULL) and `args` (NULL:
 * no arguments). Returns 0 with a new text at `*doc` (release with
 * kivrel_xml_free()) and its length at `*len`; -1 (nothing handed out) when
 * the name is NULL or the list cannot be encoded: a string XML cannot carry
 * unchanged, an empty list, an untyped or "memblock_int8" value anywhere, or
 * lists nested deeper than KIVREL_MAX_DOCUMENT_LIST_DEPTH. */
KIVREL_API int kivrel_xml_serialize_method_call(const char *name, const kivrel_datalist *args,
                                                char **doc, int *len) KIVREL_NOEXCEPT;
/* Writes a `method_response` document for `ret` (NULL: no result). Same
 * result rules as above. */
KIVREL_API int kivrel_xml_serialize_method_response(const kivrel_datalist *ret, char **doc,
                                                    int *len) KIVREL_NOEXCEPT;
/* Releases a text made by a serialize function. NULL is ignored. */
KIVREL_API void kivrel_xml_free(char *doc) KIVREL_NOEXCEPT;
/* The readers below take documents from the network. They refuse (-1)
 * before building any value: a document that is not well-formed, that has
 * a DOCTYPE (internal or external subset) or declares anything, that
 * refers to any entity but the five predefined ones (character references
 * are fine), or that nests more than 256 elements. Nothing is ever loaded
 * from a file or the network. CDATA sections, comments and processing
 * instructions are accepted. */
/* Reads a call document. Returns 0 with a new name at `*name` (release with
 * kivrel_mem_free()) and a new list or NULL at `*args`; -1 with both NULL,
 * also for a document whose elements nest deeper than
 * KIVREL_MAX_DOCUMENT_DEPTH (lists deeper than KIVREL_MAX_DOCUMENT_LIST_DEPTH
 * + 1 never come out). */
KIVREL_API int kivrel_xml_deserialize_method_call(char **name, kivrel_datalist **args,
                                                  const char *doc) KIVREL_NOEXCEPT;
/* Reads a response document. Returns 0 with a new list or NULL (no result)
 * at `*ret`; -1 with `*ret` NULL. The depth bound is the call reader's. */
KIVREL_API int kivrel_xml_deserialize_method_response(kivrel_datalist **ret,
                                                      const char *doc) KIVREL_NOEXCEPT;
KIVREL_API void kivrel_xml_init_parser(void) KIVREL_NOEXCEPT;
KIVREL_API void kivrel_xml_cleanup_parser(void) KIVREL_NOEXCEPT;
/* Optional; call once before any thread uses the library. Returns 0. */
KIVREL_API int kivrel_initialize(void) KIVREL_NOEXCEPT;
/* Optional; call once after every thread is done with the library. 0. */
KIVREL_API int kivrel_finalize(void) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Message header and framing                                               */
/* ------------------------------------------------------------------------ */

/* The largest body kivrel_tcp_recv() accepts by default: 16 MiB. */
#define KIVREL_DEFAULT_MAX_MESSAGE_SIZE (16 * 1024 * 1024)
/* The smallest limit kivrel_set_max_message_size() takes: 1 KiB. */
#define KIVREL_MIN_MAX_MESSAGE_SIZE 1024

/* Sets, for the whole process, the largest body in bytes that
 * kivrel_tcp_recv() accepts; a header announcing more is refused before any
 * byte of its body is read. Returns 0, or -1 (limit unchanged) for a value
 * below KIVREL_MIN_MAX_MESSAGE_SIZE. Safe from any thread; receives that
 * have already read their header keep the limit they saw. */
KIVREL_API int kivrel_set_max_message_size(int32_t bytes) KIVREL_NOEXCEPT;
/* Returns the current limit (KIVREL_DEFAULT_MAX_MESSAGE_SIZE until set).
 * Safe from any thread. */
KIVREL_API int32_t kivrel_get_max_message_size(void) KIVREL_NOEXCEPT;

/* The protocol name every header carries on the wire. */
#define KIVREL_PROTOCOL "KIVREL-1.1"

/* Returns a new header with no name and length 0, or NULL. */
KIVREL_API kivrel_header *kivrel_header_new(void) KIVREL_NOEXCEPT;
/* Releases the record alone. */
KIVREL_API void kivrel_header_free(kivrel_header *header) KIVREL_NOEXCEPT;
/* Returns a new header holding a copy of `name_ver` (or none) and
 * `bodylen`, or NULL. */
KIVREL_API kivrel_header *kivrel_header_create(const char *name_ver,
                                               int32_t bodylen) KIVREL_NOEXCEPT;
/* Releases the name copy and the record. NULL is ignored. */
KIVREL_API void kivrel_header_destroy(kivrel_header *header) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_header_set_name_ver(kivrel_header *header,
                                          const char *name_ver) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_header_set_bodylen(kivrel_header *header, int32_t bodylen) KIVREL_NOEXCEPT;
KIVREL_API char *kivrel_header_get_name_ver(const kivrel_header *header) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_header_get_bodylen(const kivrel_header *header) KIVREL_NOEXCEPT;
/* Writes "name:length\n". Returns 0 with a new text at `*line` (release
 * with kivrel_mem_free()) and its length at `*len`; -1 when the name is
 * missing or longer than KIVREL_MAX_PROTOCOL_NAME characters, or the length
 * is 0 or less. */
KIVREL_API int kivrel_header_serialize(const kivrel_header *header, char **line,
                                       int32_t *len) KIVREL_NOEXCEPT;
/* Reads a header line: split at colons as strtok() does (leading colons
 * skipped, a run of colons one separator), the first word of the first field
 * is the name, the second field is read as "%d" reads it (leading white
 * space, an optional sign, digits; what follows is ignored), further fields
 * are ignored. Returns 0 with a new header at `*header` (release with
 * kivrel_header_destroy()); -1 with `*header` NULL when the line has no
 * name, a name field over KIVREL_MAX_PROTOCOL_NAME characters, no second
 * field or no digits in it, or a length outside the 32-bit range. The name
 * is not compared with KIVREL_PROTOCOL here; the readers of the wire do. */
KIVREL_API int kivrel_header_deserialize(kivrel_header **header, const char *line) KIVREL_NOEXCEPT;
/* Sends the header line and the document (up to its NUL) on `fd`, both in
 * one system call when the socket's buffer has room. Returns 0, or -1 for a
 * negative descriptor, a NULL or empty document, a failed write, or a
 * message not written within the socket's deadline: its SO_SNDTIMEO (set by
 * kivrel_tcp_client_set_timeout_ms() and kivrel_tcp_server_set_timeout_ms())
 * bounds the whole message, counted from the call, not each send; 0 waits
 * for ever (errno ETIMEDOUT when it ended the message). Interrupted writes
 * (EINTR) are resumed within the deadline. After a -1 part of the message
 * may have left: do not reuse the connection. Never raises SIGPIPE. */
KIVREL_API int kivrel_tcp_send(int fd, const char *doc) KIVREL_NOEXCEPT;
/* Receives one message on `fd` through a kivrel_reader (below), so the
 * header rules are the reader's. Returns 0 with a new NUL-terminated body at
 * `*body` (release with kivrel_mem_free()); -1 (nothing handed out) for a
 * receive error, a stream that ends before the message is whole, a header
 * the reader refuses (another protocol, a negative length or one above
 * kivrel_get_max_message_size(): the header line is taken, its body left
 * unread), a body holding a NUL byte, or a message not complete within the
 * socket's deadline: its SO_RCVTIMEO (set by kivrel_tcp_client_set_timeout_ms()
 * and kivrel_tcp_server_set_timeout_ms()) bounds the whole message, header
 * and body, counted from the call, not each receive, so a peer that trickles
 * bytes cannot stretch it; 0 waits for ever. Interrupted receives (EINTR)
 * are resumed within the deadline. After a -1, errno is ETIMEDOUT when the
 * deadline ended the message, EPROTO for a message the reader refuses,
 * ECONNRESET when the stream ended first (also before any byte), ENOMEM
 * when memory ran out, otherwise the failed receive's. A header line that
 * the end of the stream cuts short is read as it came (only a length of 0
 * can then succeed). Keeps no state between calls and never takes a byte
 * of the next message from the stream. */
KIVREL_API int kivrel_tcp_recv(int fd, char **body) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Message reader                                                           */
/* ------------------------------------------------------------------------ */

/* A reader cuts a byte stream into message bodies without doing any I/O:
 * feed it the bytes as they arrive, in pieces of any size, and ask it for
 * the next whole body. A program with its own event loop (poll(), Qt,
 * libuv) speaks the protocol with it without a blocking call; see
 * examples/event_loop_client.c. kivrel_tcp_recv() and the client call read
 * through one too.
 *
 * The rules, one for every reader of the wire in this library:
 *  - A header line ends at its first line feed within KIVREL_MAX_HEADER_LINE
 *    bytes; a line that reaches KIVREL_MAX_HEADER_LINE bytes without one is
 *    those bytes, and the bytes after them belong to the body. A NUL byte in
 *    the line ends the text that is read.
 *  - The line is read as kivrel_header_deserialize() reads it; the name must
 *    be KIVREL_PROTOCOL exactly, the length 0 to the reader's limit. So
 *    "KIVREL-1.1: 100", "KIVREL-1.1:+100", "KIVREL-1.1:\t100",
 *    "KIVREL-1.1:100:" and "KIVREL-1.1:100:999", each with its line feed,
 *    all announce 100 bytes. Anything else is refused as soon as the line
 *    is whole, without waiting for a body.
 *  - The body is exactly the announced number of bytes; one that holds a
 *    NUL byte anywhere is refused. Length 0 gives an empty body (which the
 *    document readers refuse).
 * A refusal is final: the stream position is lost, and every later feed and
 * get fails (-1). Memory: the reader holds the bytes fed and not yet handed
 * out; its buffer grows with the bytes that arrive, never ahead of them to
 * an announced length, and a body is usually handed out as that buffer
 * itself, without a copy. A reader is used by one thread at a time;
 * different readers are independent. */

/* Returns a new empty reader whose message size limit is
 * kivrel_get_max_message_size() at this moment (release with
 * kivrel_reader_destroy()), or NULL when memory runs out. */
KIVREL_API kivrel_reader *kivrel_reader_create(void) KIVREL_NOEXCEPT;
/* Releases the reader and every byte it holds. NULL is ignored. */
KIVREL_API void kivrel_reader_destroy(kivrel_reader *reader) KIVREL_NOEXCEPT;
/* Sets the largest body length a header may announce to this reader, for
 * headers not read yet. Returns 0, or -1 (limit unchanged) for a value below
 * KIVREL_MIN_MAX_MESSAGE_SIZE. */
KIVREL_API int kivrel_reader_set_max_message_size(kivrel_reader *reader,
                                                  int32_t bytes) KIVREL_NOEXCEPT;
/* Returns the reader's limit on the body length. */
KIVREL_API int32_t kivrel_reader_get_max_message_size(const kivrel_reader *reader) KIVREL_NOEXCEPT;
/* Appends `len` bytes from `bytes` (copied; NULL only with `len` 0). Parses
 * nothing: kivrel_reader_get_message() does. Returns 0, or -1 when memory
 * runs out (the bytes are lost, so this fails the reader for good) or the
 * reader has failed before. */
KIVREL_API int kivrel_reader_feed(kivrel_reader *reader, const char *bytes,
                                  size_t len) KIVREL_NOEXCEPT;
/* Takes the next whole message. Returns 0 with a new NUL-terminated body at
 * `*body` (release with kivrel_mem_free()) and its length at `*len` (when
 * `len` is not NULL), or 0 with `*body` NULL (and `*len` 0) when more bytes
 * are needed; call it again after each feed until it gives NULL, as one feed
 * may complete several messages. Returns -1 with `*body` NULL when the bytes
 * break the rules above or memory runs out; the reader has then failed for
 * good (see kivrel_reader_get_error()). */
KIVREL_API int kivrel_reader_get_message(kivrel_reader *reader, char **body,
                                         int32_t *len) KIVREL_NOEXCEPT;
/* Returns NULL while the reader has not failed, otherwise a static text
 * (never released) that says why, such as "header names another protocol".
 * For messages to people; the texts may change. */
KIVREL_API const char *kivrel_reader_get_error(const kivrel_reader *reader) KIVREL_NOEXCEPT;
/* Returns the number of bytes held: those fed and neither read as a header
 * line nor handed out in a body (the part of a message's body read so far,
 * a header line not yet whole, any bytes of later messages). A server
 * bounds its memory by the sum over its readers. */
KIVREL_API size_t kivrel_reader_get_buffered(const kivrel_reader *reader) KIVREL_NOEXCEPT;
/* Returns 1 when part of a message has arrived (bytes are held, or a header
 * has been read whose body is not complete), 0 between messages. */
KIVREL_API int kivrel_reader_in_message(const kivrel_reader *reader) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* TCP endpoints and stream utilities                                       */
/* ------------------------------------------------------------------------ */

/* Returns a new empty client (no address, port 0, socket -1), or NULL. */
KIVREL_API kivrel_tcp_client *kivrel_tcp_client_new(void) KIVREL_NOEXCEPT;
/* Releases the record alone. */
KIVREL_API void kivrel_tcp_client_free(kivrel_tcp_client *client) KIVREL_NOEXCEPT;
/* Returns a new client holding a copy of `ip_addr` (dotted decimal), `port`
 * and an open, unconnected IPv4 socket with a one-second deadline per
 * message (see kivrel_tcp_client_set_timeout_ms()) and TCP_NODELAY (a
 * message never waits behind an unacknowledged one for a delayed
 * acknowledgement); NULL (nothing left open) on failure. */
KIVREL_API kivrel_tcp_client *kivrel_tcp_client_create(const char *ip_addr,
                                                       int32_t port) KIVREL_NOEXCEPT;
/* Connects the client's socket to its address, which must be strict
 * dotted-decimal IPv4 text: four decimal parts 0-255, no leading zeros
 * beyond a lone "0", nothing before or after ("192.168.010.021", "127.1",
 * "0x7f.0.0.1" and "1.2.3.4 junk" are refused); no name is looked up.
 * Returns 0, or -1 (the caller still destroys the client) for such text,
 * a port outside 0-65535, a refused or failed connection, or one not made
 * within the client's deadline (kivrel_tcp_client_set_timeout_ms(), counted
 * from the call; 0 waits as long as the system does). A signal arriving
 * meanwhile does not fail it: the wait goes on within the deadline. After a
 * -1 the handshake may still complete in the background; destroy the client
 * rather than connect it again. */
KIVREL_API int kivrel_tcp_client_connect(kivrel_tcp_client *client) KIVREL_NOEXCEPT;
/* Closes the socket, releases the address copy and the record. NULL is
 * ignored. */
KIVREL_API void kivrel_tcp_client_destroy(kivrel_tcp_client *client) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_tcp_client_set_server_ip_addr(kivrel_tcp_client *client,
                                                    const char *ip_addr) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_tcp_client_set_server_port(kivrel_tcp_client *client,
                                                 int32_t port) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_tcp_client_set_socket_fd(kivrel_tcp_client *client,
                                               int32_t fd) KIVREL_NOEXCEPT;
KIVREL_API char *
kivrel_tcp_client_get_server_ip_addr(const kivrel_tcp_client *client) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_tcp_client_get_server_port(const kivrel_tcp_client *client)
    KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_tcp_client_get_socket_fd(const kivrel_tcp_client *client) KIVREL_NOEXCEPT;
/* Sets the client's deadline in milliseconds: the longest one connect, one
 * whole send or one whole receive of a message (header and body) may take
 * on its socket; 1000 until set. 0 waits for ever. The deadline lives on the
 * socket, so set it after kivrel_tcp_client_create() and after replacing the
 * socket. Returns 0, or -1 (nothing changed) for a negative value or a
 * client without a socket. */
KIVREL_API int kivrel_tcp_client_set_timeout_ms(kivrel_tcp_client *client,
                                                int32_t ms) KIVREL_NOEXCEPT;

/* Returns a new empty server record (port 0, socket -1), or NULL. */
KIVREL_API kivrel_tcp_server *kivrel_tcp_server_new(void) KIVREL_NOEXCEPT;
/* Releases the record alone. */
KIVREL_API void kivrel_tcp_server_free(kivrel_tcp_server *server) KIVREL_NOEXCEPT;
/* Returns a new server listening on `port` on every local IPv4 address
 * (backlog 5, SO_REUSEADDR so a restarted service can listen again at once),
 * or NULL (nothing left open) when a live socket holds the port or the
 * socket fails. */
KIVREL_API kivrel_tcp_server *kivrel_tcp_server_create(int32_t port) KIVREL_NOEXCEPT;
/* Returns a new server like kivrel_tcp_server_create(), listening only on
 * `bind_address` (strict dotted-decimal IPv4 text, as for
 * kivrel_tcp_client_connect(); "127.0.0.1" for loopback only) or, when it
 * is NULL, on every local IPv4 address. `port` 0 takes a free port chosen
 * by the system (see kivrel_tcp_server_get_bound_port()). NULL (nothing
 * left open) for an address that is not such text, a port outside 0-65535,
 * an address not on this machine, a port held by a live socket, or a
 * failed socket. */
KIVREL_API kivrel_tcp_server *kivrel_tcp_server_create_at(const char *bind_address,
                                                          int32_t port) KIVREL_NOEXCEPT;
/* Returns the local port the server's socket is bound to (the real port of
 * a server created with port 0), or -1 for a record without a bound socket. */
KIVREL_API int32_t kivrel_tcp_server_get_bound_port(const kivrel_tcp_server *server)
    KIVREL_NOEXCEPT;
/* Sets, on a listening record, the per-message deadline in milliseconds of
 * every connection it accepts afterwards (see kivrel_tcp_recv()); 10000 for
 * servers made by kivrel_tcp_server_create()/_create_at(). 0 restores
 * waiting for ever. Accepting itself still waits for ever. Returns 0, or -1
 * (nothing changed) for a negative value or a record without a socket. */
KIVREL_API int kivrel_tcp_server_set_timeout_ms(kivrel_tcp_server *server,
                                                int32_t ms) KIVREL_NOEXCEPT;
/* Blocks until a client connects. Returns a new record (port 0) holding the
 * accepted connection (TCP_NODELAY, the listening record's per-message
 * deadline), or NULL. */
KIVREL_API kivrel_tcp_server *kivrel_tcp_server_accept(kivrel_tcp_server *server) KIVREL_NOEXCEPT;
/* Closes the socket and releases the record. NULL is ignored. */
KIVREL_API void kivrel_tcp_server_destroy(kivrel_tcp_server *server) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_tcp_server_set_port(kivrel_tcp_server *server, int32_t port) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_tcp_server_set_socket_fd(kivrel_tcp_server *server,
                                               int32_t fd) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_tcp_server_get_port(const kivrel_tcp_server *server) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_tcp_server_get_socket_fd(const kivrel_tcp_server *server) KIVREL_NOEXCEPT;

/* The three stream helpers below keep no deadline per call: the socket's
 * SO_RCVTIMEO/SO_SNDTIMEO bounds each receive or send they make, not the
 * whole count, and an interrupted receive or send (EINTR) ends them with
 * -1. The framing above (kivrel_tcp_send(), kivrel_tcp_recv()) does not use
 * them. */

/* Reads `n` bytes. Returns n, fewer when the stream ended first, 0 for n of
 * 0 or less, or -1 on a receive error or time-out. */
KIVREL_API int32_t kivrel_utility_readn(int fd, void *buf, int32_t n) KIVREL_NOEXCEPT;
/* Writes `n` bytes. Returns n, or the 0 or -1 that a send returned. */
KIVREL_API int32_t kivrel_utility_writen(int fd, const void *buf, int32_t n) KIVREL_NOEXCEPT;
/* Reads one line, up to and including the line feed and never a byte
 * beyond it, into `buf` of `max` bytes and terminates it. Returns the
 * stored count plus one when a line feed ended it or the stream ended after
 * some bytes (the count itself when the line feed was stored), `max` when
 * the buffer filled, 0 when the stream ended before any byte, 1 for `max`
 * of 1 or less, -1 on a receive error or time-out. */
KIVREL_API int32_t kivrel_utility_readline(int fd, char *buf, int32_t max) KIVREL_NOEXCEPT;
/* Start and stop the platform's socket layer; 0 where none is needed. */
KIVREL_API int kivrel_winsock2_wsastartup(void) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_winsock2_wsacleanup(void) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Client call                                                              */
/* ------------------------------------------------------------------------ */

/* Sends one call of `name` with `args` (NULL: no arguments; stays the
 * caller's) on the connected `client` and waits for the response. Returns
 * the new result list (release with kivrel_datalist_destroy()), or NULL for
 * a failed call and for a response without a result list alike; use
 * kivrel_request_method_call_status() to tell them apart. Time-outs, kept
 * connections, errno (ETIMEDOUT when the deadline ended the call) and
 * threads as there. */
KIVREL_API kivrel_datalist *kivrel_request_method_call(kivrel_tcp_client *client, const char *name,
                                                       const kivrel_datalist *args) KIVREL_NOEXCEPT;
/* As kivrel_request_method_call(), and says what happened. Returns 0 when a
 * response document came back, with the new result list at `*result`
 * (release with kivrel_datalist_destroy()) or NULL for a response without a
 * result; -1 with `*result` NULL when the call failed: NULL `client`,
 * `method` or `result`, a name or list that cannot be encoded, no
 * connection, a send or receive that failed or passed the client's
 * deadline (errno ETIMEDOUT), a response the reader refuses (see "Message
 * reader"), or an answer that is not a response document.
 * Kept connections: before the call is sent, bytes already waiting on the
 * connection (an answer nobody asked for, or the peer's close) fail it with
 * -1 and nothing is sent, so a call never returns an answer to an earlier
 * call; bytes that arrive behind the response in the same receive shut the
 * connection down, so the next call on it fails. After a failure, do not
 * reuse the connection. The response is read with as few receives as it
 * arrives in (no peek). A client is used by one thread at a time. Waits at
 * most the client's deadline for the send and again for the response (see
 * kivrel_tcp_client_set_timeout_ms()); the method's own run time on the
 * service counts against the second. After a -1 from the exchange, errno
 * is ETIMEDOUT when a deadline ended it, EPROTO for bytes waiting before the
 * call, a refused response or an answer that is not a response document,
 * ECONNRESET when the peer closed first, otherwise the failed call's. */
KIVREL_API int kivrel_request_method_call_status(kivrel_tcp_client *client, const char *method,
                                                 const kivrel_datalist *args,
                                                 kivrel_datalist **result) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Method objects                                                           */
/* ------------------------------------------------------------------------ */

/* Methods. A method is built by one thread; once it is in a registry that
 * serves calls it is only read, by any number of threads at once, and must
 * not be changed (or released) until nothing serves that registry any more. */

/* Returns a new method with all its fields NULL (release with
 * kivrel_method_destroy()), or NULL. */
KIVREL_API kivrel_method *kivrel_method_new(void) KIVREL_NOEXCEPT;
/* Releases the record only: set the four texts to NULL first. */
KIVREL_API void kivrel_method_free(kivrel_method *method) KIVREL_NOEXCEPT;
/* Releases the four texts and the record (never `data`). NULL is ignored. */
KIVREL_API void kivrel_method_destroy(kivrel_method *method) KIVREL_NOEXCEPT;
/* Return a new method with `func` (resp. `exfunc`) set and copies of the
 * texts (NULL texts leave fields NULL), or NULL. `sign_datalist_arg` NULL
 * means the method takes no arguments, `sign_datalist_ret` NULL that it
 * returns no result, "?" a shape not described (see Signatures at the top);
 * the service does not check calls against them. The caller owns the
 * method: release it with kivrel_method_destroy(), or with the registry
 * that holds it through kivrel_registry_destroy(registry, 1). */
KIVREL_API kivrel_method *kivrel_method_create(const char *name, kivrel_method_func func,
                                               const char *sign_datalist_arg,
                                               const char *sign_datalist_ret,
                                               const char *help) KIVREL_NOEXCEPT;
KIVREL_API kivrel_method *kivrel_method_ex_create(const char *name, kivrel_method_exfunc exfunc,
                                                  const char *sign_datalist_arg,
                                                  const char *sign_datalist_ret,
                                                  const char *help) KIVREL_NOEXCEPT;
/* Returns a new method whose function receives `data` (not owned, may be
 * NULL) on every call, with copies of the texts (NULL texts leave fields
 * NULL), or NULL. The service runs it for ordinary names where it would run
 * `func`; `data` must stay valid, and safe to use from the threads that
 * serve calls, while the method can be called. */
KIVREL_API kivrel_method *kivrel_method_create_data(const char *name,
                                                    kivrel_method_datafunc datafunc, void *data,
                                                    const char *sign_datalist_arg,
                                                    const char *sign_datalist_ret,
                                                    const char *help) KIVREL_NOEXCEPT;
/* Store and read the user data pointer (never owned). Return 0 / the
 * pointer. */
KIVREL_API int kivrel_method_set_data(kivrel_method *method, void *data) KIVREL_NOEXCEPT;
KIVREL_API void *kivrel_method_get_data(const kivrel_method *method) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_set_datafunc(kivrel_method *method,
                                          kivrel_method_datafunc datafunc) KIVREL_NOEXCEPT;
/* Text setters store a private copy (NULL clears) and release the old one;
 * they return 0, or -1 when the copy cannot be made (the old text stays).
 * The function setters return 0. */
KIVREL_API int kivrel_method_set_name(kivrel_method *method, const char *name) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_set_func(kivrel_method *method,
                                      kivrel_method_func func) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_set_exfunc(kivrel_method *method,
                                        kivrel_method_exfunc exfunc) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_set_sign_datalist_arg(kivrel_method *method,
                                                   const char *sign) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_set_sign_datalist_ret(kivrel_method *method,
                                                   const char *sign) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_set_help(kivrel_method *method, const char *help) KIVREL_NOEXCEPT;
/* Return the stored text (not a copy: owned by the method, valid until it is
 * set again or the method released), or NULL when not set. */
KIVREL_API char *kivrel_method_get_name(const kivrel_method *method) KIVREL_NOEXCEPT;
KIVREL_API char *kivrel_method_get_sign_datalist_arg(const kivrel_method *method) KIVREL_NOEXCEPT;
KIVREL_API char *kivrel_method_get_sign_datalist_ret(const kivrel_method *method) KIVREL_NOEXCEPT;
KIVREL_API char *kivrel_method_get_help(const kivrel_method *method) KIVREL_NOEXCEPT;
/* Run `func` (or, when only `datafunc` is set, `datafunc` with `data`),
 * resp. `exfunc`, and return its status; -1 when the function is not set
 * or throws (anything it stored at `*ret` is still the caller's). */
KIVREL_API int kivrel_method_execute(const kivrel_method *method, const kivrel_datalist *args,
                                     kivrel_datalist **ret) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_method_ex_execute(const kivrel_method *method, const kivrel_datalist *args,
                                        kivrel_datalist **ret,
                                        const kivrel_registry *registry) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Method registry                                                          */
/* ------------------------------------------------------------------------ */

/* A registry is built by one thread; once it serves calls it is only read,
 * by any number of threads at once (lookups, introspection), and must not
 * be changed until nothing serves it any more. The element functions below
 * are the pieces kivrel_registry_add_method() and kivrel_registry_destroy()
 * are made of; a program needs them only to walk a registry. */

/* Returns a new element with its fields not set (release with
 * kivrel_registry_elmt_free()), or NULL. */
KIVREL_API kivrel_registry_elmt *kivrel_registry_elmt_new(void) KIVREL_NOEXCEPT;
/* Returns a new element with `method` and `next` NULL, or NULL. */
KIVREL_API kivrel_registry_elmt *kivrel_registry_elmt_create(void) KIVREL_NOEXCEPT;
/* Releases the element alone (not its method, not the next element). */
KIVREL_API void kivrel_registry_elmt_free(kivrel_registry_elmt *element) KIVREL_NOEXCEPT;
/* Plain stores, no ownership taken; return 0. The getters return the
 * field. */
KIVREL_API int kivrel_registry_elmt_set_method(kivrel_registry_elmt *element,
                                               kivrel_method *method) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_registry_elmt_set_next(kivrel_registry_elmt *element,
                                             kivrel_registry_elmt *next) KIVREL_NOEXCEPT;
KIVREL_API kivrel_method *
kivrel_registry_elmt_get_method(const kivrel_registry_elmt *element) KIVREL_NOEXCEPT;
KIVREL_API kivrel_registry_elmt *
kivrel_registry_elmt_get_next(const kivrel_registry_elmt *element) KIVREL_NOEXCEPT;

/* Returns a new registry with its fields not set, or NULL. */
KIVREL_API kivrel_registry *kivrel_registry_new(void) KIVREL_NOEXCEPT;
/* Returns a new empty registry (release with kivrel_registry_destroy()), or
 * NULL. */
KIVREL_API kivrel_registry *kivrel_registry_create(void) KIVREL_NOEXCEPT;
/* Releases the registry record only (not elements, not methods). */
KIVREL_API void kivrel_registry_free(kivrel_registry *registry) KIVREL_NOEXCEPT;
/* Plain stores, no consistency check; return 0. The getters return the
 * field. */
KIVREL_API int kivrel_registry_set_size(kivrel_registry *registry, int32_t size) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_registry_set_head(kivrel_registry *registry,
                                        kivrel_registry_elmt *head) KIVREL_NOEXCEPT;
KIVREL_API int kivrel_registry_set_tail(kivrel_registry *registry,
                                        kivrel_registry_elmt *tail) KIVREL_NOEXCEPT;
KIVREL_API int32_t kivrel_registry_get_size(const kivrel_registry *registry) KIVREL_NOEXCEPT;
KIVREL_API kivrel_registry_elmt *
kivrel_registry_get_head(const kivrel_registry *registry) KIVREL_NOEXCEPT;
KIVREL_API kivrel_registry_elmt *
kivrel_registry_get_tail(const kivrel_registry *registry) KIVREL_NOEXCEPT;
/* Inserts `element` after `after`, or first when `after` is NULL. 0. */
KIVREL_API int kivrel_registry_ins_next(kivrel_registry *registry, kivrel_registry_elmt *after,
                                        kivrel_registry_elmt *element) KIVREL_NOEXCEPT;
/* Appends a new element holding `method` (not owned). Returns 0, or -1
 * (registry unchanged) when memory runs out. */
KIVREL_API int kivrel_registry_add_method(kivrel_registry *registry,
                                          kivrel_method *method) KIVREL_NOEXCEPT;
/* Returns the earliest-added method whose name equals `name` exactly (still
 * the registry owner's), or NULL. Elements without a method or name are
 * passed over. Only reads: safe from several threads at once. */
KIVREL_API kivrel_method *kivrel_registry_get_method(const kivrel_registry *registry,
                                                     const char *name) KIVREL_NOEXCEPT;
/* Releases every element and the registry record in one call; with
 * `with_methods` non-zero also every method it holds (each once, however
 * often it was added; the introspection methods included) through
 * kivrel_method_destroy(). With 0 the methods stay the caller's. NULL is
 * ignored. No service or host may still be using the registry. */
KIVREL_API void kivrel_registry_destroy(kivrel_registry *registry,
                                        int with_methods) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Service                                                                  */
/* ------------------------------------------------------------------------ */

/* Returns a new service record with its field not set (release with
 * kivrel_service_destroy()), or NULL. */
KIVREL_API struct kivrel_service *kivrel_service_new(void) KIVREL_NOEXCEPT;
/* Releases the record only (not the registry). */
KIVREL_API void kivrel_service_free(struct kivrel_service *service) KIVREL_NOEXCEPT;
/* Same as kivrel_service_free(): the service owns nothing. NULL is ignored. */
KIVREL_API void kivrel_service_destroy(struct kivrel_service *service) KIVREL_NOEXCEPT;
/* Returns a new service holding `registry` (not owned; it must outlive the
 * service's use), or NULL; release with kivrel_service_destroy(). Once
 * made, a service may be used by any number of threads at once. */
KIVREL_API struct kivrel_service *kivrel_service_create(kivrel_registry *registry) KIVREL_NOEXCEPT;
/* Plain store and read; the setter returns 0. */
KIVREL_API int kivrel_service_set_registry(struct kivrel_service *service,
                                           kivrel_registry *registry) KIVREL_NOEXCEPT;
KIVREL_API kivrel_registry *
kivrel_service_get_registry(const struct kivrel_service *service) KIVREL_NOEXCEPT;
/* The answer to one call without any I/O: reads `body` (a received call
 * document, NUL-terminated, not NULL), runs the named method and writes the
 * whole response message, header line included, ready to be written to the
 * connection. Returns 0 with a new text at `*message` (release with
 * kivrel_mem_free()) and its length without the NUL at `*len` (when `len` is
 * not NULL); -1 with `*message` NULL when the call gets no answer: a NULL
 * argument, a body that is not a call document (see the readers above), a
 * method that throws, a result that cannot be encoded, memory running out
 * (also inside the library's own introspection methods, which then return
 * -1 without a result). Every other method's status is ignored, under the
 * three reserved introspection names too: a method that returns -1 without
 * a result is answered with no result, as any other. An unknown name is
 * answered with no result. The method runs on the calling thread and is not
 * timed. Several threads may answer calls at once with one service. */
KIVREL_API int kivrel_service_answer(struct kivrel_service *service, const char *body,
                                     char **message, int32_t *len) KIVREL_NOEXCEPT;
/* Answers one call on the accepted `connection`: kivrel_tcp_recv(), then
 * kivrel_service_answer(), then the message is sent. Returns 0 when a
 * response went out; -1 for a NULL argument, a receive failure (also a
 * closed connection), a call that gets no answer (see
 * kivrel_service_answer(): nothing is sent), or a failed send. Never closes
 * the connection. Waits at most the connection's per-message deadline for
 * the call and again for sending the answer (see
 * kivrel_tcp_server_set_timeout_ms()); the method itself is not timed.
 * Several threads may serve different connections at once with one
 * service; a connection is served by one thread at a time. To serve many
 * clients without writing this loop, see libkivrel-host (kivrel_host.h). */
KIVREL_API int kivrel_service(kivrel_tcp_server *connection,
                              struct kivrel_service *service) KIVREL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Introspection                                                            */
/* ------------------------------------------------------------------------ */

/* Creates the methods "KIVREL_LIST_METHODS", "KIVREL_METHOD_SIGNATURE" and
 * "KIVREL_METHOD_HELP" and adds them to `registry`, in this order. The
 * registry's owner disposes of them like its own methods (with
 * kivrel_registry_destroy(registry, 1)). Call it while building the
 * registry, before anything serves it. KIVREL_LIST_METHODS takes no
 * arguments and returns a list of names; the other two take "[{s}]" (a
 * method name) and return its signatures (result first, "none" for NULL,
 * "undef" for "?") or its help text. Returns 0, or -1 (registry
 * unchanged) when memory runs out. A method that runs out of
 * memory while making its answer stores nothing and returns -1, and for
 * these three (only) kivrel_service_answer() then gives no answer rather
 * than a wrong or empty one. */
KIVREL_API int kivrel_introspection_register(kivrel_registry *registry) KIVREL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KIVREL_H */
