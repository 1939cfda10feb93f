// The panel at work: its worker threads, Enable toggles and hold-to-drive
// control, driven as the operator drives them (offscreen) against the robot
// simulator running in this process on ports of the test's own at
// 127.0.0.1. Nothing here waits a fixed time: every wait is for a condition,
// bounded, with the user-interface thread's events processed meanwhile.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <array>
#include <cmath>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <thread>

#include "fake_service.h"
#include "panel_dialog.h"
#include "robot_ports.h"
#include "simulator.h"
#include "status_lamp.h"

namespace {

[[maybe_unused]] const testing::Environment *const kOwnPorts =
    testing::AddGlobalTestEnvironment(new OwnRobotPorts);

constexpr int kWaitMs = 10000;

// Waits for `condition`, processing events, for at most kWaitMs.
bool WaitUntil(const std::function<bool()> &condition) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > kWaitMs) return condition();
    QTest::qWait(5);
  }
  return true;
}

bool LampShows(const StatusLamp *lamp, int row, int column) {
  return lamp->rowY() == row && lamp->column() == column && lamp->extraY() == 0;
}
constexpr int kRed = 0;
constexpr int kGreen = 16;
constexpr int kBright = 0;
constexpr int kDark = 1;

// Connect State lamps, each with the service it shows.
constexpr int kConnectLamps[] = {1094, 1095, 1096, 1097, 1098};

int ProcessThreads() {
  int n = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
}

// Checks and dismisses the next "create fail" box once it is up; `seen`
// tells whether it came. Gives up after a bounded number of looks.
void DismissNextFailureBox(bool *seen, int looksLeft = 500) {
  QTimer::singleShot(10, [seen, looksLeft] {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (box == nullptr) {
      if (looksLeft > 0) DismissNextFailureBox(seen, looksLeft - 1);
      return;
    }
    *seen = true;
    EXPECT_EQ(box->text(), QStringLiteral("create fail : sensor control thread"));
    EXPECT_EQ(box->windowTitle(), QApplication::applicationName());
    EXPECT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
  });
}

class PanelLive : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_STREQ(SKARVEL_DEFAULT_ROBOT_ADDRESS, "127.0.0.1");
    StartRobot();
    baseThreads_ = ProcessThreads();
    d_ = std::make_unique<PanelDialog>();
    d_->show();
  }
  void TearDown() override {
    d_.reset();
    sim_.reset();
  }

  void StartRobot(
      std::array<int32_t, robotsim::kServiceCount> ports = OwnPorts(robotsim::kDefaultPorts)) {
    robotsim::SimulatorOptions options;
    options.realtime = false; // the robot moves only when a test advances it
    options.ports = ports;
    options.bind_address = "127.0.0.1";
    sim_ = std::make_unique<robotsim::RobotSimulator>(options);
    ASSERT_TRUE(sim_->Start()) << "the simulator could not take its ports";
  }

  robotsim::WorldState State() const { return sim_->Take().state; }
  StatusLamp *Lamp(int id) const { return d_->lamp(id); }
  QString Text(int id) const { return d_->edit(id)->text(); }
  QString Caption(int id) const { return d_->button(id)->text(); }
  void Click(int id) { QTest::mouseClick(d_->button(id), Qt::LeftButton); }
  bool Running(PanelThread kind) const { return d_->threads().Running(kind); }

  bool AllConnectLamps(int column) const {
    for (int id : kConnectLamps)
      if (!LampShows(Lamp(id), kGreen, column)) return false;
    return true;
  }

  // Waits until the robot has received `count` more velocity commands, the
  // latest of them (left, right).
  bool WaitForVelocity(int32_t left, int32_t right, int count = 3) {
    const int64_t from = State().velocity_commands;
    return WaitUntil([&] {
      const robotsim::WorldState s = State();
      return s.velocity_commands >= from + count && s.last_velocity_left == left &&
             s.last_velocity_right == right;
    });
  }

  void Press(int id) { QTest::mousePress(d_->button(id), Qt::LeftButton); }
  void Release(int id) { QTest::mouseRelease(d_->button(id), Qt::LeftButton); }

  void SwitchAllPollingsOn() {
    for (int id : {1026, 1029, 1030, 1042, 1075})
      Click(id);
  }

  int baseThreads_ = 0; // the process's threads with the robot but no panel
  std::unique_ptr<robotsim::RobotSimulator> sim_;
  std::unique_ptr<PanelDialog> d_;
};

// --- Connect State lamps ----------------------------------------------------

TEST_F(PanelLive, ConnectLampsFollowEachServiceGoDarkWhenUnreachableOrSwitchedOffAndRecover) {
  // No proxy has connected yet: all dark green within the first pass.
  EXPECT_TRUE(Running(PanelThread::ConnectState));
  EXPECT_TRUE(WaitUntil([&] { return AllConnectLamps(kDark); }));

  SwitchAllPollingsOn();
  EXPECT_TRUE(WaitUntil([&] { return AllConnectLamps(kBright); }));

  // The robot goes away: every lamp turns dark, without operator action.
  sim_.reset();
  EXPECT_TRUE(WaitUntil([&] { return AllConnectLamps(kDark); }));

  // It comes back on the same ports: the lamps light again by themselves.
  StartRobot();
  EXPECT_TRUE(WaitUntil([&] { return AllConnectLamps(kBright); }));

  // Switching one polling off darkens its lamp only, although the robot
  // answers; switching it on again lights it at its first call.
  Click(1029);
  EXPECT_TRUE(WaitUntil(
      [&] { return LampShows(Lamp(1095), kGreen, kDark) && !Running(PanelThread::Bumper); }));
  for (int id : {1094, 1096, 1097, 1098})
    EXPECT_TRUE(LampShows(Lamp(id), kGreen, kBright)) << id;
  Click(1029);
  EXPECT_TRUE(WaitUntil([&] { return LampShows(Lamp(1095), kGreen, kBright); }));

  // With every polling off the lamps stay dark while the thread goes on.
  SwitchAllPollingsOn();
  EXPECT_TRUE(WaitUntil([&] { return AllConnectLamps(kDark); }));
  EXPECT_TRUE(Running(PanelThread::ConnectState));
}

// --- Enable toggles ---------------------------------------------------------

TEST_F(PanelLive, UltraSonicToggleShowsTheRangesFillsBarsBeyondTheScaleAndKeepsTheLastValues) {
  const int edits[] = {1003, 1004, 1008, 1005, 1009, 1006, 1007};
  EXPECT_EQ(Caption(1026), "USonic Enable");
  Click(1026);
  EXPECT_EQ(Caption(1026), "USonic Disable");
  EXPECT_EQ(d_->m_ultraSonicOn, 1);
  EXPECT_TRUE(d_->m_runUltraSonic.load());
  EXPECT_TRUE(Running(PanelThread::UltraSonic));

  // The robot stands still, so every reading lies within the sensor noise of
  // the true range (capped at the sensor's reach).
  const auto truth = sim_->Take().sonar_m;
  auto shown = [&](int i, int *cm) {
    bool ok = false;
    *cm = Text(edits[i]).toInt(&ok);
    return ok;
  };
  ASSERT_TRUE(WaitUntil([&] {
    for (int i = 0; i < 7; ++i) {
      int cm = 0;
      const double want = std::min(truth[i] * 100.0, double(robotsim::kSonarMaxCm));
      if (!shown(i, &cm) || std::fabs(cm - want) > 2.0) return false;
    }
    return true;
  }));
  int beyondScale = 0;
  for (int i = 0; i < 7; ++i) {
    int cm = 0;
    ASSERT_TRUE(shown(i, &cm));
    EXPECT_EQ(d_->bar(1019 + i)->value(), std::min(cm, 150)) << i;
    if (cm > 150) {
      ++beyondScale;
      EXPECT_EQ(d_->bar(1019 + i)->value(), d_->bar(1019 + i)->maximum());
    }
  }
  EXPECT_GT(beyondScale, 0); // the room is wider than the bars' scale

  // Off and on again before the thread has looked: still one thread.
  const int threads = ProcessThreads();
  Click(1026);
  Click(1026);
  EXPECT_EQ(ProcessThreads(), threads);
  EXPECT_TRUE(Running(PanelThread::UltraSonic));
  EXPECT_EQ(Caption(1026), "USonic Disable");

  // The robot stops answering: the lamp goes dark, the values stay.
  sim_.reset();
  ASSERT_TRUE(WaitUntil([&] { return LampShows(Lamp(1094), kGreen, kDark); }));
  QStringList last;
  for (int id : edits)
    last << Text(id);
  for (int pass = 0; pass < 2; ++pass) {
    // Each failed call stores -1 again: proof that a pass ran meanwhile.
    d_->m_ultraSonic.m_connectStatus.store(0);
    ASSERT_TRUE(WaitUntil([&] { return d_->m_ultraSonic.m_connectStatus.load() == -1; }));
  }
  QTest::qWait(0);
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(Text(edits[i]), last[i]) << edits[i];

  Click(1026);
  EXPECT_EQ(Caption(1026), "USonic Enable");
  EXPECT_EQ(d_->m_ultraSonicOn, 0);
  EXPECT_FALSE(d_->m_runUltraSonic.load());
  EXPECT_TRUE(WaitUntil([&] { return !Running(PanelThread::UltraSonic); }));
}

TEST_F(PanelLive, UltraSonicBarsShowOutOfScaleRangesAtTheirEndsAndEditsTheTrueNumbers) {
  // A scripted ultrasonic service in place of the simulator's.
  auto ports = OwnPorts(robotsim::kDefaultPorts);
  ports[static_cast<size_t>(robotsim::Service::UltraSonic)] = 0;
  sim_.reset();
  StartRobot(ports);
  FakeService sonar(ServicePort(RobotPort::UltraSonic));
  sonar.Answer(FakeService::Reply::Bytes,
               FakeService::Response(FakeService::Ints({100, 100, 100, 100, 100, 100, 100, 1})));
  Click(1026);
  ASSERT_TRUE(WaitUntil([&] {
    for (int id = 1019; id <= 1025; ++id)
      if (d_->bar(id)->value() != 100) return false;
    return true;
  }));

  sonar.Answer(FakeService::Reply::Bytes, FakeService::Response(FakeService::Ints(
                                              {-7, 151, 150, 0, INT32_MAX, INT32_MIN, 75, 9})));
  const int edits[] = {1003, 1004, 1008, 1005, 1009, 1006, 1007};
  const char *texts[] = {"-7", "151", "150", "0", "2147483647", "-2147483648", "75"};
  const int bars[] = {0, 150, 150, 0, 150, 0, 75};
  ASSERT_TRUE(WaitUntil([&] { return Text(1007) == "75"; }));
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Text(edits[i]), texts[i]) << edits[i];
    EXPECT_EQ(d_->bar(1019 + i)->value(), bars[i]) << 1019 + i;
  }
  EXPECT_TRUE(LampShows(Lamp(1094), kGreen, kBright));
}

TEST_F(PanelLive, BumperAndEmergencyLampsLightBrightRedForAnyNonZeroValue) {
  EXPECT_EQ(Caption(1029), "Bumper Enable");
  EXPECT_EQ(Caption(1030), "Emergency Enable");
  Click(1029);
  Click(1030);
  EXPECT_EQ(Caption(1029), "Bumper Disable");
  EXPECT_EQ(Caption(1030), "Emergency Disable");
  EXPECT_TRUE(WaitUntil([&] {
    return LampShows(Lamp(1092), kRed, kDark) && LampShows(Lamp(1093), kRed, kDark) &&
           LampShows(Lamp(1091), kRed, kDark) && LampShows(Lamp(1095), kGreen, kBright) &&
           LampShows(Lamp(1097), kGreen, kBright);
  }));

  // Touching the west wall with the left front only: the robot faces
  // north-west.
  ASSERT_TRUE(sim_->Take().state.bumper_left == false);
  bool placed = false;
  sim_->Modify([&](robotsim::World &w) {
    placed = w.PlaceRobot({robotsim::kRobotRadius + 0.001, 2.0, 0.75 * std::numbers::pi});
  });
  ASSERT_TRUE(placed);
  ASSERT_TRUE(State().bumper_left && !State().bumper_right);
  sim_->SetEmergencyKey(true);
  EXPECT_TRUE(WaitUntil([&] {
    return LampShows(Lamp(1092), kRed, kBright) && LampShows(Lamp(1093), kRed, kDark) &&
           LampShows(Lamp(1091), kRed, kBright);
  }));

  // Head-on: both bumpers; the key released again.
  sim_->Modify([&](robotsim::World &w) {
    placed = w.PlaceRobot({robotsim::kRobotRadius + 0.001, 2.0, std::numbers::pi});
  });
  ASSERT_TRUE(placed);
  sim_->SetEmergencyKey(false);
  EXPECT_TRUE(WaitUntil([&] {
    return LampShows(Lamp(1092), kRed, kBright) && LampShows(Lamp(1093), kRed, kBright) &&
           LampShows(Lamp(1091), kRed, kDark);
  }));

  // Any non-zero key state counts, not only 1.
  Click(1030);
  EXPECT_TRUE(WaitUntil([&] { return !Running(PanelThread::Emergency); }));
  sim_.reset();
  {
    auto ports = OwnPorts(robotsim::kDefaultPorts);
    ports[static_cast<size_t>(robotsim::Service::EmergencyKey)] = 0;
    StartRobot(ports);
    FakeService key(ServicePort(RobotPort::Emergency));
    key.Answer(FakeService::Reply::Bytes, FakeService::Response(FakeService::Ints({-3})));
    Click(1030);
    EXPECT_EQ(Caption(1030), "Emergency Disable");
    EXPECT_TRUE(WaitUntil([&] { return LampShows(Lamp(1091), kRed, kBright); }));
    Click(1030);
    EXPECT_TRUE(WaitUntil([&] { return !Running(PanelThread::Emergency); }));
  }
  EXPECT_EQ(Caption(1030), "Emergency Enable");
}

TEST_F(PanelLive, DrivePosToggleShowsOdometryAndEncoders) {
  // Some wheel travel first, so that the encoders have counted.
  sim_->Modify([](robotsim::World &w) { w.VelocityControl(300, 100); });
  sim_->Advance(0.4);
  sim_->Modify([](robotsim::World &w) { w.SetOdometry(1234, -567, 89); });
  std::array<int32_t, 2> encoders{};
  sim_->Modify([&](robotsim::World &w) { encoders = w.EncoderReading(); });
  ASSERT_NE(encoders[0], 0);
  ASSERT_NE(encoders[0], encoders[1]);

  EXPECT_EQ(Caption(1042), "Drive Pos Enable");
  Click(1042);
  EXPECT_EQ(Caption(1042), "Drive Pos Disable");
  EXPECT_TRUE(WaitUntil([&] {
    return Text(1016) == "1234" && Text(1017) == "-567" && Text(1018) == "89" &&
           Text(1031) == QString::number(encoders[0]) && Text(1032) == QString::number(encoders[1]);
  }));
  EXPECT_TRUE(WaitUntil([&] { return LampShows(Lamp(1096), kGreen, kBright); }));

  Click(1042);
  EXPECT_EQ(Caption(1042), "Drive Pos Enable");
  EXPECT_TRUE(WaitUntil(
      [&] { return !Running(PanelThread::DrivePos) && LampShows(Lamp(1096), kGreen, kDark); }));
}

// A reading that repeats shows again once something else has changed its
// control; the drive thread shows the position before its encoder call.
TEST_F(PanelLive, RepeatedReadingsReturnAfterOutsideChangesAndThePositionPrecedesTheEncoders) {
  auto ports = OwnPorts(robotsim::kDefaultPorts);
  ports[static_cast<size_t>(robotsim::Service::UltraSonic)] = 0;
  ports[static_cast<size_t>(robotsim::Service::MotorDriver)] = 0;
  sim_.reset();
  StartRobot(ports);
  FakeService sonar(ServicePort(RobotPort::UltraSonic));
  sonar.Answer(FakeService::Reply::Bytes,
               FakeService::Response(FakeService::Ints({100, 100, 100, 100, 100, 100, 100, 1})));
  // The position, then an encoder call left unanswered until it times out.
  FakeService motor(ServicePort(RobotPort::MotorDriver));
  motor.AnswerInTurn(
      {{FakeService::Reply::Bytes, FakeService::Response(FakeService::Ints({11, 22, 33}))},
       {FakeService::Reply::Silent, ""}});

  const auto readingsShown = [&] {
    for (int id = 1019; id <= 1025; ++id)
      if (d_->bar(id)->value() != 100) return false;
    return Text(1003) == "100" && LampShows(Lamp(1094), kGreen, kBright);
  };
  Click(1026);
  ASSERT_TRUE(WaitUntil(readingsShown));
  d_->InitUltraSonicBars();
  d_->edit(1003)->setText("edited");
  std::thread([&] { Lamp(1094)->SetLamp(kGreen, kDark, 0); }).join();
  ASSERT_FALSE(readingsShown());
  EXPECT_TRUE(WaitUntil(readingsShown));

  // A panel whose drive thread is the only one to deliver (no Connect State
  // thread, no other polling), and what its encoder edit holds once the
  // delivery that showed the position has been applied whole.
  d_.reset();
  PanelThreads::FailCreationForTesting(PanelThread::ConnectState, true);
  bool told = false;
  DismissNextFailureBox(&told);
  d_ = std::make_unique<PanelDialog>();
  PanelThreads::FailCreationForTesting(PanelThread::ConnectState, false);
  ASSERT_TRUE(told);
  d_->show();
  bool looked = false;
  std::string encoderBeside;
  QObject::connect(d_->edit(1016), &QLineEdit::textChanged, d_.get(), [&](const QString &text) {
    if (text != "11" || looked) return;
    QTimer::singleShot(0, d_.get(), [&] {
      encoderBeside = Text(1031).toStdString();
      looked = true;
    });
  });
  ASSERT_EQ(Text(1031), "");
  Click(1042);
  ASSERT_TRUE(WaitUntil([&] { return looked; }));
  EXPECT_EQ(Text(1017), "22");
  EXPECT_EQ(encoderBeside, "") << "the position waited for the encoder call";
  EXPECT_TRUE(WaitUntil([&] { return Text(1031) == "0"; })) << "the encoders follow";
}

TEST_F(PanelLive, PowerModuleToggleShowsBatteryFiguresAndModuleStatesOnHiddenLamps) {
  sim_->Modify([](robotsim::World &w) {
    w.SetModule(static_cast<int32_t>(robotsim::Module::Drive), false);
    w.SetModule(static_cast<int32_t>(robotsim::Module::Lcd), false);
  });
  std::array<int32_t, 16> status{};
  sim_->Modify([&](robotsim::World &w) { status = w.PowerReading(); });

  EXPECT_EQ(Caption(1075), "Power Module Enable");
  Click(1075);
  EXPECT_EQ(Caption(1075), "Power Module Disable");
  EXPECT_TRUE(WaitUntil([&] {
    return Text(1067) == QString::number(status[0]) && Text(1068) == QString::number(status[1]) &&
           Text(1069) == QString::number(status[2]) && Text(1070) == QString::number(status[3]);
  }));
  // Lamp -> module state (0 on: bright, 1 down: dark).
  const std::pair<int, int> lamps[] = {{1102, kDark},   {1103, kBright}, {1104, kBright},
                                       {1105, kBright}, {1106, kBright}, {1107, kBright},
                                       {1114, kBright}, {1112, kDark}};
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto &[id, column] : lamps)
      if (!LampShows(Lamp(id), kRed, column)) return false;
    return true;
  }));
  for (const auto &[id, column] : lamps)
    EXPECT_FALSE(Lamp(id)->isVisible()) << id;
  // The spare modules' lamps are never set.
  for (int id : {1109, 1110, 1111, 1113})
    EXPECT_TRUE(LampShows(Lamp(id), kRed, kDark)) << id;
  EXPECT_TRUE(WaitUntil([&] { return LampShows(Lamp(1098), kGreen, kBright); }));
}

TEST(PanelThreadFailure, TogglesThatCannotStartTheirThreadReportItAndKeepTheirOwnState) {
  const int base = ProcessThreads();
  {
    // The opening reports it once and the Connect State lamps keep their
    // first look.
    PanelThreads::FailCreationForTesting(PanelThread::ConnectState, true);
    bool seen = false;
    DismissNextFailureBox(&seen);
    PanelDialog d;
    PanelThreads::FailCreationForTesting(PanelThread::ConnectState, false);
    EXPECT_TRUE(seen);
    d.show();
    EXPECT_FALSE(d.threads().Running(PanelThread::ConnectState));
    EXPECT_EQ(ProcessThreads(), base);
    for (int id : kConnectLamps)
      EXPECT_TRUE(LampShows(d.lamp(id), kRed, kDark)) << id;
  }

  PanelDialog d;
  d.show();

  // Ultrasonic: the toggle switches on only once its thread exists.
  PanelThreads::FailCreationForTesting(PanelThread::UltraSonic, true);
  bool seen = false;
  DismissNextFailureBox(&seen);
  QTest::mouseClick(d.button(1026), Qt::LeftButton);
  EXPECT_TRUE(seen);
  EXPECT_EQ(d.button(1026)->text(), "USonic Enable");
  EXPECT_EQ(d.m_ultraSonicOn, 0);
  EXPECT_FALSE(d.threads().Running(PanelThread::UltraSonic));
  PanelThreads::FailCreationForTesting(PanelThread::UltraSonic, false);
  QTest::mouseClick(d.button(1026), Qt::LeftButton);
  EXPECT_EQ(d.button(1026)->text(), "USonic Disable");
  EXPECT_EQ(d.m_ultraSonicOn, 1);
  EXPECT_TRUE(d.threads().Running(PanelThread::UltraSonic));

  // Bumper: switched on first, and it stays so although nothing polls; the
  // next click switches it off.
  PanelThreads::FailCreationForTesting(PanelThread::Bumper, true);
  seen = false;
  DismissNextFailureBox(&seen);
  QTest::mouseClick(d.button(1029), Qt::LeftButton);
  PanelThreads::FailCreationForTesting(PanelThread::Bumper, false);
  EXPECT_TRUE(seen);
  EXPECT_EQ(d.button(1029)->text(), "Bumper Disable");
  EXPECT_EQ(d.m_bumperOn, 1);
  EXPECT_TRUE(d.m_runBumper.load());
  EXPECT_FALSE(d.threads().Running(PanelThread::Bumper));
  QTest::mouseClick(d.button(1029), Qt::LeftButton);
  EXPECT_EQ(d.button(1029)->text(), "Bumper Enable");
  EXPECT_EQ(d.m_bumperOn, 0);
  EXPECT_FALSE(d.m_runBumper.load());

  // A direction whose thread cannot start is reported the same way.
  PanelThreads::FailCreationForTesting(PanelThread::DriveForward, true);
  seen = false;
  DismissNextFailureBox(&seen);
  QTest::mousePress(d.button(1012), Qt::LeftButton);
  PanelThreads::FailCreationForTesting(PanelThread::DriveForward, false);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(d.threads().Running(PanelThread::DriveForward));
}

// --- Drive control ----------------------------------------------------------

TEST_F(PanelLive, HoldingADirectionDrivesTheRobotAndLettingGoStopsIt) {
  struct Case {
    int id;
    int32_t left, right;
  };
  const Case cases[] = {{1012, 200, 200}, {1013, -100, 100}, {1014, 100, -100}, {1037, -200, -200}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    const robotsim::Pose before = State().pose;
    QSignalSpy clicked(d_->button(c.id), &QPushButton::clicked);
    Press(c.id);
    ASSERT_TRUE(WaitForVelocity(c.left, c.right));
    EXPECT_FALSE(d_->m_runStop.load());
    sim_->Advance(0.3);
    const robotsim::Pose moved = State().pose;
    if (c.left == c.right) {
      // Heading east: forward adds to x, backward takes from it.
      EXPECT_EQ(moved.x > before.x, c.left > 0);
      EXPECT_NE(moved.x, before.x);
    } else {
      // Counter-clockwise is positive: "L" turns left.
      EXPECT_EQ(moved.theta > before.theta, c.right > c.left);
      EXPECT_NE(moved.theta, before.theta);
    }

    // A release on the button: one stop, which repeats zero velocity.
    const uint64_t stops = d_->threads().Starts(PanelThread::DriveStop);
    Release(c.id);
    EXPECT_EQ(clicked.count(), 1);
    ASSERT_TRUE(WaitForVelocity(0, 0));
    EXPECT_EQ(d_->threads().Starts(PanelThread::DriveStop), stops + 1);
    EXPECT_TRUE(d_->m_runStop.load());
    EXPECT_TRUE(WaitUntil([&] {
      return !Running(PanelThread::DriveForward) && !Running(PanelThread::DriveLeft) &&
             !Running(PanelThread::DriveRight) && !Running(PanelThread::DriveBackward);
    }));
    EXPECT_TRUE(Running(PanelThread::DriveStop));
    sim_->Advance(0.5);
    const robotsim::Pose stopped = State().pose;
    sim_->Advance(0.5);
    EXPECT_EQ(State().pose.x, stopped.x);
    EXPECT_EQ(State().pose.theta, stopped.theta);
  }
}

TEST_F(PanelLive, ReleasingOutsideTheButtonStillStopsTheRobot) {
  QSignalSpy clicked(d_->button(1012), &QPushButton::clicked);
  Press(1012);
  ASSERT_TRUE(WaitForVelocity(200, 200));
  const uint64_t stops = d_->threads().Starts(PanelThread::DriveStop);
  const QPoint outside(-40, d_->button(1012)->height() / 2);
  QTest::mouseRelease(d_->button(1012), Qt::LeftButton, {}, outside);
  EXPECT_EQ(clicked.count(), 0); // the button reports no click there
  ASSERT_TRUE(WaitForVelocity(0, 0));
  EXPECT_FALSE(d_->m_runForward.load());
  EXPECT_TRUE(d_->m_runStop.load());
  EXPECT_EQ(d_->threads().Starts(PanelThread::DriveStop), stops + 1);
  EXPECT_TRUE(WaitUntil([&] { return !Running(PanelThread::DriveForward); }));
}

TEST_F(PanelLive, PressingAnotherDirectionWhileOneDrivesSwitchesToIt) {
  Press(1012);
  ASSERT_TRUE(WaitForVelocity(200, 200));
  Press(1013); // as after a release the panel did not see
  EXPECT_FALSE(d_->m_runForward.load());
  EXPECT_TRUE(d_->m_runLeft.load());
  ASSERT_TRUE(WaitForVelocity(-100, 100));
  EXPECT_TRUE(WaitUntil([&] { return !Running(PanelThread::DriveForward); }));
  Release(1013);
  ASSERT_TRUE(WaitForVelocity(0, 0));
  EXPECT_FALSE(d_->m_runLeft.load());
}

TEST_F(PanelLive, KeyboardActivationAndADoubleClicksSecondPressOnlyStop) {
  QPushButton *forward = d_->button(1012);
  const uint64_t starts = d_->threads().Starts(PanelThread::DriveForward);

  // Space on the focused button: pressed down, then clicked on release.
  forward->setFocus();
  QTest::keyPress(forward, Qt::Key_Space);
  EXPECT_FALSE(d_->m_runForward.load());
  QTest::keyRelease(forward, Qt::Key_Space);
  EXPECT_TRUE(d_->m_runStop.load());
  ASSERT_TRUE(WaitForVelocity(0, 0));

  // Enter on it likewise.
  QTest::keyClick(forward, Qt::Key_Return);
  EXPECT_FALSE(d_->m_runForward.load());
  EXPECT_TRUE(d_->m_runStop.load());

  // The second press of a double click.
  const QPointF centre = QRectF(forward->rect()).center();
  QMouseEvent second(QEvent::MouseButtonDblClick, centre, forward->mapToGlobal(centre),
                     Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(forward, &second);
  EXPECT_FALSE(d_->m_runForward.load());
  EXPECT_TRUE(d_->m_runStop.load());
  EXPECT_EQ(d_->threads().Starts(PanelThread::DriveForward), starts);
  EXPECT_FALSE(Running(PanelThread::DriveForward));
  const uint64_t stops = d_->threads().Starts(PanelThread::DriveStop);
  Release(1012);
  EXPECT_EQ(d_->threads().Starts(PanelThread::DriveStop), stops + 1);
  EXPECT_EQ(d_->threads().Starts(PanelThread::DriveForward), starts);
  ASSERT_TRUE(WaitForVelocity(0, 0));
}

TEST_F(PanelLive, LosingTheWindowTheFocusOrTheApplicationWhileHeldStops) {
  const std::function<void()> losses[] = {
      [&] {
        QEvent deactivate(QEvent::WindowDeactivate);
        QApplication::sendEvent(d_.get(), &deactivate);
      },
      [&] {
        QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QApplication::sendEvent(d_->button(1014), &out);
      },
      [&] {
        QApplicationStateChangeEvent inactive(Qt::ApplicationInactive);
        QApplication::sendEvent(qApp, &inactive);
      },
  };
  for (size_t i = 0; i < std::size(losses); ++i) {
    SCOPED_TRACE(i);
    Press(1014);
    ASSERT_TRUE(WaitForVelocity(100, -100));
    const uint64_t stops = d_->threads().Starts(PanelThread::DriveStop);
    losses[i]();
    EXPECT_FALSE(d_->m_runRight.load());
    EXPECT_TRUE(d_->m_runStop.load());
    EXPECT_EQ(d_->threads().Starts(PanelThread::DriveStop), stops + 1);
    ASSERT_TRUE(WaitForVelocity(0, 0));
    // A release that still arrives afterwards changes nothing.
    QTest::mouseRelease(d_->button(1014), Qt::LeftButton, {}, QPoint(-40, 5));
    QTest::qWait(0);
    EXPECT_FALSE(d_->m_runRight.load());
  }
}

// --- Closing ----------------------------------------------------------------

TEST_F(PanelLive, ClosingWhilePollingAndDrivingEndsEveryThreadAndStopsTheRobot) {
  SwitchAllPollingsOn();
  Press(1012);
  ASSERT_TRUE(WaitForVelocity(200, 200));
  ASSERT_TRUE(WaitUntil([&] { return AllConnectLamps(kBright); }));
  sim_->Advance(0.2);
  ASSERT_GT(State().wheel_left, 0);

  const int64_t commands = State().velocity_commands;
  EXPECT_TRUE(d_->close());
  for (int k = 0; k < kPanelThreadCount; ++k)
    EXPECT_FALSE(Running(static_cast<PanelThread>(k))) << k;
  EXPECT_EQ(ProcessThreads(), baseThreads_);
  const robotsim::WorldState s = State();
  EXPECT_GT(s.velocity_commands, commands);
  EXPECT_EQ(s.last_velocity_left, 0);
  EXPECT_EQ(s.last_velocity_right, 0);
  sim_->Advance(0.5);
  const robotsim::Pose still = State().pose;
  sim_->Advance(0.5);
  EXPECT_EQ(State().pose.x, still.x);
  EXPECT_EQ(State().wheel_left, 0);
  d_.reset();

  // Destroying an open panel that drives backward does the same.
  d_ = std::make_unique<PanelDialog>();
  d_->show();
  SwitchAllPollingsOn();
  Press(1037);
  ASSERT_TRUE(WaitForVelocity(-200, -200));
  d_.reset();
  EXPECT_EQ(ProcessThreads(), baseThreads_);
  EXPECT_EQ(State().last_velocity_left, 0);
  EXPECT_EQ(State().last_velocity_right, 0);
}

} // namespace
