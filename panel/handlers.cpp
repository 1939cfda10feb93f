// The panel's button handlers and the table that routes each button's click
// to its handler, and the event filter that sees the direction buttons'
// presses. Every handler runs on the user-interface thread; the one-shot
// robot commands call the robot synchronously.
#include <QApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <climits>
#include <cstdint>
#include <iterator>
#include <string>

#include "panel_dialog.h"

namespace {

// One power switch: the module it switches and the captions it shows after
// each command. The caption names what the next click will do.
struct PowerSwitch {
  int id;
  PowerModuleId module;
  const char *afterDown;
  const char *afterUp;
};

constexpr PowerSwitch kPowerSwitches[PanelDialog::kPowerSwitchCount] = {
    {1076, PowerModuleId::Drive, "Drive Up", "Drive Down"},
    {1078, PowerModuleId::Sensor, "Sensor Up", "Sensor Down"},
    {1080, PowerModuleId::LRF, "LRF Up", "LRF Down"},
    {1082, PowerModuleId::SBC1, "SBC1 Up", "SBC1 Down"},
    {1084, PowerModuleId::Gyro, "Gyro Up", "Gyro Down"},
    {1083, PowerModuleId::SG, "SG Up", "SG Down"},
    {1085, PowerModuleId::Spare1, "Spare1 Up", "Spare1 Down"},
    {1086, PowerModuleId::Spare2, "Spare2 Up", "Spare2 Down"},
    {1087, PowerModuleId::Spare3, "Spare3 Up", "Spare3 Down"},
    {1090, PowerModuleId::Spare4, "Spare4 Up", "Spare4 Down"},
    {1089, PowerModuleId::Rx64, "Rx64 Up", "Rx64 Down"},
    {1088, PowerModuleId::Lcd, "Lcd Up", "Lcd Down"},
};

// An Enable toggle: the button, what it switches and what it shows.
struct PollingToggle {
  int id;
  int32_t PanelDialog::*on;
  std::atomic<bool> PanelDialog::*run;
  PanelThread thread;
  ProxyField &(*connectStatus)(PanelDialog &);
  const char *captionOff;
  const char *captionOn;
  // The ultrasonic toggle switches on only once its thread exists; the
  // others switch on first and keep that state if the thread fails.
  bool onlyOnceStarted;
};

const PollingToggle kPollingToggles[] = {
    {1026, &PanelDialog::m_ultraSonicOn, &PanelDialog::m_runUltraSonic, PanelThread::UltraSonic,
     [](PanelDialog &d) -> ProxyField & { return d.m_ultraSonic.m_connectStatus; }, "USonic Enable",
     "USonic Disable", true},
    {1029, &PanelDialog::m_bumperOn, &PanelDialog::m_runBumper, PanelThread::Bumper,
     [](PanelDialog &d) -> ProxyField & { return d.m_bumper.m_connectStatus; }, "Bumper Enable",
     "Bumper Disable", false},
    {1030, &PanelDialog::m_emergencyOn, &PanelDialog::m_runEmergency, PanelThread::Emergency,
     [](PanelDialog &d) -> ProxyField & { return d.m_emergency.m_connectStatus; },
     "Emergency Enable", "Emergency Disable", false},
    {1042, &PanelDialog::m_drivePosOn, &PanelDialog::m_runDrivePos, PanelThread::DrivePos,
     [](PanelDialog &d) -> ProxyField & { return d.m_motorDriver.m_connectStatus; },
     "Drive Pos Enable", "Drive Pos Disable", false},
    {1075, &PanelDialog::m_powerModuleOn, &PanelDialog::m_runPowerModule, PanelThread::PowerModule,
     [](PanelDialog &d) -> ProxyField & { return d.m_powerModule.m_connectStatus; },
     "Power Module Enable", "Power Module Disable", false},
};

// The direction buttons, in the order a press is matched against them.
struct DirectionButton {
  int id;
  std::atomic<bool> PanelDialog::*run;
  PanelThread thread;
};

constexpr DirectionButton kDirectionButtons[] = {
    {1012, &PanelDialog::m_runForward, PanelThread::DriveForward},
    {1013, &PanelDialog::m_runLeft, PanelThread::DriveLeft},
    {1014, &PanelDialog::m_runRight, PanelThread::DriveRight},
    {1037, &PanelDialog::m_runBackward, PanelThread::DriveBackward},
};

const DirectionButton *FindDirection(int id) {
  for (const DirectionButton &d : kDirectionButtons)
    if (d.id == id) return &d;
  return nullptr;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The operator's number as atoi reads it: leading white space, an optional
// sign, then digits up to the first other character; no digits give 0.
// Numbers beyond 32 bits saturate instead of wrapping.
int32_t LeadingInteger(const QString &text) {
  const std::string s = text.toStdString();
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i]))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  // Accumulated as a magnitude that stops growing just past the range.
  constexpr int64_t kCap = static_cast<int64_t>(INT32_MAX) + 1;
  int64_t magnitude = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    if (magnitude < kCap) magnitude = magnitude * 10 + (s[i] - '0');
  if (magnitude > kCap) magnitude = kCap;
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(value > INT32_MAX ? INT32_MAX : value);
}

} // namespace

const PanelDialog::Route PanelDialog::kRoutes[] = {
    {1026, &PanelDialog::OnUltraSonicEnable},  {1028, &PanelDialog::OnIpSet},
    {1029, &PanelDialog::OnBumperEnable},      {1030, &PanelDialog::OnEmergencyEnable},
    {1038, &PanelDialog::OnServoOn},           {1039, &PanelDialog::OnServoOff},
    {1040, &PanelDialog::OnWritePosition2},    {1041, &PanelDialog::OnWritePosition},
    {1042, &PanelDialog::OnDrivePosEnable},    {1012, &PanelDialog::OnForwardRelease},
    {1013, &PanelDialog::OnLeftRelease},       {1014, &PanelDialog::OnRightRelease},
    {1037, &PanelDialog::OnBackwardRelease},   {1047, &PanelDialog::OnBumperOffMode},
    {1048, &PanelDialog::OnBumperDirMode},     {1075, &PanelDialog::OnPowerModuleEnable},
    {1076, &PanelDialog::OnPowerSwitch<1076>}, {1078, &PanelDialog::OnPowerSwitch<1078>},
    {1080, &PanelDialog::OnPowerSwitch<1080>}, {1082, &PanelDialog::OnPowerSwitch<1082>},
    {1084, &PanelDialog::OnPowerSwitch<1084>}, {1083, &PanelDialog::OnPowerSwitch<1083>},
    {1085, &PanelDialog::OnPowerSwitch<1085>}, {1086, &PanelDialog::OnPowerSwitch<1086>},
    {1087, &PanelDialog::OnPowerSwitch<1087>}, {1090, &PanelDialog::OnPowerSwitch<1090>},
    {1089, &PanelDialog::OnPowerSwitch<1089>}, {1088, &PanelDialog::OnPowerSwitch<1088>},
};

void PanelDialog::ConnectRoutes() {
  for (const Route &route : kRoutes)
    connect(button(route.id), &QPushButton::clicked, this, route.handler);
}

// --- Enable toggles: they start and stop the polling threads.

void PanelDialog::OnUltraSonicEnable() { SwitchPolling(1026); }
void PanelDialog::OnBumperEnable() { SwitchPolling(1029); }
void PanelDialog::OnEmergencyEnable() { SwitchPolling(1030); }
void PanelDialog::OnDrivePosEnable() { SwitchPolling(1042); }
void PanelDialog::OnPowerModuleEnable() { SwitchPolling(1075); }

void PanelDialog::SwitchPolling(int id) {
  for (const PollingToggle &t : kPollingToggles) {
    if (t.id != id) continue;
    int32_t &on = this->*t.on;
    std::atomic<bool> &run = this->*t.run;
    if (on) {
      // The thread ends at its next pass; its lamp goes dark meanwhile.
      run.store(false);
      t.connectStatus(*this).store(-1);
      on = 0;
      button(id)->setText(t.captionOff);
      return;
    }
    run.store(true);
    if (t.onlyOnceStarted) {
      if (!StartWorker(t.thread)) return;
      on = 1;
      button(id)->setText(t.captionOn);
    } else {
      on = 1;
      button(id)->setText(t.captionOn);
      StartWorker(t.thread);
    }
    return;
  }
}

// --- Drive control. A left-button press on a direction button starts its
// motion (seen by eventFilter before the button handles it); the end of
// that press stops it: the button's clicked notification when the release
// lands on the button (or the keyboard activates it), and eventFilter for
// every other way the press ends, so that the robot never drives on after
// the operator has let go.

void PanelDialog::OnForwardRelease() { ReleaseDirection(1012); }
void PanelDialog::OnLeftRelease() { ReleaseDirection(1013); }
void PanelDialog::OnRightRelease() { ReleaseDirection(1014); }
void PanelDialog::OnBackwardRelease() { ReleaseDirection(1037); }

void PanelDialog::PressDirection(int id) {
  const DirectionButton *pressed = FindDirection(id);
  (this->*pressed->run).store(true);
  for (const DirectionButton &other : kDirectionButtons)
    if (&other != pressed) (this->*other.run).store(false);
  m_runStop.store(false);
  m_heldDirection = id;
  m_releasePending = 0;
  StartWorker(pressed->thread);
}

void PanelDialog::ReleaseDirection(int id) {
  if (m_releasePending == id) m_releasePending = 0;
  (this->*FindDirection(id)->run).store(false);
  m_runStop.store(true);
  StartWorker(PanelThread::DriveStop);
}

void PanelDialog::LetGo() {
  const int id = m_heldDirection;
  if (id == 0) return;
  m_heldDirection = 0;
  ReleaseDirection(id);
}

// Runs once the button has handled a release: a release that produced no
// clicked notification (it landed outside the button) still stops.
void PanelDialog::FinishRelease() {
  const int id = m_releasePending;
  if (id == 0) return;
  m_releasePending = 0;
  ReleaseDirection(id);
}

bool PanelDialog::eventFilter(QObject *watched, QEvent *event) {
  switch (event->type()) {
  case QEvent::MouseButtonPress: {
    // A double click's second press arrives as MouseButtonDblClick and
    // starts nothing.
    if (static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton) break;
    for (const DirectionButton &d : kDirectionButtons) {
      if (watched == control(d.id)) {
        PressDirection(d.id);
        break;
      }
    }
    break;
  }
  case QEvent::MouseButtonRelease:
    if (m_heldDirection != 0 && watched == control(m_heldDirection) &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
      // The button decides whether this release is a click; whichever way,
      // exactly one stop follows: from the clicked handler, or from
      // FinishRelease once the button is done with the event.
      m_releasePending = m_heldDirection;
      m_heldDirection = 0;
      QMetaObject::invokeMethod(this, &PanelDialog::FinishRelease, Qt::QueuedConnection);
    }
    break;
  case QEvent::FocusOut:
    // Focus taken by a popup leaves the button pressed; anything else
    // releases it without a click.
    if (m_heldDirection != 0 && watched == control(m_heldDirection) &&
        static_cast<QFocusEvent *>(event)->reason() != Qt::PopupFocusReason)
      LetGo();
    break;
  case QEvent::UngrabMouse:
  case QEvent::Hide:
  case QEvent::EnabledChange:
    if (m_heldDirection != 0 && watched == control(m_heldDirection)) LetGo();
    break;
  case QEvent::WindowDeactivate:
    if (watched == this) LetGo();
    break;
  case QEvent::ApplicationStateChange:
    if (static_cast<QApplicationStateChangeEvent *>(event)->applicationState() !=
        Qt::ApplicationActive)
      LetGo();
    break;
  default:
    break;
  }
  return QDialog::eventFilter(watched, event);
}

// --- Address and one-shot commands.

void PanelDialog::OnIpSet() {
  ReadForm();
  // A mistyped address could reach another machine; it is refused, and the
  // robot keeps being driven at the address in use.
  if (!SetRobotAddress(m_robotIp)) ReportRejectedAddress(m_robotIp);
}

void PanelDialog::OnServoOn() { m_motorDriver.ServoOn(); }
void PanelDialog::OnServoOff() { m_motorDriver.ServoOff(); }

void PanelDialog::OnWritePosition2() {
  ReadForm();
  m_motorDriver.ChangePosition2(LeadingInteger(m_setX), LeadingInteger(m_setY));
}

void PanelDialog::OnWritePosition() {
  ReadForm();
  m_motorDriver.ChangePosition(LeadingInteger(m_setX), LeadingInteger(m_setY),
                               LeadingInteger(m_setTheta));
}

void PanelDialog::OnBumperOffMode() { m_bumper.SetBumperOffMode(); }
void PanelDialog::OnBumperDirMode() { m_bumper.SetBumperDirMode(); }

// --- Power switches.

template <int Id> void PanelDialog::OnPowerSwitch() { SwitchPowerModule(Id); }

void PanelDialog::SwitchPowerModule(int id) {
  for (size_t i = 0; i < std::size(kPowerSwitches); ++i) {
    const PowerSwitch &sw = kPowerSwitches[i];
    if (sw.id != id) continue;
    // Caption and flag follow the panel's command, whatever the robot does.
    const bool down = !m_moduleDown[i];
    button(id)->setText(down ? sw.afterDown : sw.afterUp);
    m_moduleDown[i] = down;
    if (down)
      m_powerModule.PowerDown(sw.module);
    else
      m_powerModule.PowerUp(sw.module);
    return;
  }
}
