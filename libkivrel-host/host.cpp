// The host: one poller thread and a fixed pool of workers around the
// library's one-call service.
//
// The poller alone waits in epoll, on the listening socket, a wake-up
// eventfd, and every connection between calls (each armed for one event at
// a time). When a connection turns readable the poller peeks at its bytes:
// a whole request goes to the work queue; part of one stays with the poller
// (woken again only once enough bytes are queued, through SO_RCVLOWAT) under
// the per-message deadline; an ended stream is closed. A worker runs
// kivrel_service() once on a whole request and re-arms the connection, or
// closes it. So no worker ever waits for a client's bytes.
//
// Connections live under `mutex`; the poller alone closes a connection that
// is armed in epoll (and does it after handling the events of one wait), a
// worker alone closes one it is serving, so an event never names a closed
// connection.
#include "kivrel_host.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The longest header line worth waiting for: protocol name (at most 255
// characters), colon, ten digits, line feed. A longer one is handed to the
// library, which refuses it.
constexpr size_t kMaxHeaderLine = 255 + 1 + 10 + 2;
// The most bytes of one request the poller waits for before a worker takes
// the connection: requests up to this size never hold a worker while they
// arrive; a larger one is read by its worker under the message deadline.
constexpr size_t kHeldRequestBytes = 64 * 1024;
// Wake-ups in a row without a new byte after which the poller stops waiting
// for a partial request and lets a worker read it (a system that ignores
// SO_RCVLOWAT would otherwise wake the poller without end).
constexpr int kMaxIdleWakeups = 3;
// Connections accepted per wake-up, so that a burst of clients cannot keep
// the poller from the requests of those it already holds.
constexpr int kAcceptBurst = 64;
constexpr int kEventsPerWait = 64;

// New: accepted, not looked at yet; Armed: in epoll, waiting for bytes;
// Queued: a whole request waits for a worker; Busy: a worker answers it.
enum class State { New, Armed, Queued, Busy };

struct Connection {
  kivrel_tcp_server *socket = nullptr;
  State state = State::New;
  bool registered = false; // in the epoll set
  bool partial = false;    // part of a request has arrived
  int lowat = 1;           // SO_RCVLOWAT now set on the socket
  size_t seen = 0;         // request bytes seen at the last peek
  int idle_wakeups = 0;    // peeks in a row that found no new byte
  // Its idle or message deadline in `timers`, when `timed`.
  std::multimap<Clock::time_point, Connection *>::iterator timer;
  bool timed = false;
};

int fd_of(const Connection *c) { return kivrel_tcp_server_get_socket_fd(c->socket); }

int32_t default_workers() {
  const unsigned n = std::thread::hardware_concurrency();
  return n < 2 ? 2 : static_cast<int32_t>(std::min(n, 1024u));
}

// Whether the peeked bytes hold a whole request; otherwise how many bytes
// must be queued before it is worth looking again.
bool request_complete(const char *bytes, size_t n, size_t *needed) {
  const char *nl = static_cast<const char *>(std::memchr(bytes, '\n', n));
  if (nl == nullptr) {
    if (n >= kMaxHeaderLine) return true; // the library refuses it
    *needed = n + 1;
    return false;
  }
  // The length is the decimal after the line's last colon; anything the
  // reader below cannot make sense of is left to the library to refuse.
  const char *colon = nullptr;
  for (const char *p = bytes; p < nl; ++p)
    if (*p == ':') colon = p;
  if (colon == nullptr) return true;
  // A length past the message limit is refused by the library at once, so
  // it goes to a worker now instead of holding the connection till its
  // deadline.
  const auto limit = static_cast<uint64_t>(kivrel_get_max_message_size());
  uint64_t length = 0;
  const char *p = colon + 1;
  for (; p < nl && *p >= '0' && *p <= '9'; ++p) {
    length = length * 10 + static_cast<uint64_t>(*p - '0');
    if (length > limit) return true;
  }
  const uint64_t total = static_cast<uint64_t>(nl - bytes) + 1 + length;
  if (total <= n) return true;
  if (n >= kHeldRequestBytes) return true; // a large request: its worker reads the rest
  *needed = static_cast<size_t>(std::min<uint64_t>(total, kHeldRequestBytes));
  return false;
}

} // namespace

struct kivrel_host {
  // Settings, fixed at start.
  const kivrel_registry *registry = nullptr;
  std::string bind_address;
  bool any_address = true;
  int32_t requested_port = 0;
  int32_t workers = default_workers();
  int32_t max_connections = KIVREL_HOST_DEFAULT_MAX_CONNECTIONS;
  int32_t timeout_ms = KIVREL_HOST_DEFAULT_TIMEOUT_MS;
  int32_t idle_ms = KIVREL_HOST_DEFAULT_IDLE_MS;
  int32_t backlog = KIVREL_HOST_DEFAULT_BACKLOG;

  bool started = false;  // owner's thread only
  std::mutex stop_mutex; // one stop at a time; the others wait for it
  bool stopped = false;  // under stop_mutex

  struct kivrel_service *service = nullptr;
  kivrel_tcp_server *listener = nullptr;
  int epoll_fd = -1;
  int wake_fd = -1;
  std::thread poller;
  std::vector<std::thread> pool;
  std::atomic<int32_t> port{0};
  std::atomic<bool> stopping{false};

  std::mutex mutex; // guards everything below
  std::condition_variable work_cv;
  std::condition_variable idle_cv; // a worker finished a call
  std::deque<Connection *> queue;
  std::unordered_set<Connection *> connections;
  std::multimap<Clock::time_point, Connection *> timers;
  int busy = 0;
  bool workers_quit = false;

  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> open{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> calls_answered{0};
  std::atomic<uint64_t> calls_refused{0};
  std::atomic<uint64_t> closed_idle{0};

  std::vector<char> peek_buffer = std::vector<char>(kHeldRequestBytes);

  int start();
  void stop();
  void release_descriptors();
  void poll_loop();
  void work_loop();
  void accept_burst();
  // Closes armed connections whose client has gone (counted at `*closed`).
  // Mutex held; only from the poller after a batch of events. Returns how
  // many connections being answered have lost their client.
  size_t reap_departed(size_t *closed);
  void readable(Connection *c, bool ended); // `ended`: no more bytes will come
  bool arm(Connection *c);                  // mutex held
  // False (no timer set) when memory runs out; the caller then closes.
  bool set_timer(Connection *c, Clock::time_point at); // mutex held
  void clear_timer(Connection *c);                     // mutex held
  // Closes and releases the connection. Mutex held.
  void forget(Connection *c);
  void expire(Clock::time_point now);
  int wait_ms(Clock::time_point now);
};

namespace {

constexpr uint64_t kListenerTag = 1;
constexpr uint64_t kWakeTag = 2;

} // namespace

bool kivrel_host::arm(Connection *c) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  ev.data.ptr = c;
  const int op = c->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  c->state = State::Armed;
  if (epoll_ctl(epoll_fd, op, fd_of(c), &ev) != 0) return false;
  c->registered = true;
  return true;
}

bool kivrel_host::set_timer(Connection *c, Clock::time_point at) {
  clear_timer(c);
  try {
    c->timer = timers.emplace(at, c);
  } catch (...) {
    return false;
  }
  c->timed = true;
  return true;
}

void kivrel_host::clear_timer(Connection *c) {
  if (c->timed) timers.erase(c->timer);
  c->timed = false;
}

void kivrel_host::forget(Connection *c) {
  clear_timer(c);
  connections.erase(c);
  kivrel_tcp_server_destroy(c->socket);
  delete c;
  open.fetch_sub(1);
}

int kivrel_host::start() {
  if (started) {
    errno = EINVAL;
    return -1;
  }
  started = true;
  service = kivrel_service_create(const_cast<kivrel_registry *>(registry));
  listener =
      kivrel_tcp_server_create_at(any_address ? nullptr : bind_address.c_str(), requested_port);
  // The bind's reason is the one a caller can act on; keep it.
  int error = service == nullptr ? ENOMEM : listener == nullptr ? errno : 0;
  epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bool ok = service != nullptr && listener != nullptr && epoll_fd >= 0 && wake_fd >= 0;
  if (ok) {
    const int fd = kivrel_tcp_server_get_socket_fd(listener);
    // Non-blocking: a client that gave up between the wake-up and accept
    // must not leave the poller waiting in accept.
    const int flags = fcntl(fd, F_GETFL);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.u64 = kListenerTag;
    epoll_event wev{};
    wev.events = EPOLLIN;
    wev.data.u64 = kWakeTag;
    ok = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && listen(fd, backlog) == 0 &&
         kivrel_tcp_server_set_timeout_ms(listener, timeout_ms) == 0 &&
         epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &lev) == 0 &&
         epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &wev) == 0;
  }
  if (!ok && error == 0) error = errno;
  if (ok) port.store(kivrel_tcp_server_get_bound_port(listener));
  if (ok) {
    try {
      for (int32_t i = 0; i < workers; ++i)
        pool.emplace_back([this] { work_loop(); });
      poller = std::thread([this] { poll_loop(); });
    } catch (const std::system_error &e) {
      ok = false;
      error = e.code().value();
    } catch (...) {
      ok = false;
      error = ENOMEM;
    }
  }
  if (!ok) {
    {
      std::lock_guard lock(mutex);
      workers_quit = true;
    }
    work_cv.notify_all();
    for (std::thread &t : pool)
      t.join();
    pool.clear();
    release_descriptors();
    port.store(0);
    errno = error != 0 ? error : EIO;
    return -1;
  }
  return 0;
}

void kivrel_host::release_descriptors() {
  kivrel_tcp_server_destroy(listener);
  listener = nullptr;
  if (epoll_fd >= 0) close(epoll_fd);
  if (wake_fd >= 0) close(wake_fd);
  epoll_fd = wake_fd = -1;
  kivrel_service_destroy(service);
  service = nullptr;
}

void kivrel_host::stop() {
  std::lock_guard stop_lock(stop_mutex);
  if (stopped || !poller.joinable()) return;
  stopped = true;
  port.store(0);
  stopping.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd, &one, sizeof one);
  // The poller closes the listener's queue and every connection between
  // calls on its way out; what is queued or being answered is left to the
  // workers.
  poller.join();

  {
    std::unique_lock lock(mutex);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    idle_cv.wait_until(lock, deadline, [this] { return queue.empty() && busy == 0; });
    // Past the deadline: cut what is left short. A worker in a send sees
    // its stream end; queued requests are dropped unanswered.
    for (Connection *c : connections)
      if (c->state == State::Busy) shutdown(fd_of(c), SHUT_RDWR);
    while (!queue.empty()) {
      Connection *c = queue.front();
      queue.pop_front();
      forget(c);
    }
    workers_quit = true;
  }
  work_cv.notify_all();
  for (std::thread &t : pool)
    t.join();
  pool.clear();
  {
    std::lock_guard lock(mutex);
    while (!connections.empty())
      forget(*connections.begin());
  }
  release_descriptors();
}

int kivrel_host::wait_ms(Clock::time_point now) {
  // A worker adds timers too, but always `idle_ms` ahead of its own now:
  // never before the end of a wait of at most `idle_ms` begun earlier.
  int64_t ms = idle_ms;
  std::lock_guard lock(mutex);
  if (!timers.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timers.begin()->first - now);
    ms = std::clamp<int64_t>(left.count(), 0, ms);
  }
  return static_cast<int>(ms);
}

void kivrel_host::poll_loop() {
  epoll_event events[kEventsPerWait];
  while (!stopping.load()) {
    const int n = epoll_wait(epoll_fd, events, kEventsPerWait, wait_ms(Clock::now()));
    if (n < 0 && errno != EINTR) break; // cannot happen with a valid set; stop() still works
    bool clients_waiting = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kWakeTag) continue; // stopping is set
      if (events[i].data.u64 == kListenerTag) {
        clients_waiting = true;
        continue;
      }
      readable(static_cast<Connection *>(events[i].data.ptr),
               (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0);
    }
    // Closing armed connections only after the whole batch: no event of it
    // still names them.
    expire(Clock::now());
    if (clients_waiting && !stopping.load()) accept_burst();
  }
  // Stopping: no new connection, no new call. Requests already queued or
  // being answered are the workers' to finish.
  {
    std::lock_guard lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
      Connection *c = *it++; // forget() leaves the other iterators valid
      if (c->state == State::Armed) forget(c);
    }
  }
  kivrel_tcp_server_destroy(listener);
  listener = nullptr;
}

size_t kivrel_host::reap_departed(size_t *closed) {
  size_t leaving = 0;
  *closed = 0;
  char byte;
  for (auto it = connections.begin(); it != connections.end();) {
    Connection *c = *it++; // forget() leaves the other iterators valid
    // A peek takes nothing, so it is harmless on a connection a worker is
    // serving too.
    const ssize_t r = recv(fd_of(c), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      if (c->state == State::Armed) {
        forget(c);
        ++*closed;
      } else {
        ++leaving; // whoever holds it closes it soon
      }
    }
  }
  return leaving;
}

void kivrel_host::accept_burst() {
  // At the limit, the host first makes room held by clients that have left
  // but whose close it has not handled yet (a client that closes and
  // connects again at once must not find its own old slot taken); a
  // connection still being answered for a client that has left does not
  // count either: it is about to close. Each look peeks at every connection,
  // so it is made only while looks find someone gone.
  bool look = true;
  size_t leaving = 0;
  Connection *fresh[kAcceptBurst];
  int fresh_count = 0;
  for (int i = 0; i < kAcceptBurst; ++i) {
    bool full = false;
    {
      std::lock_guard lock(mutex);
      if (look && connections.size() >= static_cast<size_t>(max_connections) + leaving) {
        size_t closed = 0;
        leaving = reap_departed(&closed);
        look = closed > 0;
      }
      full = connections.size() >= static_cast<size_t>(max_connections) + leaving;
    }
    // Full after this burst took some: the ones it took may free slots
    // soon, and the events of departed clients come first. The rest wait
    // in the system's queue for the next round, a moment later. Full at the
    // start of a burst: the host is full, and refuses.
    if (full && fresh_count > 0) break;
    kivrel_tcp_server *s = kivrel_tcp_server_accept(listener);
    if (s == nullptr) break; // none left (or out of descriptors: retried on the next wake-up)
    accepted.fetch_add(1);
    if (!full) {
      std::lock_guard lock(mutex);
      Connection *c = new (std::nothrow) Connection;
      if (c != nullptr) {
        c->socket = s;
        try {
          connections.insert(c);
          open.fetch_add(1);
        } catch (...) {
          delete c;
          c = nullptr;
        }
      }
      if (c != nullptr) {
        if (set_timer(c, Clock::now() + std::chrono::milliseconds(idle_ms))) {
          fresh[fresh_count++] = c;
          continue;
        }
        connections.erase(c);
        delete c;
        open.fetch_sub(1);
      }
    }
    refused.fetch_add(1);
    kivrel_tcp_server_destroy(s);
  }
  // Most clients send their request right behind the connect: a look now
  // saves a round through epoll (and arms the connection otherwise).
  for (int i = 0; i < fresh_count; ++i)
    readable(fresh[i], false);
}

void kivrel_host::readable(Connection *c, bool ended) {
  const int fd = fd_of(c);
  const ssize_t n = recv(fd, peek_buffer.data(), peek_buffer.size(), MSG_PEEK | MSG_DONTWAIT);
  bool wake_worker = false;
  std::unique_lock lock(mutex);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    forget(c); // the client is gone
  } else if (n < 0) {
    if (!arm(c)) forget(c);
  } else {
    size_t needed = 0;
    bool complete = request_complete(peek_buffer.data(), static_cast<size_t>(n), &needed);
    if (!complete && ended) {
      forget(c); // a request that can never be whole
      return;
    }
    if (!complete) {
      c->idle_wakeups = static_cast<size_t>(n) > c->seen ? 0 : c->idle_wakeups + 1;
      complete = c->idle_wakeups >= kMaxIdleWakeups;
    }
    c->seen = static_cast<size_t>(n);
    if (complete) {
      if (c->lowat != 1) {
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
        c->lowat = 1;
      }
      clear_timer(c);
      c->state = State::Queued;
      try {
        queue.push_back(c);
      } catch (...) {
        forget(c);
        c = nullptr;
      }
      if (c != nullptr) wake_worker = true;
    } else {
      bool keep = true;
      if (!c->partial) {
        // The request has begun: from now on the message deadline runs.
        c->partial = true;
        keep = set_timer(c, Clock::now() + std::chrono::milliseconds(timeout_ms));
      }
      const int lowat = static_cast<int>(needed);
      if (keep && lowat != c->lowat &&
          setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowat, sizeof lowat) == 0)
        c->lowat = lowat;
      if (!keep || !arm(c)) forget(c);
    }
  }
  lock.unlock();
  // Woken outside the lock, so that the worker does not wake into a held one.
  if (wake_worker) work_cv.notify_one();
}

void kivrel_host::expire(Clock::time_point now) {
  {
    std::lock_guard lock(mutex);
    while (!timers.empty() && timers.begin()->first <= now) {
      Connection *c = timers.begin()->second;
      closed_idle.fetch_add(1);
      forget(c); // armed: only this thread closes it
    }
  }
}

void kivrel_host::work_loop() {
  std::unique_lock lock(mutex);
  for (;;) {
    work_cv.wait(lock, [this] { return workers_quit || !queue.empty(); });
    if (queue.empty()) return;
    Connection *c = queue.front();
    queue.pop_front();
    c->state = State::Busy;
    ++busy;
    lock.unlock();

    const int rc = kivrel_service(c->socket, service);
    (rc == 0 ? calls_answered : calls_refused).fetch_add(1);

    lock.lock();
    c->partial = false;
    c->seen = 0;
    c->idle_wakeups = 0;
    bool keep = rc == 0 && !stopping.load();
    if (keep) keep = set_timer(c, Clock::now() + std::chrono::milliseconds(idle_ms)) && arm(c);
    if (!keep) forget(c);
    --busy;
    if (busy == 0 && queue.empty()) idle_cv.notify_all();
  }
}

// ---- C API

extern "C" {

kivrel_host *kivrel_host_create(const kivrel_registry *registry, const char *bind_address,
                                int32_t port) noexcept {
  if (registry == nullptr || port < 0 || port > 65535) {
    errno = EINVAL;
    return nullptr;
  }
  // Judged now by the library's rule (strict dotted decimal), so that a
  // wrong text fails here and not only at start; the library binds it.
  // inet_pton takes exactly that form: four decimal parts, no leading
  // zeros, nothing around them.
  in_addr parsed{};
  if (bind_address != nullptr && inet_pton(AF_INET, bind_address, &parsed) != 1) {
    errno = EINVAL;
    return nullptr;
  }
  try {
    auto *host = new kivrel_host;
    host->registry = registry;
    host->any_address = bind_address == nullptr;
    if (bind_address != nullptr) host->bind_address = bind_address;
    host->requested_port = port;
    return host;
  } catch (...) {
    errno = ENOMEM;
    return nullptr;
  }
}

int kivrel_host_set_workers(kivrel_host *host, int32_t n) noexcept {
  if (host->started || n < 1 || n > KIVREL_HOST_MAX_WORKERS) return -1;
  host->workers = n;
  return 0;
}

int kivrel_host_set_max_connections(kivrel_host *host, int32_t n) noexcept {
  if (host->started || n < 1 || n > KIVREL_HOST_MAX_CONNECTIONS) return -1;
  host->max_connections = n;
  return 0;
}

int kivrel_host_set_timeout_ms(kivrel_host *host, int32_t ms) noexcept {
  if (host->started || ms < 1) return -1;
  host->timeout_ms = ms;
  return 0;
}

int kivrel_host_set_idle_ms(kivrel_host *host, int32_t ms) noexcept {
  if (host->started || ms < 1) return -1;
  host->idle_ms = ms;
  return 0;
}

int kivrel_host_set_backlog(kivrel_host *host, int32_t n) noexcept {
  if (host->started || n < 1 || n > KIVREL_HOST_MAX_BACKLOG) return -1;
  host->backlog = n;
  return 0;
}

int kivrel_host_start(kivrel_host *host) noexcept {
  try {
    return host->start();
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

int32_t kivrel_host_port(const kivrel_host *host) noexcept { return host->port.load(); }

void kivrel_host_stop(kivrel_host *host) noexcept {
  try {
    host->stop();
  } catch (...) {
    // Only a failed lock can get here; there is nothing left to report to.
  }
}

void kivrel_host_destroy(kivrel_host *host) noexcept {
  if (host == nullptr) return;
  kivrel_host_stop(host);
  delete host;
}

void kivrel_host_get_stats(const kivrel_host *host, kivrel_host_stats *stats) noexcept {
  stats->accepted = host->accepted.load();
  stats->open = host->open.load();
  stats->refused = host->refused.load();
  stats->calls_answered = host->calls_answered.load();
  stats->calls_refused = host->calls_refused.load();
  stats->closed_idle = host->closed_idle.load();
}

} // extern "C"
