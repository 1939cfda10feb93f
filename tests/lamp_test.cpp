// The status lamp and the panel's pictures, drawn on Qt's offscreen platform.
#include "resources.h"
#include "status_lamp.h"

#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr QRgb kKey = qRgb(255, 0, 255);
constexpr QRgb kDarkGrey = qRgb(128, 128, 128);
constexpr QRgb kLightGrey = qRgb(192, 192, 192);
constexpr QRgb kWhite = qRgb(255, 255, 255);
// A dialog background no strip colour can be mistaken for.
constexpr QRgb kBackground = qRgb(37, 91, 143);

// Bright and dark colour of strip rows 0-3 (round) and 4-7 (square).
constexpr std::array<std::array<QRgb, 2>, 4> kRowColours = {{
    {qRgb(255, 0, 0), qRgb(128, 0, 0)},
    {qRgb(0, 255, 0), qRgb(0, 128, 0)},
    {qRgb(255, 255, 0), qRgb(128, 128, 0)},
    {qRgb(0, 0, 255), qRgb(0, 0, 128)},
}};

QRgb CellColour(int row, int column) {
  return column == 2 ? kDarkGrey : kRowColours[size_t(row % 4)][size_t(column)];
}

QRgb StripPixel(const QImage &strip, int column, int row, int x, int y) {
  return strip.pixel(16 * column + x, 16 * row + y) | 0xFF000000u;
}

std::string Hex(QRgb c) { return QString::number(c & 0xFFFFFFu, 16).toStdString(); }

// A top-level dialog stand-in painted in kBackground with one lamp on it.
struct Scene {
  static constexpr QPoint kLampPos{10, 7};

  explicit Scene(QSize lampSize) {
    window->resize(64, 48);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(kBackground));
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    lamp = new StatusLamp(window.get());
    lamp->setGeometry(QRect(kLampPos, lampSize));
  }

  QImage Rendered() const { return window->grab().toImage().convertToFormat(QImage::Format_RGB32); }

  // What the platform holds for the window: only painting that actually
  // happened shows here.
  QImage OnScreen() const {
    return window->screen()
        ->grabWindow(window->winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  }

  bool ShowAndWait() const {
    window->show();
    return QTest::qWaitForWindowExposed(window.get());
  }

  std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
  StatusLamp *lamp = nullptr;
};

// Compares the whole window with the strip cell at (column, y) composited at
// lampOrigin (window coordinates) over the background and cut to the
// control; a negative column means no lamp at all. Returns "" on a match.
std::string Mismatch(const QImage &shot, const QRect &control, QPoint lampOrigin, int column,
                     int y) {
  const QImage strip = SkarvelResource::LampStrip();
  for (int wy = 0; wy < shot.height(); ++wy) {
    for (int wx = 0; wx < shot.width(); ++wx) {
      QRgb expected = kBackground;
      const QPoint inCell = QPoint(wx, wy) - lampOrigin;
      if (column >= 0 && control.contains(wx, wy) && inCell.x() >= 0 && inCell.x() < 16 &&
          inCell.y() >= 0 && inCell.y() < 16) {
        const QRgb cell = strip.pixel(16 * column + inCell.x(), y + inCell.y()) | 0xFF000000u;
        if (cell != kKey) expected = cell;
      }
      const QRgb actual = shot.pixel(wx, wy) | 0xFF000000u;
      if (actual != expected) {
        return "at (" + std::to_string(wx) + "," + std::to_string(wy) + ") got " + Hex(actual) +
               " expected " + Hex(expected);
      }
    }
  }
  return "";
}

TEST(LampStrip, HoldsTheGridOfShapesAndColoursOnMagenta) {
  const QImage strip = SkarvelResource::LampStrip();
  ASSERT_EQ(strip.size(), QSize(48, 128));
  EXPECT_EQ(strip.format(), QImage::Format_Indexed8);
  EXPECT_EQ(strip.colorCount(), 16);

  for (int row = 0; row < 8; ++row) {
    const bool round = row < 4;
    for (int column = 0; column < 3; ++column) {
      SCOPED_TRACE("row " + std::to_string(row) + " column " + std::to_string(column));
      const QRgb colour = CellColour(row, column);
      auto at = [&](int x, int y) { return StripPixel(strip, column, row, x, y); };
      for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
          if (x < 2 || x > 12 || y < 2 || y > 12) {
            EXPECT_EQ(at(x, y), kKey) << x << "," << y;
          }
        }
      }
      EXPECT_EQ(at(7, 7), colour);
      // The lamp body is 7 pixels across in a light grey ring.
      EXPECT_EQ(at(4, 7), colour);
      EXPECT_EQ(at(10, 7), colour);
      EXPECT_EQ(at(7, 10), colour);
      EXPECT_EQ(at(3, 7), kLightGrey);
      EXPECT_EQ(at(11, 7), kLightGrey);
      EXPECT_EQ(at(7, 11), kLightGrey);
      if (round) {
        // Sunken: shadow above and left, light below and right; round
        // corners leave the shape's bounding box corners transparent.
        EXPECT_EQ(at(7, 2), kDarkGrey);
        EXPECT_EQ(at(2, 7), kDarkGrey);
        EXPECT_EQ(at(7, 12), kWhite);
        EXPECT_EQ(at(12, 7), kWhite);
        EXPECT_EQ(at(2, 2), kKey);
        EXPECT_EQ(at(12, 12), kKey);
        EXPECT_EQ(at(5, 5), kWhite);
      } else {
        // Raised: light above and left, shadow below and right.
        EXPECT_EQ(at(7, 2), kWhite);
        EXPECT_EQ(at(2, 7), kWhite);
        EXPECT_EQ(at(7, 12), kDarkGrey);
        EXPECT_EQ(at(12, 7), kDarkGrey);
        EXPECT_EQ(at(4, 4), colour);
        EXPECT_EQ(at(10, 10), colour);
      }
    }
  }

  // Within one shape every cell has the same outline: at each position the
  // cells either all agree or each shows its own colour.
  for (int shape = 0; shape < 2; ++shape) {
    SCOPED_TRACE(shape == 0 ? "round" : "square");
    int colourPositions = 0;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const QRgb first = StripPixel(strip, 0, 4 * shape, x, y);
        bool allSame = true;
        bool allOwnColour = true;
        for (int row = 4 * shape; row < 4 * shape + 4; ++row) {
          for (int column = 0; column < 3; ++column) {
            const QRgb p = StripPixel(strip, column, row, x, y);
            allSame = allSame && p == first;
            allOwnColour = allOwnColour && p == CellColour(row, column);
          }
        }
        EXPECT_TRUE(allSame || allOwnColour) << x << "," << y;
        if (allOwnColour) ++colourPositions;
      }
    }
    EXPECT_GE(colourPositions, 30);
  }
}

TEST(PanelPictures, IconHasBothSizesAndLogoIsWhiteFramed) {
  const QIcon icon = SkarvelResource::AppIcon();
  const QList<QSize> sizes = icon.availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
  for (int size : {16, 32}) {
    const QImage image = icon.pixmap(size, size).toImage();
    ASSERT_EQ(image.size(), QSize(size, size));
    // The key colour around the picture is transparent, its middle opaque.
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
  }

  const QImage logo = SkarvelResource::LogoPixmap().toImage();
  ASSERT_EQ(logo.size(), QSize(198, 44));
  int drawn = 0;
  for (int y = 0; y < logo.height(); ++y) {
    for (int x = 0; x < logo.width(); ++x) {
      const bool border = x == 0 || y == 0 || x == logo.width() - 1 || y == logo.height() - 1;
      const bool white = (logo.pixel(x, y) | 0xFF000000u) == kWhite;
      if (border) {
        EXPECT_TRUE(white) << x << "," << y;
      }
      if (!white) ++drawn;
    }
  }
  EXPECT_GT(drawn, 500);
}

TEST(StatusLamp, ShowsDarkRedRoundLampUntilFirstSet) {
  Scene scene(QSize(18, 18));
  const QPoint origin = Scene::kLampPos + QPoint(1, 1);
  const QImage shot = scene.Rendered();
  EXPECT_EQ(shot.pixel(origin + QPoint(7, 7)) | 0xFF000000u, qRgb(128, 0, 0));
  EXPECT_EQ(Mismatch(shot, scene.lamp->geometry(), origin, 1, 0), "");
}

TEST(StatusLamp, DrawsSelectedCellOverUntouchedBackground) {
  Scene scene(QSize(18, 18));
  const QPoint origin = Scene::kLampPos + QPoint(1, 1);
  struct Case {
    int32_t rowY, column, extraY;
    QRgb centre;
  };
  const Case cases[] = {
      {0, 0, 0, qRgb(255, 0, 0)},    {0, 1, 0, qRgb(128, 0, 0)},   {16, 2, 0, kDarkGrey},
      {16, 0, 0, qRgb(0, 255, 0)},   {0, 1, 16, qRgb(0, 128, 0)},  {64, 1, 0, qRgb(128, 0, 0)},
      {96, 0, 0, qRgb(255, 255, 0)}, {112, 0, 0, qRgb(0, 0, 255)}, {64, 2, 48, kDarkGrey},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.rowY) + "/" + std::to_string(c.column) + "/" +
                 std::to_string(c.extraY));
    scene.lamp->SetLamp(c.rowY, c.column, c.extraY);
    const QImage shot = scene.Rendered();
    EXPECT_EQ(shot.pixel(origin + QPoint(7, 7)) | 0xFF000000u, c.centre);
    EXPECT_EQ(Mismatch(shot, scene.lamp->geometry(), origin, c.column, c.rowY + c.extraY), "");
  }
}

TEST(StatusLamp, CentresInLargeControlsAndStartsTopLeftClippedInSmallOnes) {
  struct Case {
    QSize size;
    QPoint offset;
  };
  const Case cases[] = {
      {QSize(18, 18), QPoint(1, 1)}, {QSize(16, 16), QPoint(0, 0)}, {QSize(41, 21), QPoint(12, 2)},
      {QSize(12, 12), QPoint(0, 0)}, {QSize(30, 12), QPoint(0, 0)}, {QSize(12, 30), QPoint(0, 0)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.size.width()) + "x" + std::to_string(c.size.height()));
    Scene scene(c.size);
    scene.lamp->SetLamp(64, 0, 0); // the square reaches the clipped edges
    EXPECT_EQ(Mismatch(scene.Rendered(), scene.lamp->geometry(), Scene::kLampPos + c.offset, 0, 64),
              "");
  }
}

TEST(StatusLamp, CellOutsideStripDrawsNothing) {
  Scene scene(QSize(18, 18));
  const std::array<std::array<int32_t, 3>, 9> outside = {{
      {0, 3, 0},
      {0, -1, 0},
      {113, 0, 0},
      {100, 0, 13},
      {-1, 0, 0},
      {0, 0, -16},
      {INT32_MAX, 0, 1},
      {INT32_MIN, 0, -1},
      {0, INT32_MAX, 0},
  }};
  for (const auto &state : outside) {
    SCOPED_TRACE(std::to_string(state[0]) + "/" + std::to_string(state[1]) + "/" +
                 std::to_string(state[2]));
    scene.lamp->SetLamp(0, 0, 0);
    scene.lamp->SetLamp(state[0], state[1], state[2]);
    EXPECT_EQ(Mismatch(scene.Rendered(), scene.lamp->geometry(), {}, -1, 0), "");
  }
}

TEST(StatusLamp, SetFromWorkerThreadReachesScreenOnceEventsRun) {
  Scene scene(QSize(18, 18));
  ASSERT_TRUE(scene.ShowAndWait());
  const QRect control = scene.lamp->geometry();
  const QPoint origin = Scene::kLampPos + QPoint(1, 1);
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Mismatch(scene.OnScreen(), control, origin, 1, 0) == ""; }));

  // Many calls in a row: whatever is coalesced, the last state must show.
  std::thread worker([lamp = scene.lamp] {
    for (int i = 0; i < 200; ++i)
      lamp->SetLamp(16 * (i % 8), i % 3, 0);
    lamp->SetLamp(16, 0, 0);
  });
  worker.join();
  (void)QTest::qWaitFor([&] { return Mismatch(scene.OnScreen(), control, origin, 0, 16) == ""; });
  EXPECT_EQ(Mismatch(scene.OnScreen(), control, origin, 0, 16), "");

  std::thread off([lamp = scene.lamp] { lamp->SetLamp(0, 5, 0); });
  off.join();
  (void)QTest::qWaitFor([&] { return Mismatch(scene.OnScreen(), control, origin, -1, 0) == ""; });
  EXPECT_EQ(Mismatch(scene.OnScreen(), control, origin, -1, 0), "");
}

TEST(StatusLamp, StateSetBeforeShowIsWhatFirstPaintShows) {
  Scene scene(QSize(18, 18));
  scene.lamp->SetLamp(48, 0, 0);
  std::thread worker([lamp = scene.lamp] { lamp->SetLamp(80, 2, 0); });
  worker.join();

  ASSERT_TRUE(scene.ShowAndWait());
  const QRect control = scene.lamp->geometry();
  const QPoint origin = Scene::kLampPos + QPoint(1, 1);
  (void)QTest::qWaitFor([&] { return Mismatch(scene.OnScreen(), control, origin, 2, 80) == ""; });
  const QImage shot = scene.OnScreen();
  EXPECT_EQ(shot.pixel(origin + QPoint(7, 7)) | 0xFF000000u, kDarkGrey);
  EXPECT_EQ(shot.pixel(origin + QPoint(2, 2)) | 0xFF000000u, kWhite); // square, not round
  EXPECT_EQ(Mismatch(shot, control, origin, 2, 80), "");
}

} // namespace
