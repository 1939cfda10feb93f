#include "service_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace robotsim {

namespace {

// epoll tags: listener index, the two control descriptors, or a connection
// as (slot, generation) with the top bit set. The generation makes an event
// that was already on its way when its connection was dropped harmless.
constexpr uint64_t kConnectionTag = 1ULL << 63;
constexpr uint64_t kStopTag = kConnectionTag - 1;
constexpr uint64_t kTimerTag = kConnectionTag - 2;

// Longest pause between two sweeps for silent connections.
constexpr std::chrono::milliseconds kMaxSweepPeriod{1000};
// Pending connections per port. The library listens with a short queue;
// many clients connecting at once overflow it, and the system then drops
// the clients' handshakes, which costs each of them a second.
constexpr int kListenBacklog = 128;

uint64_t ConnectionTag(uint32_t slot, uint32_t generation) {
  return kConnectionTag | (static_cast<uint64_t>(slot) << 32) | generation;
}

bool Arm(int epoll_fd, int op, int fd, uint64_t tag) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = tag;
  return epoll_ctl(epoll_fd, op, fd, &ev) == 0;
}

timeval ToTimeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

void CloseFd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

} // namespace

bool ServicePool::Start(const std::vector<Endpoint> &endpoints, ServicePoolOptions options) {
  if (!workers_.empty() || endpoints.empty() || options.workers < 1 ||
      options.max_connections < 1 || options.idle_timeout.count() < 1)
    return false;
  options_ = std::move(options);
  stopping_ = false;

  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  bool ok = epoll_fd_ >= 0 && stop_fd_ >= 0 && timer_fd_ >= 0;

  if (ok) {
    // The stop descriptor stays readable once written, so every worker sees it.
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kStopTag;
    ok = epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev) == 0;
  }
  if (ok) {
    const auto period = std::min(kMaxSweepPeriod,
                                 std::max(std::chrono::milliseconds(1), options_.idle_timeout / 4));
    itimerspec sweep{};
    sweep.it_interval.tv_sec = static_cast<time_t>(period.count() / 1000);
    sweep.it_interval.tv_nsec = static_cast<long>((period.count() % 1000) * 1000000);
    sweep.it_value = sweep.it_interval;
    ok = timerfd_settime(timer_fd_, 0, &sweep, nullptr) == 0 &&
         Arm(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, kTimerTag);
  }

  for (size_t i = 0; ok && i < endpoints.size(); ++i) {
    Listener l;
    l.service = endpoints[i].service;
    l.socket = kivrel_tcp_server_create(endpoints[i].port);
    if (l.socket == nullptr) {
      ok = false;
      break;
    }
    listeners_.push_back(l);
    const int fd = l.socket->socket_fd;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    // Non-blocking: a client that gave up between a worker's wake-up and
    // its accept must not leave the worker waiting in accept.
    const int flags = fcntl(fd, F_GETFL);
    ok = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         listen(fd, kListenBacklog) == 0 &&
         getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
         Arm(epoll_fd_, EPOLL_CTL_ADD, fd, i);
    listeners_.back().port = ntohs(addr.sin_port);
  }

  if (ok) {
    slots_.assign(static_cast<size_t>(options_.max_connections), Slot{});
    free_.clear();
    for (uint32_t s = static_cast<uint32_t>(slots_.size()); s > 0; --s)
      free_.push_back(s - 1);
    open_ = 0;
    try {
      for (int i = 0; i < options_.workers; ++i)
        workers_.emplace_back([this] { WorkerLoop(); });
    } catch (...) {
      ok = false;
    }
  }
  if (!ok) Stop();
  return ok;
}

void ServicePool::Stop() {
  stopping_ = true;
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stop_fd_, &one, sizeof one);
  }
  {
    // A worker inside a call waits on its client; cut that short.
    std::lock_guard lock(mutex_);
    for (Slot &s : slots_)
      if (s.state == SlotState::Busy) shutdown(s.connection->socket_fd, SHUT_RDWR);
  }
  for (std::thread &t : workers_)
    t.join();
  workers_.clear();
  CloseAll();
}

void ServicePool::CloseAll() {
  {
    std::lock_guard lock(mutex_);
    for (Slot &s : slots_)
      if (s.connection != nullptr) kivrel_tcp_server_destroy(s.connection);
    slots_.clear();
    free_.clear();
    open_ = 0;
  }
  for (Listener &l : listeners_)
    kivrel_tcp_server_destroy(l.socket);
  listeners_.clear();
  CloseFd(timer_fd_);
  CloseFd(stop_fd_);
  CloseFd(epoll_fd_);
}

int32_t ServicePool::Port(size_t index) const {
  return index < listeners_.size() ? listeners_[index].port : 0;
}

ServicePoolStats ServicePool::Stats() const {
  ServicePoolStats st;
  st.accepted = accepted_.load();
  st.refused = refused_.load();
  st.expired = expired_.load();
  std::lock_guard lock(mutex_);
  st.open = open_;
  st.busy = static_cast<int>(std::count_if(
      slots_.begin(), slots_.end(), [](const Slot &s) { return s.state == SlotState::Busy; }));
  return st;
}

void ServicePool::WorkerLoop() {
  if (options_.thread_init) options_.thread_init();
  while (!stopping_.load(std::memory_order_relaxed)) {
    epoll_event ev{};
    const int n = epoll_wait(epoll_fd_, &ev, 1, -1);
    if (n < 0 && errno != EINTR) return;
    if (n <= 0) continue;
    const uint64_t tag = ev.data.u64;
    if (tag == kStopTag) return;
    if (tag == kTimerTag) {
      uint64_t ticks = 0;
      [[maybe_unused]] ssize_t r = read(timer_fd_, &ticks, sizeof ticks);
      ExpireIdle();
      Arm(epoll_fd_, EPOLL_CTL_MOD, timer_fd_, kTimerTag);
    } else if ((tag & kConnectionTag) == 0) {
      AcceptOne(static_cast<size_t>(tag));
    } else {
      Serve(static_cast<uint32_t>((tag & ~kConnectionTag) >> 32), static_cast<uint32_t>(tag));
    }
  }
}

void ServicePool::AcceptOne(size_t index) {
  const Listener &l = listeners_[index];
  kivrel_tcp_server *c = kivrel_tcp_server_accept(l.socket);
  const int accept_errno = errno;
  // Re-armed at once: the next client in the queue goes to another worker
  // while this one answers.
  Arm(epoll_fd_, EPOLL_CTL_MOD, l.socket->socket_fd, index);
  if (c == nullptr) {
    if (accept_errno == EMFILE || accept_errno == ENFILE) {
      // Out of descriptors: the client stays queued; give the other workers
      // a moment to free some instead of spinning.
      timespec pause{0, 10 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    return;
  }
  ++accepted_;
  // A client that stalls inside a message, or stops reading its answers,
  // holds its worker no longer than a silent one holds its slot.
  const timeval tv = ToTimeval(options_.idle_timeout);
  setsockopt(c->socket_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(c->socket_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

  uint32_t slot = 0;
  {
    std::lock_guard lock(mutex_);
    if (free_.empty() || stopping_) {
      slot = UINT32_MAX;
    } else {
      slot = free_.back();
      free_.pop_back();
      Slot &s = slots_[slot];
      s.connection = c;
      s.service = l.service;
      s.state = SlotState::Busy;
      s.registered = false;
      ++open_;
    }
  }
  if (slot == UINT32_MAX) {
    ++refused_;
    kivrel_tcp_server_destroy(c);
    return;
  }
  // Most clients send their call right behind the connect: answer it here
  // rather than handing it to another worker through the epoll set.
  pollfd ready{c->socket_fd, POLLIN, 0};
  if (poll(&ready, 1, 0) == 1) {
    Park(slot, kivrel_service(c, l.service) == 0);
  } else {
    Park(slot, true);
  }
}

void ServicePool::Serve(uint32_t slot, uint32_t generation) {
  kivrel_tcp_server *connection = nullptr;
  struct kivrel_service *service = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (slot >= slots_.size()) return;
    Slot &s = slots_[slot];
    // Once stopping, nothing new is taken up: Stop() has cut short only the
    // calls that were already running.
    if (s.generation != generation || s.state != SlotState::Armed || stopping_) return;
    s.state = SlotState::Busy;
    connection = s.connection;
    service = s.service;
  }
  // -1 also when the client closed: either way the connection is done.
  Park(slot, kivrel_service(connection, service) == 0);
}

void ServicePool::Park(uint32_t slot, bool keep) {
  std::vector<kivrel_tcp_server *> doomed;
  {
    std::lock_guard lock(mutex_);
    Slot &s = slots_[slot];
    keep = keep && !stopping_;
    if (keep) {
      // Armed before the re-arm: the next event may reach another worker
      // before this one leaves the lock, and it must find the slot ready.
      s.state = SlotState::Armed;
      s.idle_since = std::chrono::steady_clock::now();
      keep = Arm(epoll_fd_, s.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s.connection->socket_fd,
                 ConnectionTag(slot, s.generation));
      s.registered = keep;
    }
    if (!keep) Release(slot, doomed);
  }
  for (kivrel_tcp_server *d : doomed)
    kivrel_tcp_server_destroy(d);
}

void ServicePool::Release(uint32_t slot, std::vector<kivrel_tcp_server *> &doomed) {
  // Closing the socket (by the caller, after the lock) also takes it out of
  // the epoll set; an event already on its way finds a new generation.
  Slot &s = slots_[slot];
  doomed.push_back(s.connection);
  s.connection = nullptr;
  s.service = nullptr;
  s.state = SlotState::Free;
  s.registered = false;
  ++s.generation;
  free_.push_back(slot);
  --open_;
}

void ServicePool::ExpireIdle() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<kivrel_tcp_server *> doomed;
  {
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < slots_.size(); ++i) {
      const Slot &s = slots_[i];
      if (s.state == SlotState::Armed && now - s.idle_since >= options_.idle_timeout) {
        Release(i, doomed);
        ++expired_;
      }
    }
  }
  for (kivrel_tcp_server *d : doomed)
    kivrel_tcp_server_destroy(d);
}

} // namespace robotsim
