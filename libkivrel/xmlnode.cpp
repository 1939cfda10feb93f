// Values as libxml2 element trees: <datalist> holds one <data> per value,
// and a <data> holds one <int>, <string> or nested <datalist>.
#include <charconv>
#include <cstdint>
#include <cstring>

#include <malloc.h>

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/threads.h>
#include <libxml/xmlerror.h>

#include "internal.h"

namespace {

using kivrel::is_element;
using kivrel::xml;

// Lists nest at most this deep, the outermost counting as 1. Both walks
// recurse once per level, so the bound is also what keeps a hostile tree
// from exhausting the stack.
constexpr int kMaxDepth = KIVREL_MAX_DEPTH;

// "-2147483648" and its NUL.
constexpr size_t kIntTextSize = 12;

constexpr char kTypeInt[] = "int";
constexpr char kTypeString[] = "string";
constexpr char kTypeDatalist[] = "datalist";

const xmlChar *const kInt = xml("int");
const xmlChar *const kString = xml("string");
const xmlChar *const kData = xml("data");
const xmlChar *const kDatalist = xml("datalist");

using kivrel::Data;
using kivrel::Datalist;
using kivrel::XmlChar;
using kivrel::XmlNode;

// Element `name` holding one text node; null if either cannot be made.
xmlNode *text_element(const xmlChar *name, const char *text) noexcept {
  XmlNode element(xmlNewNode(nullptr, name));
  if (!element) return nullptr;
  XmlNode child(xmlNewText(xml(text)));
  if (!child || xmlAddChild(element.get(), child.get()) == nullptr) return nullptr;
  child.release();
  return element.release();
}

// Text of the element's first child node. Text and CDATA nodes are read in
// place; anything else goes through libxml2's copy, kept alive by `hold`.
const xmlChar *first_child_text(const xmlNode *element, XmlChar &hold) noexcept {
  const xmlNode *child = element->children;
  if (child == nullptr) return nullptr;
  if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
      child->content != nullptr)
    return child->content;
  hold.reset(xmlNodeGetContent(child));
  return hold.get();
}

// ---- writing

xmlNode *dump_list(const kivrel_datalist *list, int depth) noexcept;

xmlNode *dump_int(const kivrel_data_int *payload) noexcept {
  if (payload == nullptr) return nullptr;
  char digits[kIntTextSize];
  auto end = std::to_chars(digits, digits + sizeof digits - 1, kivrel_data_int_get(payload)).ptr;
  *end = '\0';
  return text_element(kInt, digits);
}

xmlNode *dump_string(const kivrel_data_string *payload) noexcept {
  if (payload == nullptr) return nullptr;
  const char *text = kivrel_data_string_get_string(payload);
  // libxml2 would shorten or drop such text while writing; refuse instead.
  if (text == nullptr || !kivrel::xml_can_carry(text)) return nullptr;
  return text_element(kString, text);
}

xmlNode *dump_value(const kivrel_data *value, int depth) noexcept {
  const char *type = kivrel_data_get_datatype(value);
  if (type == nullptr) return nullptr;
  void *payload = kivrel_data_get_data(value);
  XmlNode child;
  if (std::strcmp(type, kTypeInt) == 0)
    child.reset(dump_int(static_cast<const kivrel_data_int *>(payload)));
  else if (std::strcmp(type, kTypeString) == 0)
    child.reset(dump_string(static_cast<const kivrel_data_string *>(payload)));
  else if (std::strcmp(type, kTypeDatalist) == 0)
    child.reset(dump_list(static_cast<const kivrel_datalist *>(payload), depth + 1));
  if (!child) return nullptr; // also for byte blocks and unknown types: they have no element

  XmlNode element(xmlNewNode(nullptr, kData));
  if (!element || xmlAddChild(element.get(), child.get()) == nullptr) return nullptr;
  child.release();
  return element.release();
}

xmlNode *dump_list(const kivrel_datalist *list, int depth) noexcept {
  if (list == nullptr || depth > kMaxDepth) return nullptr;
  const kivrel_data *value = kivrel_datalist_get_head(list);
  if (value == nullptr) return nullptr; // an empty list has no encoding
  XmlNode element(xmlNewNode(nullptr, kDatalist));
  if (!element) return nullptr;
  for (; value != nullptr; value = kivrel_data_get_next(value)) {
    XmlNode child(dump_value(value, depth));
    if (!child || xmlAddChild(element.get(), child.get()) == nullptr) return nullptr;
    child.release();
  }
  return element.release();
}

// ---- reading

kivrel_datalist *load_list(const xmlNode *node, int depth) noexcept;

kivrel_data_int *load_int(const xmlNode *node) noexcept {
  if (!is_element(node, kInt)) return nullptr;
  XmlChar hold;
  const xmlChar *text = first_child_text(node, hold);
  int32_t number = 0;
  if (text == nullptr || !kivrel::parse_int32(reinterpret_cast<const char *>(text), &number))
    return nullptr;
  return kivrel_data_int_create(number);
}

kivrel_data_string *load_string(const xmlNode *node) noexcept {
  if (!is_element(node, kString)) return nullptr;
  // The writer puts an empty string as an element without text.
  if (node->children == nullptr) return kivrel_data_string_create("");
  XmlChar hold;
  const xmlChar *text = first_child_text(node, hold);
  if (text == nullptr) return nullptr;
  return kivrel_data_string_create(reinterpret_cast<const char *>(text));
}

// A new value owning `payload`, or null (payload released).
template <class Payload>
Data wrap(Payload *payload, int (*link)(kivrel_data *, Payload *),
          void (*release)(Payload *)) noexcept {
  if (payload == nullptr) return nullptr;
  Data value(kivrel_data_create());
  if (!value || link(value.get(), payload) != 0) {
    release(payload);
    return nullptr;
  }
  return value;
}

kivrel_data *load_value(const xmlNode *node, int depth) noexcept {
  if (!is_element(node, kData)) return nullptr;
  // Each value element is read in turn and the last one wins; moving a new
  // value in releases the one it replaces with its payload.
  Data value;
  for (const xmlNode *child = node->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    Data next;
    if (xmlStrcmp(child->name, kInt) == 0)
      next = wrap(load_int(child), kivrel_data_int_link, kivrel_data_int_destroy);
    else if (xmlStrcmp(child->name, kString) == 0)
      next = wrap(load_string(child), kivrel_data_string_link, kivrel_data_string_destroy);
    else if (xmlStrcmp(child->name, kDatalist) == 0)
      next = wrap(load_list(child, depth + 1), kivrel_data_datalist_link, kivrel_datalist_destroy);
    if (!next) return nullptr;
    value = std::move(next);
  }
  if (!value) value.reset(kivrel_data_create()); // no value element: untyped
  return value.release();
}

kivrel_datalist *load_list(const xmlNode *node, int depth) noexcept {
  if (depth > kMaxDepth || !is_element(node, kDatalist)) return nullptr;
  Datalist list(kivrel_datalist_create());
  if (!list) return nullptr;
  for (const xmlNode *child = node->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    kivrel_data *value = load_value(child, depth);
    if (value == nullptr) return nullptr;
    kivrel_datalist_ins_next(list.get(), kivrel_datalist_get_tail(list.get()), value);
  }
  return list.release();
}

} // namespace

namespace kivrel {

bool parse_int32(const char *text, int32_t *out) noexcept {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > limit) return false;
  }
  *out = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

size_t utf8_xml_char_length(const unsigned char *p) noexcept {
  unsigned lead = p[0];
  int tail;
  uint32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    tail = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    tail = 2;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    tail = 3;
    cp = lead & 0x07;
  } else {
    return 0; // ASCII, a stray continuation byte, an overlong C0/C1 lead, or beyond F4
  }
  // A NUL fails the continuation test, so a cut-off sequence stops here.
  for (int i = 1; i <= tail; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((tail == 2 && cp < 0x800) || (tail == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0; // overlong, or past U+10FFFF
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
  return static_cast<size_t>(tail) + 1;
}

bool xml_can_carry(const char *text) noexcept {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  while (*p != 0) {
    if (*p < 0x80) {
      if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') return false;
      ++p;
      continue;
    }
    size_t n = utf8_xml_char_length(p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

namespace {

thread_local XmlBudget *t_budget = nullptr;

// libxml2's allocator while budgets count: the C library's, with every
// block charged to the thread's budget by its usable size.
void *counted_malloc(size_t size) noexcept {
  void *block = std::malloc(size);
  XmlBudget *budget = t_budget;
  if (block != nullptr && budget != nullptr &&
      !budget->take(static_cast<ptrdiff_t>(malloc_usable_size(block)))) {
    std::free(block);
    return nullptr;
  }
  return block;
}

void counted_free(void *block) noexcept {
  XmlBudget *budget = t_budget;
  if (block != nullptr && budget != nullptr)
    budget->take(-static_cast<ptrdiff_t>(malloc_usable_size(block)));
  std::free(block);
}

void *counted_realloc(void *block, size_t size) noexcept {
  XmlBudget *budget = t_budget;
  if (budget == nullptr) return std::realloc(block, size);
  const size_t before = block != nullptr ? malloc_usable_size(block) : 0;
  // Refused before the block moves, so that it stays the caller's.
  if (size > before) {
    if (!budget->take(static_cast<ptrdiff_t>(size - before))) return nullptr;
    budget->take(-static_cast<ptrdiff_t>(size - before));
  }
  void *grown = std::realloc(block, size);
  if (grown == nullptr) return nullptr;
  budget->take(static_cast<ptrdiff_t>(malloc_usable_size(grown)) - static_cast<ptrdiff_t>(before));
  return grown;
}

char *counted_strdup(const char *text) noexcept {
  const size_t size = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(counted_malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

// libxml2 sets up its shared state on first use, and two threads doing that
// at once race. Callers need not call kivrel_initialize() (the panel does
// not), so every entry into libxml2 goes through here first; repeating
// xmlInitParser() later is harmless. libxml2 has no allocator per parse, so
// the counting one stands in for the C library's in the whole process; it
// passes every call straight on and counts only inside a budget. A program
// that set an allocator of its own keeps it, uncounted.
bool parser_ready() noexcept {
  static const bool ready = [] {
    xmlFreeFunc free_fn = nullptr;
    xmlMallocFunc malloc_fn = nullptr;
    xmlReallocFunc realloc_fn = nullptr;
    xmlStrdupFunc strdup_fn = nullptr;
    if (xmlMemGet(&free_fn, &malloc_fn, &realloc_fn, &strdup_fn) == 0 && free_fn == std::free &&
        malloc_fn == std::malloc && realloc_fn == std::realloc)
      xmlMemSetup(counted_free, counted_malloc, counted_realloc, counted_strdup);
    xmlInitParser();
    return true;
  }();
  return ready;
}

} // namespace

void xml_ready() noexcept { parser_ready(); }

XmlBudget::XmlBudget(size_t limit) noexcept
    : limit_(limit > static_cast<size_t>(PTRDIFF_MAX) ? PTRDIFF_MAX
                                                      : static_cast<ptrdiff_t>(limit)),
      outer_(t_budget) {
  t_budget = this;
}

XmlBudget::~XmlBudget() { t_budget = outer_; }

bool XmlBudget::take(ptrdiff_t size) noexcept {
  if (size > 0 && size > limit_ - used_) return false;
  used_ += size;
  return true;
}

// The first thread to enter libxml2 uses its process-wide settings; any
// other needs its per-thread block, which libxml2 makes on first use and
// may fail to make.
bool thread_state_ready() noexcept { return xmlIsMainThread() || xmlGetGlobalState() != nullptr; }

QuietXmlErrors::QuietXmlErrors() noexcept : ready_(parser_ready() && thread_state_ready()) {
  if (!ready_) return;
  saved_func_ = xmlGenericError;
  saved_context_ = xmlGenericErrorContext;
  saved_structured_ = xmlStructuredError;
  saved_structured_context_ = xmlStructuredErrorContext;
  xmlSetGenericErrorFunc(nullptr, discard);
  xmlSetStructuredErrorFunc(this, record);
}

QuietXmlErrors::~QuietXmlErrors() {
  if (!ready_) return;
  if (out_of_memory_ && saved_structured_ == record)
    static_cast<QuietXmlErrors *>(saved_structured_context_)->out_of_memory_ = true;
  xmlSetStructuredErrorFunc(saved_structured_context_, saved_structured_);
  xmlSetGenericErrorFunc(saved_context_, saved_func_);
}

void QuietXmlErrors::discard(void *, const char *, ...) noexcept {}

void QuietXmlErrors::record(void *guard, xmlError *error) noexcept {
  if (error != nullptr && error->code == XML_ERR_NO_MEMORY)
    static_cast<QuietXmlErrors *>(guard)->out_of_memory_ = true;
}

} // namespace kivrel

namespace {

// Runs one writer inside a guard: a tree made while libxml2 reported a
// failed allocation may miss a name or a text, so it is thrown away.
template <class Write> xmlNode *guarded_dump(Write write) noexcept {
  kivrel::QuietXmlErrors quiet;
  if (!quiet.ready()) return nullptr;
  XmlNode node(write());
  if (quiet.out_of_memory()) return nullptr;
  return node.release();
}

// Runs one reader inside a guard: a text copy libxml2 could not make whole
// would give a value that is not what the tree holds.
template <class Result, class Read, class Release>
Result *guarded_load(Read read, Release release) noexcept {
  kivrel::QuietXmlErrors quiet;
  if (!quiet.ready()) return nullptr;
  Result *result = read();
  if (quiet.out_of_memory()) {
    release(result);
    return nullptr;
  }
  return result;
}

} // namespace

extern "C" {

xmlNodePtr kivrel_xmlnode_dump_data_int(const kivrel_data_int *payload) noexcept {
  return guarded_dump([&] { return dump_int(payload); });
}

xmlNodePtr kivrel_xmlnode_dump_data_string(const kivrel_data_string *payload) noexcept {
  return guarded_dump([&] { return dump_string(payload); });
}

xmlNodePtr kivrel_xmlnode_dump_data(const kivrel_data *value) noexcept {
  if (value == nullptr) return nullptr;
  return guarded_dump([&] { return dump_value(value, 0); });
}

xmlNodePtr kivrel_xmlnode_dump_datalist(const kivrel_datalist *list) noexcept {
  return guarded_dump([&] { return dump_list(list, 1); });
}

kivrel_data_int *kivrel_xmlnode_load_data_int(const xmlNode *node) noexcept {
  return guarded_load<kivrel_data_int>([&] { return load_int(node); }, kivrel_data_int_destroy);
}

kivrel_data_string *kivrel_xmlnode_load_data_string(const xmlNode *node) noexcept {
  return guarded_load<kivrel_data_string>([&] { return load_string(node); },
                                          kivrel_data_string_destroy);
}

kivrel_data *kivrel_xmlnode_load_data(const xmlNode *node) noexcept {
  return guarded_load<kivrel_data>([&] { return load_value(node, 0); }, kivrel_data_destroy);
}

kivrel_datalist *kivrel_xmlnode_load_datalist(const xmlNode *node) noexcept {
  return guarded_load<kivrel_datalist>([&] { return load_list(node, 1); }, kivrel_datalist_destroy);
}

} // extern "C"
