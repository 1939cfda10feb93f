// The panel's worker threads: the eleven thread procedures and PanelThreads,
// the one starter and owner through which every worker is created, paced
// and joined.
//
// Each procedure works on the dialog it is given. A polling or drive
// procedure repeats a pass (look at its run flag, call the robot, hand what
// it read to the user-interface thread, sleep one period) until it finds its
// run flag clear; ConnectStateThread repeats until the owner stops.
//
// Threading contract:
// - Start, Stop, ApplyUpdates and the destructor belong to the
//   user-interface thread; Running, Starts, Pause, Leave, Show and Deliver
//   may be called from any thread.
// - At most one thread of a kind exists at a time. Start on a kind whose
//   thread has not yet left lets that thread carry on: it looks at its run
//   flag under the owner's lock before it leaves, and sees the flag set
//   again. So the caller sets the run flag first, then calls Start.
// - Workers read run flags and call the proxies (atomic fields) directly.
//   They never touch a widget: they post each control's new value with Show
//   (under a lock of ours) and, once per pass, Deliver wakes the
//   user-interface thread with one queued call on the dialog, which applies
//   the latest value of every control posted since (ApplyUpdates): edits,
//   bars and lamps alike. A busy user-interface thread thus gets one call,
//   not a backlog. A value equal to the one last posted for its control is
//   no change: a pass that changes nothing wakes nobody. Deliveries closer
//   together than kFrame are applied together, kFrame after the previous
//   one, so that the passes of several workers cost one repaint.
// - Stop wakes every sleeping worker at once and joins them all; after it
//   no worker runs and Start refuses. The owner clears the run flags before
//   it calls Stop, and calls Stop before the dialog's controls and proxies
//   go away, so no worker ever reaches a destroyed object.
#ifndef SKARVEL_PANEL_THREADS_H
#define SKARVEL_PANEL_THREADS_H

#include <QElapsedTimer>
#include <QTimer>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class PanelDialog;
class QWidget;
class StatusLamp;

enum class PanelThread : int {
  ConnectState,
  UltraSonic,
  Bumper,
  Emergency,
  DrivePos,
  PowerModule,
  DriveForward,
  DriveBackward,
  DriveLeft,
  DriveRight,
  DriveStop,
};
inline constexpr int kPanelThreadCount = 11;

// The thread procedures. Each returns its exit code: 1 when it ended
// because its run flag was clear, 0 when the owner stopped.
int ConnectStateThread(PanelDialog &dialog);
int UltraSonicThread(PanelDialog &dialog);
int BumperThread(PanelDialog &dialog);
int EmergencyThread(PanelDialog &dialog);
int DrivePosThread(PanelDialog &dialog);
int PowerModuleThread(PanelDialog &dialog);
int DriveForwardThread(PanelDialog &dialog);
int DriveBackwardThread(PanelDialog &dialog);
int DriveLeftThread(PanelDialog &dialog);
int DriveRightThread(PanelDialog &dialog);
int DriveStopThread(PanelDialog &dialog);

class PanelThreads {
public:
  // Sleep between two passes of every worker.
  static constexpr std::chrono::milliseconds kPeriod{100};
  // Shortest time between two applications of the workers' updates: well
  // within a period, so every reading still shows in the pass it was made.
  static constexpr std::chrono::milliseconds kFrame{30};

  explicit PanelThreads(PanelDialog &dialog);
  ~PanelThreads(); // Stop()
  PanelThreads(const PanelThreads &) = delete;
  PanelThreads &operator=(const PanelThreads &) = delete;

  // Makes sure a thread of `kind` runs: creates one, or lets the one that
  // has not yet left carry on. False when no thread could be created, or
  // after Stop.
  bool Start(PanelThread kind);
  // Wakes and joins every worker. Idempotent.
  void Stop();
  bool Stopped() const;

  // True from a successful Start until the thread has decided to leave.
  bool Running(PanelThread kind) const;
  // Successful Start calls for `kind`, reuses included.
  uint64_t Starts(PanelThread kind) const;

  // For workers. Pause sleeps one period, or less once Stop has begun;
  // false when stopping. Leave is called by a worker that found `flag`
  // clear: true when it must end now (it no longer counts as running);
  // false when the flag was set again meanwhile and the worker goes on.
  bool Pause();
  bool Leave(PanelThread kind, const std::atomic<bool> &flag);

  // Control updates. Show records the value for the control `id` (an
  // edit's number, a bar's position, a lamp's column in `lampRow`), any
  // thread, unless it is the value last recorded for that control and the
  // control still shows it (a control changed by anything else since gets
  // the reading again, repeat or not); Deliver
  // makes sure the dialog soon applies what has been recorded, and does
  // nothing when nothing new has been. ApplyUpdates runs on the
  // user-interface thread (the dialog's ShowReadings): it applies what has
  // been recorded, at once or, within kFrame of the previous application,
  // once kFrame has passed.
  void Show(int id, int32_t value, int32_t lampRow = 0);
  void Deliver();
  void ApplyUpdates();

  // Test hook: makes Start fail for `kind` (as when the system cannot make
  // another thread) until called again with false. Process-wide, so that a
  // test can also make the dialog's opening fail.
  static void FailCreationForTesting(PanelThread kind, bool fail);

private:
  void ApplyNow();
  // User-interface thread: from the first update of `slot` on, notices
  // changes that others make to its control.
  void Watch(int slot, QWidget *control);

  struct Slot {
    std::thread thread;
    bool running = false; // under m_mutex
  };
  void Run(PanelThread kind);

  // Control identifiers the workers update, from kFirstControl on.
  static constexpr int kFirstControl = 1000;
  static constexpr int kControlSlots = 128;
  struct Update {
    bool pending = false; // recorded, not yet applied
    bool known = false;   // value and lampRow are the control's latest
    int32_t value = 0;
    int32_t lampRow = 0;
  };

  PanelDialog &m_dialog;
  mutable std::mutex m_mutex; // guards m_slots' running flags and m_stopping
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::array<Slot, kPanelThreadCount> m_slots;
  std::array<std::atomic<uint64_t>, kPanelThreadCount> m_starts{};

  std::mutex m_updatesMutex; // guards m_updates and m_anyPending
  std::array<Update, kControlSlots> m_updates{};
  bool m_anyPending = false;
  std::atomic<bool> m_deliveryQueued{false};
  // The lamps among the controls, once first updated; read by Show.
  std::array<std::atomic<const StatusLamp *>, kControlSlots> m_lamps{};
  // User-interface thread only.
  std::array<bool, kControlSlots> m_watched{};
  bool m_applying = false;
  QTimer m_frameTimer;
  QElapsedTimer m_sinceApplied;
};

#endif
