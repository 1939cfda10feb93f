// The host: one poller thread and a fixed pool of workers around the
// library's message reader and its one-call answer.
//
// The poller alone waits in epoll, on the listening socket, a wake-up
// eventfd, and every connection that is not with a worker (each armed for
// one event at a time). It reads each connection without blocking into the
// connection's own kivrel_reader, so a header is taken or refused by the
// library's one rule; once the reader holds a whole message, its body goes
// to the work queue. A worker turns the body into the whole response
// (kivrel_service_answer()) and sends it without blocking; what the socket
// does not take at once is left to the poller, which sends the rest as the
// client reads. So no worker ever waits for a client, neither for its
// request nor for its reading of the answer, and every wait has a deadline
// in the poller's timer list.
//
// Ownership of a connection: the poller's while it waits for bytes or sends
// the rest of an answer, the queue's while its request waits for a worker,
// the worker's while it answers. Every change of state happens under
// `mutex`. A closed connection's record is deleted only by the poller,
// after it has handled a whole batch of events, so an event of that batch
// never names freed memory.
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
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes the poller takes from one connection per wake-up: a fast sender
// cannot keep it from the others.
constexpr size_t kReadChunk = 64 * 1024;
// Connections accepted per wake-up, so that a burst of clients cannot keep
// the poller from the requests of those it already holds.
constexpr int kAcceptBurst = 64;
constexpr int kEventsPerWait = 64;
// How long the listener rests when accept fails for a reason that waiting
// for the next client would not cure (out of descriptors with none to
// spare, out of memory): the level-triggered listener would wake the
// poller again at once.
constexpr int kAcceptRestMs = 100;

// Idle: no byte of a request yet; Reading: part of one; Queued: a whole
// request waits for a worker; Busy: a worker answers it; Writing: the
// poller sends the rest of the response.
enum class State { Idle, Reading, Queued, Busy, Writing };

bool call_in_progress(State s) {
  return s == State::Queued || s == State::Busy || s == State::Writing;
}

struct Connection {
  int fd = -1;
  State state = State::Idle;
  bool gone = false; // closed; the record waits for the end of the batch
  kivrel_reader *reader = nullptr;
  char *body = nullptr; // Queued, Busy: the request's body
  size_t body_len = 0;
  char *out = nullptr; // Writing: the response
  size_t out_len = 0;
  size_t out_sent = 0;
  size_t counted = 0; // this connection's share of kivrel_host::buffered
  // The list of connections without a call in progress, oldest first.
  Connection *older = nullptr;
  Connection *newer = nullptr;
  bool waiting = false;
  // Its deadline in `timers`, when `timed`.
  std::multimap<Clock::time_point, Connection *>::iterator timer;
  bool timed = false;
};

int32_t default_workers() {
  const unsigned n = std::thread::hardware_concurrency();
  return n < 2 ? 2 : static_cast<int32_t>(std::min(n, 1024u));
}

bool request_begun(const Connection *c) {
  return kivrel_reader_in_message(c->reader) != 0 || kivrel_reader_get_buffered(c->reader) > 0;
}

bool again(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

constexpr uint64_t kListenerTag = 1;
constexpr uint64_t kWakeTag = 2;

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
  int64_t max_buffered = 0; // 0: the default, worked out at start

  bool started = false;  // owner's thread only
  std::mutex stop_mutex; // one stop at a time; the others wait for it
  bool stopped = false;  // under stop_mutex

  struct kivrel_service *service = nullptr;
  kivrel_tcp_server *listener = nullptr;
  int epoll_fd = -1;
  int wake_fd = -1;
  // Kept open to be given up when accept runs out of descriptors: the
  // waiting client is then accepted and closed at once instead of waking
  // the poller again and again.
  int spare_fd = -1;
  std::thread poller;
  std::vector<std::thread> pool;
  std::atomic<int32_t> port{0};
  std::atomic<bool> stopping{false};

  // Poller only.
  bool listener_resting = false;
  Clock::time_point listener_rest_end;
  std::vector<char> read_buffer = std::vector<char>(kReadChunk);

  std::mutex mutex; // guards everything below
  std::condition_variable work_cv;
  std::deque<Connection *> queue;
  std::unordered_set<Connection *> connections;
  std::vector<Connection *> graveyard; // closed, deleted by the poller
  std::multimap<Clock::time_point, Connection *> timers;
  Connection *oldest = nullptr; // of the connections without a call in progress
  Connection *newest = nullptr;
  int64_t buffered = 0; // bytes all connections hold: partial requests, bodies, responses
  bool poller_done = false;
  bool workers_quit = false;

  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> open{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> calls_answered{0};
  std::atomic<uint64_t> calls_refused{0};
  std::atomic<uint64_t> closed_idle{0};
  std::atomic<uint64_t> evicted{0};
  std::atomic<uint64_t> closed_buffered{0};

  int start();
  void stop();
  void release_descriptors();
  void poll_loop();
  void work_loop();
  void accept_burst();
  // False when the poller should stop accepting for this wake-up.
  bool accept_failed(int error);
  void rest_listener(bool rest);
  // An event on a connection the poller holds: reads into its reader, or
  // sends more of its response.
  void ready(Connection *c);
  // The rest of these run with `mutex` held.
  bool read_more(Connection *c); // true when a worker should be woken
  bool send_more(Connection *c);
  bool arm(Connection *c, uint32_t events);
  bool set_timer(Connection *c, Clock::time_point at);
  void clear_timer(Connection *c);
  void wait_push(Connection *c);
  void wait_unlink(Connection *c);
  void account(Connection *c);
  // Closes the connection and releases all it holds; the record itself goes
  // to the graveyard.
  void forget(Connection *c);
  // Closes the connections without a call in progress whose client has
  // gone, before their close has been handled; returns how many. Counts at
  // `*leaving` the calls in progress whose client has gone: their slots are
  // about to be free.
  size_t reap_departed(size_t *leaving);
  bool evict_one();
  // Makes room for `n` more bytes on `c` by closing the connections that
  // hold the largest partial requests; false when `c` is the one to close.
  bool make_room(Connection *c, size_t n);
  // Hands the next whole message in the reader to the queue, or waits for
  // more bytes. Returns true when a worker should be woken.
  bool next_request(Connection *c, Clock::time_point now);
  // After a response went out whole.
  bool call_done(Connection *c);
  void expire(Clock::time_point now);
  int wait_ms(Clock::time_point now, Clock::time_point stop_deadline);
  bool calls_left();
  void wake_poller();
};

bool kivrel_host::arm(Connection *c, uint32_t events) {
  epoll_event ev{};
  ev.events = events | EPOLLONESHOT;
  ev.data.ptr = c;
  // Every connection is added at accept; from then on it is only re-armed.
  return epoll_ctl(epoll_fd, EPOLL_CTL_MOD, c->fd, &ev) == 0;
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

void kivrel_host::wait_push(Connection *c) {
  if (c->waiting) return;
  c->waiting = true;
  c->older = newest;
  c->newer = nullptr;
  (newest != nullptr ? newest->newer : oldest) = c;
  newest = c;
}

void kivrel_host::wait_unlink(Connection *c) {
  if (!c->waiting) return;
  (c->older != nullptr ? c->older->newer : oldest) = c->newer;
  (c->newer != nullptr ? c->newer->older : newest) = c->older;
  c->older = c->newer = nullptr;
  c->waiting = false;
}

void kivrel_host::account(Connection *c) {
  size_t held = c->out_len - c->out_sent;
  if (c->reader != nullptr) held += static_cast<size_t>(kivrel_reader_get_buffered(c->reader));
  if (c->body != nullptr) held += c->body_len;
  buffered += static_cast<int64_t>(held) - static_cast<int64_t>(c->counted);
  c->counted = held;
}

void kivrel_host::forget(Connection *c) {
  if (c->gone) return;
  c->gone = true;
  clear_timer(c);
  wait_unlink(c);
  if (c->state == State::Queued) {
    const auto it = std::find(queue.begin(), queue.end(), c);
    if (it != queue.end()) queue.erase(it);
  }
  close(c->fd);
  kivrel_reader_destroy(c->reader);
  c->reader = nullptr;
  kivrel_mem_free(c->body);
  c->body = nullptr;
  c->body_len = 0;
  kivrel_mem_free(c->out);
  c->out = nullptr;
  c->out_len = c->out_sent = 0;
  buffered -= static_cast<int64_t>(c->counted);
  c->counted = 0;
  connections.erase(c);
  open.fetch_sub(1);
  try {
    graveyard.push_back(c);
  } catch (...) {
    // Only its few bytes are lost; the poller clears the graveyard often.
  }
}

size_t kivrel_host::reap_departed(size_t *leaving) {
  size_t closed = 0;
  *leaving = 0;
  char byte;
  for (auto it = connections.begin(); it != connections.end();) {
    Connection *c = *it++; // forget() leaves the other iterators valid
    // A peek takes nothing, so it is harmless on a connection a worker is
    // answering too.
    const ssize_t r = recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0 || (r < 0 && again(errno))) continue;
    if (call_in_progress(c->state)) {
      ++*leaving; // whoever holds it closes it soon
    } else {
      forget(c);
      ++closed;
    }
  }
  return closed;
}

bool kivrel_host::evict_one() {
  if (oldest == nullptr) return false;
  forget(oldest);
  evicted.fetch_add(1);
  return true;
}

bool kivrel_host::make_room(Connection *c, size_t n) {
  while (buffered + static_cast<int64_t>(n) > max_buffered) {
    Connection *largest = c;
    int64_t most = c->state == State::Reading ? kivrel_reader_get_buffered(c->reader) : 0;
    for (Connection *x : connections) {
      if (x->state != State::Reading) continue;
      const int64_t held = kivrel_reader_get_buffered(x->reader);
      if (held > most) {
        most = held;
        largest = x;
      }
    }
    closed_buffered.fetch_add(1);
    if (largest == c) return false;
    forget(largest);
  }
  return true;
}

bool kivrel_host::next_request(Connection *c, Clock::time_point now) {
  char *body = nullptr;
  int32_t len = 0;
  if (kivrel_reader_get_message(c->reader, &body, &len) != 0) {
    calls_refused.fetch_add(1); // a header or body the protocol refuses
    forget(c);
    return false;
  }
  if (body != nullptr) {
    c->body = body;
    c->body_len = static_cast<size_t>(len);
    wait_unlink(c);
    c->state = State::Queued;
    // The request's wait for a worker has its deadline too.
    bool ok = set_timer(c, now + std::chrono::milliseconds(timeout_ms));
    if (ok) {
      try {
        queue.push_back(c);
      } catch (...) {
        ok = false;
      }
    }
    account(c);
    if (!ok) forget(c);
    return ok;
  }
  bool ok = true;
  if (request_begun(c)) {
    // The request has begun: from now on the message deadline runs.
    if (c->state != State::Reading) {
      c->state = State::Reading;
      ok = set_timer(c, now + std::chrono::milliseconds(timeout_ms));
    }
  } else if (c->state != State::Idle) {
    c->state = State::Idle;
    ok = set_timer(c, now + std::chrono::milliseconds(idle_ms));
  }
  wait_push(c);
  account(c);
  if (!ok || !arm(c, EPOLLIN | EPOLLRDHUP)) forget(c);
  return false;
}

bool kivrel_host::call_done(Connection *c) {
  calls_answered.fetch_add(1);
  kivrel_mem_free(c->out);
  c->out = nullptr;
  c->out_len = c->out_sent = 0;
  clear_timer(c);
  if (stopping.load()) {
    forget(c);
    return false;
  }
  // A call whose next request came along with it is answered next; the idle
  // time counts from this response.
  c->state = State::Busy;
  const auto now = Clock::now();
  if (!request_begun(c)) {
    c->state = State::Idle;
    wait_push(c);
    account(c);
    if (!set_timer(c, now + std::chrono::milliseconds(idle_ms)) || !arm(c, EPOLLIN | EPOLLRDHUP))
      forget(c);
    return false;
  }
  return next_request(c, now);
}

int kivrel_host::start() {
  if (started) {
    errno = EINVAL;
    return -1;
  }
  started = true;
  if (max_buffered == 0)
    max_buffered = std::max<int64_t>(KIVREL_HOST_DEFAULT_MAX_BUFFERED_BYTES,
                                     int64_t{4} * kivrel_get_max_message_size());
  service = kivrel_service_create(const_cast<kivrel_registry *>(registry));
  listener =
      kivrel_tcp_server_create_at(any_address ? nullptr : bind_address.c_str(), requested_port);
  // The bind's reason is the one a caller can act on; keep it.
  int error = service == nullptr ? ENOMEM : listener == nullptr ? errno : 0;
  epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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
  for (int *fd : {&epoll_fd, &wake_fd, &spare_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  kivrel_service_destroy(service);
  service = nullptr;
}

void kivrel_host::wake_poller() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd, &one, sizeof one);
}

void kivrel_host::stop() {
  std::lock_guard stop_lock(stop_mutex);
  if (stopped || !poller.joinable()) return;
  stopped = true;
  port.store(0);
  stopping.store(true);
  wake_poller();
  // The poller closes the listener and every connection without a call in
  // progress at once, and sends the answers of the calls in progress until
  // they are out or the message deadline has passed.
  poller.join();
  {
    std::lock_guard lock(mutex);
    // Requests no worker took in time are dropped unanswered.
    while (!queue.empty())
      forget(queue.front());
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
    for (Connection *c : graveyard)
      delete c;
    graveyard.clear();
  }
  release_descriptors();
}

bool kivrel_host::calls_left() {
  std::lock_guard lock(mutex);
  return std::any_of(connections.begin(), connections.end(),
                     [](const Connection *c) { return call_in_progress(c->state); });
}

int kivrel_host::wait_ms(Clock::time_point now, Clock::time_point stop_deadline) {
  // A worker sets deadlines too, but always `idle_ms` or `timeout_ms` ahead
  // of its own now: never before the end of a wait no longer than either,
  // begun earlier.
  int64_t ms = std::min(idle_ms, timeout_ms);
  const auto until = [&](Clock::time_point at) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - now);
    ms = std::clamp<int64_t>(left.count(), 0, ms);
  };
  if (listener_resting) until(listener_rest_end);
  if (stopping.load()) until(stop_deadline);
  std::lock_guard lock(mutex);
  if (!timers.empty()) until(timers.begin()->first);
  return static_cast<int>(ms);
}

void kivrel_host::poll_loop() {
  epoll_event events[kEventsPerWait];
  bool stop_begun = false;
  Clock::time_point stop_deadline{};
  for (;;) {
    if (stopping.load() && !stop_begun) {
      // No new connection, no new call: what has not sent a whole request
      // is closed now; calls in progress may finish within the deadline.
      stop_begun = true;
      stop_deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
      kivrel_tcp_server_destroy(listener);
      listener = nullptr;
      std::lock_guard lock(mutex);
      while (oldest != nullptr)
        forget(oldest);
    }
    if (stop_begun && (!calls_left() || Clock::now() >= stop_deadline)) break;
    const int n =
        epoll_wait(epoll_fd, events, kEventsPerWait, wait_ms(Clock::now(), stop_deadline));
    if (n < 0 && errno != EINTR) break; // cannot happen with a valid set; stop() still works
    bool clients_waiting = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kWakeTag) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(wake_fd, &count, sizeof count);
        continue;
      }
      if (events[i].data.u64 == kListenerTag) {
        clients_waiting = true;
        continue;
      }
      ready(static_cast<Connection *>(events[i].data.ptr));
    }
    const auto now = Clock::now();
    expire(now);
    if (listener_resting && now >= listener_rest_end && !stop_begun) rest_listener(false);
    if (clients_waiting && !stopping.load()) accept_burst();
    std::lock_guard lock(mutex);
    for (Connection *c : graveyard)
      delete c;
    graveyard.clear();
  }
  kivrel_tcp_server_destroy(listener);
  listener = nullptr;
  std::lock_guard lock(mutex);
  poller_done = true;
}

void kivrel_host::rest_listener(bool rest) {
  epoll_event ev{};
  ev.events = rest ? 0u : static_cast<uint32_t>(EPOLLIN);
  ev.data.u64 = kListenerTag;
  epoll_ctl(epoll_fd, EPOLL_CTL_MOD, kivrel_tcp_server_get_socket_fd(listener), &ev);
  listener_resting = rest;
  if (rest) listener_rest_end = Clock::now() + std::chrono::milliseconds(kAcceptRestMs);
}

bool kivrel_host::accept_failed(int error) {
  if (error == EINTR || error == ECONNABORTED) return true;
  if (again(error)) return false; // none left
  if (error == EMFILE || error == ENFILE) {
    // Out of descriptors: a waiting client is served in the place of the
    // connection that has waited longest, as when every slot is taken.
    {
      std::lock_guard lock(mutex);
      size_t leaving = 0;
      if (reap_departed(&leaving) > 0 || evict_one()) return true;
    }
    // None to give up: the spare descriptor makes room to accept one client
    // and close it at once, so that it is told and the listener calms down.
    if (spare_fd >= 0) {
      close(spare_fd);
      const int fd =
          accept4(kivrel_tcp_server_get_socket_fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        close(fd);
        accepted.fetch_add(1);
        refused.fetch_add(1);
      }
      spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd >= 0 && spare_fd >= 0) return true;
    }
  }
  rest_listener(true);
  return false;
}

void kivrel_host::accept_burst() {
  const int listen_fd = kivrel_tcp_server_get_socket_fd(listener);
  // Given up in a shortage and not had back then: tried again.
  if (spare_fd < 0) spare_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  bool look = true;
  size_t leaving = 0;
  for (int i = 0; i < kAcceptBurst && !listener_resting; ++i) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (accept_failed(errno)) continue;
      break;
    }
    accepted.fetch_add(1);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection *c = nullptr;
    {
      std::lock_guard lock(mutex);
      // Every slot taken: first the slots of clients that have left and
      // whose close is not handled yet (a client that closes and connects
      // again at once must not push another out); then the connection that
      // has waited longest without a call in progress gives its slot up;
      // with none, the newcomer is refused. A call in progress whose client
      // has gone holds no slot either: it is about to close. A look that
      // finds nobody gone, or about to go, is not repeated within this burst.
      const auto full = [&] {
        return connections.size() >= static_cast<size_t>(max_connections) + leaving;
      };
      if (full() && look) look = reap_departed(&leaving) > 0 || leaving > 0;
      const bool room = !full() || evict_one();
      c = room ? new (std::nothrow) Connection : nullptr;
      if (c != nullptr) {
        c->fd = fd;
        c->reader = kivrel_reader_create();
        bool ok = c->reader != nullptr;
        if (ok) {
          try {
            connections.insert(c);
          } catch (...) {
            ok = false;
          }
        }
        epoll_event ev{};
        ev.events = EPOLLONESHOT; // added disarmed; ready() arms it when it must wait
        ev.data.ptr = c;
        if (ok && epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
          connections.erase(c);
          ok = false;
        }
        if (ok) {
          open.fetch_add(1);
          wait_push(c);
          ok = set_timer(c, Clock::now() + std::chrono::milliseconds(idle_ms));
          if (!ok) {
            forget(c);
            c = nullptr;
            continue;
          }
        } else {
          kivrel_reader_destroy(c->reader);
          delete c;
          c = nullptr;
        }
      }
    }
    if (c == nullptr) {
      refused.fetch_add(1);
      close(fd);
      continue;
    }
    // Most clients send their request right behind the connect: a look now
    // saves a round through epoll, and takes the request before a burst of
    // newcomers could push this connection out.
    ready(c);
  }
}

void kivrel_host::ready(Connection *c) {
  bool wake_worker = false;
  {
    std::lock_guard lock(mutex);
    // Closed earlier in this batch, or an end of stream reported while a
    // worker holds it (the worker arms it again when done).
    if (c->gone || c->state == State::Queued || c->state == State::Busy) return;
    wake_worker = c->state == State::Writing ? send_more(c) : read_more(c);
  }
  // Woken outside the lock, so that the worker does not wake into a held one.
  if (wake_worker) work_cv.notify_one();
}

bool kivrel_host::read_more(Connection *c) {
  const ssize_t n = recv(c->fd, read_buffer.data(), read_buffer.size(), MSG_DONTWAIT);
  if (n == 0 || (n < 0 && !again(errno))) {
    forget(c); // the client is gone, or has sent all it will
  } else if (n < 0) {
    if (!arm(c, EPOLLIN | EPOLLRDHUP)) forget(c);
  } else if (!make_room(c, static_cast<size_t>(n))) {
    forget(c);
  } else if (kivrel_reader_feed(c->reader, read_buffer.data(), static_cast<size_t>(n)) != 0) {
    calls_refused.fetch_add(1);
    forget(c);
  } else {
    return next_request(c, Clock::now());
  }
  return false;
}

bool kivrel_host::send_more(Connection *c) {
  const ssize_t n =
      send(c->fd, c->out + c->out_sent, c->out_len - c->out_sent, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0 && !again(errno)) {
    calls_refused.fetch_add(1);
    forget(c);
    return false;
  }
  if (n > 0) c->out_sent += static_cast<size_t>(n);
  if (c->out_sent < c->out_len) {
    account(c);
    if (!arm(c, EPOLLOUT)) forget(c);
    return false;
  }
  return call_done(c);
}

void kivrel_host::expire(Clock::time_point now) {
  std::lock_guard lock(mutex);
  while (!timers.empty() && timers.begin()->first <= now) {
    Connection *c = timers.begin()->second;
    closed_idle.fetch_add(1);
    forget(c); // idle, reading, queued or writing: never with a worker
  }
}

void kivrel_host::work_loop() {
  std::unique_lock lock(mutex);
  for (;;) {
    work_cv.wait(lock, [this] { return workers_quit || !queue.empty(); });
    if (queue.empty()) return;
    Connection *c = queue.front();
    queue.pop_front();
    clear_timer(c);
    c->state = State::Busy;
    char *body = c->body;
    lock.unlock();

    char *message = nullptr;
    int32_t len = 0;
    const int rc = kivrel_service_answer(service, body, &message, &len);
    ssize_t sent = -1;
    int error = 0;
    if (rc == 0) {
      sent = send(c->fd, message, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
      error = errno;
    }

    lock.lock();
    kivrel_mem_free(c->body); // the request's memory goes with the request
    c->body = nullptr;
    c->body_len = 0;
    bool wake_other = false;
    if (rc != 0 || (sent < 0 && !again(error))) {
      calls_refused.fetch_add(1);
      kivrel_mem_free(message);
      forget(c);
    } else if (sent == static_cast<ssize_t>(len)) {
      c->out = message; // released by call_done()
      wake_other = call_done(c);
    } else if (poller_done) {
      calls_refused.fetch_add(1); // stopping, and nobody left to send the rest
      kivrel_mem_free(message);
      forget(c);
    } else {
      // The client reads slowly: the poller sends the rest under the
      // message deadline.
      c->out = message;
      c->out_len = static_cast<size_t>(len);
      c->out_sent = sent > 0 ? static_cast<size_t>(sent) : 0;
      c->state = State::Writing;
      account(c);
      if (!set_timer(c, Clock::now() + std::chrono::milliseconds(timeout_ms)) || !arm(c, EPOLLOUT))
        forget(c);
    }
    if (!c->gone) account(c);
    if (stopping.load()) wake_poller(); // it waits for the calls in progress
    if (wake_other) {
      lock.unlock();
      work_cv.notify_one();
      lock.lock();
    }
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

int kivrel_host_set_max_buffered_bytes(kivrel_host *host, int64_t bytes) noexcept {
  if (host->started || bytes < 1) return -1;
  host->max_buffered = bytes;
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
  stats->evicted = host->evicted.load();
  stats->closed_buffered = host->closed_buffered.load();
}

} // extern "C"
