// PanelDialog: the operator's panel, the program's only window. It owns the
// robot proxies, the controls (built from the panel template and found by
// identifier), the run flags of the worker threads and the four texts
// exchanged with the editable edits.
//
// Threading contract: the dialog, its controls, the form texts, the toggle
// states and every handler belong to the user-interface thread. Worker
// threads (panel_threads.h) may read the run flags and call the proxies
// (whose fields are atomic); they hand every control update, lamps
// included, to the user-interface thread by a queued call. The
// one-shot robot commands run synchronously on the user-interface thread.
// Closing the dialog (done) or destroying it clears every run flag and
// joins every worker first; a direction that was driving then gets one
// zero-velocity command, so the robot never drives on after the panel.
#ifndef SKARVEL_PANEL_DIALOG_H
#define SKARVEL_PANEL_DIALOG_H

#include <QDialog>
#include <QIcon>
#include <QString>
#include <array>
#include <atomic>

#include "dialog_template.h"
#include "panel_threads.h"
#include "robot_proxies.h"

class QContextMenuEvent;
class QKeyEvent;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class StatusLamp;

class PanelDialog : public QDialog {
  Q_OBJECT
public:
  // Commands of the window's system menu (low four bits are the platform's).
  static constexpr int kAboutBoxCommand = 16;
  static constexpr int kCloseCommand = 0xF060;
  static constexpr int kPowerSwitchCount = 12;

  // `robotIp`: the controller address to start with, as if typed and set
  // with IP Set before the first robot call; empty for the built-in one.
  explicit PanelDialog(QWidget *parent = nullptr, const QString &robotIp = QString());
  ~PanelDialog() override;

  // Controls by identifier; null when there is none of that kind.
  QWidget *control(int id) const;
  QPushButton *button(int id) const;
  QLineEdit *edit(int id) const;
  QProgressBar *bar(int id) const;
  StatusLamp *lamp(int id) const;

  // Form exchange with edits 1027, 1033, 1034 and 1035; no validation.
  void ReadForm();
  void WriteForm();

  // True when `text` is an IPv4 address in strict dotted decimal: four
  // decimal numbers 0 to 255, dots between them, no leading zeros (other
  // than "0" itself), nothing before or after. Looser forms ("127.1",
  // "0x7f.0.0.1", "010.0.0.1", padded text) are false, because readers
  // disagree about the host they mean.
  static bool IsRobotAddress(const QString &text);
  // What "IP Set" does with a valid text, for any caller (the command line
  // before the panel shows, for one): when IsRobotAddress(address), shows it
  // in edit 1027, stores it in m_robotIp and makes it the address every
  // later robot operation connects to, and returns true. Otherwise returns
  // false and changes nothing; it shows nothing either.
  bool SetRobotAddress(const QString &address);

  void InitUltraSonicBars();
  void OnSysCommand(int command);

  // The workers' starter and owner.
  PanelThreads &threads() { return m_threads; }

  // Closing ends every worker before the dialog hides.
  void done(int result) override;

  // Tell the worker threads to keep running.
  std::atomic<bool> m_runPowerModule{false};
  std::atomic<bool> m_runForward{false};
  std::atomic<bool> m_runBackward{false};
  std::atomic<bool> m_runRight{false};
  std::atomic<bool> m_runLeft{false};
  std::atomic<bool> m_runStop{false};
  std::atomic<bool> m_runUltraSonic{false};
  std::atomic<bool> m_runBumper{false};
  std::atomic<bool> m_runDrivePos{false};
  std::atomic<bool> m_runEmergency{false};

  BumperProxy m_bumper;
  UltraSonicProxy m_ultraSonic;
  EmergencyProxy m_emergency;
  MotorDriverProxy m_motorDriver;
  PowerModuleProxy m_powerModule;

  // The texts of edits 1027 (controller address), 1033, 1034 and 1035
  // (new odometry x, y, theta) as of the latest form exchange.
  QString m_robotIp;
  QString m_setX;
  QString m_setY;
  QString m_setTheta;

  QIcon m_hIcon;

  // The Enable toggles: 1 while the button's polling is switched on. They
  // decide what the next click does and which caption the button shows.
  int32_t m_ultraSonicOn = 0;
  int32_t m_bumperOn = 0;
  int32_t m_emergencyOn = 0;
  int32_t m_drivePosOn = 0;
  int32_t m_powerModuleOn = 0;

protected:
  void keyPressEvent(QKeyEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;
  // Sees every event of the application before its receiver does: presses
  // and releases on the direction buttons, and what ends a held press
  // without a release (handlers.cpp).
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  // Applies the workers' latest control updates (queued by PanelThreads).
  Q_INVOKABLE void ShowReadings();

  void OnInitDialog(const QString &robotIp);
  void ConnectRoutes();
  void StartConnectStateThread();
  void OnOK();
  // Clears every run flag and joins every worker; idempotent.
  void Shutdown();

  // Starts a worker of `kind`; a thread that cannot be made is reported to
  // the operator (unless the panel is closing). False on failure.
  bool StartWorker(PanelThread kind);
  void ReportThreadFailure();
  void ReportRejectedAddress(const QString &text);

  // Command handlers, routed by button identifier (handlers.cpp).
  void OnUltraSonicEnable();
  void OnBumperEnable();
  void OnEmergencyEnable();
  void OnDrivePosEnable();
  void OnPowerModuleEnable();
  void OnIpSet();
  void OnServoOn();
  void OnServoOff();
  void OnWritePosition2();
  void OnWritePosition();
  void OnBumperOffMode();
  void OnBumperDirMode();
  template <int Id> void OnPowerSwitch();
  void SwitchPowerModule(int id);
  void OnForwardRelease();
  void OnLeftRelease();
  void OnRightRelease();
  void OnBackwardRelease();
  void SwitchPolling(int id);
  void PressDirection(int id);
  void ReleaseDirection(int id);
  // The held direction ends without a release on its button.
  void LetGo();
  void FinishRelease();

  struct Route {
    int id;
    void (PanelDialog::*handler)();
  };
  static const Route kRoutes[];

  ControlMap m_controls;
  QMenu *m_systemMenu = nullptr;
  // Per power switch, in the order of its table: 1 when the panel's last
  // command to that module was "PowerDown".
  std::array<bool, kPowerSwitchCount> m_moduleDown{};
  // The direction button whose left-button press started the motion that
  // runs now, until that press ends; 0 when none.
  int m_heldDirection = 0;
  // A direction whose release has been seen but whose clicked notification
  // may still come; 0 when none.
  int m_releasePending = 0;
  // Last member: destroyed first, although the destructor has joined every
  // worker already.
  PanelThreads m_threads{*this};
};

#endif
