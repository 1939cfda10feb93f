#include "resources.h"

#include <QBitmap>
#include <QString>
#include <mutex>

// The pictures are compiled into skarvel_ui, a static library: registering
// them explicitly keeps them available however the library is linked.
static void RegisterPictures() {
  static std::once_flag once;
  std::call_once(once, [] { Q_INIT_RESOURCE(skarvel_pictures); });
}

namespace {

QImage LoadPicture(const char *name) {
  RegisterPictures();
  return QImage(QStringLiteral(":/skarvel/") + QString::fromLatin1(name));
}

// The icon images use the same magenta key as the lamp strip for the
// pixels around the wheel.
QPixmap KeyedPixmap(const QImage &image) {
  QPixmap pixmap = QPixmap::fromImage(image);
  if (!pixmap.isNull()) {
    pixmap.setMask(QBitmap::fromImage(
        image.createMaskFromColor(SkarvelResource::kLampKeyColour, Qt::MaskInColor)));
  }
  return pixmap;
}

} // namespace

namespace SkarvelResource {

QIcon AppIcon() {
  QIcon icon;
  icon.addPixmap(KeyedPixmap(LoadPicture("icon_32.bmp")));
  icon.addPixmap(KeyedPixmap(LoadPicture("icon_16.bmp")));
  return icon;
}

QImage LampStrip() { return LoadPicture("lamp_strip.bmp"); }

QPixmap LogoPixmap() { return QPixmap::fromImage(LoadPicture("logo.bmp")); }

} // namespace SkarvelResource
