// The panel's start: its command line, read before any window, and the
// address given with --address taking the built-in one's place.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"
#include "panel_dialog.h"

namespace {

PanelCommandLine Parse(std::vector<const char *> args) {
  args.insert(args.begin(), "Skarvel");
  return ParsePanelCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(PanelCommandLine, TakesOnlyStrictDottedAddressesAndLeavesQtItsOptions) {
  using Action = PanelCommandLine::Action;
  EXPECT_EQ(Parse({}).action, Action::Run);
  EXPECT_EQ(Parse({}).address, "");
  EXPECT_EQ(Parse({"--address", "127.0.0.2"}).address, "127.0.0.2");
  EXPECT_EQ(Parse({"--address=127.0.0.3"}).address, "127.0.0.3");
  const PanelCommandLine withQt = Parse({"-platform", "offscreen", "--address", "127.0.0.2"});
  EXPECT_EQ(withQt.action, Action::Run);
  EXPECT_EQ(withQt.address, "127.0.0.2");
  EXPECT_EQ(Parse({"--address", "127.0.0.2", "--help"}).action, Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, Action::Version);

  for (const char *bad : {"", "robot", "300.1.1.1", "127.1", "127.000.000.001", "0x7f.0.0.1",
                          "127.0.0.1 ", " 127.0.0.1", "127.0.0.1.", "0177.0.0.1"}) {
    SCOPED_TRACE(bad);
    const PanelCommandLine line = Parse({"--address", bad});
    EXPECT_EQ(line.action, Action::UsageError);
    EXPECT_NE(line.error.find("'" + std::string(bad) + "'"), std::string::npos) << line.error;
    EXPECT_EQ(line.address, "");
  }
  EXPECT_EQ(Parse({"--address"}).action, Action::UsageError);

  // A port base as robot-sim takes it; none given, the robot's own ports.
  EXPECT_EQ(Parse({}).portBase, 0);
  EXPECT_EQ(Parse({"--port-base", "51010"}).portBase, 51010);
  EXPECT_EQ(Parse({"-platform", "offscreen", "--port-base=65523"}).portBase, 65523);
  const struct {
    std::vector<const char *> args;
    const char *message;
  } badBases[] = {
      {{"--port-base", "abc"}, "--port-base 'abc' is not a port number from 1 to 65535"},
      {{"--port-base", "0"}, "--port-base '0' is not a port number"},
      {{"--port-base", "-5"}, "--port-base '-5' is not a port number"},
      {{"--port-base", "99999999999"}, "--port-base '99999999999' is not a port number"},
      {{"--port-base=65524"},
       "--port-base 65524 is too high: the emergency key would need port "
       "65536; the highest base is 65523"},
      {{"--port-base"}, "--port-base needs a port number"},
  };
  for (const auto &c : badBases) {
    SCOPED_TRACE(c.message);
    const PanelCommandLine line = Parse(c.args);
    EXPECT_EQ(line.action, Action::UsageError);
    EXPECT_EQ(line.error.rfind(c.message, 0), 0u) << line.error;
    EXPECT_EQ(line.portBase, 0);
  }
  EXPECT_EQ(Parse({"--adress=127.0.0.2"}).action, Action::UsageError);
  EXPECT_EQ(Parse({"127.0.0.2"}).action, Action::UsageError);
}

TEST(PanelCommandLine, MissingDisplayIsToldWithTheWaysToGetOne) {
  const char *argv[] = {"Skarvel", "-platform", "offscreen"};
  const std::string saved = qgetenv("QT_QPA_PLATFORM").toStdString();
  qunsetenv("QT_QPA_PLATFORM");
  qunsetenv("DISPLAY");
  qunsetenv("WAYLAND_DISPLAY");
  const std::string message = MissingDisplayMessage(1, argv);
  EXPECT_NE(message.find("xvfb-run"), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), std::string::npos);
  EXPECT_EQ(MissingDisplayMessage(3, argv), "");
  qputenv("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_EQ(MissingDisplayMessage(1, argv), "");
  qunsetenv("WAYLAND_DISPLAY");
  qputenv("QT_QPA_PLATFORM", saved.c_str());
}

TEST(PanelStart, AGivenAddressReplacesTheBuiltInOneBeforeAnyCall) {
  {
    PanelDialog dialog(nullptr, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(dialog.edit(1027)->text(), QStringLiteral("127.0.0.2"));
    EXPECT_EQ(*g_robotAddress.Get(), "127.0.0.2");
  }
  PanelDialog dialog;
  EXPECT_EQ(dialog.edit(1027)->text(), QStringLiteral(SKARVEL_DEFAULT_ROBOT_ADDRESS));
  EXPECT_EQ(*g_robotAddress.Get(), SKARVEL_DEFAULT_ROBOT_ADDRESS);
}

} // namespace
