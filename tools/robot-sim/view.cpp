#include "view.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <vector>

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

namespace robotsim {

namespace {

constexpr int kRepaintMs = 40; // 25 Hz
constexpr int kStatusMs = 200; // console status line
constexpr int kMarginPx = 16;
constexpr int kStatusPointSize = 10;
constexpr double kTraceStep = 0.01; // m between recorded path points
constexpr double kTraceJump = 0.3;  // m between two repaints: no wheel gets that far
constexpr size_t kTraceMax = 50000;
constexpr double kRadToDeg = 180.0 / std::numbers::pi;

// Odometry pose `o` (its own frame) placed in the room by its origin.
Pose OdometryInRoom(const WorldState &s) {
  const Pose &org = s.odometry_origin;
  const Pose &o = s.odometry;
  const double c = std::cos(org.theta);
  const double n = std::sin(org.theta);
  return {org.x + c * o.x - n * o.y, org.y + n * o.x + c * o.y, org.theta + o.theta};
}

// Appends a path point; a jump (odometry overwritten) starts a new piece,
// marked by a NaN point.
void Record(std::vector<QPointF> &trace, double x, double y) {
  if (!trace.empty()) {
    const double d = std::hypot(trace.back().x() - x, trace.back().y() - y);
    if (d < kTraceStep) return;
    if (d > kTraceJump) trace.emplace_back(std::nan(""), std::nan(""));
  }
  if (trace.size() >= kTraceMax) trace.erase(trace.begin(), trace.begin() + kTraceMax / 10);
  trace.emplace_back(x, y);
}

class RoomView : public QWidget {
public:
  explicit RoomView(RobotSimulator &sim) : sim_(sim) {
    setWindowTitle(QStringLiteral("robot-sim"));
    resize(960, 720);
    setFocusPolicy(Qt::StrongFocus);
    Refresh();
  }

  void Refresh() {
    snap_ = sim_.Take();
    const WorldState &s = snap_.state;
    Record(true_trace_, s.pose.x, s.pose.y);
    const Pose odo = OdometryInRoom(s);
    Record(odo_trace_, odo.x, odo.y);
    update();
  }

protected:
  void keyPressEvent(QKeyEvent *e) override {
    switch (e->key()) {
    case Qt::Key_E:
      sim_.ToggleEmergencyKey();
      break;
    case Qt::Key_C:
      sim_.ToggleCharger();
      break;
    case Qt::Key_Q:
      QApplication::quit();
      break;
    default:
      QWidget::keyPressEvent(e);
    }
  }

  void paintEvent(QPaintEvent *) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(236, 236, 232));
    Layout();
    DrawRoom(p);
    DrawPaths(p);
    DrawSonar(p);
    DrawRobot(p);
    DrawText(p);
  }

private:
  // Places the status lines and, below them, the room as large as fits.
  void Layout() {
    status_font_ = font();
    status_font_.setPointSize(kStatusPointSize);
    status_lines_ = StatusLines(snap_, status_font_, width() - 2 * kMarginPx);
    const QFontMetrics fm(status_font_);
    const int header = kMarginPx / 2 + static_cast<int>(status_lines_.size()) * fm.lineSpacing();
    const double w = width() - 2 * kMarginPx;
    const double h = height() - header - 2 * kMarginPx;
    scale_ = std::max(1.0, std::min(w / kRoomWidth, h / kRoomHeight));
    left_ = (width() - kRoomWidth * scale_) / 2;
    top_ = header + kMarginPx + (h - kRoomHeight * scale_) / 2;
  }

  // Room metres to pixels; north is up.
  QPointF At(double x, double y) const {
    return {left_ + x * scale_, top_ + (kRoomHeight - y) * scale_};
  }

  void DrawRoom(QPainter &p) {
    const QRectF floor(At(0, kRoomHeight), At(kRoomWidth, 0));
    p.fillRect(floor, Qt::white);
    p.setPen(QPen(QColor(225, 225, 225), 1));
    for (int x = 1; x < kRoomWidth; ++x)
      p.drawLine(At(x, 0), At(x, kRoomHeight));
    for (int y = 1; y < kRoomHeight; ++y)
      p.drawLine(At(0, y), At(kRoomWidth, y));
    p.setPen(QPen(QColor(90, 70, 40), 1.5));
    p.setBrush(QColor(176, 136, 80));
    for (const Box &b : Obstacles())
      p.drawRect(QRectF(At(b.x0, b.y1), At(b.x1, b.y0)));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(60, 60, 60), 5));
    p.drawRect(floor);
  }

  void DrawPath(QPainter &p, const std::vector<QPointF> &trace, const QPen &pen) {
    p.setPen(pen);
    QPolygonF piece;
    for (const QPointF &pt : trace) {
      if (std::isnan(pt.x())) {
        p.drawPolyline(piece);
        piece.clear();
      } else {
        piece << At(pt.x(), pt.y());
      }
    }
    p.drawPolyline(piece);
  }

  void DrawPaths(QPainter &p) {
    DrawPath(p, true_trace_, QPen(QColor(150, 150, 150), 2));
    DrawPath(p, odo_trace_, QPen(QColor(40, 90, 220), 1.5, Qt::DashLine));
    // Where the controller believes it is.
    const Pose odo = OdometryInRoom(snap_.state);
    p.setPen(QPen(QColor(40, 90, 220), 1.5, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    const double r = kRobotRadius * scale_;
    p.drawEllipse(At(odo.x, odo.y), r, r);
    p.drawLine(At(odo.x, odo.y), At(odo.x + kRobotRadius * std::cos(odo.theta),
                                    odo.y + kRobotRadius * std::sin(odo.theta)));
  }

  void DrawSonar(QPainter &p) {
    const WorldState &s = snap_.state;
    const bool on = s.module_on[static_cast<size_t>(Module::Sensor)];
    const double max_m = kSonarMaxCm / 100.0;
    for (int i = 0; i < kSonarCount; ++i) {
      const double a = s.pose.theta + (90.0 - kSonarSpacingDeg * i) / kRadToDeg;
      const double cx = std::cos(a);
      const double cy = std::sin(a);
      const double x0 = s.pose.x + kRobotRadius * cx;
      const double y0 = s.pose.y + kRobotRadius * cy;
      const double range = std::min(snap_.sonar_m[i], max_m);
      const QPointF end = At(x0 + range * cx, y0 + range * cy);
      p.setPen(QPen(on ? QColor(30, 160, 60, 150) : QColor(160, 160, 160, 90), 1.5,
                    on ? Qt::SolidLine : Qt::DotLine));
      p.drawLine(At(x0, y0), end);
      if (on && snap_.sonar_m[i] < max_m) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 160, 60));
        p.drawEllipse(end, 3, 3);
      }
    }
  }

  void DrawRobot(QPainter &p) {
    const WorldState &s = snap_.state;
    const QPointF c = At(s.pose.x, s.pose.y);
    const double r = kRobotRadius * scale_;
    p.setPen(QPen(QColor(30, 30, 30), 1.5));
    p.setBrush(s.emergency_key ? QColor(220, 60, 50) : QColor(70, 140, 215));
    p.drawEllipse(c, r, r);
    p.setPen(QPen(Qt::white, 3));
    p.drawLine(c, At(s.pose.x + kRobotRadius * std::cos(s.pose.theta),
                     s.pose.y + kRobotRadius * std::sin(s.pose.theta)));
    // Bumper arcs just outside the rim; drawArc counts in 1/16 degree,
    // counter-clockwise as seen, which matches the room's sense.
    const double br = r + 4;
    const QRectF ring(c.x() - br, c.y() - br, 2 * br, 2 * br);
    const int heading = static_cast<int>(std::lround(s.pose.theta * kRadToDeg));
    auto arc = [&](bool pressed, int from_deg, int span_deg) {
      p.setPen(QPen(pressed ? QColor(230, 30, 30) : QColor(120, 120, 120), pressed ? 6 : 3,
                    Qt::SolidLine, Qt::FlatCap));
      p.setBrush(Qt::NoBrush);
      p.drawArc(ring, (heading + from_deg) * 16, span_deg * 16);
    };
    arc(s.bumper_right, -85, 83);
    arc(s.bumper_left, 2, 83);
  }

  void DrawText(QPainter &p) {
    p.setPen(QColor(20, 20, 20));
    p.setFont(status_font_);
    const QFontMetrics fm(status_font_);
    int y = kMarginPx / 2 + fm.ascent();
    for (const QString &line : status_lines_) {
      p.drawText(QPointF(kMarginPx, y), line);
      y += fm.lineSpacing();
    }
  }

  RobotSimulator &sim_;
  Snapshot snap_;
  std::vector<QPointF> true_trace_;
  std::vector<QPointF> odo_trace_;
  QFont status_font_;
  QStringList status_lines_;
  double scale_ = 1;
  double left_ = 0;
  double top_ = 0;
};

// The status fields in reading order.
QStringList StatusFields(const Snapshot &snap) {
  const WorldState &s = snap.state;
  const auto on_off = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
  return {
      QStringLiteral("t %1 s").arg(s.time_us / 1e6, 0, 'f', 1),
      QStringLiteral("odometry x %1 mm  y %2 mm  th %3 deg")
          .arg(std::lround(s.odometry.x * 1000))
          .arg(std::lround(s.odometry.y * 1000))
          .arg(std::lround(s.odometry.theta * kRadToDeg)),
      QStringLiteral("wheels L %1  R %2 mm/s")
          .arg(std::lround(s.wheel_left))
          .arg(std::lround(s.wheel_right)),
      QStringLiteral("servo %1").arg(on_off(s.servo_on)),
      QStringLiteral("bumpers R%1 L%2 (%3 mode)")
          .arg(s.bumper_right ? 1 : 0)
          .arg(s.bumper_left ? 1 : 0)
          .arg(s.bumper_dir_mode ? QStringLiteral("stop") : QStringLiteral("off")),
      QStringLiteral("battery %1 V  %2 mA")
          .arg(s.battery_mv / 1000.0, 0, 'f', 2)
          .arg(std::lround(s.consumption_ma)),
      QStringLiteral("charge %1")
          .arg(s.charger ? QStringLiteral("%1 mA").arg(std::lround(s.charge_ma)) : on_off(false)),
      QStringLiteral("emergency key %1")
          .arg(s.emergency_key ? QStringLiteral("PRESSED") : QStringLiteral("released")),
      QStringLiteral("grey: true path, blue dashed: odometry"),
      QStringLiteral("keys: e emergency, c charger, q quit"),
  };
}

} // namespace

QStringList StatusLines(const Snapshot &snap, const QFont &font, int width) {
  static const QString kGap = QStringLiteral("   ");
  const QFontMetrics fm(font);
  QStringList lines;
  QString line;
  for (const QString &field : StatusFields(snap)) {
    const QString longer = line.isEmpty() ? field : line + kGap + field;
    if (fm.horizontalAdvance(longer) <= width) {
      line = longer;
      continue;
    }
    if (!line.isEmpty()) lines << line;
    line =
        fm.horizontalAdvance(field) <= width ? field : fm.elidedText(field, Qt::ElideRight, width);
  }
  if (!line.isEmpty()) lines << line;
  return lines;
}

std::unique_ptr<QWidget> MakeRoomView(RobotSimulator &sim) {
  return std::make_unique<RoomView>(sim);
}

bool DisplayAvailable() {
  for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char *v = std::getenv(name);
    if (v != nullptr && *v != '\0') return true;
  }
  return false;
}

int RunView(int &argc, char **argv, RobotSimulator &sim, Console &console, int quit_fd,
            const ViewOptions &options) {
  QApplication app(argc, argv);
  RoomView view(sim);
  view.show();

  QTimer repaint;
  QObject::connect(&repaint, &QTimer::timeout, &view, [&view] { view.Refresh(); });
  repaint.start(kRepaintMs);

  QTimer status;
  QObject::connect(&status, &QTimer::timeout, &view,
                   [&console, &sim] { console.ShowStatus(sim.Take()); });
  if (console.interactive()) status.start(kStatusMs);

  QSocketNotifier quit(quit_fd, QSocketNotifier::Read);
  QObject::connect(&quit, &QSocketNotifier::activated, &app, [] { QApplication::quit(); });

  std::unique_ptr<QSocketNotifier> keys;
  if (console.key_fd() >= 0) {
    keys = std::make_unique<QSocketNotifier>(console.key_fd(), QSocketNotifier::Read);
    QObject::connect(keys.get(), &QSocketNotifier::activated, &app, [&console, &sim] {
      if (!console.HandleKeys(sim)) QApplication::quit();
    });
  }

  int status_code = 0;
  if (!options.snapshot_path.empty()) {
    QTimer::singleShot(options.snapshot_after_ms, &view, [&view, &options, &status_code] {
      view.Refresh();
      if (!view.grab().save(QString::fromStdString(options.snapshot_path), "PNG")) status_code = 1;
      QApplication::quit();
    });
  }
  const int rc = app.exec();
  return rc != 0 ? rc : status_code;
}

} // namespace robotsim
