// StatusLamp: a 16 x 16 cell of the lamp strip drawn centred in the control
// (or from its top-left corner, clipped, when the control is smaller), with
// the strip's magenta key colour transparent over the dialog's background.
//
// Threading contract: SetLamp may be called from any thread at any time,
// also before the control is shown. It stores the state atomically and asks
// the user-interface thread to repaint; painting reads the state there. The
// caller must not call SetLamp once the lamp is destroyed (the dialog joins
// its worker threads before destroying its controls).
#ifndef SKARVEL_STATUS_LAMP_H
#define SKARVEL_STATUS_LAMP_H

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>

class StatusLamp : public QWidget {
  Q_OBJECT
public:
  explicit StatusLamp(QWidget *parent = nullptr);
  ~StatusLamp() override;

  // Selects the strip cell at x = 16 * column, y = rowY + extraY and draws
  // it within the caller's period. A cell outside the strip draws nothing.
  void SetLamp(int32_t rowY, int32_t column, int32_t extraY);

  int32_t rowY() const { return m_rowY.load(); }
  int32_t column() const { return m_column.load(); }
  int32_t extraY() const { return m_extraY.load(); }

protected:
  void paintEvent(QPaintEvent *event) override;

private slots:
  // The repaint a worker's SetLamp asks the user-interface thread for.
  void RepaintRequested();

private:
  std::atomic<int32_t> m_rowY{0};
  std::atomic<int32_t> m_column{1};
  std::atomic<int32_t> m_extraY{0};
  QImage m_strip;
  std::atomic<bool> m_repaintPending{false};
};

#endif
