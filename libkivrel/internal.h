// Private to libkivrel (never includes kivrel.hpp, whose names it would
// clash with): RAII owners for everything the C API hands around,
// so that every early return releases by construction.
#ifndef KIVREL_INTERNAL_H
#define KIVREL_INTERNAL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>

#include <netinet/in.h>

#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include "kivrel.h"
#include "xmlcodec.h"

namespace kivrel {

// Every allocation of the library goes through these three, so that a test
// build (KIVREL_FAULT_INJECTION, never the shipped library) can make any one
// of them fail; the test program defines alloc_fails() then.
#if defined(KIVREL_FAULT_INJECTION)
bool alloc_fails() noexcept;
#else
constexpr bool alloc_fails() noexcept { return false; }
#endif
inline void *mem_malloc(size_t n) noexcept { return alloc_fails() ? nullptr : std::malloc(n); }
inline void *mem_calloc(size_t count, size_t n) noexcept {
  return alloc_fails() ? nullptr : std::calloc(count, n);
}
inline void *mem_realloc(void *block, size_t n) noexcept {
  return alloc_fails() ? nullptr : std::realloc(block, n);
}

// Every block the library hands out without a record of its own is malloc'd,
// so that kivrel_mem_free() can release it.
struct MallocDeleter {
  void operator()(void *p) const noexcept { std::free(p); }
};
using CText = std::unique_ptr<char, MallocDeleter>;
template <class T> using CBox = std::unique_ptr<T, MallocDeleter>;

struct XmlDocDeleter {
  void operator()(xmlDoc *d) const noexcept { xmlFreeDoc(d); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlNodeDeleter {
  void operator()(xmlNode *n) const noexcept { xmlFreeNode(n); }
};
using XmlNode = std::unique_ptr<xmlNode, XmlNodeDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar *c) const noexcept { xmlFree(c); }
};
using XmlChar = std::unique_ptr<xmlChar, XmlCharDeleter>;

struct DatalistDeleter {
  void operator()(kivrel_datalist *l) const noexcept { kivrel_datalist_destroy(l); }
};
using Datalist = std::unique_ptr<kivrel_datalist, DatalistDeleter>;

struct DataDeleter {
  void operator()(kivrel_data *d) const noexcept { kivrel_data_destroy(d); }
};
using Data = std::unique_ptr<kivrel_data, DataDeleter>;

struct HeaderDeleter {
  void operator()(kivrel_header *h) const noexcept { kivrel_header_destroy(h); }
};
using Header = std::unique_ptr<kivrel_header, HeaderDeleter>;

struct XmlTextDeleter {
  void operator()(char *t) const noexcept { kivrel_xml_free(t); }
};
using XmlText = std::unique_ptr<char, XmlTextDeleter>;

// malloc'd copy of a NUL-terminated text; null when `s` is null or memory
// runs out.
inline char *dup_text(const char *s) noexcept {
  if (s == nullptr) return nullptr;
  size_t n = std::strlen(s) + 1;
  char *copy = static_cast<char *>(mem_malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

// malloc'd record with every field zero, or null. Not calloc, and not a
// memset that the compiler would turn back into calloc: glibc's calloc
// passes by its per-thread cache, and values are made and freed by the
// dozen on every call.
template <class T> inline T *alloc_record() noexcept {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 64);
  T *record = static_cast<T *>(mem_malloc(sizeof(T)));
  if (record != nullptr) *record = T{};
  return record;
}

// The status by which the library's own introspection methods say that
// memory ran out while making their answer; the service then sends nothing
// rather than "no result". Any other method's status is ignored.
constexpr int kMethodFailed = -1;

inline const xmlChar *xml(const char *s) noexcept { return reinterpret_cast<const xmlChar *>(s); }

// True for an element node named `name` (exact, case-sensitive).
inline bool is_element(const xmlNode *node, const xmlChar *name) noexcept {
  return node != nullptr && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, name) == 0;
}

// True when libxml2 can write `text` as character data and read back the
// same bytes: well-formed UTF-8 of XML characters only.
bool xml_can_carry(const char *text) noexcept;

// Length of the well-formed UTF-8 sequence of a non-ASCII XML character at
// `p` (NUL-terminated text), or 0 for anything else.
size_t utf8_xml_char_length(const unsigned char *p) noexcept;

// Decimal with optional sign after white space; what follows the digits is
// ignored. False when there are no digits or the number leaves 32 bits.
// Both document readers read `int` text with it.
bool parse_int32(const char *text, int32_t *out) noexcept;

// Held for the whole of every library call that enters libxml2.
//  - libxml2 reports some errors (encoding failures, running out of memory)
//    whatever the parser options say; the library prints nothing, so the
//    guard takes both of the thread's error channels for its lifetime and
//    gives the caller's handlers back afterwards.
//  - libxml2 reports a failed allocation but often carries on and returns
//    a half-built node, document or text: the guard records every such
//    report, and out_of_memory() tells the call to throw its result away.
//  - In a thread other than its first, libxml2 keeps its settings in a
//    per-thread block made on first use; when that block cannot be made,
//    any libxml2 call would crash, so ready() is false and the call must
//    fail without entering libxml2.
// Guards nest: an inner guard passes its memory failure on to the outer.
class QuietXmlErrors {
public:
  QuietXmlErrors() noexcept;
  ~QuietXmlErrors();
  QuietXmlErrors(const QuietXmlErrors &) = delete;
  QuietXmlErrors &operator=(const QuietXmlErrors &) = delete;

  bool ready() const noexcept { return ready_; }
  bool out_of_memory() const noexcept { return out_of_memory_; }
  // Not ready, or memory ran out since the guard was made.
  bool failed() const noexcept { return !ready_ || out_of_memory_; }

private:
  static void discard(void *context, const char *format, ...) noexcept;
  static void record(void *guard, xmlError *error) noexcept;
  bool ready_ = false;
  bool out_of_memory_ = false;
  xmlGenericErrorFunc saved_func_ = nullptr;
  void *saved_context_ = nullptr;
  xmlStructuredErrorFunc saved_structured_ = nullptr;
  void *saved_structured_context_ = nullptr;
};

// Sets libxml2 up once per process (every path into libxml2 or its
// allocator passes here first, so the setup happens before any use).
void xml_ready() noexcept;

// What libxml2 may hold for one document read by this thread, so that a
// reader's peak stays a small multiple of the document whatever its shape.
// While a budget lives, libxml2's allocations on its thread are counted
// (net of what it frees), and one that would pass `limit` bytes fails: the
// parse then ends as when memory runs out. Only when libxml2 uses the C
// library's allocator (nobody called xmlMemSetup() before the library) is
// anything counted. Budgets nest; the innermost counts.
class XmlBudget {
public:
  explicit XmlBudget(size_t limit) noexcept;
  ~XmlBudget();
  XmlBudget(const XmlBudget &) = delete;
  XmlBudget &operator=(const XmlBudget &) = delete;

  // Takes `size` more bytes, or refuses (false) when they would pass the
  // limit; a negative size gives bytes back.
  bool take(ptrdiff_t size) noexcept;

private:
  ptrdiff_t limit_;
  ptrdiff_t used_ = 0;
  XmlBudget *outer_;
};

// Parses an untrusted document: no DOCTYPE, no entity declaration, no
// entity reference but the five predefined ones and character references,
// nothing loaded from anywhere, 256 levels of elements at most. Null for a
// document that breaks any of these, is not well-formed, or could not be
// read whole for want of memory. Call it inside a QuietXmlErrors guard.
xmlDoc *read_document(const char *text, size_t size) noexcept;

// Strict dotted-decimal IPv4 text (four decimal parts 0-255, no leading
// zeros, nothing around it) to an address in network order.
bool parse_ipv4(const char *text, in_addr_t *out) noexcept;

// A socket's per-message deadline lives in its SO_RCVTIMEO/SO_SNDTIMEO, so
// that accepted connections and replaced sockets carry it. 0: for ever.
bool set_socket_deadline(int fd, int32_t ms) noexcept;
int32_t socket_deadline_ms(int fd, int option) noexcept;

// The deadline of one whole message (or connect) on a socket: the socket's
// SO_RCVTIMEO or SO_SNDTIMEO (`option`) counted from construction; 0 means
// none. The option is read only when a second wait is needed: the first
// system call of a message may block in the kernel, whose time-out is then
// still the whole deadline.
class MessageDeadline {
public:
  MessageDeadline(int fd, int option) noexcept
      : fd_(fd), option_(option), start_(std::chrono::steady_clock::now()) {}
  // Waits in poll() until `fd` reports `events` (or an error, which the
  // next call on it then reports). Returns false once the deadline has
  // passed or poll() fails; an interrupted wait resumes with what is left.
  bool wait(short events) noexcept;

private:
  int fd_;
  int option_;
  std::chrono::steady_clock::time_point start_;
  bool known_ = false;
  int32_t ms_ = 0;
};

// The name and length of a header line, with the rules of
// kivrel_header_deserialize(); false where it refuses the line. `name`
// points into `line`. The name is not compared with the protocol's.
bool parse_header_line(std::string_view line, std::string_view *name, int32_t *bodylen) noexcept;

// True when nothing waits to be read on `fd`: the check before a call is
// sent on a kept connection. False, with errno EPROTO for bytes waiting
// (an answer nobody asked for) or ECONNRESET for the peer's close, or the
// receive's errno.
bool connection_quiet(int fd) noexcept;

// Receives one response for a client call, reading as much as arrives in
// each receive (no peek). Bytes that come after the response in the same
// receive shut the connection down, so the next call on it fails. False
// with errno as for kivrel_tcp_recv().
bool receive_response(int fd, char **body) noexcept;

// A whole message: the header line for `doc_len` bytes, then the document
// and a NUL, from mem_malloc(); its length without the NUL at `*len`. Null
// when memory runs out or the length cannot be announced.
char *frame_message(const char *doc, size_t doc_len, int32_t *len) noexcept;

// True for the library's own introspection functions, which return
// kMethodFailed only when memory ran out while making their answer.
bool is_library_introspection(kivrel_method_exfunc exfunc) noexcept;

} // namespace kivrel

#endif
