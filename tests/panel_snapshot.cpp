// Opens the panel as the program does and saves what it shows as a PNG:
//   panel_snapshot PANEL.png [ABOUT.png]
#include <QApplication>
#include <QPixmap>
#include <QThread>
#include <cstdio>

#include "about_dialog.h"
#include "panel_dialog.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PANEL.png [ABOUT.png]\n", argv[0]);
    return 2;
  }
  PanelDialog panel;
  panel.show();
  // No window manager hands out the focus here; take it as a desktop would.
  panel.activateWindow();
  for (int i = 0; i < 100 && !panel.isActiveWindow(); ++i) {
    QApplication::processEvents();
    QThread::msleep(10);
  }
  QApplication::processEvents();
  if (!panel.grab().save(QString::fromLocal8Bit(argv[1]))) return 1;
  if (argc > 2) {
    AboutDialog about(&panel);
    about.show();
    QApplication::processEvents();
    if (!about.grab().save(QString::fromLocal8Bit(argv[2]))) return 1;
  }
  return 0;
}
