// Figures for the panel under its heaviest load: every polling on and a
// direction held against the robot simulator. Prints the panel's CPU use,
// the robot calls per second reaching the simulator, the delay from a press
// (and from a release) of "F" to the first matching velocity command at the
// simulator, the panel's resident memory over time, and how long closing
// takes. Figures only; nothing passes or fails.
//
// The simulator runs in a child process forked before any thread exists, so
// the panel's CPU and memory are its own. The child watches its world for
// new velocity commands and reports each with its arrival time (steady
// clock, shared by both processes) through a pipe.
//
// Built by tests/panel_live.cmake as panel_bench (it needs Qt and the
// simulator); run it with scripts/bench_panel.

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "panel_dialog.h"
#include "simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// One message from the robot process.
struct Record {
  char type;    // 'v' velocity command arrived, 'c' call counts, 's' started, 'f' failed
  int64_t at;   // steady clock, ns ('v')
  int64_t a, b; // left, right ('v'); all calls, velocity commands ('c')
};

bool WriteAll(int fd, const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadAll(int fd, void *data, size_t n) {
  char *p = static_cast<char *>(data);
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

constexpr const char *kMethods[] = {
    "VelocityControl",  "ServoOn",          "ServoOff",        "ReadPosition",
    "ReadEncoder",      "ChangePosition",   "ChangePosition2", "ReadBumperArray",
    "SetBumperDirMode", "SetBumperOffMode", "ReadSensors",     "ReadEmergencyKey",
    "ReadPowerStatus",  "PowerUp",          "PowerDown",
};

// The robot process: serves on the fixed ports in real time, reports each
// new velocity command, answers 'c' with its call counts, ends on 'q'.
int RunRobot(int commands, int reports) {
  kivrel_initialize();
  robotsim::RobotSimulator sim;
  if (!sim.Start()) {
    Record r{'f', 0, 0, 0};
    WriteAll(reports, &r, sizeof r);
    return 1;
  }
  Record started{'s', 0, 0, 0};
  WriteAll(reports, &started, sizeof started);

  std::mutex write;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    int64_t seen = 0;
    while (!done.load()) {
      Record r{'v', 0, 0, 0};
      bool fresh = false;
      sim.Modify([&](robotsim::World &w) {
        const robotsim::WorldState &s = w.state();
        if (s.velocity_commands != seen) {
          seen = s.velocity_commands;
          fresh = true;
          r.at = NowNs();
          r.a = s.last_velocity_left;
          r.b = s.last_velocity_right;
        }
      });
      if (fresh) {
        std::lock_guard<std::mutex> lock(write);
        WriteAll(reports, &r, sizeof r);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  char c = 0;
  while (ReadAll(commands, &c, 1) && c != 'q') {
    if (c != 'c') continue;
    Record r{'c', NowNs(), 0, static_cast<int64_t>(sim.CallCount("VelocityControl"))};
    for (const char *m : kMethods)
      r.a += static_cast<int64_t>(sim.CallCount(m));
    std::lock_guard<std::mutex> lock(write);
    WriteAll(reports, &r, sizeof r);
  }
  done = true;
  watcher.join();
  sim.Stop();
  kivrel_finalize();
  return 0;
}

// The panel side of the pipe: velocity arrivals and count replies.
class RobotLink {
public:
  RobotLink(int commands, int reports) : m_commands(commands), m_reports(reports) {
    m_reader = std::thread([this] { Read(); });
  }
  ~RobotLink() {
    const char q = 'q';
    WriteAll(m_commands, &q, 1);
    ::close(m_commands);
    m_reader.join();
    ::close(m_reports);
  }
  bool WaitStarted() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_state != 0; });
    return m_state == 's';
  }
  // First arrival of (left, right) after `after`, waiting at most `limit`.
  std::optional<int64_t> FirstAfter(int64_t after, int64_t left, int64_t right,
                                    std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<int64_t> found;
    m_changed.wait_for(lock, limit, [&] {
      for (const Record &r : m_arrivals)
        if (r.at > after && r.a == left && r.b == right) {
          found = r.at;
          return true;
        }
      return false;
    });
    return found;
  }
  Record Counts() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t before = m_countReplies;
    const char c = 'c';
    WriteAll(m_commands, &c, 1);
    m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_countReplies != before; });
    return m_lastCounts;
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arrivals.clear();
  }

private:
  void Read() {
    Record r;
    while (ReadAll(m_reports, &r, sizeof r)) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (r.type == 'v') {
        m_arrivals.push_back(r);
      } else if (r.type == 'c') {
        m_lastCounts = r;
        ++m_countReplies;
      } else {
        m_state = r.type;
      }
      m_changed.notify_all();
    }
  }

  int m_commands;
  int m_reports;
  std::thread m_reader;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Record> m_arrivals;
  Record m_lastCounts{};
  uint64_t m_countReplies = 0;
  char m_state = 0;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Runs the panel's event loop for `ms` as the program itself would.
void RunFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void PrintDelays(const char *what, std::vector<double> ms) {
  if (ms.empty()) {
    std::printf("%-32s no arrivals seen\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-32s median %.2f ms, p90 %.2f ms, max %.2f ms (%zu presses)\n", what,
              ms[ms.size() / 2], ms[(ms.size() * 9) / 10], ms.back(), ms.size());
}

int RunPanel(RobotLink &robot, int seconds, int memoryMinutes, int cycles, bool polling) {
  PanelDialog dialog;
  dialog.show();
  if (!QTest::qWaitForWindowExposed(&dialog))
    std::fprintf(stderr, "bench_panel: the panel's window was not shown\n");
  if (polling)
    for (int id : {1026, 1029, 1030, 1042, 1075})
      QTest::mouseClick(dialog.button(id), Qt::LeftButton);
  RunFor(1000);

  QPushButton *forward = dialog.button(1012);
  std::vector<double> pressDelays;
  std::vector<double> releaseDelays;
  for (int i = 0; i < cycles; ++i) {
    robot.Forget();
    const int64_t pressed = NowNs();
    QTest::mousePress(forward, Qt::LeftButton);
    if (auto at = robot.FirstAfter(pressed, 200, 200, std::chrono::seconds(2)))
      pressDelays.push_back(double(*at - pressed) / 1e6);
    RunFor(250);
    const int64_t released = NowNs();
    QTest::mouseRelease(forward, Qt::LeftButton);
    if (auto at = robot.FirstAfter(released, 0, 0, std::chrono::seconds(2)))
      releaseDelays.push_back(double(*at - released) / 1e6);
    RunFor(250);
  }
  PrintDelays("press F -> first (200, 200):", pressDelays);
  PrintDelays("release F -> first (0, 0):", releaseDelays);

  // Held for the whole measurement, every polling on.
  QTest::mousePress(forward, Qt::LeftButton);
  RunFor(1000);
  robot.Forget();
  const Record counts0 = robot.Counts();
  const double cpu0 = CpuSeconds();
  const double ui0 = ThreadCpuSeconds();
  const auto wall0 = Clock::now();
  RunFor(seconds * 1000);
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  const double cpu = CpuSeconds() - cpu0;
  const double ui = ThreadCpuSeconds() - ui0;
  const Record counts1 = robot.Counts();
  std::printf("panel CPU, %d s held, %s: %.2f %% of one core "
              "(user-interface thread %.2f %%, workers %.2f %%)\n",
              seconds, polling ? "all pollings" : "no polling", 100.0 * cpu / wall,
              100.0 * ui / wall, 100.0 * (cpu - ui) / wall);
  std::printf("robot calls reaching the simulator: %.1f per second (velocity %.1f per second)\n",
              double(counts1.a - counts0.a) / wall, double(counts1.b - counts0.b) / wall);
  std::printf("resident memory after %d s: %ld kB\n", seconds, ResidentKb());

  for (int minute = 2; minute <= memoryMinutes; ++minute) {
    robot.Forget();
    RunFor(60 * 1000);
    std::printf("resident memory after %d min: %ld kB\n", minute, ResidentKb());
    std::fflush(stdout);
  }

  const auto closing = Clock::now();
  dialog.close();
  std::printf("closing while polling and driving: %.1f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - closing).count());
  if (auto at = robot.FirstAfter(NowNs() - 2'000'000'000, 0, 0, std::chrono::seconds(2)))
    std::printf("the final zero velocity reached the robot\n");
  return 0;
}

int Argument(int argc, char **argv, const char *name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  return fallback;
}

} // namespace

int main(int argc, char **argv) {
  const int seconds = Argument(argc, argv, "--seconds", 60);
  const int memoryMinutes = Argument(argc, argv, "--memory-minutes", 10);
  const int cycles = Argument(argc, argv, "--cycles", 30);
  const bool polling = Argument(argc, argv, "--polling", 1) != 0;

  // The robot process first, while this one has no threads.
  int commands[2];
  int reports[2];
  if (pipe(commands) != 0 || pipe(reports) != 0) return 1;
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    ::close(commands[1]);
    ::close(reports[0]);
    _exit(RunRobot(commands[0], reports[1]));
  }
  ::close(commands[0]);
  ::close(reports[1]);

  int status = 1;
  {
    RobotLink robot(commands[1], reports[0]);
    if (!robot.WaitStarted()) {
      std::fprintf(stderr, "bench_panel: the simulator could not take the robot's ports\n");
    } else {
      QApplication app(argc, argv);
      status = RunPanel(robot, seconds, memoryMinutes, cycles, polling);
    }
  }
  int childStatus = 0;
  waitpid(child, &childStatus, 0);
  return status;
}
