// Skarvel: the operator's panel for the wheeled mobile robot. The program is
// its dialog: it runs the panel modally and ends when the panel closes.
#include <QApplication>

#include "panel_dialog.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  {
    PanelDialog dialog;
    dialog.exec();
  }
  return 0;
}
