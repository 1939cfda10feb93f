// Serves calls for several kivrel services, each on a listening port of its
// own, with a fixed pool of worker threads made at start.
//
// Every worker waits on one shared epoll set holding the listening sockets
// and all idle connections, each armed for one event at a time; the worker
// that receives an event accepts (and answers the new connection's first
// call when it is already there), answers one call (kivrel_service) or
// drops the connection, then re-arms what it handled. No thread is made per
// connection and a connection never has two workers.
//
// Threading: Start() and Stop() are called by the owner from one thread;
// Port() and Stats() from any thread once Start() returned.
#ifndef ROBOTSIM_SERVICE_POOL_H
#define ROBOTSIM_SERVICE_POOL_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "kivrel.h"

namespace robotsim {

struct ServicePoolOptions {
  int workers = 8;
  // Connections held at once; further ones are accepted and closed at once.
  int max_connections = 64;
  // A connection that sends nothing for this long is closed, so that a
  // silent or stuck client cannot hold a slot or a worker.
  std::chrono::milliseconds idle_timeout{10000};
  // Runs first on every worker thread (e.g. to set up per-thread context).
  std::function<void()> thread_init;
};

struct ServicePoolStats {
  uint64_t accepted = 0; // connections accepted, refused ones included
  uint64_t refused = 0;  // closed at once because every slot was taken
  uint64_t expired = 0;  // closed for silence
  int open = 0;          // held right now
  int busy = 0;          // of those, being answered right now
};

class ServicePool {
public:
  struct Endpoint {
    int32_t port; // 0: the system picks one (see Port())
    struct kivrel_service *service;
  };

  ServicePool() = default;
  ~ServicePool() { Stop(); }
  ServicePool(const ServicePool &) = delete;
  ServicePool &operator=(const ServicePool &) = delete;

  // Binds every endpoint and starts the workers. False, with nothing left
  // open or running, when a port cannot be bound or a thread cannot start.
  // The services must outlive Stop().
  bool Start(const std::vector<Endpoint> &endpoints, ServicePoolOptions options);
  // Wakes and joins every worker and closes every socket. Idempotent.
  void Stop();

  // The port endpoint `index` is bound to, or 0 when not running.
  int32_t Port(size_t index) const;
  ServicePoolStats Stats() const;

private:
  enum class SlotState { Free, Armed, Busy };
  struct Slot {
    kivrel_tcp_server *connection = nullptr;
    struct kivrel_service *service = nullptr;
    uint32_t generation = 0;
    SlotState state = SlotState::Free;
    bool registered = false; // in the epoll set
    std::chrono::steady_clock::time_point idle_since;
  };
  struct Listener {
    kivrel_tcp_server *socket = nullptr;
    struct kivrel_service *service = nullptr;
    int32_t port = 0;
  };

  void WorkerLoop();
  void AcceptOne(size_t index);
  void Serve(uint32_t slot, uint32_t generation);
  // Hands a connection whose call is done back to the epoll set, or closes
  // it when `keep` is false.
  void Park(uint32_t slot, bool keep);
  void Release(uint32_t slot, std::vector<kivrel_tcp_server *> &doomed); // mutex held
  void ExpireIdle();
  void CloseAll();

  ServicePoolOptions options_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  int timer_fd_ = -1;
  std::vector<Listener> listeners_;
  std::vector<std::thread> workers_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_; // guards slots_, free_ and open_
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  int open_ = 0;

  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> expired_{0};
};

} // namespace robotsim

#endif
