#include "dialog_template.h"

#include <QDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionProgressBar>
#include <QApplication>
#include <algorithm>
#include <cstdint>

#include "resources.h"
#include "status_lamp.h"

namespace {

using ControlKind::Edit;
using ControlKind::GroupBox;
using ControlKind::Label;
using ControlKind::Lamp;
using ControlKind::Picture;
using ControlKind::ProgressBar;
using ControlKind::PushButton;
using namespace ControlFlag;

constexpr int S = kStaticId;

// Dialog 102, the panel. Rows are grouped as the operator sees them; the
// keyboard order is kPanelTabOrder below.
constexpr ControlTemplate kPanelControls[] = {
    {S, Picture, "135", {310, 15, 113, 29}, kNone},

    {S, GroupBox, " Emergency ", {7, 7, 150, 34}, kRaised},
    {1091, Lamp, "", {79, 19, 13, 15}, kNone},
    {S, Label, "Emgency Stop ", {15, 23, 51, 8}, kNone},

    {S, GroupBox, "Bumper", {6, 43, 151, 50}, kRaised},
    {1092, Lamp, "", {79, 55, 12, 12}, kNone},
    {1047, PushButton, " Off Mode", {105, 55, 42, 14}, kNone},
    {S, Label, "Front - Left", {16, 58, 36, 8}, kNone},
    {1048, PushButton, "Stop Mode", {105, 70, 42, 14}, kNone},
    {1093, Lamp, "", {79, 71, 12, 12}, kNone},
    {S, Label, "Front - Right", {16, 73, 41, 8}, kNone},

    {S, GroupBox, "Ultra Sonic", {5, 95, 152, 125}, kRaised},
    {S, Label, "USonic 0 :", {12, 110, 34, 8}, kNone},
    {1019, ProgressBar, "", {49, 107, 66, 12}, kNone},
    {1003, Edit, "", {118, 107, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 109, 11, 8}, kNone},
    {S, Label, "USonic 1 :", {12, 125, 34, 8}, kNone},
    {1020, ProgressBar, "", {49, 123, 66, 12}, kNone},
    {1004, Edit, "", {118, 123, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 125, 11, 8}, kNone},
    {S, Label, "USonic 2 :", {12, 141, 34, 8}, kNone},
    {1021, ProgressBar, "", {49, 139, 66, 12}, kNone},
    {1008, Edit, "", {118, 139, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 141, 11, 8}, kNone},
    {S, Label, "USonic 3 :", {12, 157, 34, 8}, kNone},
    {1022, ProgressBar, "", {49, 155, 66, 12}, kNone},
    {1005, Edit, "", {118, 155, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 157, 11, 8}, kNone},
    {S, Label, "USonic 4 :", {12, 173, 34, 8}, kNone},
    {1023, ProgressBar, "", {49, 171, 66, 12}, kNone},
    {1009, Edit, "", {118, 171, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 173, 11, 8}, kNone},
    {S, Label, "USonic 5 :", {12, 189, 34, 8}, kNone},
    {1024, ProgressBar, "", {49, 187, 66, 12}, kNone},
    {1006, Edit, "", {118, 187, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 189, 11, 8}, kNone},
    {S, Label, "USonic 6 :", {12, 205, 34, 8}, kNone},
    {1025, ProgressBar, "", {49, 203, 66, 12}, kNone},
    {1007, Edit, "", {118, 203, 19, 12}, kDisabled},
    {S, Label, "cm", {139, 205, 11, 8}, kNone},

    {S, GroupBox, "Motor Driver", {5, 222, 152, 190}, kRaised},
    {S, GroupBox, " Odometry ", {13, 238, 139, 43}, kNone},
    {S, Label, "X", {33, 250, 8, 8}, kNone},
    {S, Label, "Y", {80, 250, 8, 8}, kNone},
    {S, Label, "Theta", {118, 250, 19, 8}, kNone},
    {1016, Edit, "", {18, 262, 40, 12}, kDisabled},
    {1017, Edit, "", {63, 262, 40, 12}, kDisabled},
    {1018, Edit, "", {107, 262, 40, 12}, kDisabled},
    {S, GroupBox, " Encoder ", {12, 286, 139, 43}, kNone},
    {1031, Edit, "", {92, 300, 54, 12}, kDisabled},
    {S, Label, "Left", {26, 301, 12, 8}, kNone},
    {1032, Edit, "", {92, 313, 54, 12}, kDisabled},
    {S, Label, "Right", {26, 315, 17, 8}, kNone},
    {S, GroupBox, "Set Odometry Position", {12, 340, 138, 60}, kNone},
    {S, Label, "X", {33, 352, 8, 8}, kNone},
    {S, Label, "Y", {78, 352, 8, 8}, kNone},
    {S, Label, "Theta", {116, 352, 19, 8}, kNone},
    {1033, Edit, "", {18, 364, 40, 14}, kNone},
    {1034, Edit, "", {61, 364, 40, 14}, kNone},
    {1035, Edit, "", {106, 364, 40, 14}, kNone},
    {1040, PushButton, "Write ( x,y )", {17, 381, 58, 14}, kNone},
    {1041, PushButton, "Write ( x,y,theta )", {80, 381, 66, 14}, kNone},

    {S, GroupBox, "Power Module", {160, 7, 147, 219}, kRaised},
    {S, Label, "Battery Volt", {168, 27, 38, 8}, kNone},
    {1067, Edit, "", {241, 25, 41, 14}, kDisabled},
    {S, Label, "mV", {286, 28, 12, 8}, kNone},
    {S, Label, "Charge Volt", {168, 43, 39, 8}, kNone},
    {1068, Edit, "", {241, 41, 41, 14}, kDisabled},
    {S, Label, "mV", {286, 45, 12, 8}, kNone},
    {S, Label, "Charge Current", {168, 61, 50, 8}, kNone},
    {1069, Edit, "", {241, 57, 41, 14}, kDisabled},
    {S, Label, "mA", {286, 60, 12, 8}, kNone},
    {S, Label, "Consumption Current", {168, 77, 70, 8}, kNone},
    {1070, Edit, "", {241, 73, 41, 14}, kDisabled},
    {S, Label, "mA", {286, 77, 12, 8}, kNone},
    {1076, PushButton, "Drive Down", {165, 96, 50, 14}, kNone},
    {1102, Lamp, "", {217, 96, 12, 12}, kHidden},
    {1078, PushButton, "Sensor Down", {165, 112, 50, 14}, kNone},
    {1103, Lamp, "", {217, 112, 12, 12}, kHidden},
    {1080, PushButton, "LRF Down", {165, 127, 50, 14}, kNone},
    {1104, Lamp, "", {217, 127, 12, 12}, kHidden},
    {1082, PushButton, "SBC1 Down", {165, 143, 50, 14}, kNone},
    {1106, Lamp, "", {217, 143, 12, 12}, kHidden},
    {1084, PushButton, "Gyro Down", {165, 159, 50, 14}, kNone},
    {1107, Lamp, "", {217, 159, 12, 12}, kHidden},
    {1083, PushButton, "SG Down", {165, 175, 50, 14}, kNone},
    {1105, Lamp, "", {217, 175, 12, 12}, kHidden},
    {1089, PushButton, "RX64 Down", {165, 192, 50, 14}, kNone},
    {1114, Lamp, "", {217, 192, 12, 12}, kHidden},
    {1088, PushButton, "LCD Down", {165, 208, 50, 14}, kNone},
    {1112, Lamp, "", {217, 209, 12, 12}, kHidden},
    {1085, PushButton, "Spare1 Down", {233, 96, 50, 14}, kNone},
    {1109, Lamp, "", {288, 96, 12, 12}, kHidden},
    {1086, PushButton, "Spare2 Down", {233, 112, 50, 14}, kNone},
    {1110, Lamp, "", {288, 112, 12, 12}, kHidden},
    {1087, PushButton, "Spare3 Down", {233, 127, 50, 14}, kNone},
    {1111, Lamp, "", {288, 128, 12, 12}, kHidden},
    {1090, PushButton, "Spare4 Down", {233, 143, 50, 14}, kNone},
    {1113, Lamp, "", {288, 144, 12, 12}, kHidden},

    {S, GroupBox, " Drive Control", {160, 229, 147, 103}, kRaised},
    {1012, PushButton, "F", {222, 239, 23, 22}, kNone},
    {1013, PushButton, "L", {198, 259, 24, 23}, kNone},
    {1014, PushButton, "R", {243, 259, 23, 23}, kNone},
    {1037, PushButton, "B", {222, 281, 23, 22}, kNone},
    {1038, PushButton, "Servo On", {165, 309, 66, 16}, kNone},
    {1039, PushButton, "Servo Off", {235, 309, 66, 16}, kNone},

    {S, GroupBox, "Command", {309, 54, 114, 115}, kRaised},
    {1027, Edit, "", {317, 72, 67, 14}, kNone},
    {1028, PushButton, "IP Set", {386, 72, 32, 14}, kNone},
    {1026, PushButton, "USonic Enable", {316, 92, 102, 14}, kNone},
    {1029, PushButton, "Bumper Enable", {316, 106, 102, 14}, kNone},
    {1030, PushButton, "Emergency Enable", {316, 120, 102, 14}, kNone},
    {1042, PushButton, "Get Pos Enable", {316, 134, 102, 14}, kNone},
    {1075, PushButton, "Power Module Enable", {316, 149, 102, 14}, kNone},

    {S, GroupBox, "Connect State", {309, 171, 114, 86}, kRaised},
    {S, Label, "Ultra Sonic", {323, 187, 36, 8}, kNone},
    {1094, Lamp, "", {400, 183, 12, 12}, kNone},
    {S, Label, "Bumper ", {323, 199, 28, 8}, kNone},
    {1095, Lamp, "", {400, 197, 12, 12}, kNone},
    {S, Label, "Drive", {323, 213, 17, 8}, kNone},
    {1096, Lamp, "", {400, 211, 12, 12}, kNone},
    {S, Label, "Emergency", {323, 225, 38, 8}, kNone},
    {1097, Lamp, "", {400, 225, 12, 12}, kNone},
    {S, Label, "PowerModule", {323, 239, 50, 8}, kNone},
    {1098, Lamp, "", {400, 239, 12, 12}, kNone},

    // The empty lower areas are framed too.
    {S, GroupBox, "", {160, 336, 147, 76}, kRaised},
    {S, GroupBox, "", {309, 259, 114, 153}, kRaised},
};

constexpr int kPanelTabOrder[] = {1012, 1013, 1014, 1026, 1027, 1028, 1029, 1030, 1033, 1034, 1035,
                                  1038, 1039, 1040, 1041, 1042, 1037, 1047, 1048, 1075, 1076, 1078,
                                  1080, 1082, 1083, 1084, 1085, 1086, 1087, 1088, 1089, 1090};

// Dialog 100, the About box.
constexpr ControlTemplate kAboutControls[] = {
    {S, Picture, "128", {11, 17, 21, 20}, kNone},
    {S, Label, "Skarvel 버전 1.0", {40, 10, 119, 8}, kNone},
    {S, Label, "Mobile robot operator panel", {40, 25, 119, 8}, kNone},
    {kOkId, PushButton, "확인", {178, 7, 50, 14}, kDefault},
};

constexpr int kAboutTabOrder[] = {kOkId};

// Gulim ships with Windows only; NanumGothic is the free Korean gothic
// closest to it and carries both scripts.
constexpr char kSubstituteFamily[] = "NanumGothic";

// What the average character width is measured over.
constexpr char kAverageWidthSample[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAverageWidthSampleLength = 52;

// Width of the raised border drawn around a raised group box.
constexpr int kRaisedBorder = 2;

// a * b / c rounded half away from zero, without intermediate overflow.
int MulDiv(int a, int b, int c) {
  const int64_t p = static_cast<int64_t>(a) * b;
  const int64_t half = c / 2;
  return static_cast<int>(p >= 0 ? (p + half) / c : (p - half) / c);
}

QPixmap ResourcePicture(const char *caption) {
  switch (QByteArray(caption).toInt()) {
  case SkarvelResource::kIcon:
    return SkarvelResource::AppIcon().pixmap(QSize(32, 32));
  case SkarvelResource::kLogo:
    return SkarvelResource::LogoPixmap();
  default:
    return QPixmap();
  }
}

// The classic desktop look: 3-D bevelled buttons and frames, and progress
// bars filled with separate blocks rather than one smooth bar.
class ClassicStyle : public QProxyStyle {
public:
  ClassicStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Windows"))) {}

  void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                   const QWidget *widget) const override {
    const auto *bar = qstyleoption_cast<const QStyleOptionProgressBar *>(option);
    if (element != CE_ProgressBarContents || bar == nullptr || !(bar->state & State_Horizontal) ||
        bar->invertedAppearance || bar->maximum <= bar->minimum) {
      QProxyStyle::drawControl(element, option, painter, widget);
      return;
    }
    const QRect area = bar->rect.adjusted(kBarInset, kBarInset, -kBarInset, -kBarInset);
    const int64_t span = int64_t{bar->maximum} - bar->minimum;
    const int64_t done = std::clamp<int64_t>(int64_t{bar->progress} - bar->minimum, 0, span);
    const int filled = static_cast<int>(done * area.width() / span);
    const int block = std::max(1, area.height() * 2 / 3);
    painter->save();
    painter->setClipRect(area);
    for (int x = 0; x < filled; x += block + kBlockGap)
      painter->fillRect(QRect(area.left() + x, area.top(), block, area.height()),
                        bar->palette.highlight());
    painter->restore();
  }

private:
  static constexpr int kBarInset = 2; // inside the bar's sunken border
  static constexpr int kBlockGap = 2;
};

// One instance serves every dialog; it goes with the application.
QStyle *SharedClassicStyle() {
  static QPointer<QStyle> style;
  if (!style) {
    style = new ClassicStyle;
    style->setParent(qApp);
  }
  return style;
}

QWidget *CreateControl(QDialog &dialog, const ControlTemplate &c, const DialogUnitScale &scale) {
  const QString caption = QString::fromUtf8(c.caption);
  const QRect rect = scale.Map(c.rect);
  QWidget *w = nullptr;
  switch (c.kind) {
  case GroupBox: {
    QRect boxRect = rect;
    if (c.flags & kRaised) {
      auto *border = new QFrame(&dialog);
      border->setFrameStyle(QFrame::WinPanel | QFrame::Raised);
      border->setGeometry(rect);
      boxRect = rect.adjusted(kRaisedBorder, kRaisedBorder, -kRaisedBorder, -kRaisedBorder);
    }
    w = new QGroupBox(caption, &dialog);
    w->setGeometry(boxRect);
    break;
  }
  case Label: {
    auto *label = new QLabel(caption, &dialog);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    w = label;
    w->setGeometry(rect);
    break;
  }
  case Edit:
    w = new QLineEdit(caption, &dialog);
    // Its panel covers every pixel of its rectangle, so a new text repaints
    // the edit alone, not the group box, labels and frames beneath it.
    w->setAttribute(Qt::WA_OpaquePaintEvent);
    w->setGeometry(rect);
    break;
  case PushButton: {
    auto *button = new QPushButton(caption, &dialog);
    // Qt would otherwise promote the first auto-default button to the
    // default, and Enter in an edit would press it.
    button->setAutoDefault(false);
    button->setDefault((c.flags & kDefault) != 0);
    w = button;
    w->setGeometry(rect);
    break;
  }
  case ProgressBar: {
    auto *bar = new QProgressBar(&dialog);
    bar->setTextVisible(false);
    // Qt repaints a bar only for a change it judges large enough (about one
    // chunk of its own style), which would leave a stale picture after a
    // small one: every change of value is painted.
    QObject::connect(bar, &QProgressBar::valueChanged, bar, [bar] { bar->update(); });
    // Its groove covers every pixel of its rectangle, like an edit's panel.
    bar->setAttribute(Qt::WA_OpaquePaintEvent);
    w = bar;
    w->setGeometry(rect);
    break;
  }
  case Picture: {
    // A picture control takes the picture's own size.
    auto *picture = new QLabel(&dialog);
    const QPixmap pixmap = ResourcePicture(c.caption);
    picture->setPixmap(pixmap);
    w = picture;
    w->setGeometry(QRect(rect.topLeft(), pixmap.isNull() ? rect.size() : pixmap.size()));
    break;
  }
  case Lamp:
    w = new StatusLamp(&dialog);
    w->setGeometry(rect);
    break;
  }
  if (c.flags & kDisabled) w->setEnabled(false);
  if (c.flags & kHidden) w->hide();
  return w;
}

} // namespace

const DialogTemplate kPanelTemplate = {
    .id = 102,
    .caption = "SKARVEL V1.0",
    .windowType = Qt::Window,
    .cx = 430,
    .cy = 419,
    .fontFamily = "굴림",
    .pointSize = 9,
    .controls = kPanelControls,
    .tabOrder = kPanelTabOrder,
};

const DialogTemplate kAboutTemplate = {
    .id = 100,
    .caption = "Skarvel 정보",
    .windowType = Qt::Dialog,
    .cx = 235,
    .cy = 55,
    .fontFamily = "굴림",
    .pointSize = 9,
    .controls = kAboutControls,
    .tabOrder = kAboutTabOrder,
};

DialogUnitScale::DialogUnitScale(const QFont &font) {
  const QFontMetrics metrics(font);
  const int sampleWidth = metrics.horizontalAdvance(QLatin1String(kAverageWidthSample));
  m_baseX = (sampleWidth / (kAverageWidthSampleLength / 2) + 1) / 2;
  m_baseY = metrics.height();
}

int DialogUnitScale::X(int units) const { return MulDiv(units, m_baseX, 4); }
int DialogUnitScale::Y(int units) const { return MulDiv(units, m_baseY, 8); }

QRect DialogUnitScale::Map(const DialogUnits &r) const {
  const int left = X(r.x);
  const int top = Y(r.y);
  return QRect(left, top, X(r.x + r.cx) - left, Y(r.y + r.cy) - top);
}

QSize DialogUnitScale::MapSize(int cx, int cy) const { return QSize(X(cx), Y(cy)); }

QFont TemplateFont(const DialogTemplate &t) {
  QFont font;
  font.setFamilies({QString::fromUtf8(t.fontFamily), QLatin1String(kSubstituteFamily)});
  font.setPointSize(t.pointSize);
  return font;
}

ControlMap BuildDialog(QDialog &dialog, const DialogTemplate &t) {
  dialog.setWindowFlags(t.windowType | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowCloseButtonHint);
  dialog.setWindowTitle(QString::fromUtf8(t.caption));
  dialog.setFont(TemplateFont(t));
  const DialogUnitScale scale(dialog.font());
  dialog.setFixedSize(scale.MapSize(t.cx, t.cy));

  ControlMap controls;
  auto build = [&](const ControlTemplate &c) {
    QWidget *w = CreateControl(dialog, c, scale);
    if (c.id != kStaticId) controls.insert(c.id, w);
  };
  for (const ControlTemplate &c : t.controls)
    if (c.kind == GroupBox) build(c);
  for (const ControlTemplate &c : t.controls)
    if (c.kind != GroupBox) build(c);

  // A style set on a widget does not pass to its children, so every
  // control gets it by hand.
  QStyle *style = SharedClassicStyle();
  dialog.setStyle(style);
  for (QWidget *child : dialog.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
    child->setStyle(style);

  for (size_t i = 1; i < t.tabOrder.size(); ++i)
    QWidget::setTabOrder(controls.value(t.tabOrder[i - 1]), controls.value(t.tabOrder[i]));
  if (!t.tabOrder.empty()) controls.value(t.tabOrder.front())->setFocus();
  return controls;
}
