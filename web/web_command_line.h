// skarvel-web's command line, read before anything starts so that --help
// and --version work anywhere (help2man runs them at build time). No Qt.
#ifndef SKARVEL_WEB_COMMAND_LINE_H
#define SKARVEL_WEB_COMMAND_LINE_H

#include <cstdint>
#include <string>

struct WebCommandLine {
  enum class Action { Run, Help, Version, UsageError };
  Action action = Action::Run;
  // The controller's dotted IPv4 address; empty for the built-in one.
  std::string address;
  int32_t portBase = 50010;
  // Where the server listens: dotted IPv4 and a port (0: any free one).
  std::string listenAddress = "127.0.0.1";
  uint16_t listenPort = 8080;
  // From --token, or the path given with --token-file (read by the caller).
  std::string token;
  std::string tokenFile;
  // For UsageError: what was wrong, one line without the program's name.
  std::string error;
};

// Reads --address A.B.C.D, --port-base P, --listen A.B.C.D:PORT,
// --token TEXT, --token-file PATH, --help and --version; each option's value
// follows it or is joined with '='.
WebCommandLine ParseWebCommandLine(int argc, const char *const *argv);

// The --help text, ending in a line feed.
std::string WebHelpText();

// True for a token that can stand in a URL's query and a cookie as it is:
// 1 to kMaxTokenLength characters of A-Z a-z 0-9 - . _ ~.
constexpr size_t kMaxTokenLength = 256;
bool IsUsableToken(const std::string &token);

#endif
