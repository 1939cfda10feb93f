// Skarvel: the operator's panel for the wheeled mobile robot. The program is
// its dialog: it runs the panel modally and ends when the panel closes.
#include <QApplication>
#include <QByteArray>
#include <QList>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "command_line.h"
#include "panel_dialog.h"
#include "robot_proxies.h"

#ifndef KIVREL_PROJECT_VERSION
#define KIVREL_PROJECT_VERSION "unknown"
#endif

namespace {

constexpr int kExitNoDisplay = 1;
constexpr int kExitUsage = 2;

// Qt ends the program with a fatal message when its platform cannot start
// (a DISPLAY that names no reachable server, say). While the application
// object is made, such a message becomes one line and exit status 1; other
// messages wait, and are passed on once the start has succeeded.
QtMessageHandler g_previousHandler = nullptr;
QList<std::pair<QtMsgType, QString>> g_heldMessages;

void OnStartMessage(QtMsgType type, const QMessageLogContext &, const QString &message) {
  if (type != QtFatalMsg) {
    g_heldMessages.append({type, message});
    return;
  }
  const char *display = std::getenv("DISPLAY");
  std::fprintf(stderr,
               "Skarvel: cannot open the display%s%s%s; run it in a desktop session, over "
               "ssh -X, under xvfb-run -a Skarvel, or with QT_QPA_PLATFORM=offscreen\n",
               display != nullptr ? " (DISPLAY=" : "", display != nullptr ? display : "",
               display != nullptr ? ")" : "");
  std::fflush(stderr);
  std::_Exit(kExitNoDisplay);
}

} // namespace

int main(int argc, char *argv[]) {
  const PanelCommandLine line = ParsePanelCommandLine(argc, argv);
  switch (line.action) {
  case PanelCommandLine::Action::Help:
    std::fputs(PanelHelpText().c_str(), stdout);
    return 0;
  case PanelCommandLine::Action::Version:
    std::puts("Skarvel (kivrel) " KIVREL_PROJECT_VERSION);
    return 0;
  case PanelCommandLine::Action::UsageError:
    std::fprintf(stderr, "Skarvel: %s (see Skarvel --help)\n", line.error.c_str());
    return kExitUsage;
  case PanelCommandLine::Action::Run:
    break;
  }
  const std::string noDisplay = MissingDisplayMessage(argc, argv);
  if (!noDisplay.empty()) {
    std::fprintf(stderr, "Skarvel: %s\n", noDisplay.c_str());
    return kExitNoDisplay;
  }

  if (line.portBase != 0) g_robotPortBase.store(line.portBase);

  g_previousHandler = qInstallMessageHandler(OnStartMessage);
  QApplication app(argc, argv);
  qInstallMessageHandler(g_previousHandler);
  for (const auto &[type, message] : std::as_const(g_heldMessages))
    qt_message_output(type, QMessageLogContext(), message);
  g_heldMessages.clear();

  {
    PanelDialog dialog(nullptr, QString::fromStdString(line.address));
    dialog.exec();
  }
  return 0;
}
