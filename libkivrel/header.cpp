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

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

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

// The receives or sends of one message on a socket, within the message's
// deadline. The first call of a message may block in the kernel, whose
// time-out is then the whole deadline; every later one waits in poll() for
// what is left and then does not block, unless its bytes are known to be
// queued already. Interrupted calls are retried.
class MessageIo {
public:
  MessageIo(int fd, bool sending) noexcept
      : fd_(fd), sending_(sending), deadline_(fd, sending ? SO_SNDTIMEO : SO_RCVTIMEO) {}

  // recvmsg()/sendmsg() once; the count, or -1 for an error or the deadline.
  ssize_t once(msghdr *msg, int flags, bool ready) noexcept {
    for (;;) {
      if (started_) {
        flags |= MSG_DONTWAIT;
        if (!ready && !deadline_.wait(sending_ ? POLLOUT : POLLIN)) return -1;
      }
      started_ = true;
      // A peer that went away must cost a -1, never the process (SIGPIPE).
      ssize_t n = sending_ ? sendmsg(fd_, msg, flags | MSG_NOSIGNAL) : recvmsg(fd_, msg, flags);
      if (n >= 0) return n;
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      ready = false;
    }
  }

  ssize_t once(void *buf, size_t len, int flags, bool ready) noexcept {
    iovec one{buf, len};
    msghdr msg{};
    msg.msg_iov = &one;
    msg.msg_iovlen = 1;
    return once(&msg, flags, ready);
  }

  // Moves every byte the `count` pieces describe (which it advances), in as
  // few calls as the socket allows; false on an error, the end of the
  // stream or the deadline.
  bool all(iovec *pieces, int count, bool ready) noexcept {
    for (;;) {
      while (count > 0 && pieces->iov_len == 0) {
        ++pieces;
        --count;
      }
      if (count == 0) return true;
      msghdr msg{};
      msg.msg_iov = pieces;
      msg.msg_iovlen = static_cast<size_t>(count);
      ssize_t n = once(&msg, 0, ready);
      if (n <= 0) return false;
      for (auto done = static_cast<size_t>(n); done > 0;) {
        size_t step = std::min(done, pieces->iov_len);
        pieces->iov_base = static_cast<char *>(pieces->iov_base) + step;
        pieces->iov_len -= step;
        done -= step;
        if (pieces->iov_len == 0 && done > 0) {
          ++pieces;
          --count;
        }
      }
      ready = false;
    }
  }

private:
  int fd_;
  bool sending_;
  kivrel::MessageDeadline deadline_;
  bool started_ = false;
};

// The header line of the next message, at most kLineBufferSize - 1 bytes,
// NUL-terminated in `line`. The bytes before `*stored` have been taken from
// the socket; the `*queued` after them (the line feed last) are only
// peeked, so that the caller can take them together with the body. False
// for an error, the deadline, or a stream that ends before the first byte.
bool peek_line(MessageIo &io, char *line, int32_t *stored, int32_t *queued) noexcept {
  const int32_t room = kLineBufferSize - 1;
  *stored = 0;
  *queued = 0;
  bool ready = false;
  while (*stored < room) {
    char *at = line + *stored;
    ssize_t seen = io.once(at, static_cast<size_t>(room - *stored), MSG_PEEK, ready);
    if (seen < 0) return false;
    if (seen == 0) {
      if (*stored == 0) return false;
      break; // the stream ended inside the line: the line is what came
    }
    if (const void *lf = std::memchr(at, '\n', static_cast<size_t>(seen))) {
      *queued = static_cast<int32_t>(static_cast<const char *>(lf) - at) + 1;
      break;
    }
    // No line feed yet: take what came, so that the next wait is for new
    // bytes. They are queued, so this does not wait.
    ssize_t got = io.once(at, static_cast<size_t>(seen), 0, true);
    if (got < 0) return false;
    if (got == 0) break;
    *stored += static_cast<int32_t>(got);
    ready = false;
  }
  line[*stored + *queued] = '\0';
  return true;
}

} // namespace

namespace kivrel {

bool parse_header_line(const char *line, std::string_view *name, int32_t *bodylen) noexcept {
  std::string_view rest(line);
  std::string_view name_field = next_field(rest);
  std::string_view length_field = next_field(rest);
  *name = first_word(name_field);
  return !name->empty() && name_field.size() <= kNameMax && !length_field.empty() &&
         parse_length(length_field, bodylen);
}

} // namespace kivrel

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

int kivrel_tcp_send(int fd, const char *doc) noexcept {
  if (fd < 0 || doc == nullptr || doc[0] == '\0') return -1;
  size_t doc_len = std::strlen(doc);
  if (doc_len > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return -1;
  // The line kivrel_header_serialize() writes, without its allocations.
  char line[kNameMax + 16];
  int line_len =
      std::snprintf(line, sizeof line, "%s:%d\n", KIVREL_PROTOCOL, static_cast<int>(doc_len));
  if (line_len <= 0 || static_cast<size_t>(line_len) >= sizeof line) return -1;
  // Header and body leave together: one system call for a message that
  // fits the socket's buffer.
  iovec pieces[2] = {{line, static_cast<size_t>(line_len)}, {const_cast<char *>(doc), doc_len}};
  MessageIo io(fd, true);
  return io.all(pieces, 2, false) ? 0 : -1;
}

int kivrel_tcp_recv(int fd, char **body) noexcept {
  *body = nullptr;
  if (fd < 0) return -1;
  MessageIo io(fd, false);
  char line[kLineBufferSize];
  int32_t stored = 0;
  int32_t queued = 0;
  if (!peek_line(io, line, &stored, &queued)) return -1;
  std::string_view name;
  int32_t bodylen = 0;
  // A foreign name leaves its body unread (its framing may differ), and a
  // length beyond the limit is refused before a byte of the body is read:
  // the peer announces, it does not get to make us allocate or wait.
  if (!kivrel::parse_header_line(line, &name, &bodylen) || name != KIVREL_PROTOCOL || bodylen < 0 ||
      bodylen > kivrel_get_max_message_size()) {
    iovec rest{line + stored, static_cast<size_t>(queued)};
    (void)io.all(&rest, 1, true);
    return -1;
  }
  // Exactly the announced length when it is small; a longer body starts at
  // one step and doubles as its bytes arrive, so memory follows them.
  int32_t capacity = std::min(bodylen, kBodyFirstStep);
  CText text(static_cast<char *>(kivrel::mem_malloc(static_cast<size_t>(capacity) + 1)));
  if (!text) return -1;
  // The rest of the line and the body in one receive when they are there;
  // never a byte of the next message.
  iovec pieces[2] = {{line + stored, static_cast<size_t>(queued)},
                     {text.get(), static_cast<size_t>(capacity)}};
  if (!io.all(pieces, 2, true)) return -1;
  while (capacity < bodylen) {
    int32_t have = capacity;
    capacity = capacity > bodylen / 2 ? bodylen : capacity * 2;
    char *grown =
        static_cast<char *>(kivrel::mem_realloc(text.get(), static_cast<size_t>(capacity) + 1));
    if (grown == nullptr) return -1;
    (void)text.release();
    text.reset(grown);
    // The step before was filled, so more bytes are likely queued: try
    // them before waiting.
    iovec more{text.get() + have, static_cast<size_t>(capacity - have)};
    if (!io.all(&more, 1, true)) return -1;
  }
  text.get()[bodylen] = '\0';
  *body = text.release();
  return 0;
}

} // extern "C"
