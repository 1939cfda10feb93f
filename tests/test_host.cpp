// libkivrel-host over real loopback sockets on ephemeral ports: many
// clients at once beside misbehaving ones, the connection limit, idle and
// message deadlines, stop while calls run, binding.
#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kivrel.hpp"
#include "kivrel_host.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the "Slow" method shares with the test through its user data.
struct SlowState {
  std::atomic<int> entered{0};
  std::atomic<int> finished{0};
  int sleep_ms = 0;
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
  *ret = kivrel_build_root_datalist("[{i}]", seen);
  ++state->finished;
  return 0;
}

kivrel::Registry MakeRegistry(SlowState *slow) {
  kivrel::Registry r(kivrel_registry_create());
  if (!r) return r;
  kivrel_method *add = kivrel_method_create("Add", Add, "[{i}{i}]", "[{i}]", "Sum of two");
  kivrel_method *sl = kivrel_method_create_data("Slow", Slow, slow, nullptr, "[{i}]", "Sleeps");
  if (add == nullptr || sl == nullptr || kivrel_registry_add_method(r.get(), add) != 0 ||
      kivrel_registry_add_method(r.get(), sl) != 0 || kivrel_introspection_register(r.get()) != 0) {
    kivrel_method_destroy(add);
    kivrel_method_destroy(sl);
    return nullptr;
  }
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

// The framed bytes of an "Add" call, for clients that send them by hand.
std::string AddRequest(int32_t a, int32_t b) {
  kivrel::List args(kivrel_build_root_datalist("[{i}{i}]", a, b));
  char *doc = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_call("Add", args.get(), &doc, &len) != 0) return {};
  kivrel::XmlText owned(doc);
  return std::string(KIVREL_PROTOCOL) + ":" + std::to_string(len) + "\n" + std::string(doc, len);
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

TEST_F(HostTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  kivrel::Host host = Make();
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
  kivrel::Client extra = Connect(port);
  ASSERT_NE(extra, nullptr); // the system accepts it on the host's behalf
  EXPECT_TRUE(PeerCloses(extra->socket_fd));
  kivrel_host_stats s = Stats(host.get());
  EXPECT_EQ(s.open, 4u);
  EXPECT_EQ(s.refused, 1u);
  EXPECT_EQ(s.accepted, 5u);

  // The held ones still work, and a freed slot is taken again.
  EXPECT_EQ(CallAdd(held[2].get(), 5, 5), 10);
  held.pop_back();
  EXPECT_TRUE(Eventually([&] { return Stats(host.get()).open == 3; }));
  kivrel::Client again = Connect(port);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(CallAdd(again.get(), 2, 3), 5);
}

TEST_F(HostTest, IdleConnectionsAndUnfinishedRequestsAreClosed) {
  kivrel::Host host = Make();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_set_idle_ms(host.get(), 0), -1);
  ASSERT_EQ(kivrel_host_set_timeout_ms(host.get(), -5), -1);
  ASSERT_EQ(kivrel_host_set_idle_ms(host.get(), 300), 0);
  ASSERT_EQ(kivrel_host_set_timeout_ms(host.get(), 300), 0);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  const int32_t port = kivrel_host_port(host.get());

  kivrel::Client silent = Connect(port);
  kivrel::Client after_call = Connect(port);
  kivrel::Client partial = Connect(port);
  ASSERT_TRUE(silent && after_call && partial);
  EXPECT_EQ(CallAdd(after_call.get(), 1, 2), 3);
  const std::string request = AddRequest(1, 1);
  ASSERT_EQ(send(partial->socket_fd, request.data(), 30, MSG_NOSIGNAL), 30);

  EXPECT_TRUE(PeerCloses(silent->socket_fd));
  EXPECT_TRUE(PeerCloses(after_call->socket_fd));
  EXPECT_TRUE(PeerCloses(partial->socket_fd));
  EXPECT_TRUE(Eventually([&] { return Stats(host.get()).open == 0; }));
  const kivrel_host_stats s = Stats(host.get());
  EXPECT_EQ(s.closed_idle, 3u);
  EXPECT_EQ(s.calls_answered, 1u);
  // A busy connection is no idle one: calls in quick succession keep it.
  kivrel::Client busy = Connect(port);
  ASSERT_NE(busy, nullptr);
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(CallAdd(busy.get(), i, i), 2 * i) << i;
}

TEST_F(HostTest, RequestAnnouncingMoreThanTheMessageLimitIsRefusedAtOnce) {
  // With the default ten-second deadlines, only an immediate refusal closes
  // the connection within the wait below.
  kivrel::Host host = Make();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(kivrel_host_start(host.get()), 0);
  kivrel::Client big = Connect(kivrel_host_port(host.get()));
  ASSERT_NE(big, nullptr);
  const std::string header = std::string(KIVREL_PROTOCOL) + ":" +
                             std::to_string(int64_t{kivrel_get_max_message_size()} + 1) + "\n<?xml";
  ASSERT_EQ(send(big->socket_fd, header.data(), header.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(header.size()));
  EXPECT_TRUE(PeerCloses(big->socket_fd, 5000));
  EXPECT_TRUE(Eventually([&] { return Stats(host.get()).calls_refused == 1; }));
  // The host goes on answering.
  kivrel::Client next = Connect(kivrel_host_port(host.get()));
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(CallAdd(next.get(), 20, 22), 42);
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
  std::thread other([&] { kivrel_host_stop(host.get()); });
  kivrel_host_stop(host.get());
  other.join();
  kivrel_host_stop(host.get());
  EXPECT_EQ(slow_.finished.load(), 3); // stop waited for them
  for (auto &t : callers)
    t.join();
  EXPECT_EQ(answers.load(), 3); // and their answers went out whole
  EXPECT_EQ(kivrel_host_port(host.get()), 0);
  EXPECT_TRUE(PeerCloses(idle->socket_fd));
  EXPECT_TRUE(PeerCloses(stuck->socket_fd));
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
