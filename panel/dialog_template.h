// Dialog templates: a dialog is described as data, one row per control
// (identifier, kind, caption, rectangle in dialog units, flags), and one
// builder turns a template into Qt widgets. Dialog units follow the dialog
// font: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its character height, so the layout
// keeps its proportions whatever font the machine substitutes.
//
// Threading contract: build and use on the user-interface thread only.
#ifndef SKARVEL_DIALOG_TEMPLATE_H
#define SKARVEL_DIALOG_TEMPLATE_H

#include <QFont>
#include <QHash>
#include <QRect>
#include <QSize>
#include <span>

class QDialog;
class QWidget;

// Controls without an identifier (labels, group boxes, pictures).
constexpr int kStaticId = -1;
// The OK command of a dialog.
constexpr int kOkId = 1;

enum class ControlKind {
  GroupBox,   // frame with a caption; drawn behind every other control
  Label,      // static text, left aligned
  Edit,       // single-line edit
  PushButton, // momentary push button
  ProgressBar,
  Picture, // caption holds the resource number of the picture to show
  Lamp,    // StatusLamp
};

namespace ControlFlag {
constexpr unsigned kNone = 0;
constexpr unsigned kRaised = 1u << 0;   // group box with a raised 3-D border
constexpr unsigned kDisabled = 1u << 1; // greyed; takes no focus
constexpr unsigned kHidden = 1u << 2;   // created invisible
constexpr unsigned kDefault = 1u << 3;  // the dialog's default push button
} // namespace ControlFlag

struct DialogUnits {
  int x, y, cx, cy;
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char *caption;
  DialogUnits rect;
  unsigned flags;
};

struct DialogTemplate {
  int id;
  const char *caption;
  // Qt::Window for a program's main window (it gets a task-bar entry and
  // stands on its own); Qt::Dialog for a box that belongs to another window.
  Qt::WindowType windowType;
  int cx, cy; // client area, dialog units
  const char *fontFamily;
  int pointSize;
  std::span<const ControlTemplate> controls;
  std::span<const int> tabOrder; // identifiers, first focus first
};

// The main panel (102) and the About box (100).
extern const DialogTemplate kPanelTemplate;
extern const DialogTemplate kAboutTemplate;

// Converts dialog units to pixels for one font, rounding as MulDiv does.
class DialogUnitScale {
public:
  explicit DialogUnitScale(const QFont &font);
  int baseX() const { return m_baseX; }
  int baseY() const { return m_baseY; }
  int X(int units) const;
  int Y(int units) const;
  // Edges are converted one by one, so adjacent controls never gain or lose
  // a pixel between them.
  QRect Map(const DialogUnits &r) const;
  QSize MapSize(int cx, int cy) const;

private:
  int m_baseX;
  int m_baseY;
};

// The font a template asks for, with a substitute family for machines that
// lack it.
QFont TemplateFont(const DialogTemplate &t);

// Identifier -> control, filled by BuildDialog.
using ControlMap = QHash<int, QWidget *>;

// Gives `dialog` the template's window type, caption, font and fixed size
// (title bar with system menu and close box, no minimise or maximise box)
// and creates every control as a direct child of it: group boxes first (so
// they stay behind), the rest in table order, then the tab order. Push
// buttons are never auto-default; only a kDefault one becomes the default
// button.
ControlMap BuildDialog(QDialog &dialog, const DialogTemplate &t);

#endif
