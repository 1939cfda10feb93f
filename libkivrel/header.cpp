// The one-line message header ("KIVREL-1.1:<length>\n"): the record, and
// the one reading of a header line that every reader of the wire uses.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "internal.h"

using kivrel::alloc_record;
using kivrel::dup_text;

namespace {

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Next field of `rest` split at colons, runs of colons being one separator
// and leading colons skipped; empty when no field is left.
std::string_view next_field(std::string_view &rest) noexcept {
  size_t start = rest.find_first_not_of(':');
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  size_t end = std::min(rest.find(':'), rest.size());
  std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  return field;
}

// The first white-space delimited word of `field`; empty when there is none.
std::string_view first_word(std::string_view field) noexcept {
  size_t i = 0;
  while (i < field.size() && is_space(field[i]))
    ++i;
  size_t j = i;
  while (j < field.size() && !is_space(field[j]))
    ++j;
  return field.substr(i, j - i);
}

// A decimal integer after optional white space and sign; what follows the
// digits is ignored. False without digits or outside the 32-bit range.
bool parse_length(std::string_view field, int32_t *out) noexcept {
  size_t i = 0;
  while (i < field.size() && is_space(field[i]))
    ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  // Accumulate as a magnitude, checking against the bound of the sign.
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : static_cast<int64_t>(std::numeric_limits<int32_t>::max());
  int64_t value = 0;
  size_t digits = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (field[i] - '0');
    if (value > limit) return false;
  }
  if (digits == 0) return false;
  *out = static_cast<int32_t>(negative ? -value : value);
  return true;
}

} // namespace

namespace kivrel {

bool parse_header_line(std::string_view line, std::string_view *name, int32_t *bodylen) noexcept {
  std::string_view rest = line;
  std::string_view name_field = next_field(rest);
  std::string_view length_field = next_field(rest);
  *name = first_word(name_field);
  return !name->empty() && name_field.size() <= static_cast<size_t>(KIVREL_MAX_PROTOCOL_NAME) &&
         !length_field.empty() && parse_length(length_field, bodylen);
}

} // namespace kivrel

extern "C" {

kivrel_header *kivrel_header_new(void) noexcept { return alloc_record<kivrel_header>(); }

void kivrel_header_free(kivrel_header *header) noexcept { std::free(header); }

kivrel_header *kivrel_header_create(const char *name_ver, int32_t bodylen) noexcept {
  kivrel_header *header = kivrel_header_new();
  if (header == nullptr) return nullptr;
  if (name_ver != nullptr) {
    header->name_ver = dup_text(name_ver);
    if (header->name_ver == nullptr) {
      std::free(header);
      return nullptr;
    }
  }
  header->bodylen = bodylen;
  return header;
}

void kivrel_header_destroy(kivrel_header *header) noexcept {
  if (header == nullptr) return;
  std::free(header->name_ver);
  std::free(header);
}

int kivrel_header_set_name_ver(kivrel_header *header, const char *name_ver) noexcept {
  char *copy = dup_text(name_ver);
  if (name_ver != nullptr && copy == nullptr) return -1;
  std::free(header->name_ver);
  header->name_ver = copy;
  return 0;
}

int kivrel_header_set_bodylen(kivrel_header *header, int32_t bodylen) noexcept {
  header->bodylen = bodylen;
  return 0;
}

char *kivrel_header_get_name_ver(const kivrel_header *header) noexcept { return header->name_ver; }

int32_t kivrel_header_get_bodylen(const kivrel_header *header) noexcept { return header->bodylen; }

int kivrel_header_serialize(const kivrel_header *header, char **line, int32_t *len) noexcept {
  if (header->name_ver == nullptr || header->bodylen <= 0) return -1;
  size_t name_len = std::strlen(header->name_ver);
  if (name_len > static_cast<size_t>(KIVREL_MAX_PROTOCOL_NAME)) return -1;
  char digits[16];
  int digits_len = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(header->bodylen));
  if (digits_len <= 0) return -1;
  // name, ':', digits, '\n', NUL
  size_t size = name_len + static_cast<size_t>(digits_len) + 3;
  char *text = static_cast<char *>(kivrel::mem_calloc(size, 1));
  if (text == nullptr) return -1;
  char *at = text;
  std::memcpy(at, header->name_ver, name_len);
  at += name_len;
  *at++ = ':';
  std::memcpy(at, digits, static_cast<size_t>(digits_len));
  at += digits_len;
  *at = '\n';
  *line = text;
  *len = static_cast<int32_t>(size - 1);
  return 0;
}

int kivrel_header_deserialize(kivrel_header **header, const char *line) noexcept {
  *header = nullptr;
  if (line == nullptr) return -1;
  std::string_view name;
  int32_t bodylen = 0;
  if (!kivrel::parse_header_line(line, &name, &bodylen)) return -1;
  kivrel_header *made = kivrel_header_new();
  if (made == nullptr) return -1;
  made->name_ver = static_cast<char *>(kivrel::mem_malloc(name.size() + 1));
  if (made->name_ver == nullptr) {
    kivrel_header_free(made);
    return -1;
  }
  std::memcpy(made->name_ver, name.data(), name.size());
  made->name_ver[name.size()] = '\0';
  made->bodylen = bodylen;
  *header = made;
  return 0;
}

} // extern "C"
