// Loopback round trips: a service answering a method that returns sixteen
// integers, called (a) on a fresh connection per call, as the panel does,
// and (b) many times over one connection; and, in the same run, the floor:
// a plain TCP exchange of the same byte counts without the library.
//
//   bench_roundtrip [calls]      (default 20000 per case)
//
// Prints median, 99th percentile, worst latency and calls per second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kivrel.h"
#include "power_status.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::kSign16;

int FreePort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

// Serves connections one after another on its own thread: each connection
// carries calls until the client closes it.
class LibraryService {
public:
  LibraryService() {
    m_registry = kivrel_registry_create();
    m_method =
        kivrel_method_create("ReadPowerStatus", bench::PowerStatus, nullptr, kSign16, "status");
    kivrel_registry_add_method(m_registry, m_method);
    m_service = kivrel_service_create(m_registry);
    for (int i = 0; i < 20 && m_server == nullptr; ++i)
      m_server = kivrel_tcp_server_create(m_port = FreePort());
    m_thread = std::thread([this] {
      while (!m_stop) {
        pollfd p{kivrel_tcp_server_get_socket_fd(m_server), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        kivrel_tcp_server *c = kivrel_tcp_server_accept(m_server);
        while (c != nullptr && kivrel_service(c, m_service) == 0) {
        }
        kivrel_tcp_server_destroy(c);
      }
    });
  }
  ~LibraryService() {
    m_stop = true;
    m_thread.join();
    kivrel_tcp_server_destroy(m_server);
    kivrel_service_free(m_service);
    kivrel_registry_destroy(m_registry, 1); // and the method
  }
  int Port() const { return m_port; }

private:
  kivrel_registry *m_registry;
  kivrel_method *m_method;
  struct kivrel_service *m_service;
  kivrel_tcp_server *m_server = nullptr;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

bool ReadAll(int fd, char *buf, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, buf, n, 0);
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The floor: reads `request` bytes, answers with `response` bytes, each
// message in one send (as the library sends it: header and body together),
// with TCP_NODELAY.
class PlainService {
public:
  PlainService(size_t requestBytes, std::string headerLine, std::string body)
      : m_request(requestBytes), m_header(std::move(headerLine)), m_body(std::move(body)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 20; ++i) {
      a.sin_port = htons(static_cast<uint16_t>(m_port = FreePort()));
      if (::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) break;
    }
    ::listen(m_listen, 16);
    m_thread = std::thread([this] {
      std::vector<char> buf(m_request);
      const std::string reply = m_header + m_body;
      while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int c = ::accept(m_listen, nullptr, nullptr);
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        while (ReadAll(c, buf.data(), buf.size())) {
          ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        ::close(c);
      }
    });
  }
  ~PlainService() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
  }
  int Port() const { return m_port; }

private:
  size_t m_request;
  std::string m_header, m_body;
  int m_listen;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

int PlainConnect(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

void Report(const char *name, std::vector<double> us, double seconds) {
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[static_cast<size_t>(q * (us.size() - 1))]; };
  std::printf("%-44s median %7.1f us  p99 %7.1f us  max %8.1f us  %8.0f calls/s\n", name, at(0.5),
              at(0.99), us.back(), us.size() / seconds);
}

void Measure(const char *name, int calls, const std::function<bool()> &call) {
  for (int i = 0; i < calls / 20; ++i)
    call(); // warm up
  std::vector<double> us;
  us.reserve(static_cast<size_t>(calls));
  auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    auto t0 = Clock::now();
    if (!call()) {
      std::printf("%s: call %d failed\n", name, i);
      return;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  Report(name, std::move(us), std::chrono::duration<double>(Clock::now() - start).count());
}

} // namespace

int main(int argc, char **argv) {
  int calls = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  kivrel_initialize();

  // The byte counts of one exchange, for the floor.
  char *callDoc = nullptr, *respDoc = nullptr;
  int callLen = 0, respLen = 0;
  kivrel_xml_serialize_method_call("ReadPowerStatus", nullptr, &callDoc, &callLen);
  kivrel_datalist *ret = nullptr;
  bench::PowerStatus(nullptr, &ret);
  kivrel_xml_serialize_method_response(ret, &respDoc, &respLen);
  kivrel_datalist_destroy(ret);
  std::string reqHeader = "KIVREL-1.1:" + std::to_string(callLen) + "\n";
  std::string respHeader = "KIVREL-1.1:" + std::to_string(respLen) + "\n";
  std::string request = reqHeader + callDoc;
  std::printf("one exchange: %zu request bytes, %zu response bytes\n", request.size(),
              respHeader.size() + respLen);

  {
    LibraryService service;
    int32_t v[16];
    auto decompose = [&](kivrel_datalist *r) {
      bool ok = r != nullptr &&
                kivrel_decompose_root_datalist(r, kSign16, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                                               &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12],
                                               &v[13], &v[14], &v[15]) == 0;
      kivrel_datalist_destroy(r);
      return ok;
    };
    Measure("(a) library, fresh connection per call", calls, [&] {
      kivrel_tcp_client *c = kivrel_tcp_client_create("127.0.0.1", service.Port());
      bool ok = c != nullptr && kivrel_tcp_client_connect(c) == 0 &&
                decompose(kivrel_request_method_call(c, "ReadPowerStatus", nullptr));
      kivrel_tcp_client_destroy(c);
      return ok;
    });
    kivrel_tcp_client *c = kivrel_tcp_client_create("127.0.0.1", service.Port());
    kivrel_tcp_client_connect(c);
    Measure("(b) library, calls over one connection", calls,
            [&] { return decompose(kivrel_request_method_call(c, "ReadPowerStatus", nullptr)); });
    kivrel_tcp_client_destroy(c);
  }
  {
    PlainService plain(request.size(), respHeader, respDoc);
    std::vector<char> buf(respHeader.size() + static_cast<size_t>(respLen));
    auto exchange = [&](int s) {
      ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
      return ReadAll(s, buf.data(), buf.size());
    };
    Measure("(a) floor: plain TCP, fresh connection", calls, [&] {
      int s = PlainConnect(plain.Port());
      bool ok = s >= 0 && exchange(s);
      ::close(s);
      return ok;
    });
    int s = PlainConnect(plain.Port());
    Measure("(b) floor: plain TCP, one connection", calls, [&] { return exchange(s); });
    ::close(s);
  }
  kivrel_xml_free(callDoc);
  kivrel_xml_free(respDoc);
  kivrel_finalize();
  return 0;
}
