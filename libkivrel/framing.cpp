// The framing of documents on a stream: the reader that cuts bytes into
// message bodies, the deadline of one message, and the blocking send and
// receive built on them.
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

// The reader's state. The bytes held always start at `buf`: a header line
// is removed as soon as it is read, so that the body can be handed out as
// the buffer itself.
struct kivrel_reader {
  char *buf;           // `cap` bytes from the library's allocator, or null
  size_t len;          // bytes held
  size_t cap;          // always at least len + 1 while `buf` is set: room for the NUL
  size_t scanned;      // body bytes already searched for a NUL
  int32_t max_message; // largest body length a header may announce
  int32_t max_line;    // longest header line, line feed included
  int32_t bodylen;     // length of the message being read; -1 before its header
  const char *error;   // why the reader failed, or null
};

namespace {

// The largest body a receive accepts; a process-wide setting.
std::atomic<int32_t> g_max_message_size{KIVREL_DEFAULT_MAX_MESSAGE_SIZE};

// First step of a body buffer filled from a socket; it then doubles as
// bytes arrive, so a length announced by the peer costs memory only once
// the bytes are there.
constexpr size_t kBodyFirstStep = 64 * 1024;
// What a client asks for in its first receive of a response: a whole
// ordinary response, header included, in one system call.
constexpr size_t kFirstReceive = 4096;
// A body buffer with more spare room than this is shrunk before it is
// handed out.
constexpr size_t kShrinkSlack = 4096;

constexpr const char kNoMemory[] = "out of memory";
constexpr const char kBadLine[] = "header line has no protocol name and length";
constexpr const char kForeign[] = "header names another protocol";
constexpr const char kNegative[] = "header announces a negative length";
constexpr const char kTooLong[] = "header announces more than the message size limit";
constexpr const char kNulInBody[] = "body holds a NUL byte";

void reader_init(kivrel_reader *r) noexcept {
  *r = kivrel_reader{};
  r->max_message = kivrel_get_max_message_size();
  r->max_line = KIVREL_MAX_HEADER_LINE;
  r->bodylen = -1;
}

bool reader_fail(kivrel_reader *r, const char *why) noexcept {
  if (r->error == nullptr) r->error = why;
  return false;
}

// Room for `more` further bytes and a NUL behind them. The buffer doubles,
// but inside a body never past the body's end: memory follows the bytes
// that came, not the length that was announced.
bool reader_reserve(kivrel_reader *r, size_t more) noexcept {
  if (more > std::numeric_limits<size_t>::max() / 2 - r->len) return reader_fail(r, kNoMemory);
  const size_t need = r->len + more + 1;
  if (need <= r->cap) return true;
  size_t target = std::max(need, r->cap * 2);
  if (r->bodylen >= 0) {
    const size_t whole = static_cast<size_t>(r->bodylen) + 1;
    if (need <= whole) target = std::min(target, whole);
  }
  auto *grown = static_cast<char *>(kivrel::mem_realloc(r->buf, target));
  if (grown == nullptr) return reader_fail(r, kNoMemory);
  r->buf = grown;
  r->cap = target;
  return true;
}

int refuse(kivrel_reader *r, const char *why) noexcept {
  reader_fail(r, why);
  return -1;
}

bool reader_append(kivrel_reader *r, const char *bytes, size_t len) noexcept {
  if (r->error != nullptr) return false;
  if (len == 0) return true;
  if (!reader_reserve(r, len)) return false;
  std::memcpy(r->buf + r->len, bytes, len);
  r->len += len;
  return true;
}

// Judges a whole header line (line feed included, if it has one) and
// takes the body length from it. -1: refused.
int reader_judge_line(kivrel_reader *r, std::string_view line) noexcept {
  // The line is a text: a NUL ends what is read of it.
  line = line.substr(0, line.find('\0'));
  std::string_view name;
  int32_t bodylen = 0;
  if (!kivrel::parse_header_line(line, &name, &bodylen)) return refuse(r, kBadLine);
  if (name != KIVREL_PROTOCOL) return refuse(r, kForeign);
  if (bodylen < 0) return refuse(r, kNegative);
  if (bodylen > r->max_message) return refuse(r, kTooLong);
  r->bodylen = bodylen;
  r->scanned = 0;
  return 1;
}

// Reads the header line once it is whole. -1: refused; 0: more bytes
// needed; 1: read, its line removed from the buffer.
int reader_header(kivrel_reader *r) noexcept {
  const size_t max_line = static_cast<size_t>(r->max_line);
  const size_t window = std::min(r->len, max_line);
  const void *lf = window > 0 ? std::memchr(r->buf, '\n', window) : nullptr;
  size_t line_len = 0;
  if (lf != nullptr)
    line_len = static_cast<size_t>(static_cast<const char *>(lf) - r->buf) + 1;
  else if (r->len >= max_line)
    line_len = max_line; // the rest is read as the body
  else
    return 0;
  if (reader_judge_line(r, std::string_view(r->buf, line_len)) < 0) return -1;
  r->len -= line_len;
  std::memmove(r->buf, r->buf + line_len, r->len);
  return 1;
}

// kivrel_reader_get_message() without the argument checks.
int reader_take(kivrel_reader *r, char **body, int32_t *len) noexcept {
  *body = nullptr;
  if (len != nullptr) *len = 0;
  if (r->error != nullptr) return -1;
  if (r->bodylen < 0) {
    const int header = reader_header(r);
    if (header <= 0) return header;
  }
  const auto n = static_cast<size_t>(r->bodylen);
  // Each byte is searched once, as it arrives, so a refusal comes early.
  const size_t have = std::min(r->len, n);
  if (have > r->scanned) {
    if (std::memchr(r->buf + r->scanned, '\0', have - r->scanned) != nullptr)
      return refuse(r, kNulInBody);
    r->scanned = have;
  }
  if (r->len < n) return 0;
  // Hand out the buffer itself and keep a copy of what follows the body,
  // or copy the body out when it is the smaller part.
  const size_t rest = r->len - n;
  char *out = nullptr;
  if (rest == 0 || rest <= n) {
    char *keep = nullptr;
    if (rest > 0) {
      keep = static_cast<char *>(kivrel::mem_malloc(rest + 1));
      if (keep == nullptr) return refuse(r, kNoMemory);
      std::memcpy(keep, r->buf + n, rest);
    }
    out = r->buf;
    if (out == nullptr) {
      out = static_cast<char *>(kivrel::mem_malloc(1)); // an empty body, nothing held
      if (out == nullptr) return refuse(r, kNoMemory);
    } else if (r->cap - n - 1 > kShrinkSlack) {
      // Giving memory back is an option, not a need: a failure keeps it.
      if (auto *smaller = static_cast<char *>(kivrel::mem_realloc(out, n + 1))) out = smaller;
    }
    r->buf = keep;
    r->cap = rest > 0 ? rest + 1 : 0;
  } else {
    out = static_cast<char *>(kivrel::mem_malloc(n + 1));
    if (out == nullptr) return refuse(r, kNoMemory);
    std::memcpy(out, r->buf, n);
    std::memmove(r->buf, r->buf + n, rest);
  }
  out[n] = '\0';
  r->len = rest;
  r->bodylen = -1;
  r->scanned = 0;
  *body = out;
  if (len != nullptr) *len = static_cast<int32_t>(n);
  return 0;
}

// The line kivrel_header_serialize() writes, without its allocations.
struct HeaderLine {
  char text[KIVREL_MAX_PROTOCOL_NAME + 16];
  // Writes the line for a document of `doc_len` bytes; its length, or 0
  // when no line can announce that length.
  size_t write(size_t doc_len) noexcept {
    if (doc_len == 0 || doc_len > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
      return 0;
    const int n =
        std::snprintf(text, sizeof text, "%s:%d\n", KIVREL_PROTOCOL, static_cast<int>(doc_len));
    return n <= 0 || static_cast<size_t>(n) >= sizeof text ? 0 : static_cast<size_t>(n);
  }
};

// A reader that lives for one blocking receive.
class LocalReader {
public:
  LocalReader() noexcept { reader_init(&r_); }
  ~LocalReader() { std::free(r_.buf); }
  LocalReader(const LocalReader &) = delete;
  LocalReader &operator=(const LocalReader &) = delete;
  kivrel_reader *operator->() noexcept { return &r_; }
  kivrel_reader *get() noexcept { return &r_; }

private:
  kivrel_reader r_;
};

// errno for a reader that refused: memory, or the bytes.
void set_reader_errno(const kivrel_reader *r) noexcept {
  errno = r->error == kNoMemory ? ENOMEM : EPROTO;
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

  // recvmsg()/sendmsg() once; the count, or -1 for an error or the
  // deadline (errno ETIMEDOUT).
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
  // stream (errno ECONNRESET) or the deadline.
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
      if (n < 0) return false;
      if (n == 0) {
        errno = ECONNRESET;
        return false;
      }
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

// The header line of the next message, at most KIVREL_MAX_HEADER_LINE
// bytes, in `line`. The bytes before `*stored` have been taken from the
// socket; the `*queued` after them (the line feed last) are only peeked, so
// that the caller can take them together with the body. False for an
// error, the deadline, or a stream that ends before the first byte.
bool peek_line(MessageIo &io, char *line, int32_t *stored, int32_t *queued) noexcept {
  const int32_t room = KIVREL_MAX_HEADER_LINE;
  *stored = 0;
  *queued = 0;
  bool ready = false;
  while (*stored < room) {
    char *at = line + *stored;
    ssize_t seen = io.once(at, static_cast<size_t>(room - *stored), MSG_PEEK, ready);
    if (seen < 0) return false;
    if (seen == 0) {
      if (*stored == 0) {
        errno = ECONNRESET;
        return false;
      }
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
  return true;
}

} // namespace

namespace kivrel {

bool MessageDeadline::wait(short events) noexcept {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  if (!known_) {
    ms_ = socket_deadline_ms(fd_, option_);
    known_ = true;
  }
  for (;;) {
    int timeout = -1;
    if (ms_ > 0) {
      auto left = start_ + milliseconds(ms_) - steady_clock::now();
      if (left <= steady_clock::duration::zero()) {
        errno = ETIMEDOUT;
        return false;
      }
      // Rounded up, so that a wait never wakes just short of the deadline
      // and spins.
      auto ms = std::chrono::ceil<milliseconds>(left).count();
      timeout = ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
    }
    pollfd ready{fd_, events, 0};
    int n = poll(&ready, 1, timeout);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
    // Timed out or interrupted: the loop checks what is left.
  }
}

bool connection_quiet(int fd) noexcept {
  // poll() is the cheapest look at the queue; it is on every call's path.
  pollfd waiting{fd, POLLIN, 0};
  int ready = 0;
  do
    ready = poll(&waiting, 1, 0);
  while (ready < 0 && errno == EINTR);
  if (ready == 0) return true;
  if (ready < 0) return false;
  // Something is there: tell bytes from a close for errno.
  for (;;) {
    char byte = 0;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) n = 1; // gone again, still out of step
    if (n == 0) errno = ECONNRESET;
    if (n > 0) errno = EPROTO;
    return false;
  }
}

bool receive_response(int fd, char **body) noexcept {
  *body = nullptr;
  LocalReader r;
  MessageIo io(fd, false);
  for (;;) {
    char *got = nullptr;
    if (reader_take(r.get(), &got, nullptr) != 0) {
      set_reader_errno(r.get());
      return false;
    }
    if (got != nullptr) {
      // More than the response came: the peer is out of step with the
      // calls, so nothing more may be read on this connection as an answer.
      if (r->len > 0) (void)shutdown(fd, SHUT_RDWR);
      *body = got;
      return true;
    }
    if (r->buf == nullptr && r->bodylen < 0) {
      // The first receive goes to the stack and is copied at its size: an
      // ordinary response then costs one small allocation, taken from the
      // allocator's fast cache, not a block of the whole receive's size.
      char first[kFirstReceive];
      ssize_t n = io.once(first, sizeof first, 0, false);
      if (n < 0) return false;
      if (n == 0) {
        errno = ECONNRESET;
        return false;
      }
      if (!reader_append(r.get(), first, static_cast<size_t>(n))) {
        errno = ENOMEM;
        return false;
      }
      continue;
    }
    size_t step = kFirstReceive;
    if (r->bodylen >= 0)
      step = std::min(static_cast<size_t>(r->bodylen) - r->len, std::max(r->len, kFirstReceive));
    if (!reader_reserve(r.get(), step)) {
      errno = ENOMEM;
      return false;
    }
    // All the room there is: whatever else came in the same receive shows.
    ssize_t n = io.once(r->buf + r->len, r->cap - r->len - 1, 0, false);
    if (n < 0) return false;
    if (n == 0) {
      errno = ECONNRESET;
      return false;
    }
    r->len += static_cast<size_t>(n);
  }
}

char *frame_message(const char *doc, size_t doc_len, int32_t *len) noexcept {
  HeaderLine line;
  const size_t line_len = line.write(doc_len);
  if (line_len == 0) return nullptr;
  const size_t total = line_len + doc_len;
  if (total > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return nullptr;
  auto *message = static_cast<char *>(mem_malloc(total + 1));
  if (message == nullptr) return nullptr;
  std::memcpy(message, line.text, line_len);
  std::memcpy(message + line_len, doc, doc_len);
  message[total] = '\0';
  *len = static_cast<int32_t>(total);
  return message;
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

// ---- the reader

kivrel_reader *kivrel_reader_create(void) noexcept {
  auto *reader = kivrel::alloc_record<kivrel_reader>();
  if (reader != nullptr) reader_init(reader);
  return reader;
}

void kivrel_reader_destroy(kivrel_reader *reader) noexcept {
  if (reader == nullptr) return;
  std::free(reader->buf);
  std::free(reader);
}

int kivrel_reader_set_max_message_size(kivrel_reader *reader, int32_t bytes) noexcept {
  if (bytes < KIVREL_MIN_MAX_MESSAGE_SIZE) return -1;
  reader->max_message = bytes;
  return 0;
}

int32_t kivrel_reader_get_max_message_size(const kivrel_reader *reader) noexcept {
  return reader->max_message;
}

int kivrel_reader_feed(kivrel_reader *reader, const char *bytes, size_t len) noexcept {
  if (bytes == nullptr && len > 0) return -1;
  return reader_append(reader, bytes, len) ? 0 : -1;
}

int kivrel_reader_get_message(kivrel_reader *reader, char **body, int32_t *len) noexcept {
  if (body == nullptr) return -1;
  return reader_take(reader, body, len);
}

const char *kivrel_reader_get_error(const kivrel_reader *reader) noexcept { return reader->error; }

size_t kivrel_reader_get_buffered(const kivrel_reader *reader) noexcept { return reader->len; }

int kivrel_reader_in_message(const kivrel_reader *reader) noexcept {
  return reader->len > 0 || reader->bodylen >= 0 ? 1 : 0;
}

// ---- blocking send and receive

int kivrel_tcp_send(int fd, const char *doc) noexcept {
  if (fd < 0 || doc == nullptr || doc[0] == '\0') return -1;
  size_t doc_len = std::strlen(doc);
  HeaderLine line;
  const size_t line_len = line.write(doc_len);
  if (line_len == 0) return -1;
  // Header and body leave together: one system call for a message that
  // fits the socket's buffer.
  iovec pieces[2] = {{line.text, line_len}, {const_cast<char *>(doc), doc_len}};
  MessageIo io(fd, true);
  return io.all(pieces, 2, false) ? 0 : -1;
}

int kivrel_tcp_recv(int fd, char **body) noexcept {
  *body = nullptr;
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  MessageIo io(fd, false);
  LocalReader r;
  // The line is peeked, so that no byte after it leaves the socket before
  // the reader has judged it.
  char line[KIVREL_MAX_HEADER_LINE];
  int32_t stored = 0;
  int32_t queued = 0;
  if (!peek_line(io, line, &stored, &queued)) return -1;
  // The line is judged where it lies; a line that the end of the stream
  // cut short is still a line, as a line reader sees it (only a length of
  // 0 can then succeed).
  if (reader_judge_line(r.get(), std::string_view(line, static_cast<size_t>(stored + queued))) <
      0) {
    // Refused: the line is taken, its body (whose framing may differ) not.
    iovec rest{line + stored, static_cast<size_t>(queued)};
    (void)io.all(&rest, 1, true);
    errno = EPROTO;
    return -1;
  }
  // The rest of the line and the body in one receive when they are there;
  // the body straight into the reader's buffer, which starts at one step
  // and doubles as bytes arrive. Never a byte of the next message.
  iovec pieces[2] = {{line + stored, static_cast<size_t>(queued)}, {nullptr, 0}};
  const auto bodylen = static_cast<size_t>(r->bodylen);
  while (r->len < bodylen || pieces[0].iov_len > 0) {
    const size_t step = std::min(bodylen - r->len, std::max(r->len, kBodyFirstStep));
    if (!reader_reserve(r.get(), step)) {
      errno = ENOMEM;
      return -1;
    }
    pieces[1] = {r->buf + r->len, step};
    // The step before was filled, so more bytes are likely queued: try
    // them before waiting.
    if (!io.all(pieces, 2, true)) return -1;
    r->len += step;
  }
  char *got = nullptr;
  if (reader_take(r.get(), &got, nullptr) != 0 || got == nullptr) {
    set_reader_errno(r.get());
    return -1;
  }
  *body = got;
  return 0;
}

} // extern "C"
