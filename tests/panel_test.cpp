// The panel's dialog, driven as the operator drives it (offscreen), and its
// one-shot commands against the robot simulator running in this process on
// the controller's ports at 127.0.0.1.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "about_dialog.h"
#include "panel_dialog.h"
#include "robot_ports.h"
#include "simulator.h"
#include "status_lamp.h"

namespace {

[[maybe_unused]] const testing::Environment *const kOwnPorts =
    testing::AddGlobalTestEnvironment(new OwnRobotPorts);

// Pixels for dialog units, worked out here from the dialog's own font the
// way dialog templates do it, independently of the panel's builder.
struct Units {
  explicit Units(const QFont &font) {
    const QFontMetrics fm(font);
    const int w = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    cx = (w / 26 + 1) / 2;
    cy = fm.height();
  }
  static int Round(int v, int base, int div) { return (v * base + div / 2) / div; }
  int X(int u) const { return Round(u, cx, 4); }
  int Y(int u) const { return Round(u, cy, 8); }
  QRect Rect(int x, int y, int w, int h) const {
    return QRect(QPoint(X(x), Y(y)), QPoint(X(x + w) - 1, Y(y + h) - 1));
  }
  int cx = 0;
  int cy = 0;
};

enum class Kind { Button, Edit, Bar, Lamp };

struct Expected {
  int id;
  Kind kind;
  const char *caption;
  int x, y, w, h;
  bool enabled;
  bool visible;
};

// A representative set across every group, as the operator sees it.
const Expected kExpected[] = {
    {1091, Kind::Lamp, "", 79, 19, 13, 15, true, true},
    {1047, Kind::Button, " Off Mode", 105, 55, 42, 14, true, true},
    {1048, Kind::Button, "Stop Mode", 105, 70, 42, 14, true, true},
    {1019, Kind::Bar, "", 49, 107, 66, 12, true, true},
    {1003, Kind::Edit, "", 118, 107, 19, 12, false, true},
    {1007, Kind::Edit, "", 118, 203, 19, 12, false, true},
    {1016, Kind::Edit, "", 18, 262, 40, 12, false, true},
    {1032, Kind::Edit, "", 92, 313, 54, 12, false, true},
    {1033, Kind::Edit, "", 18, 364, 40, 14, true, true},
    {1040, Kind::Button, "Write ( x,y )", 17, 381, 58, 14, true, true},
    {1041, Kind::Button, "Write ( x,y,theta )", 80, 381, 66, 14, true, true},
    {1067, Kind::Edit, "", 241, 25, 41, 14, false, true},
    {1076, Kind::Button, "Drive Down", 165, 96, 50, 14, true, true},
    {1089, Kind::Button, "RX64 Down", 165, 192, 50, 14, true, true},
    {1088, Kind::Button, "LCD Down", 165, 208, 50, 14, true, true},
    {1102, Kind::Lamp, "", 217, 96, 12, 12, true, false},
    {1112, Kind::Lamp, "", 217, 209, 12, 12, true, false},
    {1111, Kind::Lamp, "", 288, 128, 12, 12, true, false},
    {1012, Kind::Button, "F", 222, 239, 23, 22, true, true},
    {1013, Kind::Button, "L", 198, 259, 24, 23, true, true},
    {1037, Kind::Button, "B", 222, 281, 23, 22, true, true},
    {1027, Kind::Edit, "", 317, 72, 67, 14, true, true},
    {1028, Kind::Button, "IP Set", 386, 72, 32, 14, true, true},
    {1026, Kind::Button, "USonic Enable", 316, 92, 102, 14, true, true},
    {1042, Kind::Button, "Drive Pos Enable", 316, 134, 102, 14, true, true},
    {1075, Kind::Button, "Power Module Enable", 316, 149, 102, 14, true, true},
    {1098, Kind::Lamp, "", 400, 239, 12, 12, true, true},
};

const int kTabOrder[] = {1012, 1013, 1014, 1026, 1027, 1028, 1029, 1030, 1033, 1034, 1035,
                         1038, 1039, 1040, 1041, 1042, 1037, 1047, 1048, 1075, 1076, 1078,
                         1080, 1082, 1083, 1084, 1085, 1086, 1087, 1088, 1089, 1090};

const int kHiddenLamps[] = {1102, 1103, 1104, 1105, 1106, 1107, 1109, 1110, 1111, 1112, 1113, 1114};

QString Caption(PanelDialog &d, int id) { return d.button(id)->text(); }

// Runs `check` on the next modal dialog once it is up; `check` must close
// it. Gives up (and fails) after a bounded number of turns of the loop.
void OnNextModal(std::function<void(QWidget *)> check, bool *ran, int turnsLeft = 200) {
  QTimer::singleShot(0, [check, ran, turnsLeft] {
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && qobject_cast<AboutDialog *>(modal)) {
      *ran = true;
      check(modal);
    } else if (turnsLeft > 0) {
      OnNextModal(check, ran, turnsLeft - 1);
    }
  });
}

TEST(PanelDialogLayout, ControlsSitWhereTheTemplateSaysWithTheirKindsAndCaptions) {
  PanelDialog d;
  d.show();
  const Units u(d.font());
  ASSERT_GT(u.cx, 0);
  ASSERT_GT(u.cy, 0);

  // A main window of its own, with a task-bar entry, not a dialog box.
  EXPECT_EQ(d.windowType(), Qt::Window);
  EXPECT_TRUE(d.isWindow());
  EXPECT_EQ(d.parentWidget(), nullptr);
  ASSERT_NE(d.windowHandle(), nullptr);
  EXPECT_EQ(d.windowHandle()->type(), Qt::Window);
  EXPECT_EQ(d.windowTitle(), QStringLiteral("SKARVEL V1.0"));
  EXPECT_EQ(d.font().families().value(0), QStringLiteral("굴림"));
  EXPECT_EQ(d.font().pointSize(), 9);
  EXPECT_EQ(d.size(), QSize(u.X(430), u.Y(419)));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());
  EXPECT_FALSE(d.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(d.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(d.windowIcon().isNull());

  for (const Expected &e : kExpected) {
    SCOPED_TRACE(e.id);
    QWidget *w = d.control(e.id);
    ASSERT_NE(w, nullptr);
    switch (e.kind) {
    case Kind::Button:
      ASSERT_NE(d.button(e.id), nullptr);
      EXPECT_EQ(d.button(e.id)->text(), QString::fromUtf8(e.caption));
      break;
    case Kind::Edit:
      ASSERT_NE(d.edit(e.id), nullptr);
      break;
    case Kind::Bar:
      ASSERT_NE(d.bar(e.id), nullptr);
      break;
    case Kind::Lamp:
      ASSERT_NE(d.lamp(e.id), nullptr);
      break;
    }
    EXPECT_EQ(w->geometry(), u.Rect(e.x, e.y, e.w, e.h));
    EXPECT_EQ(w->isEnabled(), e.enabled);
    EXPECT_EQ(w->isVisible(), e.visible);
    // Nothing lies on top of a control: a click at its centre reaches it.
    if (e.visible) {
      EXPECT_EQ(d.childAt(w->geometry().center()), w);
    }
  }

  // Every control is there, once, with the right kind.
  EXPECT_EQ(d.findChildren<QPushButton *>().size(), 28);
  EXPECT_EQ(d.findChildren<QLineEdit *>().size(), 20);
  EXPECT_EQ(d.findChildren<QProgressBar *>().size(), 7);
  EXPECT_EQ(d.findChildren<StatusLamp *>().size(), 20);
  for (int id = 1000; id < 1120; ++id) {
    if (d.lamp(id) == nullptr) continue;
    const bool hidden =
        std::find(std::begin(kHiddenLamps), std::end(kHiddenLamps), id) != std::end(kHiddenLamps);
    EXPECT_EQ(d.lamp(id)->isVisible(), !hidden) << id;
  }

  // The logo sits at its template position with the picture's own size.
  int logos = 0;
  for (QLabel *label : d.findChildren<QLabel *>()) {
    if (label->pixmap().isNull()) continue;
    ++logos;
    EXPECT_EQ(label->geometry(), QRect(u.X(310), u.Y(15), 198, 44));
  }
  EXPECT_EQ(logos, 1);

  // Labels keep their texts and places.
  struct LabelAt {
    const char *text;
    int x, y, w, h;
  };
  const LabelAt labels[] = {{"Emgency Stop ", 15, 23, 51, 8},
                            {"USonic 6 :", 12, 205, 34, 8},
                            {"Consumption Current", 168, 77, 70, 8},
                            {"PowerModule", 323, 239, 50, 8}};
  for (const LabelAt &l : labels) {
    int found = 0;
    for (QLabel *label : d.findChildren<QLabel *>())
      if (label->text() == QString::fromUtf8(l.text)) {
        ++found;
        EXPECT_EQ(label->geometry(), u.Rect(l.x, l.y, l.w, l.h)) << l.text;
      }
    EXPECT_EQ(found, 1) << l.text;
  }

  // Group boxes: eleven with captions and two empty ones; the ten raised
  // ones (all but the three inside "Motor Driver") carry a raised border
  // around their whole rectangle.
  std::multiset<QString> titles;
  for (QGroupBox *g : d.findChildren<QGroupBox *>())
    titles.insert(g->title());
  const std::multiset<QString> expectedTitles = {" Emergency ",
                                                 "Bumper",
                                                 "Ultra Sonic",
                                                 "Motor Driver",
                                                 " Odometry ",
                                                 " Encoder ",
                                                 "Set Odometry Position",
                                                 "Power Module",
                                                 " Drive Control",
                                                 "Command",
                                                 "Connect State",
                                                 "",
                                                 ""};
  EXPECT_EQ(titles, expectedTitles);
  std::vector<QRect> raised;
  for (QFrame *f : d.findChildren<QFrame *>())
    if (f->metaObject() == &QFrame::staticMetaObject && f->frameShadow() == QFrame::Raised)
      raised.push_back(f->geometry());
  EXPECT_EQ(raised.size(), 10u);
  EXPECT_NE(std::find(raised.begin(), raised.end(), u.Rect(309, 54, 114, 115)), raised.end());
  EXPECT_NE(std::find(raised.begin(), raised.end(), u.Rect(309, 259, 114, 153)), raised.end());
  EXPECT_EQ(std::find(raised.begin(), raised.end(), u.Rect(12, 340, 138, 60)), raised.end());
}

TEST(PanelDialogOpening, ShowsDefaultAddressEmptyFormEmptyBarsAndNoDefaultButton) {
  g_robotAddress.Set("stale");
  PanelDialog d;
  d.show();

  EXPECT_EQ(d.edit(1027)->text(), QStringLiteral(SKARVEL_DEFAULT_ROBOT_ADDRESS));
  EXPECT_EQ(d.m_robotIp, QStringLiteral(SKARVEL_DEFAULT_ROBOT_ADDRESS));
  EXPECT_EQ(*g_robotAddress.Get(), SKARVEL_DEFAULT_ROBOT_ADDRESS);
  for (int id : {1033, 1034, 1035})
    EXPECT_TRUE(d.edit(id)->text().isEmpty()) << id;
  EXPECT_TRUE(d.m_setX.isEmpty() && d.m_setY.isEmpty() && d.m_setTheta.isEmpty());

  for (int id = 1019; id <= 1025; ++id) {
    EXPECT_EQ(d.bar(id)->minimum(), 0) << id;
    EXPECT_EQ(d.bar(id)->maximum(), 150) << id;
    EXPECT_EQ(d.bar(id)->value(), 0) << id;
    EXPECT_FALSE(d.bar(id)->isTextVisible()) << id;
  }

  EXPECT_EQ(Caption(d, 1026), "USonic Enable");
  EXPECT_EQ(Caption(d, 1029), "Bumper Enable");
  EXPECT_EQ(Caption(d, 1030), "Emergency Enable");
  EXPECT_EQ(Caption(d, 1042), "Drive Pos Enable");
  EXPECT_EQ(Caption(d, 1075), "Power Module Enable");

  for (const std::atomic<bool> *flag :
       {&d.m_runPowerModule, &d.m_runForward, &d.m_runBackward, &d.m_runRight, &d.m_runLeft,
        &d.m_runStop, &d.m_runUltraSonic, &d.m_runBumper, &d.m_runDrivePos, &d.m_runEmergency})
    EXPECT_FALSE(flag->load());

  const auto buttons = d.findChildren<QPushButton *>();
  for (QPushButton *b : buttons) {
    EXPECT_FALSE(b->isDefault()) << b->text().toStdString();
    EXPECT_FALSE(b->autoDefault()) << b->text().toStdString();
  }
  EXPECT_EQ(d.focusWidget(), d.button(1012));
}

TEST(PanelDialogKeyboard, TabVisitsTheEnabledControlsInTheListedOrder) {
  PanelDialog d;
  d.show();
  std::vector<int> visited;
  QWidget *start = d.button(1012);
  QWidget *w = start;
  for (int steps = 0; steps < 1000; ++steps) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisible()) {
      int id = 0;
      for (int candidate = 1000; candidate < 1120 && id == 0; ++candidate)
        if (d.control(candidate) == w) id = candidate;
      visited.push_back(id);
    }
    w = w->nextInFocusChain();
    if (w == start) break;
  }
  EXPECT_EQ(visited, std::vector<int>(std::begin(kTabOrder), std::end(kTabOrder)));
}

TEST(PanelDialogKeyboard, EnterOutsideAButtonIsOkEnterOnAButtonClicksItEscapeCancels) {
  {
    PanelDialog d;
    d.show();
    d.edit(1027)->setFocus();
    d.edit(1027)->clear();
    QTest::keyClicks(d.edit(1027), "127.0.0.9");
    QTest::keyClicks(d.edit(1033), "12");
    QTest::keyClick(d.edit(1027), Qt::Key_Return);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.m_robotIp, "127.0.0.9");
    EXPECT_EQ(d.m_setX, "12");
    // Only "IP Set" changes the address in use.
    EXPECT_EQ(*g_robotAddress.Get(), SKARVEL_DEFAULT_ROBOT_ADDRESS);
  }
  {
    // Focus starts on "F": Enter clicks it and the panel stays open.
    PanelDialog d;
    d.show();
    d.setResult(-1);
    QSignalSpy forward(d.button(1012), &QPushButton::clicked);
    QSignalSpy left(d.button(1013), &QPushButton::clicked);
    QTest::keyClick(d.button(1012), Qt::Key_Return);
    EXPECT_EQ(forward.count(), 1);
    d.button(1013)->setFocus();
    QTest::keyClick(d.button(1013), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(left.count(), 1);
    EXPECT_EQ(forward.count(), 1);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(d.result(), -1);
  }
  {
    PanelDialog d;
    d.show();
    d.setResult(-1);
    d.edit(1033)->setFocus();
    QTest::keyClicks(d.edit(1033), "5");
    QTest::keyClick(d.edit(1033), Qt::Key_Escape);
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(d.m_setX.isEmpty()); // cancel reads nothing
  }
  {
    PanelDialog d;
    d.show();
    d.setResult(-1);
    EXPECT_TRUE(d.close());
    EXPECT_EQ(d.result(), QDialog::Rejected);
  }
}

TEST(PanelDialogSystemMenu, RightClickOffersAboutAfterASeparatorAndItOpensTheAboutBox) {
  PanelDialog d;
  d.show();
  const QPoint inside(5, d.height() - 5);
  QContextMenuEvent click(QContextMenuEvent::Mouse, inside, d.mapToGlobal(inside));
  QApplication::sendEvent(&d, &click);
  auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  const QList<QAction *> actions = menu->actions();
  ASSERT_GE(actions.size(), 2);
  QAction *about = actions.back();
  EXPECT_EQ(about->text(), QStringLiteral("Skarvel 정보(&A)..."));
  EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
  menu->hide();

  bool ran = false;
  OnNextModal(
      [&d](QWidget *box) {
        const Units u(box->font());
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Skarvel 정보"));
        EXPECT_EQ(box->windowType(), Qt::Dialog); // it belongs to the panel
        EXPECT_EQ(box->size(), QSize(u.X(235), u.Y(55)));
        EXPECT_EQ(box->parentWidget(), &d);
        bool versionShown = false;
        for (QLabel *label : box->findChildren<QLabel *>())
          if (label->text() == QStringLiteral("Skarvel 버전 1.0")) {
            versionShown = true;
            EXPECT_EQ(label->geometry(), u.Rect(40, 10, 119, 8));
          } else if (!label->pixmap().isNull()) {
            EXPECT_EQ(label->geometry(), QRect(u.X(11), u.Y(17), 32, 32));
          }
        EXPECT_TRUE(versionShown);
        const auto buttons = box->findChildren<QPushButton *>();
        ASSERT_EQ(buttons.size(), 1);
        EXPECT_EQ(buttons[0]->text(), QStringLiteral("확인"));
        EXPECT_TRUE(buttons[0]->isDefault());
        EXPECT_EQ(buttons[0]->geometry(), u.Rect(178, 7, 50, 14));
        buttons[0]->click();
      },
      &ran);
  about->trigger(); // returns once the About box is closed
  EXPECT_TRUE(ran);
  EXPECT_TRUE(d.isVisible());

  // The platform's low bits are ignored; Enter presses the box's default
  // button.
  ran = false;
  OnNextModal([](QWidget *box) { QTest::keyClick(box, Qt::Key_Return); }, &ran);
  d.OnSysCommand(PanelDialog::kAboutBoxCommand | 0x3);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(d.isVisible());

  // The other system command offered closes the panel as its close box does.
  d.setResult(-1);
  actions.front()->trigger();
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.result(), QDialog::Rejected);
}

// Blocks painted along the middle row of `image` in `colour`.
int Blocks(const QImage &image, QColor colour) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  const QRgb want = colour.rgb();
  int blocks = 0;
  bool inBlock = false;
  for (int x = 0; x < rgb.width(); ++x) {
    const bool filled = rgb.pixel(x, rgb.height() / 2) == want;
    if (filled && !inBlock) ++blocks;
    inBlock = filled;
  }
  return blocks;
}

// What the platform holds for `w` now: only painting that happened shows.
QImage OnScreen(const QWidget *w) {
  const QWidget *top = w->window();
  const QPoint at = w->mapTo(top, QPoint(0, 0));
  return top->screen()->grabWindow(top->winId(), at.x(), at.y(), w->width(), w->height()).toImage();
}

TEST(PanelDialogBars, EveryChangeOfValueRepaintsTheBarHoweverSmall) {
  PanelDialog d;
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  QProgressBar *bar = d.bar(1019);
  const QColor block = bar->palette().color(QPalette::Highlight);
  // The screen shows what a fresh painting of the bar shows (grab paints
  // anew), within a generous bound for the deferred repaint.
  const auto shown = [&] {
    QElapsedTimer clock;
    clock.start();
    while (Blocks(OnScreen(bar), block) != Blocks(bar->grab().toImage(), block) &&
           clock.elapsed() < 5000)
      QTest::qWait(5);
    return Blocks(OnScreen(bar), block);
  };

  ASSERT_EQ(shown(), 0);
  bar->setValue(11); // a fraction of a block's worth
  EXPECT_EQ(shown(), 1);

  bar->setValue(60);
  const int at60 = shown();
  ASSERT_GT(at60, 1);
  int differed = 0;
  for (int value : {49, 50, 55, 65, 70, 71, 60, 59, 61}) {
    SCOPED_TRACE(value);
    bar->setValue(value);
    const int fresh = Blocks(bar->grab().toImage(), block);
    EXPECT_EQ(shown(), fresh);
    differed += fresh != at60;
  }
  EXPECT_GE(differed, 4); // the readings really change the picture

  // Readings repaint their own controls only, and what is on the screen is
  // still the whole panel as a fresh painting shows it.
  const auto whole = [&] {
    return OnScreen(&d).convertToFormat(QImage::Format_RGB32) ==
           d.grab().toImage().convertToFormat(QImage::Format_RGB32);
  };
  for (int round = 0; round < 3; ++round) {
    for (int id = 1019; id <= 1025; ++id)
      d.bar(id)->setValue(round == 1 ? 150 : 3 * round + id % 7);
    for (int id : {1003, 1007, 1016, 1018, 1031, 1067, 1070})
      d.edit(id)->setText(QString::number(round == 1 ? -123456 : 7 * round + id));
    EXPECT_FALSE(whole()) << round; // not painted yet: the check can tell
    QElapsedTimer clock;
    clock.start();
    while (!whole() && clock.elapsed() < 5000)
      QTest::qWait(5);
    EXPECT_TRUE(whole()) << round;
  }
}

// Counts the queued calls that reach `target`.
class QueuedCallCounter : public QObject {
public:
  explicit QueuedCallCounter(QObject *target) { target->installEventFilter(this); }
  int count = 0;

protected:
  bool eventFilter(QObject *, QEvent *event) override {
    if (event->type() == QEvent::MetaCall) ++count;
    return false;
  }
};

TEST(PanelDialogReadings, OnlyChangedReadingsWakeThePanelAndEveryChangeShows) {
  PanelDialog d;
  d.show();
  QueuedCallCounter calls(&d);
  PanelThreads &threads = d.threads();
  const auto waitFor = [](const std::function<bool()> &done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000)
      QTest::qWait(5);
    return done();
  };
  // No robot: the Connect State lamps turn dark green once, then every
  // pass repeats the same states.
  ASSERT_TRUE(waitFor([&] { return d.lamp(1094)->rowY() == 16 && d.lamp(1094)->column() == 1; }));
  QTest::qWait(5 * int(PanelThreads::kPeriod.count()));
  const int settled = calls.count;
  QTest::qWait(5 * int(PanelThreads::kPeriod.count()));
  EXPECT_EQ(calls.count, settled);

  // Readings as a worker posts them: each change shows, a repeat is no news.
  struct Step {
    int id;
    int32_t value, row;
    bool change;
  };
  const Step steps[] = {{1003, 42, 0, true}, {1003, 42, 0, false}, {1003, 43, 0, true},
                        {1019, 43, 0, true}, {1019, 43, 0, false}, {1003, 42, 0, true},
                        {1091, 0, 0, true},  {1091, 0, 16, true},  {1091, 0, 16, false}};
  for (const Step &step : steps) {
    SCOPED_TRACE(step.id * 1000 + step.value);
    const int before = calls.count;
    threads.Show(step.id, step.value, step.row);
    threads.Deliver();
    if (step.change) {
      EXPECT_TRUE(waitFor([&] { return calls.count > before; }));
    } else {
      QTest::qWait(2 * int(PanelThreads::kFrame.count()));
      EXPECT_EQ(calls.count, before);
    }
    if (QLineEdit *edit = d.edit(step.id)) {
      EXPECT_TRUE(waitFor([&] { return edit->text() == QString::number(step.value); }));
    } else if (QProgressBar *bar = d.bar(step.id)) {
      EXPECT_TRUE(waitFor([&] { return bar->value() == step.value; }));
    } else {
      StatusLamp *lamp = d.lamp(step.id);
      EXPECT_TRUE(
          waitFor([&] { return lamp->rowY() == step.row && lamp->column() == step.value; }));
    }
  }
}

// Closes every message box that comes up while it lives and notes what it
// said: the boxes are modal, and the test goes on once each is closed.
class MessageBoxCloser {
public:
  struct Seen {
    QString title;
    QString text;
    Qt::TextFormat format;
  };
  MessageBoxCloser() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      seen.push_back({box->windowTitle(), box->text(), box->textFormat()});
      box->button(QMessageBox::Ok)->click();
    });
    timer_.start(5);
  }
  std::vector<Seen> seen;

private:
  QTimer timer_;
};

// --- Against the robot -----------------------------------------------------

class PanelAgainstRobot : public testing::Test {
protected:
  static void SetUpTestSuite() {
    robotsim::SimulatorOptions options;
    options.realtime = false; // nothing moves unless a command says so
    options.ports = OwnPorts(robotsim::kDefaultPorts);
    options.bind_address = "127.0.0.1";
    sim_ = std::make_unique<robotsim::RobotSimulator>(options);
    started_ = sim_->Start();
  }
  static void TearDownTestSuite() { sim_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(started_) << "the simulator could not take its ports";
    ASSERT_STREQ(SKARVEL_DEFAULT_ROBOT_ADDRESS, "127.0.0.1");
    d_ = std::make_unique<PanelDialog>();
    d_->show();
  }

  robotsim::WorldState State() const { return sim_->Take().state; }
  std::array<int32_t, 3> Position() const {
    std::array<int32_t, 3> p{};
    sim_->Modify([&p](robotsim::World &w) { p = w.PositionReading(); });
    return p;
  }
  void Type(int id, const char *text) { d_->edit(id)->setText(QString::fromUtf8(text)); }
  void Click(int id) { QTest::mouseClick(d_->button(id), Qt::LeftButton); }

  static std::unique_ptr<robotsim::RobotSimulator> sim_;
  static bool started_;
  std::unique_ptr<PanelDialog> d_;
};
std::unique_ptr<robotsim::RobotSimulator> PanelAgainstRobot::sim_;
bool PanelAgainstRobot::started_ = false;

TEST_F(PanelAgainstRobot, PowerSwitchSendsDownThenUpForItsModuleAndTheCaptionFollows) {
  struct Switch {
    int id;
    int module;
    const char *first;
    const char *afterDown;
    const char *afterUp;
  };
  const Switch switches[] = {
      {1076, 1, "Drive Down", "Drive Up", "Drive Down"},
      {1078, 2, "Sensor Down", "Sensor Up", "Sensor Down"},
      {1080, 3, "LRF Down", "LRF Up", "LRF Down"},
      {1082, 4, "SBC1 Down", "SBC1 Up", "SBC1 Down"},
      {1084, 5, "Gyro Down", "Gyro Up", "Gyro Down"},
      {1083, 6, "SG Down", "SG Up", "SG Down"},
      {1085, 7, "Spare1 Down", "Spare1 Up", "Spare1 Down"},
      {1087, 8, "Spare3 Down", "Spare3 Up", "Spare3 Down"},
      {1086, 9, "Spare2 Down", "Spare2 Up", "Spare2 Down"},
      {1088, 10, "LCD Down", "Lcd Up", "Lcd Down"},
      {1089, 11, "RX64 Down", "Rx64 Up", "Rx64 Down"},
      {1090, 12, "Spare4 Down", "Spare4 Up", "Spare4 Down"},
  };
  sim_->Modify([](robotsim::World &w) {
    for (int m = 1; m <= robotsim::kModuleCount; ++m)
      w.SetModule(m, true);
  });
  for (const Switch &s : switches) {
    SCOPED_TRACE(s.first);
    EXPECT_EQ(Caption(*d_, s.id), s.first);
    const auto before = State().module_on;
    const uint64_t downs = sim_->CallCount("PowerDown");
    const uint64_t ups = sim_->CallCount("PowerUp");

    Click(s.id);
    EXPECT_EQ(Caption(*d_, s.id), s.afterDown);
    EXPECT_EQ(sim_->CallCount("PowerDown"), downs + 1);
    auto expected = before;
    expected[s.module] = false;
    EXPECT_EQ(State().module_on, expected);

    Click(s.id);
    EXPECT_EQ(Caption(*d_, s.id), s.afterUp);
    EXPECT_EQ(sim_->CallCount("PowerUp"), ups + 1);
    EXPECT_EQ(State().module_on, before);
  }
  // Switching reports nothing back, not even the connect.
  EXPECT_EQ(d_->m_powerModule.m_connectStatus.load(), -1);
}

TEST_F(PanelAgainstRobot, OdometryWritesSendTheTypedNumbersAsAtoiReadsThem) {
  struct Case {
    const char *x, *y;
    int32_t wantX, wantY;
  };
  const Case cases[] = {
      {"", "", 0, 0},
      {"  -12abc", "+7", -12, 7},
      {"x5", " \t42 1", 0, 42},
      {"99999999999", "2147483648", INT32_MAX, INT32_MAX},
      {"-99999999999", "-2147483648", INT32_MIN, INT32_MIN},
      {"2147483647", "-", INT32_MAX, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.x) + "|" + c.y);
    sim_->Modify([](robotsim::World &w) { w.SetOdometry(500, 600, 45); });
    const uint64_t calls = sim_->CallCount("ChangePosition2");
    Type(1033, c.x);
    Type(1034, c.y);
    Type(1035, "90");
    Click(1040);
    EXPECT_EQ(sim_->CallCount("ChangePosition2"), calls + 1);
    const auto p = Position();
    EXPECT_EQ(p[0], c.wantX);
    EXPECT_EQ(p[1], c.wantY);
    EXPECT_EQ(p[2], 45); // the heading stays
    EXPECT_EQ(d_->m_setX, QString::fromUtf8(c.x));
  }

  const uint64_t calls = sim_->CallCount("ChangePosition");
  Type(1033, "1");
  Type(1034, "-2");
  Type(1035, "30deg");
  Click(1041);
  EXPECT_EQ(sim_->CallCount("ChangePosition"), calls + 1);
  EXPECT_EQ(Position(), (std::array<int32_t, 3>{1, -2, 30}));
  EXPECT_EQ(d_->m_motorDriver.m_connectStatus.load(), 0);
}

TEST_F(PanelAgainstRobot, ServoAndBumperModeButtonsReachTheRobot) {
  Click(1039);
  EXPECT_FALSE(State().servo_on);
  EXPECT_EQ(d_->m_motorDriver.m_connectStatus.load(), 0);
  Click(1038);
  EXPECT_TRUE(State().servo_on);

  Click(1047);
  EXPECT_FALSE(State().bumper_dir_mode);
  EXPECT_EQ(d_->m_bumper.m_connectStatus.load(), 0);
  Click(1048);
  EXPECT_TRUE(State().bumper_dir_mode);
  EXPECT_EQ(Caption(*d_, 1047), " Off Mode");
  EXPECT_EQ(Caption(*d_, 1048), "Stop Mode");
}

TEST_F(PanelAgainstRobot, IpSetRefusesAllButStrictDottedAddressesAndKeepsTheOneInUse) {
  MessageBoxCloser boxes;
  Click(1039);
  ASSERT_EQ(d_->m_motorDriver.m_connectStatus.load(), 0);
  const std::string rejected[] = {
      "",
      "robot",
      "300.1.1.1",
      "127.1",
      "127.000.000.001",
      "0x7f.0.0.1",
      "127.0.0.01",
      " 127.0.0.1",
      "127.0.0.1 ",
      "127.0.0.1 junk",
      "127.0.0.1.",
      "127.0.0.1.0",
      "127..0.1",
      "127.0.0.1\n",
      "+127.0.0.1",
      "127.0.0.256",
      "<b>127.0.0.1</b>",
      std::string("127.0.0.1\0junk", 14),
  };
  for (const std::string &text : rejected) {
    const QString typed = QString::fromUtf8(text.data(), qsizetype(text.size()));
    SCOPED_TRACE(typed.toStdString());
    const size_t before = boxes.seen.size();
    d_->edit(1027)->setText(typed);
    Click(1028);
    ASSERT_EQ(boxes.seen.size(), before + 1);
    const MessageBoxCloser::Seen &box = boxes.seen.back();
    EXPECT_EQ(box.title, "Skarvel");
    EXPECT_TRUE(box.text.contains("\"" + typed + "\"")) << box.text.toStdString();
    EXPECT_EQ(box.format, Qt::PlainText);
    EXPECT_EQ(*g_robotAddress.Get(), "127.0.0.1");
    // The robot is still reached at the address in use.
    const uint64_t calls = sim_->CallCount("ServoOff");
    d_->m_motorDriver.m_connectStatus.store(-1);
    Click(1039);
    EXPECT_EQ(sim_->CallCount("ServoOff"), calls + 1);
    EXPECT_EQ(d_->m_motorDriver.m_connectStatus.load(), 0);
  }

  // A valid address is stored as typed, without a word.
  const size_t boxesBefore = boxes.seen.size();
  for (const char *address : {"127.0.0.2", "127.0.0.1"}) {
    Type(1027, address);
    Click(1028);
    EXPECT_EQ(*g_robotAddress.Get(), address);
    EXPECT_EQ(d_->m_robotIp, address);
  }
  EXPECT_EQ(boxes.seen.size(), boxesBefore);
  const uint64_t calls = sim_->CallCount("ServoOff");
  Click(1039);
  EXPECT_EQ(d_->m_motorDriver.m_connectStatus.load(), 0);
  EXPECT_EQ(sim_->CallCount("ServoOff"), calls + 1);

  // The same rule for a caller that sets the address directly: a refusal
  // changes nothing, an address shows in the edit as if typed.
  EXPECT_FALSE(d_->SetRobotAddress("127.1"));
  EXPECT_EQ(*g_robotAddress.Get(), "127.0.0.1");
  EXPECT_TRUE(d_->SetRobotAddress("127.0.0.3"));
  EXPECT_EQ(d_->edit(1027)->text(), "127.0.0.3");
  EXPECT_EQ(*g_robotAddress.Get(), "127.0.0.3");
  EXPECT_EQ(boxes.seen.size(), boxesBefore);
}

} // namespace
