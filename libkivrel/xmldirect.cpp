// The call and response documents without a tree: a writer that appends the
// bytes libxml2's formatted dump would give into one buffer, and a reader
// that walks the text once with a cursor and builds the lists as it goes.
//
// The reader takes only what it knows for certain libxml2 reads the same
// way: an optional plain XML declaration, the document's own elements
// without attributes, white space between them, and text with the five
// predefined entities and character references. Anything else (comments,
// CDATA, processing instructions, a DOCTYPE, other names, other encodings,
// carriage returns inside text, long runs of text) is passed to the libxml2
// reader untouched, so the accepted documents and their results are the
// same as with libxml2 alone.
//
// Documents of any size are read here, and what they cost is the values
// made: the smallest value element, `<data/>`, makes one 32-byte record
// (48 bytes with the C library's bookkeeping), so a read holds less than
// seven times the document beside the document itself.
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <libxml/xmlmemory.h>

#include "internal.h"

namespace {

using kivrel::Data;
using kivrel::Datalist;
using kivrel::Direct;

// Runs of text (and of white space between elements) longer than this go
// to libxml2, whose limit on text nodes (ten million bytes) then applies as
// it always did; far below it the direct reader cannot disagree with it.
constexpr size_t kMaxDirectTextBytes = size_t{1} << 20;

// libxml2 takes a document's length as an int.
constexpr ptrdiff_t kMaxDirectBytes = INT32_MAX;

// libxml2's formatted dump indents two spaces per level up to this many.
constexpr int kMaxIndentSpaces = 60;

// Character references with more digits than this go to libxml2.
constexpr ptrdiff_t kMaxReferenceDigits = 8;

// A first buffer that holds the usual documents whole.
constexpr size_t kFirstBufferSize = 1024;

constexpr char kTypeInt[] = "int";
constexpr char kTypeString[] = "string";
constexpr char kTypeDatalist[] = "datalist";

// ---- a growing byte buffer in libxml2's allocator

// The writer hands its buffer out as the document (released with
// kivrel_xml_free(), that is xmlFree()); the reader decodes text into one.
class Buffer {
public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { xmlFree(data_); }

  size_t size() const noexcept { return size_; }
  void clear() noexcept { size_ = 0; }

  void append(const char *bytes, size_t n) noexcept {
    if (!reserve(n)) return;
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  template <size_t N> void append(const char (&literal)[N]) noexcept { append(literal, N - 1); }
  void append(char c) noexcept {
    if (!reserve(1)) return;
    data_[size_++] = c;
  }
  void spaces(int n) noexcept {
    if (!reserve(static_cast<size_t>(n))) return;
    std::memset(data_ + size_, ' ', static_cast<size_t>(n));
    size_ += static_cast<size_t>(n);
  }

  // The bytes so far with a NUL after them; null after a failed append.
  const char *text() noexcept {
    if (!reserve(0)) return nullptr;
    data_[size_] = '\0';
    return data_;
  }
  // Hands the NUL-terminated bytes over; null after a failed append.
  char *release() noexcept {
    if (text() == nullptr) return nullptr;
    char *out = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

private:
  bool reserve(size_t more) noexcept {
    if (failed_) return false;
    if (capacity_ - size_ > more) return true; // one byte stays free for the NUL
    kivrel::xml_ready();
    size_t capacity = capacity_ == 0 ? kFirstBufferSize : capacity_;
    while (capacity - size_ <= more) {
      if (capacity > SIZE_MAX / 2) return fail();
      capacity *= 2;
    }
    void *grown = xmlRealloc(data_, capacity);
    if (grown == nullptr) return fail();
    data_ = static_cast<char *>(grown);
    capacity_ = capacity;
    return true;
  }
  bool fail() noexcept {
    failed_ = true;
    return false;
  }

  char *data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// ---- writing

// Puts a text as libxml2 escapes character data in a document without an
// encoding: markup characters and carriage returns as references, every
// character beyond ASCII as a hexadecimal character reference. The text has
// passed xml_can_carry(), so it is well-formed UTF-8.
void append_escaped(Buffer &out, const char *text) noexcept {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *run = p;
  for (;;) {
    unsigned c = *p;
    if ((c >= 0x20 && c < 0x80 && c != '<' && c != '>' && c != '&') || c == '\n' || c == '\t') {
      ++p;
      continue;
    }
    out.append(reinterpret_cast<const char *>(run), static_cast<size_t>(p - run));
    if (c == 0) return;
    if (c == '<') {
      out.append("&lt;");
      ++p;
    } else if (c == '>') {
      out.append("&gt;");
      ++p;
    } else if (c == '&') {
      out.append("&amp;");
      ++p;
    } else if (c == '\r') {
      out.append("&#xD;");
      ++p;
    } else {
      int tail = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
      uint32_t cp = c & (0x3F >> tail);
      for (int i = 1; i <= tail; ++i)
        cp = (cp << 6) | (p[i] & 0x3F);
      p += tail + 1;
      char ref[12] = {'&', '#', 'x'};
      int n = 3;
      int shift = 20;
      while (shift > 0 && (cp >> shift) == 0)
        shift -= 4;
      for (; shift >= 0; shift -= 4)
        ref[n++] = kHex[(cp >> shift) & 0xF];
      ref[n++] = ';';
      out.append(ref, static_cast<size_t>(n));
    }
    run = p;
  }
}

void indent(Buffer &out, int level) noexcept {
  int n = 2 * level;
  out.spaces(n < kMaxIndentSpaces ? n : kMaxIndentSpaces);
}

bool write_list(Buffer &out, const kivrel_datalist *list, int level, int depth) noexcept;

// One value element at `level`; false for what has no encoding.
bool write_value(Buffer &out, const kivrel_data *value, int level, int depth) noexcept {
  const char *type = value->datatype;
  if (type == nullptr) return false;
  if (std::strcmp(type, kTypeInt) == 0) {
    if (value->data == nullptr) return false;
    char digits[12];
    char *end = std::to_chars(digits, digits + sizeof digits,
                              *static_cast<const kivrel_data_int *>(value->data))
                    .ptr;
    indent(out, level);
    out.append("<int>");
    out.append(digits, static_cast<size_t>(end - digits));
    out.append("</int>\n");
    return true;
  }
  if (std::strcmp(type, kTypeString) == 0) {
    const auto *payload = static_cast<const kivrel_data_string *>(value->data);
    if (payload == nullptr) return false;
    const char *text = kivrel_data_string_get_string(payload);
    if (text == nullptr || !kivrel::xml_can_carry(text)) return false;
    indent(out, level);
    out.append("<string>");
    append_escaped(out, text);
    out.append("</string>\n");
    return true;
  }
  if (std::strcmp(type, kTypeDatalist) == 0)
    return write_list(out, static_cast<const kivrel_datalist *>(value->data), level, depth + 1);
  return false; // byte blocks and unknown types have no element
}

// The list `depth` lists deep (the outermost 1) as a `datalist` at `level`.
bool write_list(Buffer &out, const kivrel_datalist *list, int level, int depth) noexcept {
  if (list == nullptr || list->head == nullptr || depth > KIVREL_MAX_DOCUMENT_LIST_DEPTH)
    return false;
  indent(out, level);
  out.append("<datalist>\n");
  for (const kivrel_data *value = list->head; value != nullptr; value = value->next) {
    indent(out, level + 1);
    out.append("<data>\n");
    if (!write_value(out, value, level + 2, depth)) return false;
    indent(out, level + 1);
    out.append("</data>\n");
  }
  indent(out, level);
  out.append("</datalist>\n");
  return true;
}

// The whole document: `root`, then the name line when `name` is given, then
// the list holder `holder` with the list or empty.
Direct write_document(const char *root, const char *name, const char *holder,
                      const kivrel_datalist *list, char **doc, int *len) noexcept {
  Buffer out;
  out.append("<?xml version=\"1.0\"?>\n<");
  out.append(root, std::strlen(root));
  out.append(">\n");
  if (name != nullptr) {
    // An empty name makes no text node, and libxml2 writes the short form.
    if (*name == '\0') {
      out.append("  <method_name/>\n");
    } else {
      out.append("  <method_name>");
      append_escaped(out, name);
      out.append("</method_name>\n");
    }
  }
  const size_t holder_size = std::strlen(holder);
  out.append("  <");
  out.append(holder, holder_size);
  if (list == nullptr) {
    out.append("/>\n");
  } else {
    out.append(">\n");
    if (!write_list(out, list, 2, 1)) return Direct::kRefused;
    out.append("  </");
    out.append(holder, holder_size);
    out.append(">\n");
  }
  out.append("</");
  out.append(root, std::strlen(root));
  out.append(">\n");
  const size_t size = out.size();
  if (size > INT32_MAX) return Direct::kRefused; // the length is handed out as an int
  char *text = out.release();
  if (text == nullptr) return Direct::kRefused;
  *doc = text;
  *len = static_cast<int>(size);
  return Direct::kDone;
}

// ---- reading

// The elements of the documents; any other name is not read here.
enum class Tag {
  kNone,
  kMethodCall,
  kMethodResponse,
  kMethodName,
  kArgs,
  kResults,
  kDatalist,
  kData,
  kInt,
  kString
};

struct TagName {
  const char *name;
  size_t size;
};

// Indexed by Tag.
constexpr TagName kTagNames[] = {
    {"", 0},
    {"method_call", 11},
    {"method_response", 15},
    {"method_name", 11},
    {"method_datalist_arg", 19},
    {"method_datalist_ret", 19},
    {"datalist", 8},
    {"data", 4},
    {"int", 3},
    {"string", 6},
};

const TagName &name_of(Tag tag) noexcept { return kTagNames[static_cast<int>(tag)]; }

// Whether the text at `p` begins with the `n` bytes of `s`; stops at the
// first difference, so never reads past the text's NUL.
bool same(const unsigned char *p, const char *s, size_t n) noexcept {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != static_cast<unsigned char>(s[i])) return false;
  return true;
}

// The tag of the `size` name bytes at `p`, kNone for other names.
Tag tag_named(const unsigned char *p, size_t size) noexcept {
  for (int t = 1; t < static_cast<int>(std::size(kTagNames)); ++t)
    if (kTagNames[t].size == size &&
        std::memcmp(p, kTagNames[t].name, size) == 0) // `size` bytes are there
      return static_cast<Tag>(t);
  return Tag::kNone;
}

// Byte classes, looked up once per byte: XML's white space; bytes that may
// continue an XML name (ASCII ones, and every byte of a character beyond
// ASCII), so where a name stops; and text bytes that stand for themselves.
constexpr unsigned char kSpace = 1;
constexpr unsigned char kNameByte = 2;
constexpr unsigned char kPlainText = 4;

constexpr std::array<unsigned char, 256> kByteClass = [] {
  std::array<unsigned char, 256> classes{};
  for (unsigned c = 0; c < 256; ++c) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') classes[c] |= kSpace;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
        c == '-' || c == '.' || c == ':' || c >= 0x80)
      classes[c] |= kNameByte;
    if ((c >= 0x20 && c < 0x80 && c != '<' && c != '&' && c != ']') || c == '\n' || c == '\t')
      classes[c] |= kPlainText;
  }
  return classes;
}();

bool is(unsigned char c, unsigned char byte_class) noexcept {
  return (kByteClass[c] & byte_class) != 0;
}

// A character XML allows, as libxml2 checks it.
bool is_xml_char(uint32_t c) noexcept {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void append_utf8(Buffer &out, uint32_t c) noexcept {
  char bytes[4];
  size_t n;
  if (c < 0x80) {
    bytes[0] = static_cast<char>(c);
    n = 1;
  } else if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (c >> 6));
    bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
    n = 2;
  } else if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (c >> 12));
    bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (c >> 18));
    bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
    n = 4;
  }
  out.append(bytes, n);
}

// One pass over one document. Each step returns false to stop, with the
// verdict set: kPassed when the document is not one it reads for certain,
// kRefused when libxml2 and the tree walk would refuse it as well.
class Reader {
public:
  explicit Reader(const char *text) noexcept
      : begin_(reinterpret_cast<const unsigned char *>(text)), p_(begin_) {}

  Direct read_call(char **name, kivrel_datalist **args) noexcept {
    Tag root;
    bool empty;
    if (!prolog() || !open_tag(&root, &empty)) return verdict_;
    if (root != Tag::kMethodCall) return Direct::kPassed;
    // The tree walk's rules: any order, any number; a later name or list
    // replaces an earlier one, and an element without children is passed
    // over.
    kivrel::CText found_name;
    Datalist found_args;
    while (!empty) {
      Tag child;
      bool child_empty;
      if (!next_child(Tag::kMethodCall, &child, &child_empty)) return verdict_;
      if (child == Tag::kNone) break;
      if (child == Tag::kMethodName) {
        bool has_text = false;
        if (!child_empty && !read_text(Tag::kMethodName, &has_text)) return verdict_;
        if (!has_text) continue;
        found_name.reset(kivrel::dup_text(text_.text()));
        if (!found_name) return Direct::kRefused;
      } else if (child == Tag::kArgs) {
        Datalist list;
        if (!child_empty && !read_holder(Tag::kArgs, &list)) return verdict_;
        if (list) found_args = std::move(list);
      } else {
        return Direct::kPassed;
      }
    }
    if (!epilog()) return verdict_;
    if (!found_name) return Direct::kRefused;
    *name = found_name.release();
    *args = found_args.release();
    return Direct::kDone;
  }

  Direct read_response(kivrel_datalist **ret) noexcept {
    Tag root;
    bool empty;
    if (!prolog() || !open_tag(&root, &empty)) return verdict_;
    if (root != Tag::kMethodResponse) return Direct::kPassed;
    // Only a first result holder counts; the reader takes documents with
    // at most one, and nothing else beside it.
    Datalist list;
    Tag child = Tag::kNone;
    if (!empty) {
      if (!next_child(Tag::kMethodResponse, &child, &empty)) return verdict_;
      if (child != Tag::kNone) {
        if (child != Tag::kResults) return Direct::kPassed;
        if (!empty && !read_holder(Tag::kResults, &list)) return verdict_;
        if (!next_child(Tag::kMethodResponse, &child, &empty)) return verdict_;
        if (child != Tag::kNone) return Direct::kPassed;
      }
    }
    if (!epilog()) return verdict_;
    *ret = list.release();
    return Direct::kDone;
  }

private:
  bool pass() noexcept {
    verdict_ = Direct::kPassed;
    return false;
  }
  bool refuse() noexcept {
    verdict_ = Direct::kRefused;
    return false;
  }

  bool starts_with(const char *s, size_t n) const noexcept { return same(p_, s, n); }

  void skip_space() noexcept {
    const unsigned char *p = p_;
    while (is(*p, kSpace))
      ++p;
    p_ = p;
  }

  // The declaration libxml2 writes, or the same naming UTF-8; white space
  // before the root.
  bool prolog() noexcept {
    static constexpr char kPlain[] = "<?xml version=\"1.0\"?>";
    static constexpr char kUtf8[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    if (starts_with("<?xml", 5)) {
      if (starts_with(kPlain, sizeof kPlain - 1))
        p_ += sizeof kPlain - 1;
      else if (starts_with(kUtf8, sizeof kUtf8 - 1))
        p_ += sizeof kUtf8 - 1;
      else
        return pass();
    }
    skip_space();
    if (*p_ != '<') return pass();
    return true;
  }

  // Only white space may follow the root.
  bool epilog() noexcept {
    skip_space();
    return (*p_ == '\0' && p_ - begin_ <= kMaxDirectBytes) || pass();
  }

  // A start tag at the cursor ('<' there): one of the document's names, no
  // attributes. `*empty` tells the short form `<name/>`.
  bool open_tag(Tag *tag, bool *empty) noexcept {
    const unsigned char *start = p_ + 1;
    const unsigned char *end = start;
    while (is(*end, kNameByte))
      ++end;
    const size_t size = static_cast<size_t>(end - start);
    *tag = tag_named(start, size);
    if (*tag == Tag::kNone) return pass();
    p_ = end;
    skip_space();
    if (*p_ == '>') {
      *empty = false;
      p_ += 1;
    } else if (p_[0] == '/' && p_[1] == '>') {
      *empty = true;
      p_ += 2;
    } else {
      return pass();
    }
    // libxml2 stops at an element opened below too many open ones, and
    // refuses the document.
    if (depth_ + 1 > KIVREL_MAX_DOCUMENT_DEPTH) return refuse();
    if (!*empty) ++depth_;
    return true;
  }

  // The end tag of `tag` at the cursor ("</" there).
  bool close_tag(Tag tag) noexcept {
    const TagName &t = name_of(tag);
    if (!same(p_ + 2, t.name, t.size)) return pass();
    p_ += 2 + t.size;
    skip_space();
    if (*p_ != '>') return pass();
    ++p_;
    --depth_;
    return true;
  }

  // The next child element of `parent`, where text may only be white
  // space: `*child` is its tag, or kNone when the end tag of `parent` came
  // (and was read).
  bool next_child(Tag parent, Tag *child, bool *empty) noexcept {
    const unsigned char *start = p_;
    skip_space();
    if (*p_ != '<' || static_cast<size_t>(p_ - start) > kMaxDirectTextBytes) return pass();
    if (p_[1] == '/') {
      *child = Tag::kNone;
      return close_tag(parent);
    }
    return open_tag(child, empty);
  }

  // The character data of `tag` up to its end tag, decoded into text_.
  // `*has_text` tells whether there was any, that is whether libxml2 gives
  // the element a text node.
  bool read_text(Tag tag, bool *has_text) noexcept {
    text_.clear();
    const unsigned char *start = p_;
    const unsigned char *run = p_;
    for (;;) {
      const unsigned char *p = p_;
      while (is(*p, kPlainText))
        ++p;
      p_ = p;
      unsigned c = *p_;
      text_.append(reinterpret_cast<const char *>(run), static_cast<size_t>(p_ - run));
      if (text_.size() > kMaxDirectTextBytes) return pass();
      if (c == '<') {
        if (p_[1] != '/') return pass(); // an element, comment, CDATA or instruction
        *has_text = p_ != start;
        if (text_.text() == nullptr) return refuse();
        return close_tag(tag);
      }
      if (c == '&') {
        if (!read_reference()) return false;
      } else if (c == ']') {
        if (p_[1] == ']' && p_[2] == '>') return pass(); // not allowed in text
        text_.append(']');
        ++p_;
      } else if (c >= 0x80) {
        size_t n = kivrel::utf8_xml_char_length(p_);
        if (n == 0) return pass();
        text_.append(reinterpret_cast<const char *>(p_), n);
        p_ += n;
      } else {
        return pass(); // carriage returns (which XML rewrites), control bytes, the end
      }
      run = p_;
    }
  }

  // A predefined entity or a character reference at the cursor ('&'
  // there), appended to text_ decoded.
  bool read_reference() noexcept {
    static constexpr struct {
      const char *name;
      size_t size;
      char c;
    } kEntities[] = {{"&lt;", 4, '<'},
                     {"&gt;", 4, '>'},
                     {"&amp;", 5, '&'},
                     {"&quot;", 6, '"'},
                     {"&apos;", 6, '\''}};
    for (const auto &e : kEntities)
      if (starts_with(e.name, e.size)) {
        text_.append(e.c);
        p_ += e.size;
        return true;
      }
    if (p_[1] != '#') return pass();
    const unsigned char *q = p_ + 2;
    const bool hex = *q == 'x';
    if (hex) ++q;
    const unsigned char *digits = q;
    uint32_t value = 0;
    for (;; ++q) {
      unsigned d;
      if (*q >= '0' && *q <= '9')
        d = *q - '0';
      else if (hex && *q >= 'a' && *q <= 'f')
        d = *q - 'a' + 10;
      else if (hex && *q >= 'A' && *q <= 'F')
        d = *q - 'A' + 10;
      else
        break;
      value = value * (hex ? 16 : 10) + d;
      if (value > 0x10FFFF) return pass();
    }
    // libxml2 reads long runs of digits in odd ways (a hexadecimal letter
    // as the eleventh digit is an error there); no writer pads that much.
    if (q == digits || q - digits > kMaxReferenceDigits || *q != ';' || !is_xml_char(value))
      return pass();
    append_utf8(text_, value);
    p_ = q + 1;
    return true;
  }

  // The children of a list holder (its start tag read, not empty): white
  // space and at most one `datalist`, read into `*list`. Holders with more
  // in them go to libxml2.
  bool read_holder(Tag holder, Datalist *list) noexcept {
    Tag child;
    bool empty;
    if (!next_child(holder, &child, &empty)) return false;
    if (child == Tag::kNone) return true;
    if (child != Tag::kDatalist) return pass();
    if (!read_list(empty, 1, list)) return false;
    if (!next_child(holder, &child, &empty)) return false;
    return child == Tag::kNone || pass();
  }

  // A `datalist` whose start tag has been read, `depth` lists deep.
  bool read_list(bool empty, int depth, Datalist *out) noexcept {
    if (depth > KIVREL_MAX_DEPTH) return refuse();
    Datalist list(kivrel_datalist_create());
    if (!list) return refuse();
    Tag child;
    while (!empty) {
      if (!next_child(Tag::kDatalist, &child, &empty)) return false;
      if (child == Tag::kNone) break;
      if (child != Tag::kData) return pass();
      Data value;
      if (!read_value(empty, depth, &value)) return false;
      kivrel_datalist_ins_next(list.get(), list->tail, value.release());
      empty = false;
    }
    *out = std::move(list);
    return true;
  }

  // A `data` whose start tag has been read: the last value element in it
  // gives the value, none an untyped one.
  bool read_value(bool empty, int depth, Data *out) noexcept {
    Data value;
    Tag child;
    while (!empty) {
      if (!next_child(Tag::kData, &child, &empty)) return false;
      if (child == Tag::kNone) break;
      Data next(kivrel_data_create());
      if (!next) return refuse();
      if (child == Tag::kInt) {
        bool has_text = false;
        if (!empty && !read_text(Tag::kInt, &has_text)) return false;
        // An `int` without text holds no number.
        int32_t number = 0;
        if (!has_text || !kivrel::parse_int32(text_.text(), &number)) return refuse();
        kivrel_data_int *payload = kivrel_data_int_create(number);
        if (payload == nullptr) return refuse();
        if (kivrel_data_int_link(next.get(), payload) != 0) {
          kivrel_data_int_destroy(payload);
          return refuse();
        }
      } else if (child == Tag::kString) {
        bool has_text = false;
        if (!empty && !read_text(Tag::kString, &has_text)) return false;
        kivrel_data_string *payload = kivrel_data_string_create(has_text ? text_.text() : "");
        if (payload == nullptr) return refuse();
        if (kivrel_data_string_link(next.get(), payload) != 0) {
          kivrel_data_string_destroy(payload);
          return refuse();
        }
      } else if (child == Tag::kDatalist) {
        Datalist list;
        if (!read_list(empty, depth + 1, &list)) return false;
        if (kivrel_data_datalist_link(next.get(), list.get()) != 0) return refuse();
        list.release();
      } else {
        return pass();
      }
      value = std::move(next);
      empty = false;
    }
    if (!value) value.reset(kivrel_data_create());
    if (!value) return refuse();
    *out = std::move(value);
    return true;
  }

  const unsigned char *begin_;
  const unsigned char *p_;
  int depth_ = 0;
  Direct verdict_ = Direct::kDone;
  Buffer text_;
};

} // namespace

namespace kivrel {

Direct direct_write_call(const char *name, const kivrel_datalist *args, char **doc,
                         int *len) noexcept {
  // A name libxml2 would shorten or empty would reach the service as another
  // name, or as none.
  if (!xml_can_carry(name)) return Direct::kRefused;
  // libxml2 takes the name as markup and resolves references in it, or
  // empties the element: its own writer says what comes out.
  if (std::strchr(name, '&') != nullptr) return Direct::kPassed;
  return write_document("method_call", name, "method_datalist_arg", args, doc, len);
}

Direct direct_write_response(const kivrel_datalist *ret, char **doc, int *len) noexcept {
  return write_document("method_response", nullptr, "method_datalist_ret", ret, doc, len);
}

Direct direct_read_call(char **name, kivrel_datalist **args, const char *doc) noexcept {
  return Reader(doc).read_call(name, args);
}

Direct direct_read_response(kivrel_datalist **ret, const char *doc) noexcept {
  return Reader(doc).read_response(ret);
}

} // namespace kivrel
