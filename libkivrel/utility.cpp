// Stream helpers on a connected socket: read exactly n bytes, write exactly
// n bytes, read one line without taking a byte beyond it.
#include <cstddef>
#include <cstdint>

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
  int32_t count = 1;
  char *at = buf;
  while (count < max) {
    // One byte per receive: the bytes after the line feed belong to the
    // next reader (the body of a framed message).
    char c = 0;
    ssize_t got = recv(fd, &c, 1, 0);
    if (got == 1) {
      *at++ = c;
      if (c == '\n') break;
      ++count;
    } else if (got == 0) {
      if (count == 1) return 0;
      break;
    } else {
      return -1;
    }
  }
  *at = '\0';
  return count;
}

} // extern "C"
