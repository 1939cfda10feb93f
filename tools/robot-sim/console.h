// The simulator's terminal: a one-line status refreshed in place and single
// keys for the operator's switches (e emergency key, c charger, q quit).
//
// Threading: used from the program's main thread only.
#ifndef ROBOTSIM_CONSOLE_H
#define ROBOTSIM_CONSOLE_H

#include <string>

#include <termios.h>

#include "simulator.h"

namespace robotsim {

class Console {
public:
  // `interactive`: draw the status line (stdout is a terminal). Keys are
  // read only when stdin is a terminal too; it is put into non-canonical
  // mode until the console goes away.
  explicit Console(bool interactive);
  ~Console();
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  bool interactive() const { return interactive_; }
  // Descriptor to watch for keys, or -1 when keys are not read.
  int key_fd() const { return keys_ ? 0 : -1; }

  // Acts on the keys waiting on stdin; false when the operator asked to quit
  // (or stdin ended).
  bool HandleKeys(RobotSimulator &sim);
  void ShowStatus(const Snapshot &snap);
  // Ends the status line so that what follows starts on a fresh one.
  void Finish();

private:
  bool interactive_;
  bool keys_ = false;
  bool line_shown_ = false;
  termios saved_{};
};

// Status-line text for `snap` (no control characters).
std::string StatusText(const Snapshot &snap);

} // namespace robotsim

#endif
