// The two document codecs side by side. The input goes as a document to the
// public readers (the direct reader, which passes what it is unsure of to
// libxml2) and to the libxml2 readers alone; the same bytes also describe a
// list and a method name for the public writers and the libxml2 writers
// alone, and edits to the documents written from them, read by both
// readers again. Any difference, in the result or in refusing, aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kivrel.h"
#include "xmlcodec.h"
#include "same_list.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Takes bytes from the input in order; zeros once it runs out.
class Bytes {
public:
  Bytes(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  uint8_t next() { return p_ == end_ ? 0 : *p_++; }
  std::string text(size_t max) {
    std::string s;
    for (size_t n = next() % (max + 1); n > 0 && !empty(); --n) {
      char c = static_cast<char>(next());
      if (c != '\0') s += c;
    }
    return s;
  }

private:
  const uint8_t *p_;
  const uint8_t *end_;
};

void append(kivrel_datalist *list, kivrel_data *value) {
  kivrel_datalist_ins_next(list, list->tail, value);
}

kivrel_datalist *build_list(Bytes &in, int depth);

// One value of a kind the input chooses, including ones no writer encodes.
kivrel_data *build_value(Bytes &in, int depth) {
  static constexpr int32_t kEdges[] = {0, -1, 1, INT32_MIN, INT32_MAX, INT32_MIN + 1, 10, -10};
  kivrel_data *v = kivrel_data_create();
  switch (in.next() % 9) {
  case 0:
    kivrel_data_int_link(v, kivrel_data_int_create(kEdges[in.next() % 8]));
    break;
  case 1: {
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i)
      n = (n << 8) | in.next();
    kivrel_data_int_link(v, kivrel_data_int_create(static_cast<int32_t>(n)));
    break;
  }
  case 2:
  case 3:
    kivrel_data_string_link(v, kivrel_data_string_create(in.text(24).c_str()));
    break;
  case 4:
    if (depth < KIVREL_MAX_DOCUMENT_LIST_DEPTH + 3)
      kivrel_data_datalist_link(v, build_list(in, depth + 1));
    break;
  case 5: {
    // A chain of lists, now and then near the depth the documents can carry
    // (such documents are slow to write and read with libxml2).
    const uint8_t deep = in.next();
    int levels = deep % 8 == 0 ? KIVREL_MAX_DOCUMENT_LIST_DEPTH - 3 + deep / 8 % 6 : 2 + deep % 40;
    kivrel_datalist *inner = kivrel_datalist_create();
    kivrel_data *leaf = kivrel_data_create();
    kivrel_data_int_link(leaf, kivrel_data_int_create(levels));
    append(inner, leaf);
    for (int i = 1; i < levels; ++i) {
      kivrel_datalist *outer = kivrel_datalist_create();
      kivrel_data *holder = kivrel_data_create();
      kivrel_data_datalist_link(holder, inner);
      append(outer, holder);
      inner = outer;
    }
    kivrel_data_datalist_link(v, inner);
    break;
  }
  case 6: {
    kivrel_data_memblk_int8 *block = kivrel_data_memblk_int8_create(1);
    kivrel_data_memblk_int8_memset(block, 'x', 1);
    kivrel_data_memblk_int8_link(v, block);
    break;
  }
  case 7:
    break; // untyped
  default:
    kivrel_data_string_link(v, kivrel_data_string_create(""));
    break;
  }
  return v;
}

kivrel_datalist *build_list(Bytes &in, int depth) {
  kivrel_datalist *list = kivrel_datalist_create();
  for (int n = in.next() % 6; n > 0 && !in.empty(); --n)
    append(list, build_value(in, depth));
  return list;
}

// Both call writers, and both response writers, on `list`.
void compare_writers(const char *name, const kivrel_datalist *list) {
  char *a = nullptr, *b = nullptr;
  int alen = -1, blen = -1;
  int arc = kivrel_xml_serialize_method_call(name, list, &a, &alen);
  int brc = kivrel::libxml2_write_call(name, list, &b, &blen);
  check(arc == brc && alen == blen);
  check((a == nullptr) == (b == nullptr));
  if (a != nullptr) check(std::memcmp(a, b, static_cast<size_t>(alen) + 1) == 0);
  kivrel_xml_free(a);
  kivrel_xml_free(b);

  a = b = nullptr;
  alen = blen = -1;
  arc = kivrel_xml_serialize_method_response(list, &a, &alen);
  brc = kivrel::libxml2_write_response(list, &b, &blen);
  check(arc == brc && alen == blen);
  check((a == nullptr) == (b == nullptr));
  if (a != nullptr) check(std::memcmp(a, b, static_cast<size_t>(alen) + 1) == 0);
  kivrel_xml_free(a);
  kivrel_xml_free(b);
}

// Both call readers, and both response readers, on `text`.
void compare_readers(const std::string &text) {
  char *name_a = nullptr, *name_b = nullptr;
  kivrel_datalist *args_a = nullptr, *args_b = nullptr;
  int rc_a = kivrel_xml_deserialize_method_call(&name_a, &args_a, text.c_str());
  int rc_b = kivrel::libxml2_read_call(&name_b, &args_b, text.c_str());
  check(rc_a == rc_b);
  check((name_a == nullptr) == (name_b == nullptr));
  if (name_a != nullptr) check(std::strcmp(name_a, name_b) == 0);
  check(same_list(args_a, args_b));
  if (rc_a == 0) compare_writers(name_a, args_a);
  kivrel_mem_free(name_a);
  kivrel_mem_free(name_b);
  kivrel_datalist_destroy(args_a);
  kivrel_datalist_destroy(args_b);

  kivrel_datalist *ret_a = nullptr, *ret_b = nullptr;
  rc_a = kivrel_xml_deserialize_method_response(&ret_a, text.c_str());
  rc_b = kivrel::libxml2_read_response(&ret_b, text.c_str());
  check(rc_a == rc_b);
  check(same_list(ret_a, ret_b));
  kivrel_datalist_destroy(ret_a);
  kivrel_datalist_destroy(ret_b);
}

// Random bytes seldom make a document the direct reader reads through, so
// written documents are also altered in a few places (often just after a
// tag, where white space, values and odd markup go) and read again.
void compare_altered(Bytes &in, const char *written) {
  static const char *const kPieces[] = {
      " ",
      "\n  ",
      "\r\n",
      "\t",
      "&amp;",
      "&lt;",
      "&gt;",
      "&quot;",
      "&apos;",
      "&#x41;",
      "&#65;",
      "&#233;",
      "&#x1D11E;",
      "&#xD;",
      "&#0;",
      "&#x10FFFF;",
      "&#xFFFE;",
      "&#x000000041;",
      "&#X41;",
      "&foo;",
      "&",
      "]]>",
      "<!-- c -->",
      "<![CDATA[x]]>",
      "<?pi x?>",
      "<!DOCTYPE d>",
      "<x/>",
      " a=\"1\"",
      "/",
      "<data/>",
      "<datalist/>",
      "<data>",
      "</data>",
      "<datalist>",
      "</datalist>",
      "<data><int>7</int></data>",
      "<data><string>a&amp;b</string></data>",
      "<data><datalist><data/></datalist></data>",
      "<int>1</int>",
      "<int/>",
      "<string>s</string>",
      "<string/>",
      "<method_name>M</method_name>",
      "<method_datalist_ret/>",
      "<method_datalist_arg/>",
      "\xC3\xA9",
      "\xFF",
      "\xED\xA0\x80",
      "\x7F",
      "\x01",
      "+",
      "-",
      "0",
      "9",
      "2147483648",
  };
  std::string doc = written;
  for (int edits = in.next() % 4; edits > 0; --edits) {
    size_t at = ((size_t{in.next()} << 8) | in.next()) % (doc.size() + 1);
    if (in.next() % 2 == 0) {
      size_t tag_end = doc.find('>', at);
      if (tag_end == std::string::npos) tag_end = doc.find('>');
      if (tag_end != std::string::npos) at = tag_end + 1;
    }
    switch (in.next() % 4) {
    case 0:
    case 1:
      doc.insert(at, kPieces[in.next() % (sizeof kPieces / sizeof kPieces[0])]);
      break;
    case 2:
      if (at < doc.size())
        doc[at] = static_cast<char>(in.next());
      else
        doc.erase(at > 0 ? at - 1 : 0, 1);
      break;
    default:
      doc.insert(at, in.text(6));
      break;
    }
  }
  compare_readers(doc);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  compare_readers(std::string(reinterpret_cast<const char *>(data), size));

  // The same bytes as a name and a list for the writers.
  Bytes in(data, size);
  const std::string name = in.text(16);
  kivrel_datalist *list = build_list(in, 1);
  compare_writers(name.c_str(), list);
  compare_writers(name.c_str(), nullptr);

  char *doc = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_response(list, &doc, &len) != 0)
    kivrel_xml_serialize_method_response(nullptr, &doc, &len);
  compare_altered(in, doc);
  kivrel_xml_free(doc);
  doc = nullptr;
  if (kivrel_xml_serialize_method_call(name.c_str(), list, &doc, &len) != 0)
    kivrel_xml_serialize_method_call("N", nullptr, &doc, &len);
  compare_altered(in, doc);
  kivrel_xml_free(doc);
  kivrel_datalist_destroy(list);
  return 0;
}
