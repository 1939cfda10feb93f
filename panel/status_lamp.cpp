#include "status_lamp.h"

#include "resources.h"

#include <QPainter>
#include <QThread>

namespace {

constexpr int kCellSize = 16;
constexpr int kStripColumns = 3;

// The strip with its key colour turned fully transparent, so that drawing a
// cell leaves whatever lies beneath the key pixels as it was.
QImage TransparentStrip(const QImage &strip) {
  QImage image = strip.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = SkarvelResource::kLampKeyColour;
  for (int y = 0; y < image.height(); ++y) {
    auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (line[x] == key) line[x] = qRgba(0, 0, 0, 0);
    }
  }
  return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

StatusLamp::StatusLamp(QWidget *parent)
    : QWidget(parent), m_strip(TransparentStrip(SkarvelResource::LampStrip())) {
  // Nothing is erased: the dialog's background shows around the lamp.
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setAutoFillBackground(false);
}

StatusLamp::~StatusLamp() = default;

void StatusLamp::SetLamp(int32_t rowY, int32_t column, int32_t extraY) {
  m_rowY.store(rowY);
  m_column.store(column);
  m_extraY.store(extraY);
  if (QThread::currentThread() == thread()) {
    update();
    return;
  }
  // Widgets may only be touched on their own thread. One queued request
  // stands for any number of calls made before it runs; it paints the
  // state that is current by then.
  if (!m_repaintPending.exchange(true)) {
    // By name, so nothing of the caller's travels with the request.
    QMetaObject::invokeMethod(this, "RepaintRequested", Qt::QueuedConnection);
  }
}

void StatusLamp::RepaintRequested() {
  m_repaintPending.store(false);
  update();
}

void StatusLamp::paintEvent(QPaintEvent *) {
  const int column = m_column.load();
  const int64_t y = int64_t(m_rowY.load()) + int64_t(m_extraY.load());
  const int64_t lastRowStart = int64_t(m_strip.height()) - kCellSize;
  if (column < 0 || column >= kStripColumns || y < 0 || y > lastRowStart) return;

  QPoint origin(0, 0);
  if (width() >= kCellSize && height() >= kCellSize) {
    origin = QPoint((width() - kCellSize) / 2, (height() - kCellSize) / 2);
  }
  QPainter painter(this);
  painter.drawImage(origin, m_strip, QRect(column * kCellSize, int(y), kCellSize, kCellSize));
}
