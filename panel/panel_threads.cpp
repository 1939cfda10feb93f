#include "panel_threads.h"

#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QString>
#include <algorithm>
#include <cstddef>
#include <system_error>
#include <utility>

#include "panel_dialog.h"
#include "status_lamp.h"

namespace {

// Lamp strip rows: red lamps for robot states, green ones for connections.
// Column 0 is bright, 1 dark, 2 grey.
constexpr int32_t kRedRow = 0;
constexpr int32_t kGreenRow = 16;
constexpr int32_t kBright = 0;
constexpr int32_t kDark = 1;

// Ultrasonic sensors 0 to 6: their edits (not in identifier order) and bars.
constexpr int kRangeEdits[] = {1003, 1004, 1008, 1005, 1009, 1006, 1007};
constexpr int kRangeBars[] = {1019, 1020, 1021, 1022, 1023, 1024, 1025};
constexpr size_t kShownRanges = std::size(kRangeEdits);
static_assert(kShownRanges < UltraSonicProxy::kRanges);

constexpr int kPositionEdits[] = {1016, 1017, 1018}; // x, y, theta
constexpr int kEncoderEdits[] = {1031, 1032};        // left, right
constexpr int kPowerEdits[] = {1067, 1068, 1069, 1070};

// Hidden module lamps and the 1-based reply position each one shows.
struct ModuleLamp {
  int lamp;
  int position;
};
constexpr ModuleLamp kModuleLamps[] = {
    {1102, 10}, {1103, 9}, {1104, 8}, {1105, 11}, {1106, 7}, {1107, 12}, {1114, 13}, {1112, 14},
};

std::atomic<uint32_t> g_failCreation{0};

uint32_t Bit(PanelThread kind) { return 1u << static_cast<int>(kind); }
size_t Index(PanelThread kind) { return static_cast<size_t>(kind); }

// The pass loop shared by every worker but ConnectStateThread: the run flag
// is looked at once per pass, before the work.
template <class Work>
int RepeatWhileFlagged(PanelDialog &dialog, PanelThread kind, const std::atomic<bool> &flag,
                       Work work) {
  PanelThreads &threads = dialog.threads();
  for (;;) {
    if (!flag.load() && threads.Leave(kind, flag)) return 1;
    work();
    if (!threads.Pause()) return 0;
  }
}

// A polling thread that ends because its toggle switched it off leaves its
// service's lamp dark, even if its last call stored a fresh connection
// status after the toggle had reset it.
template <class Work>
int Poll(PanelDialog &dialog, PanelThread kind, const std::atomic<bool> &flag,
         ProxyField &connectStatus, Work work) {
  const int code = RepeatWhileFlagged(dialog, kind, flag, work);
  if (code == 1) connectStatus.store(-1);
  return code;
}

int Drive(PanelDialog &dialog, PanelThread kind, const std::atomic<bool> &flag, int left,
          int right) {
  return RepeatWhileFlagged(dialog, kind, flag,
                            [&] { dialog.m_motorDriver.VelocityControl(left, right); });
}

void ShowAlarm(PanelThreads &threads, int lamp, int32_t value) {
  threads.Show(lamp, value != 0 ? kBright : kDark, kRedRow);
}

using Procedure = int (*)(PanelDialog &);
constexpr Procedure kProcedures[kPanelThreadCount] = {
    ConnectStateThread, UltraSonicThread,  BumperThread,       EmergencyThread,
    DrivePosThread,     PowerModuleThread, DriveForwardThread, DriveBackwardThread,
    DriveLeftThread,    DriveRightThread,  DriveStopThread,
};

} // namespace

// ---- Thread procedures

int ConnectStateThread(PanelDialog &dialog) {
  struct Source {
    int lamp;
    const ProxyField &status;
  };
  const Source sources[] = {
      {1095, dialog.m_bumper.m_connectStatus},     {1096, dialog.m_motorDriver.m_connectStatus},
      {1097, dialog.m_emergency.m_connectStatus},  {1098, dialog.m_powerModule.m_connectStatus},
      {1094, dialog.m_ultraSonic.m_connectStatus},
  };
  PanelThreads &threads = dialog.threads();
  do {
    for (const Source &s : sources)
      threads.Show(s.lamp, -s.status.load(), kGreenRow);
    threads.Deliver();
  } while (threads.Pause());
  return 0;
}

int UltraSonicThread(PanelDialog &dialog) {
  UltraSonicProxy &proxy = dialog.m_ultraSonic;
  PanelThreads &threads = dialog.threads();
  return Poll(dialog, PanelThread::UltraSonic, dialog.m_runUltraSonic, proxy.m_connectStatus, [&] {
    proxy.ReadSensors();
    for (size_t i = 0; i < kShownRanges; ++i)
      threads.Show(kRangeEdits[i], proxy.m_range[i].load());
    for (size_t i = 0; i < kShownRanges; ++i)
      threads.Show(kRangeBars[i], proxy.m_range[i].load());
    threads.Deliver();
  });
}

int BumperThread(PanelDialog &dialog) {
  BumperProxy &proxy = dialog.m_bumper;
  PanelThreads &threads = dialog.threads();
  return Poll(dialog, PanelThread::Bumper, dialog.m_runBumper, proxy.m_connectStatus, [&] {
    proxy.ReadBumperArray();
    ShowAlarm(threads, 1092, proxy.m_frontLeft.load());
    ShowAlarm(threads, 1093, proxy.m_frontRight.load());
    threads.Deliver();
  });
}

int EmergencyThread(PanelDialog &dialog) {
  EmergencyProxy &proxy = dialog.m_emergency;
  PanelThreads &threads = dialog.threads();
  return Poll(dialog, PanelThread::Emergency, dialog.m_runEmergency, proxy.m_connectStatus, [&] {
    proxy.ReadEmergencyKey();
    ShowAlarm(threads, 1091, proxy.m_emergencyKey.load());
    threads.Deliver();
  });
}

int DrivePosThread(PanelDialog &dialog) {
  MotorDriverProxy &proxy = dialog.m_motorDriver;
  PanelThreads &threads = dialog.threads();
  return Poll(dialog, PanelThread::DrivePos, dialog.m_runDrivePos, proxy.m_connectStatus, [&] {
    proxy.ReadPosition();
    threads.Show(kPositionEdits[0], proxy.m_x.load());
    threads.Show(kPositionEdits[1], proxy.m_y.load());
    threads.Show(kPositionEdits[2], proxy.m_theta.load());
    // The position goes out at once: the encoder call may take its whole
    // deadline.
    threads.Deliver();
    proxy.ReadEncoder();
    threads.Show(kEncoderEdits[0], proxy.m_encoderLeft.load());
    threads.Show(kEncoderEdits[1], proxy.m_encoderRight.load());
    threads.Deliver();
  });
}

int PowerModuleThread(PanelDialog &dialog) {
  PowerModuleProxy &proxy = dialog.m_powerModule;
  PanelThreads &threads = dialog.threads();
  return Poll(dialog, PanelThread::PowerModule, dialog.m_runPowerModule, proxy.m_connectStatus,
              [&] {
                proxy.ReadPowerStatus();
                // A module state is itself the lamp's column: 0 bright, 1
                // dark, 2 grey; anything else draws no lamp at all.
                for (const ModuleLamp &m : kModuleLamps)
                  threads.Show(m.lamp, proxy.m_powerStatus[m.position - 1].load(), kRedRow);
                for (size_t i = 0; i < std::size(kPowerEdits); ++i)
                  threads.Show(kPowerEdits[i], proxy.m_powerStatus[i].load());
                threads.Deliver();
              });
}

int DriveForwardThread(PanelDialog &dialog) {
  return Drive(dialog, PanelThread::DriveForward, dialog.m_runForward, 200, 200);
}
int DriveBackwardThread(PanelDialog &dialog) {
  return Drive(dialog, PanelThread::DriveBackward, dialog.m_runBackward, -200, -200);
}
int DriveLeftThread(PanelDialog &dialog) {
  return Drive(dialog, PanelThread::DriveLeft, dialog.m_runLeft, -100, 100);
}
int DriveRightThread(PanelDialog &dialog) {
  return Drive(dialog, PanelThread::DriveRight, dialog.m_runRight, 100, -100);
}
int DriveStopThread(PanelDialog &dialog) {
  return Drive(dialog, PanelThread::DriveStop, dialog.m_runStop, 0, 0);
}

// ---- PanelThreads

PanelThreads::PanelThreads(PanelDialog &dialog) : m_dialog(dialog) {
  m_frameTimer.setSingleShot(true);
  QObject::connect(&m_frameTimer, &QTimer::timeout, [this] { ApplyNow(); });
}

PanelThreads::~PanelThreads() { Stop(); }

void PanelThreads::FailCreationForTesting(PanelThread kind, bool fail) {
  if (fail)
    g_failCreation.fetch_or(Bit(kind));
  else
    g_failCreation.fetch_and(~Bit(kind));
}

bool PanelThreads::Start(PanelThread kind) {
  Slot &slot = m_slots[Index(kind)];
  std::thread ended;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return false;
    if (slot.running) {
      // Not yet left: it will find its flag set again and go on, so the
      // kind never has two threads polling one proxy.
      ++m_starts[Index(kind)];
      return true;
    }
    ended = std::move(slot.thread);
  }
  // A thread that has left holds nothing any more; joining it is quick.
  if (ended.joinable()) ended.join();
  if (g_failCreation.load() & Bit(kind)) return false;

  std::lock_guard<std::mutex> lock(m_mutex);
  try {
    slot.thread = std::thread(&PanelThreads::Run, this, kind);
  } catch (const std::system_error &) {
    return false;
  }
  // Still under the lock, so the new thread cannot leave before this.
  slot.running = true;
  ++m_starts[Index(kind)];
  return true;
}

void PanelThreads::Run(PanelThread kind) {
  int code = -1;
  try {
    code = kProcedures[Index(kind)](m_dialog);
  } catch (...) {
    // Out of memory in a pass: the thread ends, and a later Start makes a
    // new one.
  }
  // Exit code 1 means Leave has already given up the slot (and a successor
  // may hold it by now).
  if (code != 1) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_slots[Index(kind)].running = false;
  }
}

void PanelThreads::Stop() {
  std::array<std::thread, kPanelThreadCount> threads;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    for (size_t i = 0; i < threads.size(); ++i)
      threads[i] = std::move(m_slots[i].thread);
  }
  m_wake.notify_all();
  // A worker in the middle of a robot call finishes it first: the client's
  // time-outs bound the wait, and the workers end side by side.
  for (std::thread &t : threads)
    if (t.joinable()) t.join();
}

bool PanelThreads::Stopped() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopping;
}

bool PanelThreads::Running(PanelThread kind) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_slots[Index(kind)].running;
}

uint64_t PanelThreads::Starts(PanelThread kind) const { return m_starts[Index(kind)].load(); }

bool PanelThreads::Pause() {
  std::unique_lock<std::mutex> lock(m_mutex);
  return !m_wake.wait_for(lock, kPeriod, [this] { return m_stopping; });
}

void PanelThreads::Show(int id, int32_t value, int32_t lampRow) {
  const int slot = id - kFirstControl;
  if (slot < 0 || slot >= kControlSlots) return;
  std::lock_guard<std::mutex> lock(m_updatesMutex);
  Update &u = m_updates[slot];
  // Most readings repeat from pass to pass: only a change costs the
  // user-interface thread anything. A change is one against what the
  // control shows: a lamp is asked (any thread may set it), an edit or bar
  // that something else has changed since has lost its record.
  if (u.known && u.value == value && u.lampRow == lampRow) {
    const StatusLamp *lamp = m_lamps[static_cast<size_t>(slot)].load();
    if (lamp == nullptr ||
        (lamp->rowY() == lampRow && lamp->column() == value && lamp->extraY() == 0))
      return;
  }
  u = {true, true, value, lampRow};
  m_anyPending = true;
}

void PanelThreads::Deliver() {
  {
    std::lock_guard<std::mutex> lock(m_updatesMutex);
    if (!m_anyPending) return;
  }
  // One queued call stands for every update posted before it runs. It is
  // queued by name, so that Qt alone makes and frees the call, and the
  // values travel under our lock, where race checkers can follow them.
  if (!m_deliveryQueued.exchange(true))
    QMetaObject::invokeMethod(&m_dialog, "ShowReadings", Qt::QueuedConnection);
}

void PanelThreads::ApplyUpdates() {
  if (m_frameTimer.isActive()) return;
  const auto since = std::chrono::milliseconds(m_sinceApplied.isValid() ? m_sinceApplied.elapsed()
                                                                        : kFrame.count());
  // Until the frame's end, further deliveries find one queued and post
  // nothing; the timer applies them all.
  if (since < kFrame) {
    m_frameTimer.start(kFrame - since);
    return;
  }
  ApplyNow();
}

void PanelThreads::ApplyNow() {
  m_sinceApplied.start();
  // Cleared first: an update posted from here on queues another call.
  m_deliveryQueued.store(false);
  std::array<Update, kControlSlots> updates;
  {
    std::lock_guard<std::mutex> lock(m_updatesMutex);
    if (!m_anyPending) return;
    m_anyPending = false;
    updates = m_updates;
    for (Update &u : m_updates)
      u.pending = false;
  }
  m_applying = true;
  for (int slot = 0; slot < kControlSlots; ++slot) {
    const Update &u = updates[slot];
    if (!u.pending) continue;
    QWidget *control = m_dialog.control(kFirstControl + slot);
    Watch(slot, control);
    // Only a change is repainted.
    if (auto *edit = qobject_cast<QLineEdit *>(control)) {
      const QString text = QString::number(u.value);
      if (edit->text() != text) edit->setText(text);
    } else if (auto *bar = qobject_cast<QProgressBar *>(control)) {
      // A value beyond the bar's ends shows at the nearest end; Qt's bar
      // would ignore it and keep the old one.
      const int value = std::clamp(u.value, bar->minimum(), bar->maximum());
      if (bar->value() == value) continue;
      // Qt's bar paints a large change at once, on its own; held back, it is
      // painted with every other control of this delivery in one pass.
      bar->setUpdatesEnabled(false);
      bar->setValue(value);
      bar->setUpdatesEnabled(true); // schedules the repaint
    } else if (auto *lamp = qobject_cast<StatusLamp *>(control)) {
      if (lamp->rowY() != u.lampRow || lamp->column() != u.value || lamp->extraY() != 0)
        lamp->SetLamp(u.lampRow, u.value, 0);
    }
  }
  m_applying = false;
}

void PanelThreads::Watch(int slot, QWidget *control) {
  const auto index = static_cast<size_t>(slot);
  if (m_watched[index]) return;
  m_watched[index] = true;
  // A change made by anything but the application forgets the control's
  // record, so that the next reading shows again even when it repeats.
  const auto forget = [this, slot] {
    if (m_applying) return;
    std::lock_guard<std::mutex> lock(m_updatesMutex);
    m_updates[static_cast<size_t>(slot)].known = false;
  };
  if (auto *edit = qobject_cast<QLineEdit *>(control))
    QObject::connect(edit, &QLineEdit::textChanged, &m_frameTimer, forget);
  else if (auto *bar = qobject_cast<QProgressBar *>(control))
    QObject::connect(bar, &QProgressBar::valueChanged, &m_frameTimer, forget);
  else if (auto *lamp = qobject_cast<StatusLamp *>(control))
    m_lamps[index].store(lamp);
}

bool PanelThreads::Leave(PanelThread kind, const std::atomic<bool> &flag) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (flag.load() && !m_stopping) return false;
  m_slots[Index(kind)].running = false;
  return true;
}
