#include "web_command_line.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "command_line.h"

namespace {

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

bool ParsePort(const std::string &text, unsigned long min, unsigned long max, unsigned long &out) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  out = std::strtoul(text.c_str(), nullptr, 10);
  return out >= min && out <= max;
}

} // namespace

bool IsUsableToken(const std::string &token) {
  if (token.empty() || token.size() > kMaxTokenLength) return false;
  for (char c : token) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~';
    if (!ok) return false;
  }
  return true;
}

WebCommandLine ParseWebCommandLine(int argc, const char *const *argv) {
  WebCommandLine line;
  const auto fail = [&line](std::string error) {
    line.action = WebCommandLine::Action::UsageError;
    line.error = std::move(error);
    return line;
  };
  bool tokenGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.action = WebCommandLine::Action::Help;
      return line;
    }
    if (arg == "--version") {
      line.action = WebCommandLine::Action::Version;
      return line;
    }
    std::string value;
    bool joined = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      joined = true;
    }
    const bool known = arg == "--address" || arg == "--port-base" || arg == "--listen" ||
                       arg == "--token" || arg == "--token-file";
    if (!known) {
      if (arg.rfind("-", 0) == 0) return fail("unknown option " + Quoted(arg));
      return fail("unexpected argument " + Quoted(arg));
    }
    if (!joined) {
      if (i + 1 >= argc) return fail(arg + " needs a value");
      value = argv[++i];
    }
    if (arg == "--address") {
      if (!IsDottedIPv4(value))
        return fail("--address " + Quoted(value) +
                    " is not a dotted IPv4 address such as 127.0.0.1");
      line.address = value;
    } else if (arg == "--port-base") {
      unsigned long port = 0;
      if (!ParsePort(value, 1, kHighestPortBase, port))
        return fail("--port-base " + Quoted(value) + " is not a port number from 1 to " +
                    std::to_string(kHighestPortBase));
      line.portBase = static_cast<int32_t>(port);
    } else if (arg == "--listen") {
      const size_t colon = value.rfind(':');
      unsigned long port = 0;
      if (colon == std::string::npos || !IsDottedIPv4(value.substr(0, colon)) ||
          !ParsePort(value.substr(colon + 1), 0, 65535, port))
        return fail("--listen " + Quoted(value) +
                    " is not ADDRESS:PORT with a dotted IPv4 address, such as 127.0.0.1:8080");
      line.listenAddress = value.substr(0, colon);
      line.listenPort = static_cast<uint16_t>(port);
    } else {
      if (tokenGiven) return fail("give the token once, with --token or --token-file");
      tokenGiven = true;
      if (arg == "--token") {
        if (!IsUsableToken(value))
          return fail("--token must be 1 to " + std::to_string(kMaxTokenLength) +
                      " characters of A-Z a-z 0-9 - . _ ~");
        line.token = value;
      } else {
        if (value.empty()) return fail("--token-file needs a file name");
        line.tokenFile = value;
      }
    }
  }
  return line;
}

std::string WebHelpText() {
  return "Usage: skarvel-web [--address A.B.C.D] [--port-base P] [--listen ADDRESS:PORT] "
         "[--token TEXT | --token-file PATH]\n"
         "The wheeled mobile robot in a web browser, for any number of people: one poller\n"
         "reads the controller's five services every 100 ms and every open page sees the\n"
         "readings live; one page at a time may take control and drive.\n"
         "\n"
         "Options:\n"
         "  --address A.B.C.D      the controller's address (default " SKARVEL_DEFAULT_ROBOT_ADDRESS
         ")\n"
         "  --port-base P          the motor driver's port; the other services follow at\n"
         "                         P+1, P+2, P+7 and P+12, as robot-sim --port-base\n"
         "                         serves them (default 50010)\n"
         "  --listen ADDRESS:PORT  serve the page here (default 127.0.0.1:8080; port 0:\n"
         "                         any free one); 0.0.0.0 serves every interface\n"
         "  --token TEXT           the access token (A-Z a-z 0-9 - . _ ~, at most 256)\n"
         "  --token-file PATH      read the token from the first line of this file\n"
         "  --help                 show this help and exit\n"
         "  --version              show the version and exit\n"
         "\n"
         "Without --token or --token-file a random token is made. At start the program\n"
         "prints one line, the address to open: http://HOST:PORT/?token=TOKEN. Nobody\n"
         "gets the page or its channel without the token. SIGINT and SIGTERM stop it,\n"
         "the robot's wheels first if someone was driving.\n"
         "\n"
         "Exit status: 0 when stopped by a signal, 1 when it cannot start (the address\n"
         "is taken, the token file cannot be read), 2 for a usage error.\n";
}
