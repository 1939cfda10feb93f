// The About box: the program's name, version and icon, closed by its
// default button. Built from its template like the panel.
#ifndef SKARVEL_ABOUT_DIALOG_H
#define SKARVEL_ABOUT_DIALOG_H

#include <QDialog>

#include "dialog_template.h"

class AboutDialog : public QDialog {
  Q_OBJECT
public:
  explicit AboutDialog(QWidget *parent = nullptr);

  QWidget *control(int id) const { return m_controls.value(id); }

private:
  ControlMap m_controls;
};

#endif
