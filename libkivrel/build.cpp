// Signature strings: build a list from plain arguments, or take a list apart
// into plain variables, in one pass over a text such as "[{i}{[{s}]}]".
//
// Two cursors travel through every step: the position in the text and the
// position in the variable arguments. Each step leaves both just past what it
// consumed. The internal walks also carry the nesting level of the list they
// are in, so that no text can drive the recursion past KIVREL_MAX_DEPTH.
// Level 1 is the outermost list: the exported steps, which cannot know who
// called them, count their own list as level 1.
#include <cstdarg>
#include <cstring>

#include "internal.h"

namespace {

// Lists are counted from 1 (the root); a text that opens list number
// kMaxDepth + 1 is refused.
constexpr int kMaxDepth = KIVREL_MAX_DEPTH;

constexpr char kTypeInt[] = "int";
constexpr char kTypeString[] = "string";
constexpr char kTypeDatalist[] = "datalist";

// Reads the character under the cursor and moves past it, but never past the
// end of the text, so that a caller's cursor cannot leave the text either.
char take(const char **pos) noexcept {
  char c = **pos;
  if (c != '\0') ++*pos;
  return c;
}

bool has_type(const kivrel_data *value, const char *type) noexcept {
  return value->datatype != nullptr && std::strcmp(value->datatype, type) == 0;
}

// ---- build

kivrel_datalist *build_list(const char **pos, va_list *args, int depth) noexcept;

// `depth` is the level of the list holding `value`; the nested list is one
// deeper.
int build_item_list(const char **pos, va_list *args, kivrel_data *value, int depth) noexcept {
  if (**pos != '[') return -1;
  kivrel::Datalist nested(build_list(pos, args, depth + 1));
  if (!nested) return -1;
  if (kivrel_data_datalist_link(value, nested.get()) != 0) return -1;
  nested.release(); // the value owns it now
  return 0;
}

// `depth` is the level of `list`.
int build_value(const char **pos, va_list *args, kivrel_datalist *list, int depth) noexcept {
  if (take(pos) != '{') return -1;
  kivrel::Data value(kivrel_data_create());
  if (!value) return -1;
  int rc;
  switch (**pos) {
  case 'i':
    rc = kivrel_build_data_int(pos, args, value.get());
    break;
  case 's':
    rc = kivrel_build_data_string(pos, args, value.get());
    break;
  case '[':
    rc = build_item_list(pos, args, value.get(), depth);
    break;
  default: // a stray character, "}" of an empty value, or the end of the text
    rc = -1;
  }
  if (rc != 0 || **pos != '}') return -1;
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), value.release());
  ++*pos;
  return 0;
}

kivrel_datalist *build_list(const char **pos, va_list *args, int depth) noexcept {
  if (depth > kMaxDepth) return nullptr;
  if (take(pos) != '[') return nullptr;
  kivrel::Datalist list(kivrel_datalist_create());
  if (!list) return nullptr;
  for (;;) {
    char c = **pos;
    if (c == '\0') {
      // Only the root may end with the text; a nested list must be closed.
      if (depth == 1) return list.release();
      return nullptr;
    }
    if (c == ']') break;
    if (c != '{' || build_value(pos, args, list.get(), depth) != 0) return nullptr;
  }
  ++*pos;
  return list.release();
}

// ---- decompose

int decompose_list(const kivrel_datalist *list, const char **pos, va_list *args,
                   int depth) noexcept;

int decompose_item_list(const kivrel_data *value, const char **pos, va_list *args,
                        int depth) noexcept {
  if (**pos != '[') return -1;
  if (!has_type(value, kTypeDatalist)) return -1;
  return decompose_list(static_cast<const kivrel_datalist *>(value->data), pos, args, depth + 1);
}

// `depth` is the level of the list holding `value`.
int decompose_value(const kivrel_data *value, const char **pos, va_list *args, int depth) noexcept {
  if (take(pos) != '{') return -1;
  int rc;
  switch (**pos) {
  case 'i':
    rc = kivrel_decompose_data_int(value, pos, args);
    break;
  case 's':
    rc = kivrel_decompose_data_string(value, pos, args);
    break;
  case '[':
    rc = decompose_item_list(value, pos, args, depth);
    break;
  default:
    rc = -1;
  }
  if (rc != 0 || **pos != '}') return -1;
  ++*pos;
  return 0;
}

int decompose_list(const kivrel_datalist *list, const char **pos, va_list *args,
                   int depth) noexcept {
  if (depth > kMaxDepth || list == nullptr) return -1;
  if (take(pos) != '[') return -1;
  const kivrel_data *value = list->head;
  for (;;) {
    char c = **pos;
    if (c == '\0') return depth == 1 ? 0 : -1;
    if (c == ']') break;
    // A value the list does not have is never read: its variable stays as
    // it was.
    if (c != '{' || value == nullptr) return -1;
    if (decompose_value(value, pos, args, depth) != 0) return -1;
    value = value->next;
  }
  ++*pos;
  return 0;
}

} // namespace

extern "C" {

kivrel_datalist *kivrel_build_root_datalist(const char *sign, ...) noexcept {
  va_list args;
  va_start(args, sign);
  const char *pos = sign;
  kivrel_datalist *list = build_list(&pos, &args, 1);
  va_end(args);
  return list;
}

int kivrel_decompose_root_datalist(const kivrel_datalist *list, const char *sign, ...) noexcept {
  va_list args;
  va_start(args, sign);
  const char *pos = sign;
  int rc = decompose_list(list, &pos, &args, 1);
  va_end(args);
  return rc;
}

kivrel_datalist *kivrel_build_datalist(const char **pos, va_list *args) noexcept {
  return build_list(pos, args, 1);
}

int kivrel_build_data(const char **pos, va_list *args, kivrel_datalist *list) noexcept {
  return build_value(pos, args, list, 1);
}

int kivrel_build_data_int(const char **pos, va_list *args, kivrel_data *value) noexcept {
  if (take(pos) != 'i') return -1;
  kivrel_data_int *payload = kivrel_data_int_create(va_arg(*args, int));
  if (payload == nullptr) return -1;
  if (kivrel_data_int_link(value, payload) != 0) {
    kivrel_data_int_destroy(payload);
    return -1;
  }
  return 0;
}

int kivrel_build_data_string(const char **pos, va_list *args, kivrel_data *value) noexcept {
  if (take(pos) != 's') return -1;
  kivrel_data_string *payload = kivrel_data_string_create(va_arg(*args, const char *));
  if (payload == nullptr) return -1;
  if (kivrel_data_string_link(value, payload) != 0) {
    kivrel_data_string_destroy(payload);
    return -1;
  }
  return 0;
}

int kivrel_build_data_datalist(const char **pos, va_list *args, kivrel_data *value) noexcept {
  return build_item_list(pos, args, value, 1);
}

int kivrel_decompose_datalist(const kivrel_datalist *list, const char **pos,
                              va_list *args) noexcept {
  return decompose_list(list, pos, args, 1);
}

int kivrel_decompose_data(const kivrel_data *value, const char **pos, va_list *args) noexcept {
  return decompose_value(value, pos, args, 1);
}

int kivrel_decompose_data_int(const kivrel_data *value, const char **pos, va_list *args) noexcept {
  if (take(pos) != 'i') return -1;
  // The letter says how to read the payload; a value of another type is
  // refused before its payload is touched.
  if (!has_type(value, kTypeInt) || value->data == nullptr) return -1;
  int32_t *out = va_arg(*args, int32_t *);
  *out = kivrel_data_int_get(static_cast<const kivrel_data_int *>(value->data));
  return 0;
}

int kivrel_decompose_data_string(const kivrel_data *value, const char **pos,
                                 va_list *args) noexcept {
  if (take(pos) != 's') return -1;
  if (!has_type(value, kTypeString) || value->data == nullptr) return -1;
  const auto *text = static_cast<const kivrel_data_string *>(value->data);
  // A payload without room for its NUL is not a text.
  if (text->size == 0 || text->memblk == nullptr) return -1;
  char *out = va_arg(*args, char *);
  std::memcpy(out, text->memblk, static_cast<size_t>(kivrel_data_string_strlen(text)) + 1);
  return 0;
}

int kivrel_decompose_data_datalist(const kivrel_data *value, const char **pos,
                                   va_list *args) noexcept {
  return decompose_item_list(value, pos, args, 1);
}

} // extern "C"
