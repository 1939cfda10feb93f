// The panel's button handlers and the table that routes each button's click
// to its handler. Every handler runs on the user-interface thread; the
// one-shot robot commands call the robot synchronously.
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

// --- Enable toggles and drive release: they start and stop the worker
// threads, which come with the polling work. Routed already, so the
// buttons' wiring is complete; each does nothing yet.
void PanelDialog::OnUltraSonicEnable() {}
void PanelDialog::OnBumperEnable() {}
void PanelDialog::OnEmergencyEnable() {}
void PanelDialog::OnDrivePosEnable() {}
void PanelDialog::OnPowerModuleEnable() {}
void PanelDialog::OnForwardRelease() {}
void PanelDialog::OnLeftRelease() {}
void PanelDialog::OnRightRelease() {}
void PanelDialog::OnBackwardRelease() {}

// --- Address and one-shot commands.

void PanelDialog::OnIpSet() {
  ReadForm();
  // Taken as typed: an unusable address shows as connections that fail.
  g_robotAddress.Set(m_robotIp.toStdString());
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
