// Feeds arbitrary bytes to kivrel_service as the stream of one accepted
// connection and lets it answer calls until the stream ends. A peer thread
// writes the input and drains every reply, so neither side can block the
// other however large the input or the replies grow.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "kivrel.h"

namespace {

constexpr int kMaxCallsPerInput = 4096;
constexpr int kPeerPollMs = 10000; // a service silent this long is stuck: cut the stream

kivrel_datalist *Copy(const kivrel_datalist *list, int depth);

// A deep copy of a value; null for a type the copy does not know.
kivrel_data *CopyValue(const kivrel_data *value, int depth) {
  const char *type = kivrel_data_get_datatype(value);
  if (type == nullptr) return nullptr;
  kivrel_data *copy = kivrel_data_create();
  if (copy == nullptr) return nullptr;
  int linked = -1;
  if (std::strcmp(type, "int") == 0) {
    kivrel_data_int *p = kivrel_data_int_create(
        kivrel_data_int_get(static_cast<kivrel_data_int *>(kivrel_data_get_data(value))));
    if (p != nullptr && (linked = kivrel_data_int_link(copy, p)) != 0) kivrel_data_int_destroy(p);
  } else if (std::strcmp(type, "string") == 0) {
    kivrel_data_string *p = kivrel_data_string_create(kivrel_data_string_get_string(
        static_cast<kivrel_data_string *>(kivrel_data_get_data(value))));
    if (p != nullptr && (linked = kivrel_data_string_link(copy, p)) != 0)
      kivrel_data_string_destroy(p);
  } else if (std::strcmp(type, "datalist") == 0) {
    kivrel_datalist *p =
        Copy(static_cast<kivrel_datalist *>(kivrel_data_get_data(value)), depth + 1);
    if (p != nullptr && (linked = kivrel_data_datalist_link(copy, p)) != 0)
      kivrel_datalist_destroy(p);
  }
  if (linked != 0) {
    kivrel_data_destroy(copy);
    return nullptr;
  }
  return copy;
}

kivrel_datalist *Copy(const kivrel_datalist *list, int depth) {
  if (list == nullptr || depth > KIVREL_MAX_DEPTH) return nullptr;
  kivrel_datalist *copy = kivrel_datalist_create();
  if (copy == nullptr) return nullptr;
  for (kivrel_data *v = kivrel_datalist_get_head(list); v != nullptr; v = kivrel_data_get_next(v)) {
    kivrel_data *c = CopyValue(v, depth);
    if (c == nullptr) {
      kivrel_datalist_destroy(copy);
      return nullptr;
    }
    kivrel_datalist_ins_next(copy, kivrel_datalist_get_tail(copy), c);
  }
  return copy;
}

// Sends the arguments back: whatever was parsed must be written again.
int Echo(const kivrel_datalist *args, kivrel_datalist **ret) {
  *ret = Copy(args, 1);
  return 0;
}

int Sum(const kivrel_datalist *args, kivrel_datalist **ret) {
  int32_t a = 0, b = 0;
  if (args == nullptr || kivrel_decompose_root_datalist(args, "[{i}{i}]", &a, &b) != 0) return 1;
  *ret = kivrel_build_root_datalist(
      "[{i}]", static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)));
  return 0;
}

int Nothing(const kivrel_datalist *, kivrel_datalist **) { return 0; }

struct kivrel_service *MakeService() {
  kivrel_registry *registry = kivrel_registry_create();
  if (registry == nullptr) return nullptr;
  kivrel_registry_add_method(registry, kivrel_method_create("Echo", Echo, "?", "?", "Echo."));
  kivrel_registry_add_method(
      registry, kivrel_method_create("Sum", Sum, "[{i}{i}]", "[{i}]", "Adds two integers."));
  kivrel_registry_add_method(
      registry, kivrel_method_create("Nothing", Nothing, "[{i}{[{s}{[]}]}]", "[]", nullptr));
  kivrel_introspection_register(registry);
  return kivrel_service_create(registry);
}

// The client's end: writes the input, then shuts its sending half, reading
// and dropping replies all along until the service's end closes.
void Peer(int fd, const uint8_t *data, size_t size) {
  char sink[64 * 1024];
  size_t sent = 0;
  bool writing = true;
  if (size == 0) {
    shutdown(fd, SHUT_WR);
    writing = false;
  }
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    int ready = poll(&p, 1, kPeerPollMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if (writing && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || sent == size) {
        shutdown(fd, SHUT_WR);
        writing = false;
      }
    }
    if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
  }
  // Whatever ended the loop, the service must see the end of its stream.
  shutdown(fd, SHUT_RDWR);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static struct kivrel_service *service = MakeService();
  if (service == nullptr) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  kivrel_tcp_server *connection = kivrel_tcp_server_new();
  if (connection == nullptr) {
    close(fds[0]);
    close(fds[1]);
    return 0;
  }
  kivrel_tcp_server_set_port(connection, 0);
  kivrel_tcp_server_set_socket_fd(connection, fds[0]);
  std::thread peer(Peer, fds[1], data, size);
  for (int i = 0; i < kMaxCallsPerInput; ++i)
    if (kivrel_service(connection, service) != 0) break;
  kivrel_tcp_server_destroy(connection); // closes the service's end: the peer sees it
  peer.join();
  close(fds[1]);
  return 0;
}
