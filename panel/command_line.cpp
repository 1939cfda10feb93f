#include "command_line.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "robot_proxies.h"

namespace {

bool Named(const char *variable) {
  const char *v = std::getenv(variable);
  return v != nullptr && *v != '\0';
}

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

// The emergency key's port lies this far above the base.
constexpr int kLastPortOffset = RobotPort::Emergency - RobotPort::MotorDriver;

// A port base as robot-sim takes it: decimal, 1 up to the highest base;
// otherwise the one-line reason.
bool ParsePortBase(const std::string &text, int *base, std::string *error) {
  const std::string given = "--port-base " + Quoted(text);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 5 || std::stoi(text) == 0 || std::stoi(text) > 65535) {
    *error = given + " is not a port number from 1 to 65535";
    return false;
  }
  const int number = std::stoi(text);
  if (number > kHighestPortBase) {
    *error = "--port-base " + text + " is too high: the emergency key would need port " +
             std::to_string(number + kLastPortOffset) + "; the highest base is " +
             std::to_string(kHighestPortBase);
    return false;
  }
  *base = number;
  return true;
}

} // namespace

bool IsDottedIPv4(const std::string &text) {
  // inet_pton reads exactly the strict form; a NUL inside would end its
  // reading early and let what follows pass unseen.
  in_addr address{};
  return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &address) == 1;
}

PanelCommandLine ParsePanelCommandLine(int argc, const char *const *argv) {
  PanelCommandLine line;
  const auto fail = [&line](std::string error) {
    line.action = PanelCommandLine::Action::UsageError;
    line.error = std::move(error);
    return line;
  };
  bool afterQtOption = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.action = PanelCommandLine::Action::Help;
      return line;
    }
    if (arg == "--version") {
      line.action = PanelCommandLine::Action::Version;
      return line;
    }
    if (arg == "--port-base" || arg.rfind("--port-base=", 0) == 0) {
      std::string text;
      if (arg == "--port-base") {
        if (i + 1 >= argc) return fail("--port-base needs a port number");
        text = argv[++i];
      } else {
        text = arg.substr(std::strlen("--port-base="));
      }
      std::string error;
      if (!ParsePortBase(text, &line.portBase, &error)) return fail(error);
      afterQtOption = false;
      continue;
    }
    std::string value;
    if (arg == "--address") {
      if (i + 1 >= argc) return fail("--address needs an IPv4 address such as 127.0.0.1");
      value = argv[++i];
    } else if (arg.rfind("--address=", 0) == 0) {
      value = arg.substr(std::strlen("--address="));
    } else if (arg.rfind("--", 0) == 0) {
      return fail("unknown option " + Quoted(arg));
    } else if (arg.size() > 1 && arg[0] == '-') {
      afterQtOption = true;
      continue;
    } else if (afterQtOption) {
      afterQtOption = false;
      continue;
    } else {
      return fail("unexpected argument " + Quoted(arg) + " (an address goes after --address)");
    }
    afterQtOption = false;
    if (!IsDottedIPv4(value))
      return fail("--address " + Quoted(value) + " is not a dotted IPv4 address such as 127.0.0.1");
    line.address = value;
  }
  return line;
}

std::string PanelHelpText() {
  return "Usage: Skarvel [--address A.B.C.D] [--port-base P] [Qt options]\n"
         "The operator's control panel for the wheeled mobile robot: power modules,\n"
         "battery figures, servos, hold-to-drive, odometry, encoders, bumpers, the\n"
         "emergency key, seven ultrasonic ranges and the lamps of the controller's\n"
         "five services.\n"
         "\n"
         "The readings stay empty until they are switched on: each group appears once\n"
         "its \"... Enable\" button (USonic, Bumper, Emergency, Drive Pos, Power Module)\n"
         "is pressed, and stops with \"... Disable\".\n"
         "\n"
         "Options:\n"
         "  --address A.B.C.D  talk to the controller at this dotted IPv4 address for\n"
         "                     this run instead of the built-in " SKARVEL_DEFAULT_ROBOT_ADDRESS
         ",\n"
         "                     as if it had been typed and set with IP Set\n"
         "  --port-base P      reach the five services at P, P+1, P+2, P+7 and P+12\n"
         "                     instead of the robot's ports 50010 to 50022 (a simulator\n"
         "                     started with robot-sim --port-base P)\n"
         "  --help             show this help and exit\n"
         "  --version          show the version and exit\n"
         "\n"
         "Qt's own options, such as -platform offscreen or -style Fusion, are passed on.\n"
         "The panel is a window and needs a display: a desktop session, ssh -X,\n"
         "xvfb-run -a Skarvel, or QT_QPA_PLATFORM=offscreen (which shows nothing).\n"
         "\n"
         "Exit status: 0 when the panel is closed, 1 without a usable display,\n"
         "2 for a usage error.\n";
}

std::string MissingDisplayMessage(int argc, const char *const *argv) {
  if (Named("DISPLAY") || Named("WAYLAND_DISPLAY") || Named("QT_QPA_PLATFORM")) return {};
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0) return {};
  return "no display: DISPLAY and WAYLAND_DISPLAY are not set; run the panel in a desktop "
         "session, over ssh -X, under xvfb-run -a Skarvel, or with QT_QPA_PLATFORM=offscreen";
}
