#include "command_line.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

bool Named(const char *variable) {
  const char *v = std::getenv(variable);
  return v != nullptr && *v != '\0';
}

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

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
  return "Usage: Skarvel [--address A.B.C.D] [Qt options]\n"
         "The operator's control panel for the wheeled mobile robot: power modules,\n"
         "battery figures, servos, hold-to-drive, odometry, encoders, bumpers, the\n"
         "emergency key, seven ultrasonic ranges and the lamps of the controller's\n"
         "five services.\n"
         "\n"
         "Options:\n"
         "  --address A.B.C.D  talk to the controller at this dotted IPv4 address for\n"
         "                     this run instead of the built-in " SKARVEL_DEFAULT_ROBOT_ADDRESS
         ",\n"
         "                     as if it had been typed and set with IP Set\n"
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
