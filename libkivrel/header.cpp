// The one-line message header ("KIVREL-1.1:<length>\n") and the framing of
// a document behind it on a connected socket.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "internal.h"

using kivrel::alloc_record;
using kivrel::CText;
using kivrel::dup_text;

namespace {

// Longest header line read, terminator included.
constexpr int32_t kLineBufferSize = 1024;
// Longest protocol name accepted when writing or reading a header.
constexpr size_t kNameMax = 255;
// First step of the body buffer; it then doubles as bytes arrive, so a
// length announced by the peer costs memory only once the bytes are there.
constexpr int32_t kBodyFirstStep = 64 * 1024;

// The largest body a receive accepts; a process-wide setting.
std::atomic<int32_t> g_max_message_size{KIVREL_DEFAULT_MAX_MESSAGE_SIZE};

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

// The body of a message whose header announced `bodylen` (>= 0) bytes, plus
// a NUL; null when the stream ends early, fails, or memory runs out.
char *read_body(int fd, int32_t bodylen) noexcept {
  int32_t capacity = std::min(bodylen, kBodyFirstStep);
  CText body(static_cast<char *>(kivrel::mem_malloc(static_cast<size_t>(capacity) + 1)));
  if (!body) return nullptr;
  int32_t have = 0;
  for (;;) {
    int32_t want = capacity - have;
    if (kivrel_utility_readn(fd, body.get() + have, want) != want) return nullptr;
    have = capacity;
    if (have == bodylen) break;
    capacity = capacity > bodylen / 2 ? bodylen : capacity * 2;
    char *grown =
        static_cast<char *>(kivrel::mem_realloc(body.get(), static_cast<size_t>(capacity) + 1));
    if (grown == nullptr) return nullptr;
    (void)body.release();
    body.reset(grown);
  }
  body.get()[bodylen] = '\0';
  return body.release();
}

} // namespace

extern "C" {

int kivrel_set_max_message_size(int32_t bytes) noexcept {
  if (bytes < KIVREL_MIN_MAX_MESSAGE_SIZE) return -1;
  g_max_message_size.store(bytes, std::memory_order_relaxed);
  return 0;
}

int32_t kivrel_get_max_message_size(void) noexcept {
  return g_max_message_size.load(std::memory_order_relaxed);
}

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
  if (name_len > kNameMax) return -1;
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
  std::string_view rest(line);
  std::string_view name_field = next_field(rest);
  std::string_view length_field = next_field(rest);
  std::string_view name = first_word(name_field);
  int32_t bodylen = 0;
  if (name.empty() || name_field.size() > kNameMax || length_field.empty() ||
      !parse_length(length_field, &bodylen)) {
    return -1;
  }
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

int kivrel_tcp_send(int fd, const char *doc) noexcept {
  if (fd < 0 || doc == nullptr || doc[0] == '\0') return -1;
  size_t doc_len = std::strlen(doc);
  if (doc_len > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return -1;
  const auto bodylen = static_cast<int32_t>(doc_len);

  kivrel::Header header(kivrel_header_create(KIVREL_PROTOCOL, bodylen));
  if (!header) return -1;
  char *line_text = nullptr;
  int32_t line_len = 0;
  if (kivrel_header_serialize(header.get(), &line_text, &line_len) != 0) return -1;
  CText line(line_text);
  header.reset();

  // Two write sequences, header then body; the sockets the library makes
  // run without Nagle's delay, so the body never waits for an ACK.
  if (kivrel_utility_writen(fd, line.get(), line_len) != line_len) return -1;
  if (kivrel_utility_writen(fd, doc, bodylen) != bodylen) return -1;
  return 0;
}

int kivrel_tcp_recv(int fd, char **body) noexcept {
  *body = nullptr;
  if (fd < 0) return -1;
  char line[kLineBufferSize];
  if (kivrel_utility_readline(fd, line, kLineBufferSize) <= 0) return -1;
  kivrel_header *parsed = nullptr;
  if (kivrel_header_deserialize(&parsed, line) != 0) return -1;
  kivrel::Header header(parsed);
  // A foreign name leaves its body unread: its framing may differ.
  if (std::strcmp(header->name_ver, KIVREL_PROTOCOL) != 0) return -1;
  // Refused before a byte of the body is read: the peer announces, it does
  // not get to make us allocate or wait for it.
  if (header->bodylen < 0 || header->bodylen > kivrel_get_max_message_size()) return -1;
  char *text = read_body(fd, header->bodylen);
  if (text == nullptr) return -1;
  *body = text;
  return 0;
}

} // extern "C"
