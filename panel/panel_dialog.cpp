#include "panel_dialog.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <string>

#include "about_dialog.h"
#include "command_line.h"
#include "kivrel.h"
#include "resources.h"
#include "status_lamp.h"

namespace {

// Range the ultrasonic bars show, in centimetres.
constexpr int kUltraSonicBarMax = 150;
constexpr int kUltraSonicBars[] = {1019, 1020, 1021, 1022, 1023, 1024, 1025};

constexpr int kRobotIpEdit = 1027;
constexpr int kSetXEdit = 1033;
constexpr int kSetYEdit = 1034;
constexpr int kSetThetaEdit = 1035;

// Captions the toggles show before they are first switched on.
struct OpeningCaption {
  int id;
  const char *caption;
};
constexpr OpeningCaption kOpeningCaptions[] = {
    {1026, "USonic Enable"},
    {1029, "Bumper Enable"},
    {1030, "Emergency Enable"},
    {1042, "Drive Pos Enable"},
};

constexpr char kAboutEntry[] = "Skarvel 정보(&A)...";
constexpr char kThreadFailure[] = "create fail : sensor control thread";
constexpr char kCloseEntry[] = "&Close";

} // namespace

PanelDialog::PanelDialog(QWidget *parent, const QString &robotIp)
    : QDialog(parent), m_hIcon(SkarvelResource::AppIcon()) {
  m_controls = BuildDialog(*this, kPanelTemplate);
  ConnectRoutes();
  // Ahead of every receiver, as the direction buttons' press needs.
  qApp->installEventFilter(this);
  OnInitDialog(robotIp);
}

PanelDialog::~PanelDialog() {
  qApp->removeEventFilter(this);
  Shutdown();
}

void PanelDialog::done(int result) {
  Shutdown();
  QDialog::done(result);
}

void PanelDialog::Shutdown() {
  if (m_threads.Stopped()) return;
  m_heldDirection = 0;
  m_releasePending = 0;
  const bool driving =
      m_runForward.load() || m_runBackward.load() || m_runLeft.load() || m_runRight.load() ||
      m_runStop.load() || m_threads.Running(PanelThread::DriveForward) ||
      m_threads.Running(PanelThread::DriveBackward) || m_threads.Running(PanelThread::DriveLeft) ||
      m_threads.Running(PanelThread::DriveRight) || m_threads.Running(PanelThread::DriveStop);
  for (std::atomic<bool> *flag :
       {&m_runPowerModule, &m_runForward, &m_runBackward, &m_runRight, &m_runLeft, &m_runStop,
        &m_runUltraSonic, &m_runBumper, &m_runDrivePos, &m_runEmergency})
    flag->store(false);
  m_threads.Stop();
  // Sent after every drive thread has ended, so no velocity of theirs can
  // arrive after it.
  if (driving) m_motorDriver.VelocityControl(0, 0);
}

bool PanelDialog::StartWorker(PanelThread kind) {
  if (m_threads.Start(kind)) return true;
  if (!m_threads.Stopped()) ReportThreadFailure();
  return false;
}

void PanelDialog::ShowReadings() { m_threads.ApplyUpdates(); }

bool PanelDialog::IsRobotAddress(const QString &text) { return IsDottedIPv4(text.toStdString()); }

bool PanelDialog::SetRobotAddress(const QString &address) {
  if (!IsRobotAddress(address)) return false;
  m_robotIp = address;
  if (edit(kRobotIpEdit)->text() != address) edit(kRobotIpEdit)->setText(address);
  g_robotAddress.Set(address.toStdString());
  return true;
}

void PanelDialog::ReportRejectedAddress(const QString &text) {
  const QString message =
      QStringLiteral("\"%1\" is not a robot address.\n\n"
                     "Type four numbers from 0 to 255 with dots between them, without spaces "
                     "or leading zeros. The robot address stays %2.")
          .arg(text, QString::fromStdString(*g_robotAddress.Get()));
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Skarvel"), message, QMessageBox::Ok, this);
  // The operator's text is shown as typed, never read as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
  // Back to the address, ready to be corrected.
  edit(kRobotIpEdit)->setFocus();
  edit(kRobotIpEdit)->selectAll();
}

void PanelDialog::ReportThreadFailure() {
  QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                  QString::fromUtf8(kThreadFailure), QMessageBox::Ok, this);
  box.exec();
}

QWidget *PanelDialog::control(int id) const { return m_controls.value(id); }
QPushButton *PanelDialog::button(int id) const { return qobject_cast<QPushButton *>(control(id)); }
QLineEdit *PanelDialog::edit(int id) const { return qobject_cast<QLineEdit *>(control(id)); }
QProgressBar *PanelDialog::bar(int id) const { return qobject_cast<QProgressBar *>(control(id)); }
StatusLamp *PanelDialog::lamp(int id) const { return qobject_cast<StatusLamp *>(control(id)); }

void PanelDialog::OnInitDialog(const QString &robotIp) {
  // The desktop has no reachable system menu on every platform, so the
  // dialog offers its own on a right click, with the About entry last.
  m_systemMenu = new QMenu(this);
  const auto addCommand = [this](const char *text, int command) {
    QAction *action = m_systemMenu->addAction(QString::fromUtf8(text));
    action->setData(command);
    connect(action, &QAction::triggered, this, [this, command] { OnSysCommand(command); });
  };
  addCommand(kCloseEntry, kCloseCommand);
  m_systemMenu->addSeparator();
  addCommand(kAboutEntry, kAboutBoxCommand);

  setWindowIcon(m_hIcon);
  InitUltraSonicBars();

  // Needed on platforms whose sockets must be started; a failure shows
  // later as robot calls that cannot connect.
  (void)kivrel_winsock2_wsastartup();

  m_robotIp = robotIp.isEmpty() ? QStringLiteral(SKARVEL_DEFAULT_ROBOT_ADDRESS) : robotIp;
  g_robotAddress.Set(m_robotIp.toStdString());

  for (std::atomic<bool> *flag :
       {&m_runPowerModule, &m_runForward, &m_runBackward, &m_runRight, &m_runLeft, &m_runStop,
        &m_runUltraSonic, &m_runBumper, &m_runDrivePos, &m_runEmergency})
    flag->store(false);

  for (const OpeningCaption &c : kOpeningCaptions)
    button(c.id)->setText(c.caption);

  StartConnectStateThread();
  WriteForm();
}

// The Connect State lamps are kept current for as long as the panel is open.
void PanelDialog::StartConnectStateThread() { StartWorker(PanelThread::ConnectState); }

void PanelDialog::InitUltraSonicBars() {
  for (int id : kUltraSonicBars) {
    bar(id)->setRange(0, kUltraSonicBarMax);
    bar(id)->setValue(0);
  }
}

void PanelDialog::ReadForm() {
  m_robotIp = edit(kRobotIpEdit)->text();
  m_setX = edit(kSetXEdit)->text();
  m_setY = edit(kSetYEdit)->text();
  m_setTheta = edit(kSetThetaEdit)->text();
}

void PanelDialog::WriteForm() {
  edit(kRobotIpEdit)->setText(m_robotIp);
  edit(kSetXEdit)->setText(m_setX);
  edit(kSetYEdit)->setText(m_setY);
  edit(kSetThetaEdit)->setText(m_setTheta);
}

void PanelDialog::OnOK() {
  ReadForm();
  accept();
}

void PanelDialog::OnSysCommand(int command) {
  switch (command & 0xFFF0) {
  case kAboutBoxCommand: {
    AboutDialog about(this);
    about.exec();
    break;
  }
  case kCloseCommand:
    close();
    break;
  default:
    break;
  }
}

void PanelDialog::keyPressEvent(QKeyEvent *event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const bool plain = event->modifiers() == Qt::NoModifier ||
                     (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
  if (enter && plain) {
    // No button is the default: Enter clicks the focused push button, and
    // anywhere else it is the OK action.
    if (auto *focused = qobject_cast<QPushButton *>(focusWidget()); focused && focused->isEnabled())
      focused->click();
    else
      OnOK();
    return;
  }
  QDialog::keyPressEvent(event); // Escape: reject()
}

void PanelDialog::contextMenuEvent(QContextMenuEvent *event) {
  m_systemMenu->popup(event->globalPos());
  event->accept();
}
