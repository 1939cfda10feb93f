// Writes one of the panel's window icons, drawn at build time as a BMP with
// magenta around the wheel, as the transparent PNG that desktop icon themes
// take.
//   png_icon IN.bmp OUT.png
#include <QImage>
#include <cstdio>

namespace {
// The key colour the panel's pictures use for "no pixel here".
constexpr QRgb kKeyColour = qRgb(255, 0, 255);
} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: png_icon IN.bmp OUT.png\n", stderr);
    return 2;
  }
  QImage image(QString::fromLocal8Bit(argv[1]));
  if (image.isNull()) {
    std::fprintf(stderr, "png_icon: cannot read %s\n", argv[1]);
    return 1;
  }
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((line[x] & RGB_MASK) == (kKeyColour & RGB_MASK)) line[x] = qRgba(0, 0, 0, 0);
  }
  if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
    std::fprintf(stderr, "png_icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
