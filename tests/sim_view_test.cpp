// The simulator's room view, drawn on Qt's offscreen platform: its status
// text fits the window in every state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QWidget>

#include "simulator.h"
#include "view.h"

namespace {

// The longest status there is: charger on and emergency key pressed.
robotsim::Snapshot BusiestSnapshot(robotsim::RobotSimulator &sim) {
  if (!sim.Take().state.charger) sim.ToggleCharger();
  if (!sim.Take().state.emergency_key) sim.ToggleEmergencyKey();
  return sim.Take();
}

robotsim::SimulatorOptions Offline() {
  robotsim::SimulatorOptions o;
  o.realtime = false;
  return o;
}

TEST(SimulatorView, StatusLinesFitAnyWidthAndKeepEveryField) {
  robotsim::RobotSimulator sim(Offline());
  const robotsim::Snapshot snap = BusiestSnapshot(sim);
  QFont font = QApplication::font();
  font.setPointSize(10);
  const QFontMetrics fm(font);
  for (int width : {2000, 960, 640, 320, 120}) {
    SCOPED_TRACE(width);
    const QStringList lines = StatusLines(snap, font, width);
    ASSERT_FALSE(lines.isEmpty());
    for (const QString &line : lines)
      EXPECT_LE(fm.horizontalAdvance(line), width) << line.toStdString();
    const QString all = lines.join(QLatin1Char(' '));
    if (width >= 640) {
      EXPECT_TRUE(all.contains(QStringLiteral("emergency key PRESSED"))) << all.toStdString();
      EXPECT_TRUE(all.contains(QStringLiteral("charge "))) << all.toStdString();
      EXPECT_TRUE(all.contains(QStringLiteral("q quit"))) << all.toStdString();
    }
  }
  EXPECT_EQ(StatusLines(snap, font, 2000).size(), 1);
  EXPECT_GT(StatusLines(snap, font, 320).size(), 2);
}

// Text drawn past the right margin would be cut at the window's edge:
// the columns there stay background in the text rows.
TEST(SimulatorView, NothingIsDrawnIntoTheRightMargin) {
  robotsim::RobotSimulator sim(Offline());
  BusiestSnapshot(sim);
  auto view = robotsim::MakeRoomView(sim);
  for (int width : {960, 640}) {
    SCOPED_TRACE(width);
    view->resize(width, 480);
    const QImage image = view->grab().toImage();
    const QRgb background = image.pixel(image.width() - 1, 0);
    int stray = 0;
    for (int y = 0; y < 60; ++y)
      for (int x = image.width() - 8; x < image.width(); ++x)
        stray += image.pixel(x, y) != background;
    EXPECT_EQ(stray, 0);
  }
}

} // namespace
