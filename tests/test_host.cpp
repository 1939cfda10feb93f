// libkivrel-host over real loopback sockets on ephemeral ports: many
// clients at once beside misbehaving ones, the slot policy, a deadline in
// every state, the host under attack (a well-behaved client beside each
// attack), descriptor exhaustion, the buffered-bytes bound, stop while calls
// run, binding.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kivrel.hpp"
#include "kivrel_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the "Slow" method shares with the test through its user data. With
// `gated`, a call waits (at most 20 s) until the test opens the gate.
struct SlowState {
  std::atomic<int> entered{0};
  std::atomic<int> finished{0};
  int sleep_ms = 0;
  bool gated = false;
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  void Open() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    cv.notify_all();
  }
};

int Add(const kivrel_datalist *args, kivrel_datalist **ret) {
  int32_t a = 0;
  int32_t b = 0;
  if (kivrel_decompose_root_datalist(args, "[{i}{i}]", &a, &b) != 0) return -1;
  *ret = kivrel_build_root_datalist("[{i}]", a + b);
  return 0;
}

// Sleeps, then answers with how many calls had entered it when it began.
int Slow(const kivrel_datalist *, kivrel_datalist **ret, void *data) {
  auto *state = static_cast<SlowState *>(data);
  const int seen = ++state->entered;
  std::this_thread::sleep_for(milliseconds(state->sleep_ms));
  if (state->gated) {
    std::unique_lock lock(state->mutex);
    state->cv.wait_for(lock, std::chrono::seconds(20), [state] { return state->open; });
  }
  *ret = kivrel_build_root_datalist("[{i}]", seen);
  ++state->finished;
  return 0;
}

// Answers with a string of as many bytes as asked.
int Fill(const kivrel_datalist *args, kivrel_datalist **ret) {
  int32_t n = 0;
  if (kivrel_decompose_root_datalist(args, "[{i}]", &n) != 0 || n < 0) return -1;
  *ret = kivrel_build_root_datalist("[{s}]", std::string(static_cast<size_t>(n), 'x').c_str());
  return 0;
}

kivrel::Registry MakeRegistry(SlowState *slow) {
  kivrel::Registry r(kivrel_registry_create());
  if (!r) return r;
  kivrel::Method add(kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", "Sum of two"));
  kivrel::Method sl(kivrel_method_create_data("Slow", Slow, slow, nullptr, "[{i}]", "Sleeps"));
  kivrel::Method fill(kivrel_method_create("Fill", Fill, "[{i}]", "[{s}]", "A long text"));
  for (kivrel::Method *m : {&add, &sl, &fill}) {
    if (!*m || kivrel_registry_add_method(r.get(), m->get()) != 0) return nullptr;
    m->release();
  }
  if (kivrel_introspection_register(r.get()) != 0) return nullptr;
  return r;
}

kivrel::Client Connect(int32_t port, const char *address = "127.0.0.1") {
  kivrel::Client c(kivrel_tcp_client_create(address, port));
  if (!c || kivrel_tcp_client_set_timeout_ms(c.get(), 20000) != 0 ||
      kivrel_tcp_client_connect(c.get()) != 0)
    return nullptr;
  return c;
}

// Sum through the host, or INT32_MIN for a failed call.
int32_t CallAdd(kivrel_tcp_client *c, int32_t a, int32_t b) {
  kivrel::List args(kivrel_build_root_datalist("[{i}{i}]", a, b));
  kivrel_datalist *raw = nullptr;
  if (kivrel_request_method_call_status(c, "Add", args.get(), &raw) != 0) return INT32_MIN;
  kivrel::List result(raw);
  int32_t sum = INT32_MIN;
  if (!result || kivrel_decompose_root_datalist(result.get(), "[{i}]", &sum) != 0) return INT32_MIN;
  return sum;
}

// A call document, and the framed bytes of one, for clients that send them
// by hand.
std::string CallDocument(const char *method, const kivrel_datalist *args) {
  char *doc = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_call(method, args, &doc, &len) != 0) return {};
  kivrel::XmlText owned(doc);
  return std::string(doc, static_cast<size_t>(len));
}
std::string Framed(const std::string &doc) {
  return std::string(KIVREL_PROTOCOL) + ":" + std::to_string(doc.size()) + "\n" + doc;
}
std::string AddRequest(int32_t a, int32_t b) {
  kivrel::List args(kivrel_build_root_datalist("[{i}{i}]", a, b));
  return Framed(CallDocument("Add", args.get()));
}

// A raw loopback connection (blocking, sends bounded by 5 s), or -1.
int RawConnect(int32_t port, int rcvbuf = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  const timeval five{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &five, sizeof five);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Waits (bounded) until the peer closes `fd`; true when it did.
bool PeerCloses(int fd, int ms = 10000) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  char byte;
  const ssize_t r = recv(fd, &byte, 1, MSG_DONTWAIT);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

size_t CountEntries(const char *dir) {
  size_t n = 0;
  if (DIR *d = opendir(dir)) {
    while (readdir(d) != nullptr)
      ++n;
    closedir(d);
  }
  return n;
}
size_t OpenDescriptors() { return CountEntries("/proc/self/fd"); }
size_t Threads() { return CountEntries("/proc/self/task"); }

kivrel_host_stats Stats(const kivrel_host *h) {
  kivrel_host_stats s{};
  kivrel_host_get_stats(h, &s);
  return s;
}

// Polls `done` for at most ten seconds.
template <class F> bool Eventually(F done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return done();
}

// Requests that stall before they are whole: headers a lax reader takes for
// whole requests, a long header line without its line feed, the first 64 KiB
// of a larger body.
std::vector<std::string> StalledRequests() {
  const std::string name = KIVREL_PROTOCOL;
  return {name + ": 100\n",
          name + ":+100\n",
          name + ":\t100\n",
          name + ":100:\n",
          name + ":" + std::string(300, '1'),
          name + ":1000000\n<?xml version=\"1.0\"?>" + std::string(64 * 1024, ' ')};
}

class HostTest : public ::testing::Test {
protected:
  void SetUp() override {
    registry_ = MakeRegistry(&slow_);
    ASSERT_NE(registry_, nullptr);
  }
  kivrel::Host Make(int32_t workers = 2) {
    kivrel::Host h(kivrel_host_create(registry_.get(), "127.0.0.1", 0));
    if (h) kivrel_host_set_workers(h.get(), workers);
    return h;
  }
  SlowState slow_;
  kivrel::Registry registry_;
};

TEST_F(HostTest, ManyClientsAreAnsweredWhileOthersAreSilentOrTrickle) {
  kivrel::Host host = Make(2);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  const int32_t port = kivrel_host_port(host.get());
  ASSERT_GT(port, 0);

  // Two workers, and more misbehaving clients than workers: one that never
  // sends and two that send their request a byte at a time.
  kivrel::Client silent = Connect(port);
  ASSERT_NE(silent, nullptr);
  const std::string request = AddRequest(20, 22);
  ASSERT_FALSE(request.empty());
  std::atomic<bool> others_done{false};
  std::atomic<int> trickling{0};
  std::vector<std::thread> tricklers;
  std::atomic<int> trickled_answers{0};
  for (int t = 0; t < 2; ++t) {
    tricklers.emplace_back([&, port] {
      kivrel::Client c = Connect(port);
      if (!c) return;
      // A byte every 10 ms until the others are done, then the rest.
      size_t i = 0;
      for (; i < request.size() && !others_done; ++i) {
        if (send(c->socket_fd, &request[i], 1, MSG_NOSIGNAL) != 1) break;
        if (i == 20) ++trickling;
        std::this_thread::sleep_for(milliseconds(10));
      }
      if (i < request.size() && send(c->socket_fd, request.data() + i, request.size() - i,
                                     MSG_NOSIGNAL) != static_cast<ssize_t>(request.size() - i))
        return;
      char *body = nullptr;
      if (kivrel_tcp_recv(c->socket_fd, &body) != 0) return;
      kivrel::Text owned(body);
      kivrel_datalist *raw = nullptr;
      int32_t sum = 0;
      if (kivrel_xml_deserialize_method_response(&raw, body) == 0) {
        kivrel::List ret(raw);
        if (kivrel_decompose_root_datalist(ret.get(), "[{i}]", &sum) == 0 && sum == 42)
          ++trickled_answers;
      }
    });
  }

  // Both are inside their requests before the others begin.
  ASSERT_TRUE(Eventually([&] { return trickling.load() == 2; }));

  // Sixteen clients, half on one kept connection, half on a fresh one per
  // call, all while the misbehaving ones hold their connections.
  constexpr int kClients = 16;
  constexpr int kCalls = 20;
  std::atomic<int> right{0};
  std::atomic<int64_t> slowest_ms{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t, port] {
      kivrel::Client kept = t % 2 == 0 ? Connect(port) : nullptr;
      for (int i = 0; i < kCalls; ++i) {
        const auto t0 = Clock::now();
        kivrel::Client fresh = t % 2 == 0 ? nullptr : Connect(port);
        kivrel_tcp_client *c = t % 2 == 0 ? kept.get() : fresh.get();
        if (c != nullptr && CallAdd(c, t, i) == t + i) ++right;
        const int64_t ms = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
        int64_t seen = slowest_ms.load();
        while (ms > seen && !slowest_ms.compare_exchange_weak(seen, ms)) {
        }
      }
    });
  }
  for (auto &t : clients)
    t.join();
  others_done = true;
  for (auto &t : tricklers)
    t.join();

  EXPECT_EQ(right.load(), kClients * kCalls);
  // Nobody waited for the slow clients: the tricklers alone would take
  // seconds to send their requests at this pace.
  EXPECT_LT(slowest_ms.load(), 2000);
  EXPECT_EQ(trickled_answers.load(), 2);
  // A worker counts its answer just after sending it.
  EXPECT_TRUE(Eventually(
      [&] { return Stats(host.get()).calls_answered == uint64_t{kClients * kCalls + 2}; }));
  const kivrel_host_stats s = Stats(host.get());
  EXPECT_EQ(s.accepted, static_cast<uint64_t>(1 + 2 + kClients / 2 + kClients / 2 * kCalls));
  EXPECT_EQ(s.refused, 0u);
  EXPECT_EQ(s.calls_refused, 0u);
  // The silent one is still held (idle time 10 s by default).
  pollfd p{silent->socket_fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
}

// Calls "Slow" on `c` in a thread of its own; counts whole answers.
std::thread CallSlow(kivrel_tcp_client *c, std::atomic<int> *answers) {
  return std::thread([c, answers] {
    kivrel_datalist *raw = nullptr;
    if (kivrel_request_method_call_status(c, "Slow", nullptr, &raw) == 0 && raw) ++*answers;
    kivrel_datalist_destroy(raw);
  });
}

TEST_F(HostTest, NewConnectionTakesTheLongestWaitingSlotAndIsRefusedOnlyWhenAllAreBusy) {
  slow_.gated = true;
  kivrel::Host host = Make(4);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_set_max_connections(host.get(), 0), -1);
  ASSERT_EQ(kivrel_host_set_max_connections(host.get(), 4), 0);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  const int32_t port = kivrel_host_port(host.get());
  std::vector<kivrel::Client> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(Connect(port));
    ASSERT_NE(held.back(), nullptr);
    ASSERT_EQ(CallAdd(held.back().get(), i, 1), i + 1); // proves the host holds it
  }
  // The first has waited longest since its answer: it gives its slot up.
  kivrel::Client extra = Connect(port);
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(CallAdd(extra.get(), 2, 3), 5);
  EXPECT_TRUE(PeerCloses(held[0]->socket_fd));
  kivrel_host_stats s = Stats(host.get());
  EXPECT_EQ(s.open, 4u);
  EXPECT_EQ(s.evicted, 1u);
  EXPECT_EQ(s.refused, 0u);

  // With a call in progress on every slot, a newcomer is refused.
  held[0] = std::move(extra);
  std::atomic<int> answers{0};
  std::vector<std::thread> callers;
  for (kivrel::Client &c : held)
    callers.push_back(CallSlow(c.get(), &answers));
  ASSERT_TRUE(Eventually([&] { return slow_.entered.load() == 4; }));
  kivrel::Client late = Connect(port);
  ASSERT_NE(late, nullptr); // the system accepts it on the host's behalf
  EXPECT_TRUE(PeerCloses(late->socket_fd));
  slow_.Open();
  for (auto &t : callers)
    t.join();
  EXPECT_EQ(answers.load(), 4);
  s = Stats(host.get());
  EXPECT_EQ(s.refused, 1u);
  EXPECT_EQ(s.evicted, 1u);
}

TEST_F(HostTest, EveryStateHasADeadline) {
  slow_.gated = true;
  kivrel::Host host = Make(1);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_set_idle_ms(host.get(), 0), -1);
  ASSERT_EQ(kivrel_host_set_timeout_ms(host.get(), -5), -1);
  ASSERT_EQ(kivrel_host_set_idle_ms(host.get(), 300), 0);
  ASSERT_EQ(kivrel_host_set_timeout_ms(host.get(), 300), 0);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  const int32_t port = kivrel_host_port(host.get());

  // Waiting for a first byte, before and after a call; part of a request.
  kivrel::Client silent = Connect(port);
  kivrel::Client after_call = Connect(port);
  kivrel::Client partial = Connect(port);
  ASSERT_TRUE(silent && after_call && partial);
  EXPECT_EQ(CallAdd(after_call.get(), 1, 2), 3);
  const std::string request = AddRequest(1, 1);
  ASSERT_EQ(send(partial->socket_fd, request.data(), 30, MSG_NOSIGNAL), 30);
  // A response going out to a client that does not read it.
  const int unread = RawConnect(port, 4096);
  ASSERT_GE(unread, 0);
  kivrel::List fill_args(kivrel_build_root_datalist("[{i}]", 8 << 20));
  ASSERT_TRUE(SendAll(unread, Framed(CallDocument("Fill", fill_args.get()))));
  ASSERT_TRUE(Eventually([&] { return Stats(host.get()).closed_idle == 4; }));
  close(unread);
  // A whole request waiting for a worker, while the only one is busy.
  kivrel::Client busy = Connect(port);
  ASSERT_NE(busy, nullptr);
  std::atomic<int> answers{0};
  std::thread caller = CallSlow(busy.get(), &answers);
  ASSERT_TRUE(Eventually([&] { return slow_.entered.load() == 1; }));
  const int queued = RawConnect(port);
  ASSERT_GE(queued, 0);
  ASSERT_TRUE(SendAll(queued, request));
  EXPECT_TRUE(PeerCloses(queued));
  close(queued);
  slow_.Open();
  caller.join();
  EXPECT_EQ(answers.load(), 1);

  EXPECT_TRUE(PeerCloses(silent->socket_fd));
  EXPECT_TRUE(PeerCloses(after_call->socket_fd));
  EXPECT_TRUE(PeerCloses(partial->socket_fd));
  // A call is counted once its response is out, which its client may see
  // first.
  EXPECT_TRUE(Eventually([&] { return Stats(host.get()).calls_answered == 2u; }));
  EXPECT_EQ(Stats(host.get()).closed_idle, 5u);
  // A busy connection is no idle one: calls in quick succession keep it.
  kivrel::Client quick = Connect(port);
  ASSERT_NE(quick, nullptr);
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(CallAdd(quick.get(), i, i), 2 * i) << i;
}

// Reads one response on `fd` and gives its one integer, or INT32_MIN.
int32_t AnswerOn(int fd) {
  char *body = nullptr;
  if (kivrel_tcp_recv(fd, &body) != 0) return INT32_MIN;
  kivrel::Text owned(body);
  kivrel_datalist *raw = nullptr;
  if (kivrel_xml_deserialize_method_response(&raw, body) != 0) return INT32_MIN;
  kivrel::List ret(raw);
  int32_t v = INT32_MIN;
  if (kivrel_decompose_root_datalist(ret.get(), "[{i}]", &v) != 0) return INT32_MIN;
  return v;
}

TEST_F(HostTest, HeadersAreJudgedByTheLibrarysRule) {
  kivrel::Host host = Make();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  const std::string doc = [] {
    kivrel::List args(kivrel_build_root_datalist("[{i}{i}]", 20, 22));
    return CallDocument("Add", args.get());
  }();
  const std::string name = KIVREL_PROTOCOL;
  const std::string len = std::to_string(doc.size());
  const struct {
    std::string bytes;
    bool answered; // otherwise refused at once, well within the ten-second deadlines
  } cases[] = {
      {name + ":" + len + ":999\n" + doc, true}, // fields after the length are ignored
      {name + ":" + std::to_string(int64_t{kivrel_get_max_message_size()} + 1) + "\n<?xml", false},
      {name + ":" + std::to_string(doc.size() + 2) + "\n" + doc + std::string(1, '\0') + "x",
       false},
      {"KIVREL-1.0:" + len + "\n" + doc, false},
  };
  uint64_t refused = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 24));
    const int fd = RawConnect(kivrel_host_port(host.get()));
    ASSERT_GE(fd, 0);
    const timeval five{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
    ASSERT_TRUE(SendAll(fd, c.bytes));
    if (c.answered) {
      EXPECT_EQ(AnswerOn(fd), 42);
    } else {
      EXPECT_TRUE(PeerCloses(fd, 5000));
      ++refused;
    }
    close(fd);
  }
  EXPECT_TRUE(Eventually([&] { return Stats(host.get()).calls_refused == refused; }));
}

// The well-behaved client: a call every 100 ms on a fresh connection, as the
// panel makes them. Returns how many were answered rightly.
int WellBehavedAnswers(int32_t port, int calls) {
  int answered = 0;
  for (int i = 0; i < calls; ++i) {
    const auto next = Clock::now() + milliseconds(100);
    kivrel::Client c(kivrel_tcp_client_create("127.0.0.1", port));
    if (c && kivrel_tcp_client_set_timeout_ms(c.get(), 5000) == 0 &&
        kivrel_tcp_client_connect(c.get()) == 0 && CallAdd(c.get(), i, 1) == i + 1)
      ++answered;
    std::this_thread::sleep_until(next);
  }
  return answered;
}

constexpr int kAttackers = 64;
using AttackFn =
    std::function<void(int32_t port, const std::atomic<bool> &stop, std::atomic<int> &ready)>;

// kAttackers connections that each send `bytes` once (nothing: silent) and
// then hold on.
AttackFn Holding(const std::string &bytes) {
  return [bytes](int32_t port, const std::atomic<bool> &stop, std::atomic<int> &ready) {
    std::vector<int> fds;
    for (int i = 0; i < kAttackers; ++i) {
      const int fd = RawConnect(port);
      if (fd < 0) continue;
      if (!bytes.empty()) SendAll(fd, bytes);
      fds.push_back(fd);
      ++ready;
    }
    for (int i = 0; i < 3000 && !stop; ++i)
      std::this_thread::sleep_for(milliseconds(10));
    for (int fd : fds)
      close(fd);
  };
}

// kAttackers silent connections, each opened again as soon as it is closed.
void Reconnecting(int32_t port, const std::atomic<bool> &stop, std::atomic<int> &ready) {
  std::vector<pollfd> fds;
  for (int i = 0; i < kAttackers; ++i) {
    fds.push_back({RawConnect(port), POLLIN, 0});
    ++ready;
  }
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (!stop && Clock::now() < end) {
    if (poll(fds.data(), fds.size(), 10) <= 0) continue;
    for (pollfd &p : fds) {
      if (p.revents == 0) continue;
      close(p.fd);
      p.fd = RawConnect(port);
    }
  }
  for (pollfd &p : fds)
    if (p.fd >= 0) close(p.fd);
}

// kAttackers kept connections, each making a valid call every three seconds.
void KeepAlive(int32_t port, const std::atomic<bool> &stop, std::atomic<int> &ready) {
  std::vector<kivrel::Client> clients;
  std::vector<Clock::time_point> next;
  for (int i = 0; i < kAttackers; ++i) {
    clients.push_back(Connect(port));
    if (clients.back()) CallAdd(clients.back().get(), i, i);
    next.push_back(Clock::now() + std::chrono::seconds(3));
    ++ready;
  }
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (!stop && Clock::now() < end) {
    for (int i = 0; i < kAttackers; ++i) {
      if (Clock::now() < next[i]) continue;
      if (!clients[i] || CallAdd(clients[i].get(), i, i) != 2 * i) {
        clients[i] = Connect(port);
        if (clients[i]) CallAdd(clients[i].get(), i, i);
      }
      next[i] += std::chrono::seconds(3);
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
}

TEST_F(HostTest, WellBehavedClientIsAnsweredUnderEveryAttack) {
  struct Attack {
    std::string name;
    AttackFn run;
  };
  std::vector<Attack> attacks;
  for (const std::string &bytes : StalledRequests())
    attacks.push_back({"stalled " + bytes.substr(0, 16), Holding(bytes)});
  attacks.push_back({"silent connections", Holding("")});
  attacks.push_back({"reconnecting attacker", Reconnecting});
  attacks.push_back({"keep-alive attackers", KeepAlive});
  constexpr int kCalls = 20;
  for (const Attack &attack : attacks) {
    SCOPED_TRACE(attack.name);
    kivrel::Host host = Make(2); // the simulator's workers per service
    ASSERT_NE(host, nullptr);
    ASSERT_EQ(kivrel_host_start(host.get()), 0);
    const int32_t port = kivrel_host_port(host.get());
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::thread attacker([&] { attack.run(port, stop, ready); });
    EXPECT_TRUE(Eventually([&] { return ready.load() == kAttackers; }));
    const int answered = WellBehavedAnswers(port, kCalls);
    stop = true;
    attacker.join();
    EXPECT_GE(answered * 100, kCalls * 95) << answered << " of " << kCalls;
    EXPECT_GT(Stats(host.get()).evicted, 0u); // the attack took every slot
  }
}

// The CPU time (user and system) the process `pid` has used, in seconds.
double CpuSeconds(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE *f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  char text[1024];
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  const char *p = std::strrchr(text, ')'); // the name may hold blanks
  unsigned long user = 0;
  unsigned long system = 0;
  if (p == nullptr || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                                  &user, &system) != 2)
    return -1;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(HostTest, DescriptorExhaustionNeitherSpinsNorStopsTheHost) {
  int down[2];
  int up[2];
  ASSERT_EQ(pipe(down), 0);
  ASSERT_EQ(pipe(up), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child: a host under a low descriptor limit; on 'h' it takes every
    // descriptor left, on 'f' frees them, and answers each with the same byte.
    close(down[1]);
    close(up[0]);
    // The soft limit alone, which valgrind also lets a program lower.
    rlimit low{};
    getrlimit(RLIMIT_NOFILE, &low);
    low.rlim_cur = 64;
    kivrel_host *h = kivrel_host_create(registry_.get(), "127.0.0.1", 0);
    if (setrlimit(RLIMIT_NOFILE, &low) != 0 || h == nullptr || kivrel_host_start(h) != 0) _exit(1);
    const int32_t port = kivrel_host_port(h);
    if (write(up[1], &port, sizeof port) != sizeof port) _exit(1);
    std::vector<int> hogs;
    hogs.reserve(1024);
    char command;
    while (read(down[0], &command, 1) == 1) {
      for (int fd = 0; command == 'h' && fd >= 0;) {
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) hogs.push_back(fd);
      }
      for (int fd : command == 'f' ? hogs : std::vector<int>{})
        close(fd);
      if (write(up[1], &command, 1) != 1) break;
    }
    kivrel_host_destroy(h);
    _exit(0);
  }
  close(down[0]);
  close(up[1]);
  const auto command = [&](char c) {
    char echo = 0;
    return write(down[1], &c, 1) == 1 && read(up[0], &echo, 1) == 1 && echo == c;
  };
  int32_t port = 0;
  ASSERT_EQ(read(up[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
  ASSERT_TRUE(command('h'));
  // Eighty clients wait while the host has no descriptor to take them with:
  // it tells them at once and calms down, instead of waking without end.
  std::vector<int> flood;
  for (int i = 0; i < 80; ++i) {
    flood.push_back(RawConnect(port));
    ASSERT_GE(flood.back(), 0);
  }
  EXPECT_TRUE(PeerCloses(flood.back()));
  const double cpu0 = CpuSeconds(pid);
  std::this_thread::sleep_for(std::chrono::seconds(1)); // the window measured
  const double cpu = CpuSeconds(pid) - cpu0;
  EXPECT_GE(cpu0, 0.0);
  EXPECT_LT(cpu, 0.25) << "a spinning poller takes the whole second";
  for (int fd : flood)
    close(fd);
  // Descriptors free again: new clients are taken.
  ASSERT_TRUE(command('f'));
  kivrel::Client c = Connect(port);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(CallAdd(c.get(), 40, 2), 42);
  close(down[1]);
  close(up[0]);
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(HostTest, BufferedBytesStayWithinTheBound) {
  kivrel::Host host = Make();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_set_max_buffered_bytes(host.get(), 0), -1);
  ASSERT_EQ(kivrel_host_set_max_buffered_bytes(host.get(), 1 << 20), 0);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  EXPECT_EQ(kivrel_host_set_max_buffered_bytes(host.get(), 2 << 20), -1);
  const int32_t port = kivrel_host_port(host.get());
  // Eight clients each announce 4 MB and send half a MiB of it: the bound
  // of one MiB holds one of them, the others are closed as they pass it.
  const std::string part =
      std::string(KIVREL_PROTOCOL) + ":4000000\n" + std::string(512 << 10, ' ');
  std::vector<int> fds;
  std::vector<std::thread> senders;
  for (int i = 0; i < 8; ++i) {
    fds.push_back(RawConnect(port));
    ASSERT_GE(fds.back(), 0);
    senders.emplace_back([fd = fds.back(), &part] { SendAll(fd, part); });
  }
  const int answered = WellBehavedAnswers(port, 20);
  for (auto &t : senders)
    t.join();
  EXPECT_TRUE(Eventually([&] { return Stats(host.get()).closed_buffered >= 7; }));
  EXPECT_GE(answered, 19);
  for (int fd : fds)
    close(fd);
}

TEST_F(HostTest, StopLetsRunningCallsFinishAndLeavesNothingBehind) {
  const size_t fds_before = OpenDescriptors();
  const size_t threads_before = Threads();
  slow_.sleep_ms = 500;
  kivrel::Host host = Make(4);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  const int32_t port = kivrel_host_port(host.get());
  EXPECT_GT(Threads(), threads_before);

  kivrel::Client idle = Connect(port);
  kivrel::Client stuck = Connect(port);
  ASSERT_TRUE(idle && stuck);
  const std::string request = AddRequest(1, 1);
  ASSERT_EQ(send(stuck->socket_fd, request.data(), 25, MSG_NOSIGNAL), 25);
  // Requests that will never be whole, one of each kind: stop never waits
  // for them (the deadlines are ten seconds).
  std::vector<int> stalled;
  for (const std::string &bytes : StalledRequests()) {
    stalled.push_back(RawConnect(port));
    ASSERT_GE(stalled.back(), 0);
    ASSERT_TRUE(SendAll(stalled.back(), bytes));
  }

  // Three calls enter the slow method; stop comes while they sleep in it.
  std::atomic<int> answers{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&, port] {
      kivrel::Client c = Connect(port);
      if (!c) return;
      kivrel_datalist *raw = nullptr;
      if (kivrel_request_method_call_status(c.get(), "Slow", nullptr, &raw) == 0 && raw) ++answers;
      kivrel_datalist_destroy(raw);
    });
  }
  ASSERT_TRUE(Eventually([&] { return slow_.entered.load() == 3; }));
  // Stopped from two threads at once, and once more afterwards.
  const auto t0 = Clock::now();
  std::thread other([&] { kivrel_host_stop(host.get()); });
  kivrel_host_stop(host.get());
  other.join();
  kivrel_host_stop(host.get());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(slow_.finished.load(), 3); // stop waited for them
  for (auto &t : callers)
    t.join();
  EXPECT_EQ(answers.load(), 3); // and their answers went out whole
  EXPECT_EQ(kivrel_host_port(host.get()), 0);
  EXPECT_TRUE(PeerCloses(idle->socket_fd));
  EXPECT_TRUE(PeerCloses(stuck->socket_fd));
  for (int fd : stalled) {
    EXPECT_TRUE(PeerCloses(fd));
    close(fd);
  }
  EXPECT_EQ(Connect(port), nullptr); // nothing listens any more
  EXPECT_EQ(Stats(host.get()).open, 0u);
  EXPECT_EQ(Stats(host.get()).calls_answered, 3u);

  idle.reset();
  stuck.reset();
  host.reset();
  // A joined thread leaves the system's list a moment after the join.
  EXPECT_TRUE(Eventually([&] { return Threads() == threads_before; }));
  EXPECT_EQ(OpenDescriptors(), fds_before);
}

TEST_F(HostTest, BindingTakenPortsAndTheRealPort) {
  // Texts the address reader refuses, and ports out of range.
  for (const char *bad : {"", "robot", "300.1.1.1", "127.1", "0x7f.0.0.1", "127.0.0.01"}) {
    errno = 0;
    EXPECT_EQ(kivrel_host_create(registry_.get(), bad, 0), nullptr) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
  }
  EXPECT_EQ(kivrel_host_create(registry_.get(), "127.0.0.1", -1), nullptr);
  EXPECT_EQ(kivrel_host_create(registry_.get(), "127.0.0.1", 65536), nullptr);
  EXPECT_EQ(kivrel_host_create(nullptr, "127.0.0.1", 0), nullptr);

  kivrel::Host first = Make();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(kivrel_host_port(first.get()), 0); // not listening yet
  ASSERT_EQ(kivrel_host_start(first.get()), 0);
  const int32_t port = kivrel_host_port(first.get());
  ASSERT_GT(port, 0);
  errno = 0;
  EXPECT_EQ(kivrel_host_start(first.get()), -1); // started once
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(kivrel_host_set_workers(first.get(), 3), -1); // settings come before
  EXPECT_EQ(kivrel_host_set_backlog(first.get(), 10), -1);

  const size_t fds_before = OpenDescriptors();
  const size_t threads_before = Threads();
  kivrel::Host second(kivrel_host_create(registry_.get(), "127.0.0.1", port));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(kivrel_host_set_backlog(second.get(), 0), -1);
  EXPECT_EQ(kivrel_host_set_backlog(second.get(), 16), 0);
  errno = 0;
  EXPECT_EQ(kivrel_host_start(second.get()), -1);
  EXPECT_EQ(errno, EADDRINUSE); // the reason survives the clean-up
  EXPECT_EQ(kivrel_host_port(second.get()), 0);
  EXPECT_EQ(OpenDescriptors(), fds_before);                             // nothing of it left open
  EXPECT_TRUE(Eventually([&] { return Threads() == threads_before; })); // or running
  second.reset();

  // The port reported is the one that answers.
  kivrel::Client c = Connect(port);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(CallAdd(c.get(), -7, 3), -4);
}

// This machine's first non-loopback IPv4 address that is up, or "".
std::string OwnNonLoopbackAddress() {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::string found;
  for (ifaddrs *i = list; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN];
    const auto *a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
    if (inet_ntop(AF_INET, &a->sin_addr, text, sizeof text) != nullptr) found = text;
  }
  freeifaddrs(list);
  return found;
}

TEST_F(HostTest, LoopbackBindingRefusesThisMachinesOtherAddress) {
  const std::string own = OwnNonLoopbackAddress();
  if (own.empty()) GTEST_SKIP() << "this machine has no non-loopback IPv4 address";
  kivrel::Host loopback = Make();
  ASSERT_NE(loopback, nullptr);
  ASSERT_EQ(kivrel_host_start(loopback.get()), 0);
  const int32_t port = kivrel_host_port(loopback.get());
  // Only this machine's own address is tried, never another host.
  EXPECT_EQ(Connect(port, own.c_str()), nullptr);
  kivrel::Client near = Connect(port);
  ASSERT_NE(near, nullptr);
  EXPECT_EQ(CallAdd(near.get(), 1, 1), 2);

  // Bound to every interface, the same address is served.
  kivrel::Host every(kivrel_host_create(registry_.get(), nullptr, 0));
  ASSERT_NE(every, nullptr);
  ASSERT_EQ(kivrel_host_start(every.get()), 0);
  kivrel::Client far = Connect(kivrel_host_port(every.get()), own.c_str());
  ASSERT_NE(far, nullptr);
  EXPECT_EQ(CallAdd(far.get(), 2, 2), 4);
}

} // namespace
