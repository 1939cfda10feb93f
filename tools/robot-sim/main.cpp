// robot-sim: plays the robot controller's five services on this machine so
// that the panel can be run, shown and tested without a robot.
#include <cerrno>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "console.h"
#include "simulator.h"
#include "view.h"

#ifndef KIVREL_PROJECT_VERSION
#define KIVREL_PROJECT_VERSION "unknown"
#endif

namespace {

constexpr int kStatusPeriodMs = 200;
constexpr int kStatsPeriodMs = 1000;
constexpr int kLastPortOffset = robotsim::kDefaultPorts.back() - robotsim::kDefaultPorts[0];

// Readable once SIGINT or SIGTERM has come. The signals are blocked in every
// thread and taken from this descriptor by the main loop, never by a handler:
// a handler runs in whichever thread the kernel picks, and a sanitizer's
// runtime may hold its run back for as long as that thread sleeps.
int g_signal_fd = -1;

const char kUsage[] =
    "Usage: robot-sim [OPTION]...\n"
    "Plays the wheeled robot's controller on this machine: motor driver on port\n"
    "50010, bumper 50011, ultrasonic 50012, power module 50017, emergency key 50022.\n"
    "\n"
    "Options:\n"
    "  --seed N       seed of the sensor noise (default 1), for repeatable runs\n"
    "  --port-base P  serve on P, P+1, P+2, P+7 and P+12 instead (a second\n"
    "                 simulator beside the first; Skarvel --port-base P reaches it)\n"
    "  --bind ADDR    listen on this local IPv4 address (dotted, such as\n"
    "                 192.168.1.20); 0.0.0.0 listens on every interface, as the\n"
    "                 controller does, and serves anyone who can reach this\n"
    "                 machine; default 127.0.0.1, this machine only\n"
    "  --no-terminal  no status line and no keys, even on a terminal\n"
    "  --stats        print the services' connection counters once a second\n"
    "  --view         show the room in a window (needs a display)\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "On a terminal: e toggles the emergency key, c the charger, q quits.\n"
    "SIGINT and SIGTERM stop it cleanly.\n"
    "\n"
    "Exit status: 0 when stopped by q, a signal or the window, 1 when it cannot\n"
    "start (a port is taken, no display for --view), 2 for a usage error.\n";

constexpr int kExitUsage = 2;

// Reports a usage error in one line, with a hint to --help.
int UsageError(const std::string &message) {
  std::fprintf(stderr, "robot-sim: %s (see robot-sim --help)\n", message.c_str());
  return kExitUsage;
}

const char *const kServiceNames[] = {"motor driver", "bumper", "ultrasonic", "power module",
                                     "emergency key"};

// What to do about a port that cannot be listened on, by its reason.
const char *ListenHint(int error) {
  switch (error) {
  case EADDRINUSE:
    return " (is another controller or simulator running? --port-base P serves elsewhere)";
  case EADDRNOTAVAIL:
    return " (the address is not one of this machine's; 127.0.0.1 always is)";
  case EACCES:
    return " (ports below 1024 need privileges; --port-base P serves elsewhere)";
  default:
    return "";
  }
}

bool ParseNumber(const char *text, unsigned long long max, unsigned long long &out) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) return false;
  out = v;
  return true;
}

// Before any thread starts, so that every thread inherits the blocked set.
bool InstallSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  const int failed = pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  if (failed != 0) {
    errno = failed;
    return false;
  }
  g_signal_fd = signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
  return g_signal_fd >= 0;
}

// One line of the five services' connection counters together, so that a
// client's load on the controller can be measured from outside.
void PrintStats(const robotsim::RobotSimulator &sim) {
  const robotsim::ConnectionStats c = sim.Connections();
  std::printf("robot-sim: connections accepted %llu refused %llu expired %llu open %llu\n",
              static_cast<unsigned long long>(c.accepted),
              static_cast<unsigned long long>(c.refused),
              static_cast<unsigned long long>(c.expired), static_cast<unsigned long long>(c.open));
  std::fflush(stdout);
}

// Runs until a signal, 'q', or the end of the keys' input.
void RunConsole(robotsim::RobotSimulator &sim, robotsim::Console &console, bool stats) {
  pollfd fds[2] = {{g_signal_fd, POLLIN, 0}, {console.key_fd(), POLLIN, 0}};
  const nfds_t count = console.key_fd() >= 0 ? 2 : 1;
  const int timeout = console.interactive() ? kStatusPeriodMs : stats ? kStatsPeriodMs : -1;
  auto next_stats = std::chrono::steady_clock::now();
  for (;;) {
    if (console.interactive()) console.ShowStatus(sim.Take());
    if (stats && !console.interactive() && std::chrono::steady_clock::now() >= next_stats) {
      PrintStats(sim);
      next_stats += std::chrono::milliseconds(kStatsPeriodMs);
    }
    const int n = poll(fds, count, timeout);
    if (n < 0 && errno != EINTR) return;
    if (n <= 0) continue;
    if (fds[0].revents != 0) return;
    if (count > 1 && fds[1].revents != 0 && !console.HandleKeys(sim)) return;
  }
}

} // namespace

int main(int argc, char **argv) {
  // First, so that a signal during the start still ends the program cleanly.
  if (!InstallSignals()) {
    std::fprintf(stderr, "robot-sim: cannot set up signal handling: %s\n", std::strerror(errno));
    return 1;
  }
  robotsim::SimulatorOptions options;
  bool terminal = true;
  bool view = false;
  bool stats = false;
  robotsim::ViewOptions view_options;
  unsigned long long number = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // The value of an option that takes one, or null when it is missing.
    const auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::puts("robot-sim (kivrel) " KIVREL_PROJECT_VERSION);
      return 0;
    } else if (arg == "--seed") {
      const char *text = value();
      if (text == nullptr) return UsageError("--seed needs a number");
      if (!ParseNumber(text, UINT64_MAX, number))
        return UsageError(std::string("--seed '") + text + "' is not a whole number from 0 to " +
                          std::to_string(UINT64_MAX));
      options.seed = number;
    } else if (arg == "--port-base") {
      const char *text = value();
      if (text == nullptr) return UsageError("--port-base needs a port number");
      if (!ParseNumber(text, UINT64_MAX, number) || number == 0 || number > 65535)
        return UsageError(std::string("--port-base '") + text +
                          "' is not a port number from 1 to 65535");
      if (number > 65535 - kLastPortOffset)
        return UsageError("--port-base " + std::to_string(number) +
                          " is too high: the emergency key would need port " +
                          std::to_string(number + kLastPortOffset) + "; the highest base is " +
                          std::to_string(65535 - kLastPortOffset));
      for (size_t s = 0; s < options.ports.size(); ++s)
        options.ports[s] =
            static_cast<int32_t>(number) + robotsim::kDefaultPorts[s] - robotsim::kDefaultPorts[0];
    } else if (arg == "--bind") {
      const char *text = value();
      if (text == nullptr) return UsageError("--bind needs a local IPv4 address such as 127.0.0.1");
      // Judged as the library will, so that a name is refused as such and
      // not as a failed bind.
      in_addr parsed{};
      if (inet_pton(AF_INET, text, &parsed) != 1)
        return UsageError(std::string("--bind '") + text +
                          "' is not a dotted IPv4 address such as 127.0.0.1");
      options.bind_address = text;
    } else if (arg == "--no-terminal") {
      terminal = false;
    } else if (arg == "--stats") {
      stats = true;
    } else if (arg == "--view") {
      view = true;
    } else if (arg == "--view-snapshot") {
      // Not advertised: saves one picture of the window and exits; used to
      // check the drawing on a virtual display.
      const char *text = value();
      if (text == nullptr) return UsageError("--view-snapshot needs a file name");
      view = true;
      view_options.snapshot_path = text;
    } else if (arg == "--view-snapshot-after") {
      const char *text = value();
      if (text == nullptr || !ParseNumber(text, 600000, number))
        return UsageError("--view-snapshot-after needs milliseconds from 0 to 600000");
      view_options.snapshot_after_ms = static_cast<int>(number);
    } else {
      return UsageError("unknown option '" + arg + "'");
    }
  }

  if (view && !robotsim::DisplayAvailable()) {
    std::fputs("robot-sim: --view needs a display, but neither DISPLAY nor WAYLAND_DISPLAY is "
               "set (run without --view, or under xvfb-run)\n",
               stderr);
    return 1;
  }

  kivrel_initialize();
  int status = 0;
  {
    robotsim::RobotSimulator sim(options);
    const auto &p = options.ports;
    if (!sim.Start()) {
      const int error = errno;
      const auto service = static_cast<size_t>(sim.FailedService());
      std::fprintf(stderr, "robot-sim: cannot listen on %s:%d (%s): %s%s\n",
                   options.bind_address.empty() ? "0.0.0.0" : options.bind_address.c_str(),
                   p[service], kServiceNames[service], std::strerror(error), ListenHint(error));
      kivrel_finalize();
      return 1;
    }
    const bool interactive = terminal && isatty(STDOUT_FILENO) == 1;
    std::printf("robot-sim: serving on %s: motor driver %d, bumper %d, ultrasonic %d, power "
                "module %d, emergency key %d (seed %llu)\n",
                options.bind_address.empty() ? "0.0.0.0" : options.bind_address.c_str(), p[0], p[1],
                p[2], p[3], p[4], static_cast<unsigned long long>(options.seed));
    if (interactive) std::puts("robot-sim: keys: e emergency key, c charger, q quit");
    std::fflush(stdout);

    robotsim::Console console(interactive);
    if (view) {
      status = robotsim::RunView(argc, argv, sim, console, g_signal_fd, view_options);
    } else {
      RunConsole(sim, console, stats);
    }
    console.Finish();
    sim.Stop();
  }
  kivrel_finalize();
  return status;
}
