// robot-sim: plays the robot controller's five services on this machine so
// that the panel can be run, shown and tested without a robot.
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "console.h"
#include "simulator.h"
#include "view.h"

namespace {

constexpr int kStatusPeriodMs = 200;
constexpr int kLastPortOffset = robotsim::kDefaultPorts.back() - robotsim::kDefaultPorts[0];

// Written by the signal handler, read by the main loop: the handler itself
// does nothing else.
int g_signal_pipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

void Usage(std::FILE *out) {
  std::fputs("usage: robot-sim [--seed N] [--port-base P] [--no-terminal] [--view] [--help]\n"
             "                 [--bind ADDRESS]\n"
             "Simulates the robot controller: motor driver on port 50010, bumper 50011,\n"
             "ultrasonic 50012, power module 50017, emergency key 50022.\n"
             "  --seed N       seed of the sensor noise (default 1), for repeatable runs\n"
             "  --port-base P  serve on P, P+1, P+2, P+7 and P+12 instead (a second\n"
             "                 simulator beside the first; the panel uses the fixed ports)\n"
             "  --bind ADDRESS listen on this local IPv4 address only (127.0.0.1: this\n"
             "                 machine only); default every interface, as the controller\n"
             "  --no-terminal  no status line and no keys, even on a terminal\n"
             "  --view         show the room in a window (needs a display)\n"
             "  --help         this text\n"
             "On a terminal: e toggles the emergency key, c the charger, q quits.\n",
             out);
}

bool ParseNumber(const char *text, unsigned long long max, unsigned long long &out) {
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) return false;
  out = v;
  return true;
}

bool InstallSignals() {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  std::signal(SIGPIPE, SIG_IGN);
  return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

// Runs until a signal, 'q', or the end of the keys' input.
void RunConsole(robotsim::RobotSimulator &sim, robotsim::Console &console) {
  pollfd fds[2] = {{g_signal_pipe[0], POLLIN, 0}, {console.key_fd(), POLLIN, 0}};
  const nfds_t count = console.key_fd() >= 0 ? 2 : 1;
  const int timeout = console.interactive() ? kStatusPeriodMs : -1;
  for (;;) {
    if (console.interactive()) console.ShowStatus(sim.Take());
    const int n = poll(fds, count, timeout);
    if (n < 0 && errno != EINTR) return;
    if (n <= 0) continue;
    if (fds[0].revents != 0) return;
    if (count > 1 && fds[1].revents != 0 && !console.HandleKeys(sim)) return;
  }
}

} // namespace

int main(int argc, char **argv) {
  robotsim::SimulatorOptions options;
  bool terminal = true;
  bool view = false;
  robotsim::ViewOptions view_options;
  unsigned long long number = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--seed" && i + 1 < argc && ParseNumber(argv[i + 1], UINT64_MAX, number)) {
      options.seed = number;
      ++i;
    } else if (arg == "--port-base" && i + 1 < argc &&
               ParseNumber(argv[i + 1], 65535 - kLastPortOffset, number) && number > 0) {
      for (size_t s = 0; s < options.ports.size(); ++s)
        options.ports[s] =
            static_cast<int32_t>(number) + robotsim::kDefaultPorts[s] - robotsim::kDefaultPorts[0];
      ++i;
    } else if (arg == "--bind" && i + 1 < argc) {
      options.bind_address = argv[++i]; // checked when the services start
    } else if (arg == "--no-terminal") {
      terminal = false;
    } else if (arg == "--view") {
      view = true;
    } else if (arg == "--view-snapshot" && i + 1 < argc) {
      // Not advertised: saves one picture of the window and exits; used to
      // check the drawing on a virtual display.
      view = true;
      view_options.snapshot_path = argv[++i];
    } else if (arg == "--view-snapshot-after" && i + 1 < argc &&
               ParseNumber(argv[i + 1], 600000, number)) {
      view_options.snapshot_after_ms = static_cast<int>(number);
      ++i;
    } else {
      std::fprintf(stderr, "robot-sim: unknown or incomplete option '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }

  if (view && !robotsim::DisplayAvailable()) {
    std::fputs("robot-sim: --view needs a display, but neither DISPLAY nor WAYLAND_DISPLAY is "
               "set (run without --view, or under xvfb-run)\n",
               stderr);
    return 1;
  }
  if (!InstallSignals()) {
    std::fprintf(stderr, "robot-sim: cannot set up signal handling: %s\n", std::strerror(errno));
    return 1;
  }

  kivrel_initialize();
  int status = 0;
  {
    robotsim::RobotSimulator sim(options);
    const auto &p = options.ports;
    if (!sim.Start()) {
      std::fprintf(stderr,
                   "robot-sim: cannot listen on ports %d, %d, %d, %d and %d of %s (is another "
                   "controller or simulator running, or the address not this machine's?)\n",
                   p[0], p[1], p[2], p[3], p[4],
                   options.bind_address.empty() ? "every interface" : options.bind_address.c_str());
      kivrel_finalize();
      return 1;
    }
    const bool interactive = terminal && isatty(STDOUT_FILENO) == 1;
    std::printf("robot-sim: serving motor driver %d, bumper %d, ultrasonic %d, power module %d, "
                "emergency key %d (seed %llu)\n",
                p[0], p[1], p[2], p[3], p[4], static_cast<unsigned long long>(options.seed));
    if (interactive) std::puts("robot-sim: keys: e emergency key, c charger, q quit");
    std::fflush(stdout);

    robotsim::Console console(interactive);
    if (view) {
      status = robotsim::RunView(argc, argv, sim, console, g_signal_pipe[0], view_options);
    } else {
      RunConsole(sim, console);
    }
    console.Finish();
    sim.Stop();
  }
  kivrel_finalize();
  return status;
}
