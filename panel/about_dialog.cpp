#include "about_dialog.h"

#include <QPushButton>

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent) {
  m_controls = BuildDialog(*this, kAboutTemplate);
  connect(qobject_cast<QPushButton *>(control(kOkId)), &QPushButton::clicked, this,
          &QDialog::accept);
}
