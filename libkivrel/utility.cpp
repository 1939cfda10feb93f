// Stream helpers on a connected socket: read exactly n bytes, write exactly
// n bytes, read one line without taking a byte beyond it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sys/socket.h>
#include <sys/types.h>

#include "kivrel.h"

extern "C" {

int32_t kivrel_utility_readn(int fd, void *buf, int32_t n) noexcept {
  if (n <= 0) return 0;
  if (fd < 0) return -1;
  auto *at = static_cast<char *>(buf);
  int32_t left = n;
  while (left > 0) {
    // An interrupted receive is an error like any other; nothing retries.
    ssize_t got = recv(fd, at, static_cast<size_t>(left), 0);
    if (got < 0) return -1;
    if (got == 0) break;
    at += got;
    left -= static_cast<int32_t>(got);
  }
  return n - left;
}

int32_t kivrel_utility_writen(int fd, const void *buf, int32_t n) noexcept {
  if (n <= 0) return 0;
  if (fd < 0) return -1;
  const auto *at = static_cast<const char *>(buf);
  int32_t left = n;
  while (left > 0) {
    // A peer that went away must cost a -1, never the process (SIGPIPE).
    ssize_t sent = send(fd, at, static_cast<size_t>(left), MSG_NOSIGNAL);
    if (sent <= 0) return static_cast<int32_t>(sent < 0 ? -1 : 0);
    at += sent;
    left -= static_cast<int32_t>(sent);
  }
  return n;
}

int32_t kivrel_utility_readline(int fd, char *buf, int32_t max) noexcept {
  // A buffer of no bytes has no room even for the terminator.
  if (max <= 0) return 1;
  int32_t stored = 0;
  bool line_feed = false;
  // Room for max - 1 bytes and the terminator. The bytes after the line
  // feed belong to the next reader (the body of a framed message), so the
  // line is first looked at in place and then exactly its bytes are taken:
  // two receives per line instead of one per byte.
  while (stored < max - 1) {
    ssize_t seen = recv(fd, buf + stored, static_cast<size_t>(max - 1 - stored), MSG_PEEK);
    if (seen == 0) {
      if (stored == 0) return 0;
      break;
    }
    if (seen < 0) return -1;
    const void *lf = std::memchr(buf + stored, '\n', static_cast<size_t>(seen));
    size_t take = lf != nullptr
                      ? static_cast<size_t>(static_cast<const char *>(lf) - (buf + stored)) + 1
                      : static_cast<size_t>(seen);
    // The peeked bytes are queued already, so this takes them at once.
    ssize_t got = recv(fd, buf + stored, take, 0);
    if (got < 0) return -1;
    if (got == 0) break;
    stored += static_cast<int32_t>(got);
    if (lf != nullptr && static_cast<size_t>(got) == take) {
      line_feed = true;
      break;
    }
  }
  buf[stored] = '\0';
  // The stored count when a line feed ended the line, one more otherwise
  // (also max when the buffer filled up).
  return line_feed ? stored : stored + 1;
}

} // extern "C"
