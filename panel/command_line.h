// The panel's command line, read before any window exists so that --help
// and --version work without a display (help2man runs them at build time).
// No Qt here.
#ifndef SKARVEL_COMMAND_LINE_H
#define SKARVEL_COMMAND_LINE_H

#include <string>

#include "robot_proxies.h"

// The highest port base --port-base takes: the emergency key's port lies
// furthest above the base and must still be a port.
constexpr int kHighestPortBase = 65535 - (RobotPort::Emergency - RobotPort::MotorDriver);

struct PanelCommandLine {
  enum class Action { Run, Help, Version, UsageError };
  Action action = Action::Run;
  // The controller address given with --address (dotted IPv4), or empty for
  // the built-in one.
  std::string address;
  // The port base given with --port-base (the motor driver's port; the
  // other services follow at the robot's offsets), or 0 for the robot's own.
  int portBase = 0;
  // For UsageError: what was wrong, one line without the program's name.
  std::string error;
};

// Reads --help, --version, --address A.B.C.D and --port-base P (also in the
// form --option=value).
// Single-dash arguments are Qt's (-platform offscreen, -style NAME) and are
// left for it, with the value that follows them.
PanelCommandLine ParsePanelCommandLine(int argc, const char *const *argv);

// The --help text, ending in a line feed; it names the build's built-in
// controller address.
std::string PanelHelpText();

// True for strict dotted-decimal IPv4 text (four decimal parts 0 to 255,
// no leading zeros, nothing else, no NUL inside), as inet_pton reads it.
// The panel's one address rule: the command line and IP Set both use it.
bool IsDottedIPv4(const std::string &text);

// Empty when Qt can be expected to find a display: DISPLAY, WAYLAND_DISPLAY
// or QT_QPA_PLATFORM is set, or a -platform argument is given. Otherwise
// the one line (no line feed) that tells the user how to get one.
std::string MissingDisplayMessage(int argc, const char *const *argv);

#endif
