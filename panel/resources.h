// The panel's pictures, embedded with Qt's resource system. The numbers are
// the resource identifiers the dialog templates refer to.
#ifndef SKARVEL_RESOURCES_H
#define SKARVEL_RESOURCES_H

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace SkarvelResource {
constexpr int kIcon = 128;      // application icon, 32 x 32 and 16 x 16
constexpr int kLampStrip = 131; // 48 x 128, 3 columns x 8 rows of 16 x 16 cells
constexpr int kLogo = 135;      // 198 x 44, 24-bit, white background

// Magenta marks the strip's transparent pixels.
constexpr QRgb kLampKeyColour = qRgb(255, 0, 255);

QIcon AppIcon();      // icon 128 with both images
QImage LampStrip();   // bitmap 131 as loaded (16-colour palette)
QPixmap LogoPixmap(); // bitmap 135
} // namespace SkarvelResource

#endif
