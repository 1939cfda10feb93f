// Private to libkivrel (never includes kivrel.hpp, whose names it would
// clash with): RAII owners for everything the C API hands around,
// so that every early return releases by construction.
#ifndef KIVREL_INTERNAL_H
#define KIVREL_INTERNAL_H

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <netinet/in.h>

#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include "kivrel.h"

namespace kivrel {

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
  char *copy = static_cast<char *>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

// malloc'd record with every byte zero, or null.
template <class T> inline T *alloc_record() noexcept {
  return static_cast<T *>(std::calloc(1, sizeof(T)));
}

inline const xmlChar *xml(const char *s) noexcept { return reinterpret_cast<const xmlChar *>(s); }

// True for an element node named `name` (exact, case-sensitive).
inline bool is_element(const xmlNode *node, const xmlChar *name) noexcept {
  return node != nullptr && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, name) == 0;
}

// True when libxml2 can write `text` as character data and read back the
// same bytes: well-formed UTF-8 of XML characters only.
bool xml_can_carry(const char *text) noexcept;

// libxml2 reports some errors (encoding failures, running out of memory)
// on its per-thread generic channel whatever the parser options say; the
// library prints nothing, so it mutes that channel for the duration of a
// call and gives the caller's handler back afterwards.
class QuietXmlErrors {
public:
  QuietXmlErrors() noexcept;
  ~QuietXmlErrors();
  QuietXmlErrors(const QuietXmlErrors &) = delete;
  QuietXmlErrors &operator=(const QuietXmlErrors &) = delete;

private:
  static void discard(void *context, const char *format, ...) noexcept;
  xmlGenericErrorFunc saved_func_;
  void *saved_context_;
};

// Strict dotted-decimal IPv4 text (four decimal parts 0-255, no leading
// zeros, nothing around it) to an address in network order.
bool parse_ipv4(const char *text, in_addr_t *out) noexcept;

// A socket's per-message deadline lives in its SO_RCVTIMEO/SO_SNDTIMEO, so
// that accepted connections and replaced sockets carry it. 0: for ever.
bool set_socket_deadline(int fd, int32_t ms) noexcept;
int32_t socket_deadline_ms(int fd, int option) noexcept;

} // namespace kivrel

#endif
