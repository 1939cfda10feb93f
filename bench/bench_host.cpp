// Calls per second and latency through libkivrel-host: N client threads
// (1, 8, 64) calling a method that returns sixteen integers, each call on a
// fresh connection (as the panel makes them) or all on one kept connection
// per thread; first against a bare host, then against the simulator's power
// module (the same method, served by the simulator's hosts). Loopback,
// system-chosen ports, both sides in this process.
//
//   bench_host [seconds per case]      (default 3)
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "kivrel.hpp"
#include "power_status.h"
#include "kivrel_host.h"
#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::kSign16;

kivrel::Client Connect(int32_t port, bool reset_on_close) {
  kivrel::Client c(kivrel_tcp_client_create("127.0.0.1", port));
  if (!c) return c;
  kivrel_tcp_client_set_timeout_ms(c.get(), 10000);
  if (reset_on_close) {
    // Tens of thousands of client ports in TIME_WAIT would exhaust the
    // system's range within a run.
    const linger hard{1, 0};
    setsockopt(c->socket_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  if (kivrel_tcp_client_connect(c.get()) != 0) return nullptr;
  return c;
}

bool Call(kivrel_tcp_client *c) {
  kivrel_datalist *raw = nullptr;
  if (kivrel_request_method_call_status(c, "ReadPowerStatus", nullptr, &raw) != 0) return false;
  kivrel::List result(raw);
  return result && kivrel_datalist_get_size(result.get()) == 16;
}

// `refused` reads the server's count of connections refused at its limit.
void Run(const char *target, int32_t port, int threads, bool fresh, double seconds,
         const std::function<uint64_t()> &refused) {
  const uint64_t refused0 = refused();
  std::atomic<long> failed{0};
  std::vector<std::vector<double>> latencies(static_cast<size_t>(threads));
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  const auto t0 = Clock::now();
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&, i] {
      auto &mine = latencies[static_cast<size_t>(i)];
      mine.reserve(1 << 16);
      kivrel::Client kept = fresh ? nullptr : Connect(port, false);
      long bad = 0;
      while (Clock::now() < end) {
        const auto s = Clock::now();
        bool ok;
        if (fresh) {
          kivrel::Client c = Connect(port, true);
          ok = c && Call(c.get());
        } else {
          ok = kept && Call(kept.get());
          if (!ok) kept = Connect(port, false);
        }
        if (ok)
          mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
        else
          ++bad;
      }
      failed += bad;
    });
  }
  for (auto &t : pool)
    t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> all;
  for (auto &v : latencies)
    all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) {
    return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))];
  };
  std::printf("%-9s %2d threads %-5s %8.0f calls/s  p50 %7.0f us  p99 %7.0f us  (%zu calls, %ld "
              "failed, %llu connections refused)\n",
              target, threads, fresh ? "fresh" : "kept", static_cast<double>(all.size()) / wall,
              pct(0.50), pct(0.99), all.size(), failed.load(),
              static_cast<unsigned long long>(refused() - refused0));
  std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 3.0;
  kivrel_initialize();
  const int counts[] = {1, 8, 64};
  {
    kivrel::Registry registry(kivrel_registry_create());
    kivrel_method *m =
        kivrel_method_create("ReadPowerStatus", bench::PowerStatus, nullptr, kSign16, "status");
    if (!registry || m == nullptr || kivrel_registry_add_method(registry.get(), m) != 0) {
      kivrel_method_destroy(m);
      return 1;
    }
    kivrel_host *host = kivrel_host_create(registry.get(), "127.0.0.1", 0);
    // Room for 64 kept connections and for fresh ones whose close the host
    // has not seen yet.
    if (host == nullptr || kivrel_host_set_max_connections(host, 256) != 0 ||
        kivrel_host_start(host) != 0) {
      kivrel_host_destroy(host);
      return 1;
    }
    for (int fresh = 1; fresh >= 0; --fresh)
      for (int n : counts)
        Run("host", kivrel_host_port(host), n, fresh != 0, seconds, [host] {
          kivrel_host_stats st{};
          kivrel_host_get_stats(host, &st);
          return st.refused;
        });
    kivrel_host_destroy(host);
  }
  {
    robotsim::SimulatorOptions options;
    options.realtime = false;
    options.ports = {0, 0, 0, 0, 0};
    robotsim::RobotSimulator sim(options);
    if (!sim.Start()) return 1;
    const int32_t port = sim.Port(robotsim::Service::PowerModule);
    for (int fresh = 1; fresh >= 0; --fresh)
      for (int n : counts)
        Run("simulator", port, n, fresh != 0, seconds,
            [&sim] { return sim.Connections().refused; });
    sim.Stop();
  }
  kivrel_finalize();
  return 0;
}
