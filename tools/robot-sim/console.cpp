#include "console.h"

#include <cstdio>
#include <numbers>
#include <string>

#include <unistd.h>

namespace robotsim {

Console::Console(bool interactive) : interactive_(interactive) {
  if (!interactive_ || isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
  termios raw = saved_;
  // Keys arrive one at a time and are not echoed; Ctrl-C still raises
  // SIGINT, which the program handles.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  keys_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

Console::~Console() {
  Finish();
  if (keys_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

bool Console::HandleKeys(RobotSimulator &sim) {
  if (!keys_) return true;
  char buf[64];
  const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n == 0) return false;
  for (ssize_t i = 0; i < n; ++i) {
    switch (buf[i]) {
    case 'e':
    case 'E':
      sim.ToggleEmergencyKey();
      break;
    case 'c':
    case 'C':
      sim.ToggleCharger();
      break;
    case 'q':
    case 'Q':
      return false;
    default:
      break;
    }
  }
  return true;
}

std::string StatusText(const Snapshot &snap) {
  const WorldState &s = snap.state;
  char line[160];
  const double deg = s.odometry.theta * 180.0 / std::numbers::pi;
  std::snprintf(line, sizeof line,
                "pos x%6.0f y%6.0f th%5.0f | wheel L%5.0f R%5.0f | bump R%d L%d | ekey %d | "
                "%5.2f V%s",
                s.odometry.x * 1000.0, s.odometry.y * 1000.0, deg, s.wheel_left, s.wheel_right,
                s.bumper_right ? 1 : 0, s.bumper_left ? 1 : 0, s.emergency_key ? 1 : 0,
                s.battery_mv / 1000.0, s.charger ? " chg" : "");
  return line;
}

void Console::ShowStatus(const Snapshot &snap) {
  if (!interactive_) return;
  // Carriage return and clear-to-end: the line is redrawn in place.
  std::fputs("\r", stdout);
  std::fputs(StatusText(snap).c_str(), stdout);
  std::fputs("\033[K", stdout);
  std::fflush(stdout);
  line_shown_ = true;
}

void Console::Finish() {
  if (!line_shown_) return;
  std::fputs("\n", stdout);
  std::fflush(stdout);
  line_shown_ = false;
}

} // namespace robotsim
