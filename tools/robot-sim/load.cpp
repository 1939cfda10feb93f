// robot-sim-load: load figures for the simulator, measured against a
// simulator in a child process of its own (loopback, system-chosen ports):
//  1. calls per second with N client threads, one fresh connection per call;
//  2. the simulator's CPU use while one client makes the panel's polling
//     calls (seven calls every 100 ms);
//  3. its CPU use with no client at all (the 50 Hz world clock alone).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using robotsim::Service;

struct Ports {
  int32_t p[robotsim::kServiceCount];
};

bool ReadAll(int fd, void *buf, size_t n) {
  auto *b = static_cast<char *>(buf);
  while (n > 0) {
    const ssize_t r = read(fd, b, n);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const void *buf, size_t n) {
  const auto *b = static_cast<const char *>(buf);
  while (n > 0) {
    const ssize_t r = write(fd, b, n);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The child: serves until told to quit; on 'r' reports its CPU time (us).
[[noreturn]] void RunChild(int to_parent, int from_parent, int workers) {
  kivrel_initialize();
  robotsim::SimulatorOptions options;
  options.workers = workers;
  for (auto &p : options.ports)
    p = 0;
  robotsim::RobotSimulator sim(options);
  Ports ports{};
  if (sim.Start()) {
    for (size_t i = 0; i < robotsim::kServiceCount; ++i)
      ports.p[i] = sim.Port(static_cast<Service>(i));
  }
  WriteAll(to_parent, &ports, sizeof ports);
  char cmd = 0;
  while (ReadAll(from_parent, &cmd, 1) && cmd == 'r') {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const long long us = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL +
                         ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
    WriteAll(to_parent, &us, sizeof us);
  }
  sim.Stop();
  kivrel_finalize();
  _exit(0);
}

// One call on a fresh connection, as the panel makes it. True when a reply
// list came back (or, for commands, when the call went through).
bool Call(int32_t port, const char *method, const kivrel_datalist *args, bool expect_list) {
  kivrel_tcp_client *c = kivrel_tcp_client_create("127.0.0.1", port);
  if (c == nullptr) return false;
  // Close with a reset: tens of thousands of client ports in TIME_WAIT
  // would also cover the robot's fixed ports (they lie in the system's
  // ephemeral range) and keep any simulator from binding them for a minute.
  const linger hard{1, 0};
  setsockopt(c->socket_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  bool ok = kivrel_tcp_client_connect(c) == 0;
  if (ok) {
    kivrel_datalist *reply = kivrel_request_method_call(c, method, args);
    ok = !expect_list || reply != nullptr;
    kivrel_datalist_destroy(reply);
  }
  kivrel_tcp_client_destroy(c);
  return ok;
}

struct Child {
  pid_t pid = -1;
  int to_child = -1;
  int from_child = -1;
  Ports ports{};

  long long CpuMicros() const {
    long long us = -1;
    const char cmd = 'r';
    if (!WriteAll(to_child, &cmd, 1) || !ReadAll(from_child, &us, sizeof us)) return -1;
    return us;
  }
};

long long OwnCpuMicros() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec +
         ru.ru_stime.tv_usec;
}

double Percent(long long cpu_us, Clock::duration wall) {
  return 100.0 * static_cast<double>(cpu_us) /
         static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(wall).count());
}

void Throughput(const Child &child, int threads, double seconds) {
  std::atomic<long> good{0};
  std::atomic<long> bad{0};
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  const long long cpu0 = child.CpuMicros();
  const long long own0 = OwnCpuMicros();
  const auto t0 = Clock::now();
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&] {
      long g = 0;
      long b = 0;
      while (Clock::now() < end) {
        if (Call(child.ports.p[static_cast<size_t>(Service::EmergencyKey)], "ReadEmergencyKey",
                 nullptr, true))
          ++g;
        else
          ++b;
      }
      good += g;
      bad += b;
    });
  }
  for (auto &t : pool)
    t.join();
  const auto wall = Clock::now() - t0;
  const long long own1 = OwnCpuMicros();
  const long long cpu1 = child.CpuMicros();
  const double secs = std::chrono::duration<double>(wall).count();
  std::printf("throughput: %d client threads, fresh connection per call, %.1f s: %ld calls "
              "(%ld failed), %.0f calls/s; CPU of one core: simulator %.0f%%, clients %.0f%%\n",
              threads, secs, good.load(), bad.load(), static_cast<double>(good.load()) / secs,
              Percent(cpu1 - cpu0, wall), Percent(own1 - own0, wall));
}

void PanelLoad(const Child &child, double seconds) {
  auto port = [&](Service s) { return child.ports.p[static_cast<size_t>(s)]; };
  kivrel_datalist *velocity = kivrel_build_root_datalist("[{i}{i}]", 200, 200);
  const long long cpu0 = child.CpuMicros();
  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::duration<double>(seconds);
  long calls = 0;
  long failed = 0;
  auto next = t0;
  while (Clock::now() < end) {
    const bool ok[] = {
        Call(port(Service::UltraSonic), "ReadSensors", nullptr, true),
        Call(port(Service::Bumper), "ReadBumperArray", nullptr, true),
        Call(port(Service::EmergencyKey), "ReadEmergencyKey", nullptr, true),
        Call(port(Service::MotorDriver), "ReadPosition", nullptr, true),
        Call(port(Service::MotorDriver), "ReadEncoder", nullptr, true),
        Call(port(Service::PowerModule), "ReadPowerStatus", nullptr, true),
        Call(port(Service::MotorDriver), "VelocityControl", velocity, false),
    };
    for (bool o : ok)
      o ? ++calls : ++failed;
    next += std::chrono::milliseconds(100);
    std::this_thread::sleep_until(next);
  }
  const auto wall = Clock::now() - t0;
  const long long cpu1 = child.CpuMicros();
  kivrel_datalist_destroy(velocity);
  std::printf("panel polling load: %ld calls (%ld failed) in %.1f s; simulator CPU %.2f%% of "
              "one core\n",
              calls, failed, std::chrono::duration<double>(wall).count(),
              Percent(cpu1 - cpu0, wall));
}

void Idle(const Child &child, double seconds) {
  const long long cpu0 = child.CpuMicros();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto wall = Clock::now() - t0;
  const long long cpu1 = child.CpuMicros();
  std::printf("idle (world clock only): simulator CPU %.3f%% of one core over %.1f s\n",
              Percent(cpu1 - cpu0, wall), std::chrono::duration<double>(wall).count());
}

} // namespace

int main(int argc, char **argv) {
  int threads = 8;
  int workers = robotsim::SimulatorOptions{}.workers;
  double throughput_s = 5;
  double panel_s = 20;
  double idle_s = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const double v = std::atof(argv[i + 1]);
    if (a == "--threads")
      threads = std::max(1, static_cast<int>(v));
    else if (a == "--workers")
      workers = std::max(1, static_cast<int>(v));
    else if (a == "--throughput-seconds")
      throughput_s = v;
    else if (a == "--panel-seconds")
      panel_s = v;
    else if (a == "--idle-seconds")
      idle_s = v;
    else {
      std::fprintf(stderr, "usage: robot-sim-load [--threads N] [--workers N] "
                           "[--throughput-seconds S] [--panel-seconds S] [--idle-seconds S]\n");
      return 2;
    }
  }

  int up[2];
  int down[2];
  if (pipe(up) != 0 || pipe(down) != 0) return 1;
  Child child;
  child.pid = fork();
  if (child.pid < 0) return 1;
  if (child.pid == 0) {
    close(up[0]);
    close(down[1]);
    RunChild(up[1], down[0], workers);
  }
  close(up[1]);
  close(down[0]);
  child.from_child = up[0];
  child.to_child = down[1];
  if (!ReadAll(child.from_child, &child.ports, sizeof child.ports) || child.ports.p[0] == 0) {
    std::fputs("robot-sim-load: the simulator did not start\n", stderr);
    return 1;
  }

  kivrel_initialize();
  if (throughput_s > 0) Throughput(child, threads, throughput_s);
  if (panel_s > 0) PanelLoad(child, panel_s);
  if (idle_s > 0) Idle(child, idle_s);

  const char quit = 'q';
  WriteAll(child.to_child, &quit, 1);
  int wstatus = 0;
  waitpid(child.pid, &wstatus, 0);
  kivrel_finalize();
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0 ? 0 : 1;
}
