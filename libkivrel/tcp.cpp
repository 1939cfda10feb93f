// TCP endpoints over IPv4 blocking sockets: a client that connects to one
// service, a server that listens and the connections it accepts.
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "internal.h"

using kivrel::alloc_record;
using kivrel::dup_text;

namespace {

// A client's message that takes longer than this fails, so a silent service
// cannot hold a caller for ever.
constexpr int32_t kClientTimeoutMs = 1000;
// The same for each message on an accepted connection, so a silent or
// stalled client cannot hold a service loop for ever.
constexpr int32_t kServerTimeoutMs = 10000;
// Pending connections a listening socket queues before refusing more.
constexpr int kListenBacklog = 5;
constexpr int32_t kPortMax = 65535;

int open_stream_socket() noexcept { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// A message rarely fills a segment; without this one sent while the
// connection still has data unacknowledged (a partial write's tail, a
// pipelined call) sits behind Nagle until the peer's delayed ACK arrives.
// Losing it costs latency only, so a failure is not fatal.
void disable_nagle(int fd) noexcept {
  int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool valid_port(int32_t port) noexcept { return port >= 0 && port <= kPortMax; }

// Accepts the listening socket's deadline (kept in its SO_RCVTIMEO) without
// letting it end the wait for a connection: accept() sees that option too.
int accept_waiting(int listener) noexcept {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A non-blocking listener means "no connection now", not a deadline.
      int flags = fcntl(listener, F_GETFL);
      if (flags >= 0 && (flags & O_NONBLOCK) == 0) continue;
    }
    return -1;
  }
}

} // namespace

namespace kivrel {

bool parse_ipv4(const char *text, in_addr_t *out) noexcept {
  if (text == nullptr) return false;
  uint32_t address = 0;
  const char *p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return false;
      ++p;
    }
    if (*p < '0' || *p > '9') return false;
    // "0" alone is a part; "010" is not (a lax reader takes it as octal).
    if (*p == '0' && p[1] >= '0' && p[1] <= '9') return false;
    uint32_t value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (++digits > 3) return false;
      value = value * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (value > 255) return false;
    address = address << 8 | value;
  }
  if (*p != '\0') return false;
  *out = htonl(address);
  return true;
}

bool set_socket_deadline(int fd, int32_t ms) noexcept {
  if (fd < 0 || ms < 0) return false;
  timeval limit{};
  limit.tv_sec = ms / 1000;
  limit.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0) return false;
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) >= 0;
}

int32_t socket_deadline_ms(int fd, int option) noexcept {
  timeval limit{};
  socklen_t size = sizeof limit;
  if (getsockopt(fd, SOL_SOCKET, option, &limit, &size) < 0) return 0;
  int64_t ms = static_cast<int64_t>(limit.tv_sec) * 1000 + limit.tv_usec / 1000;
  if (ms > INT32_MAX) ms = INT32_MAX;
  return static_cast<int32_t>(ms);
}

} // namespace kivrel

extern "C" {

// ---- client endpoint

kivrel_tcp_client *kivrel_tcp_client_new(void) noexcept {
  auto *client = alloc_record<kivrel_tcp_client>();
  if (client != nullptr) client->socket_fd = -1;
  return client;
}

void kivrel_tcp_client_free(kivrel_tcp_client *client) noexcept { std::free(client); }

kivrel_tcp_client *kivrel_tcp_client_create(const char *ip_addr, int32_t port) noexcept {
  kivrel_tcp_client *client = kivrel_tcp_client_new();
  if (client == nullptr) return nullptr;
  if (kivrel_tcp_client_set_server_ip_addr(client, ip_addr) != 0) {
    kivrel_tcp_client_free(client);
    return nullptr;
  }
  client->server_port = port;
  int fd = open_stream_socket();
  if (fd < 0 || !kivrel::set_socket_deadline(fd, kClientTimeoutMs)) {
    if (fd >= 0) close(fd);
    std::free(client->server_ip_addr);
    kivrel_tcp_client_free(client);
    return nullptr;
  }
  disable_nagle(fd);
  client->socket_fd = fd;
  return client;
}

int kivrel_tcp_client_connect(kivrel_tcp_client *client) noexcept {
  if (client->socket_fd < 0 || client->server_ip_addr == nullptr) return -1;
  if (!valid_port(client->server_port)) return -1;
  in_addr_t address = 0;
  // Only strict dotted decimal: a lax reader would send robot commands for
  // "192.168.010.021" to 192.168.8.17. No name is looked up.
  if (!kivrel::parse_ipv4(client->server_ip_addr, &address)) return -1;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(client->server_port));
  peer.sin_addr.s_addr = address;
  // A blocking connect gives up after the socket's send time-out, which is
  // the client's whole deadline, none of it spent yet. A signal (or a
  // socket made non-blocking by the caller) leaves the handshake going on
  // in the background: then wait for its outcome within what is left.
  kivrel::MessageDeadline deadline(client->socket_fd, SO_SNDTIMEO);
  if (connect(client->socket_fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0) return 0;
  if (errno != EINTR && errno != EINPROGRESS) return -1;
  if (!deadline.wait(POLLOUT)) return -1;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(client->socket_fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return -1;
  return error == 0 ? 0 : -1;
}

void kivrel_tcp_client_destroy(kivrel_tcp_client *client) noexcept {
  if (client == nullptr) return;
  if (client->socket_fd >= 0) close(client->socket_fd);
  std::free(client->server_ip_addr);
  std::free(client);
}

int kivrel_tcp_client_set_server_ip_addr(kivrel_tcp_client *client, const char *ip_addr) noexcept {
  char *copy = dup_text(ip_addr);
  if (ip_addr != nullptr && copy == nullptr) return -1;
  std::free(client->server_ip_addr);
  client->server_ip_addr = copy;
  return 0;
}

int kivrel_tcp_client_set_server_port(kivrel_tcp_client *client, int32_t port) noexcept {
  client->server_port = port;
  return 0;
}

int kivrel_tcp_client_set_socket_fd(kivrel_tcp_client *client, int32_t fd) noexcept {
  client->socket_fd = fd;
  return 0;
}

char *kivrel_tcp_client_get_server_ip_addr(const kivrel_tcp_client *client) noexcept {
  return client->server_ip_addr;
}

int32_t kivrel_tcp_client_get_server_port(const kivrel_tcp_client *client) noexcept {
  return client->server_port;
}

int32_t kivrel_tcp_client_get_socket_fd(const kivrel_tcp_client *client) noexcept {
  return client->socket_fd;
}

int kivrel_tcp_client_set_timeout_ms(kivrel_tcp_client *client, int32_t ms) noexcept {
  return kivrel::set_socket_deadline(client->socket_fd, ms) ? 0 : -1;
}

// ---- server endpoint and accepted connections

kivrel_tcp_server *kivrel_tcp_server_new(void) noexcept {
  auto *server = alloc_record<kivrel_tcp_server>();
  if (server != nullptr) server->socket_fd = -1;
  return server;
}

void kivrel_tcp_server_free(kivrel_tcp_server *server) noexcept { std::free(server); }

kivrel_tcp_server *kivrel_tcp_server_create(int32_t port) noexcept {
  return kivrel_tcp_server_create_at(nullptr, port);
}

kivrel_tcp_server *kivrel_tcp_server_create_at(const char *bind_address, int32_t port) noexcept {
  in_addr_t address = htonl(INADDR_ANY);
  if (!valid_port(port) ||
      (bind_address != nullptr && !kivrel::parse_ipv4(bind_address, &address))) {
    errno = EINVAL;
    return nullptr;
  }
  kivrel_tcp_server *server = kivrel_tcp_server_new();
  if (server == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  server->port = port;
  // The reason the caller is promised is the failing call's, not that of
  // the clean-up after it.
  const auto fail = [server](int fd) {
    const int error = errno;
    if (fd >= 0) close(fd);
    kivrel_tcp_server_free(server);
    errno = error;
    return nullptr;
  };
  int fd = open_stream_socket();
  if (fd < 0) return fail(fd);
  // A stopped service may listen again at once although its old
  // connections linger in TIME_WAIT; a port with a live listener is still
  // refused by the bind.
  int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = address;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
      bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
      listen(fd, kListenBacklog) < 0 || !kivrel::set_socket_deadline(fd, kServerTimeoutMs))
    return fail(fd);
  server->socket_fd = fd;
  return server;
}

int32_t kivrel_tcp_server_get_bound_port(const kivrel_tcp_server *server) noexcept {
  if (server->socket_fd < 0) return -1;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(server->socket_fd, reinterpret_cast<sockaddr *>(&local), &size) < 0 ||
      local.sin_family != AF_INET)
    return -1;
  return ntohs(local.sin_port);
}

int kivrel_tcp_server_set_timeout_ms(kivrel_tcp_server *server, int32_t ms) noexcept {
  return kivrel::set_socket_deadline(server->socket_fd, ms) ? 0 : -1;
}

kivrel_tcp_server *kivrel_tcp_server_accept(kivrel_tcp_server *server) noexcept {
  if (server->socket_fd < 0) return nullptr;
  kivrel_tcp_server *connection = kivrel_tcp_server_new();
  if (connection == nullptr) return nullptr;
  int fd = accept_waiting(server->socket_fd);
  if (fd < 0) {
    kivrel_tcp_server_free(connection);
    return nullptr;
  }
  // Every connection carries the listener's per-message deadline.
  int32_t deadline = kivrel::socket_deadline_ms(server->socket_fd, SO_RCVTIMEO);
  if (!kivrel::set_socket_deadline(fd, deadline)) {
    close(fd);
    kivrel_tcp_server_free(connection);
    return nullptr;
  }
  disable_nagle(fd);
  connection->socket_fd = fd;
  return connection;
}

void kivrel_tcp_server_destroy(kivrel_tcp_server *server) noexcept {
  if (server == nullptr) return;
  if (server->socket_fd >= 0) close(server->socket_fd);
  std::free(server);
}

int kivrel_tcp_server_set_port(kivrel_tcp_server *server, int32_t port) noexcept {
  server->port = port;
  return 0;
}

int kivrel_tcp_server_set_socket_fd(kivrel_tcp_server *server, int32_t fd) noexcept {
  server->socket_fd = fd;
  return 0;
}

int32_t kivrel_tcp_server_get_port(const kivrel_tcp_server *server) noexcept {
  return server->port;
}

int32_t kivrel_tcp_server_get_socket_fd(const kivrel_tcp_server *server) noexcept {
  return server->socket_fd;
}

// ---- platform socket layer: POSIX sockets need no start or stop

int kivrel_winsock2_wsastartup(void) noexcept { return 0; }

int kivrel_winsock2_wsacleanup(void) noexcept { return 0; }

} // extern "C"
