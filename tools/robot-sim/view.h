// The simulator's window: a top-down picture of the room, its boxes, the
// robot with its heading, bumpers and sonar rays, the true path and the
// odometry path. Odometry is drawn in room coordinates by placing its
// origin at the robot's start pose, so the two paths part where the wheels
// slipped or the odometry was overwritten.
#ifndef ROBOTSIM_VIEW_H
#define ROBOTSIM_VIEW_H

#include <memory>
#include <string>

#include <QFont>
#include <QStringList>
#include <QWidget>

#include "console.h"
#include "simulator.h"

namespace robotsim {

struct ViewOptions {
  // When set, the window saves a picture of itself here and closes after
  // `snapshot_after_ms` milliseconds.
  std::string snapshot_path;
  int snapshot_after_ms = 1500;
};

// The status text above the room as lines that each fit `width` pixels in
// `font`: its fields in order, as many to a line as fit; a field wider than
// the whole line alone is shortened with an ellipsis.
QStringList StatusLines(const Snapshot &snap, const QFont &font, int width);

// The room view as a widget of its own, not shown; it refreshes itself from
// `sim` only when Refresh() is called (RunView does so 25 times a second).
std::unique_ptr<QWidget> MakeRoomView(RobotSimulator &sim);

// True when a window can be shown: a display is named, or Qt is told which
// platform to use.
bool DisplayAvailable();

// Runs the window until it is closed, 'q' is pressed there or on the
// console, or `quit_fd` becomes readable. Keeps the console's status line
// and keys working meanwhile. Returns the program's exit status.
int RunView(int &argc, char **argv, RobotSimulator &sim, Console &console, int quit_fd,
            const ViewOptions &options);

} // namespace robotsim

#endif
