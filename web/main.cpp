// skarvel-web: the robot in a web browser. The program is its server: it
// prints the address to open, serves until SIGINT or SIGTERM, and stops the
// wheels before it leaves.
#include <QCoreApplication>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QRandomGenerator>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "kivrel.h"
#include "robot_proxies.h"
#include "web_command_line.h"
#include "web_server.h"

#ifndef KIVREL_PROJECT_VERSION
#define KIVREL_PROJECT_VERSION "unknown"
#endif

namespace {

constexpr int kExitCannotStart = 1;
constexpr int kExitUsage = 2;
// Random token: 16 bytes from the system's source, 32 hex digits.
constexpr int kTokenBytes = 16;

// SIGINT and SIGTERM are blocked in every thread and read from this
// descriptor by the event loop, never by a handler, so that stopping runs
// on the thread that owns the server.
int BlockStopSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return -1;
  return signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
}

std::string RandomToken() {
  std::array<quint32, kTokenBytes / 4> words{};
  QRandomGenerator::system()->fillRange(words.data(), words.size());
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (quint32 w : words)
    for (int shift = 28; shift >= 0; shift -= 4)
      token += kHex[(w >> shift) & 0xf];
  return token;
}

// The first line of `path`, without its line end; false when the file
// cannot be read.
bool ReadTokenFile(const std::string &path, std::string &token) {
  std::ifstream in(path);
  if (!in || !std::getline(in, token)) return false;
  if (!token.empty() && token.back() == '\r') token.pop_back();
  return true;
}

int Fail(const std::string &message, int status) {
  std::fprintf(stderr, "skarvel-web: %s\n", message.c_str());
  return status;
}

} // namespace

int main(int argc, char *argv[]) {
  const WebCommandLine line = ParseWebCommandLine(argc, argv);
  switch (line.action) {
  case WebCommandLine::Action::Help:
    std::fputs(WebHelpText().c_str(), stdout);
    return 0;
  case WebCommandLine::Action::Version:
    std::puts("skarvel-web (kivrel) " KIVREL_PROJECT_VERSION);
    return 0;
  case WebCommandLine::Action::UsageError:
    return Fail(line.error + " (see skarvel-web --help)", kExitUsage);
  case WebCommandLine::Action::Run:
    break;
  }
  std::string token = line.token;
  if (!line.tokenFile.empty()) {
    if (!ReadTokenFile(line.tokenFile, token))
      return Fail("cannot read the token file '" + line.tokenFile + "': " + std::strerror(errno),
                  kExitCannotStart);
    if (!IsUsableToken(token))
      return Fail("the first line of '" + line.tokenFile + "' must be 1 to " +
                      std::to_string(kMaxTokenLength) + " characters of A-Z a-z 0-9 - . _ ~",
                  kExitCannotStart);
  }
  if (token.empty()) token = RandomToken();

  // Before any thread exists, so that every thread inherits the mask.
  const int signalFd = BlockStopSignals();
  if (signalFd < 0)
    return Fail(std::string("cannot set up signal handling: ") + std::strerror(errno),
                kExitCannotStart);

  // Before the robot's threads use the library.
  kivrel_initialize();
  QCoreApplication app(argc, argv);
  // Qt's HTTP server warns of every refused WebSocket handshake as of a
  // missing handler; refusing them is this program's job, not a fault.
  QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver.warning=false"));
  g_robotAddress.Set(line.address.empty() ? SKARVEL_DEFAULT_ROBOT_ADDRESS : line.address);
  g_robotPortBase.store(line.portBase);

  int status = 0;
  {
    WebServer server(QByteArray::fromStdString(token), QStringLiteral(KIVREL_PROJECT_VERSION));
    QString error;
    const quint16 port = server.Listen(QHostAddress(QString::fromStdString(line.listenAddress)),
                                       line.listenPort, &error);
    if (port == 0)
      return Fail("cannot listen on " + line.listenAddress + ":" + std::to_string(line.listenPort) +
                      ": " + error.toStdString(),
                  kExitCannotStart);
    // The one line that names the token; nothing after it does.
    std::printf("http://%s:%u/?token=%s\n", line.listenAddress.c_str(), port, token.c_str());
    std::fflush(stdout);
    // The access layer reports unreachable sensors on standard output;
    // those lines go to standard error, so the address stays the only line.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    if (!server.StartRobot()) return Fail("cannot start the robot's threads", kExitCannotStart);

    QSocketNotifier stop(signalFd, QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    status = app.exec();
    server.Shutdown();
  }
  close(signalFd);
  kivrel_finalize();
  return status;
}
