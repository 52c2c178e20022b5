#pragma once

// The form's widget kit: the faces, the twips, the factory functions that
// make each kind of control the way the form's table describes it, and the
// frame that stays live inside a disabled frame. The form (main_window.cpp)
// keeps the table itself.

#include <QFont>
#include <QIcon>
#include <QString>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace quillon::app::kit {

// Positions and sizes come in twips, 15 to a logical pixel, so Qt's high-DPI
// scaling keeps the window's proportions.
void place(QWidget* widget, int left, int top, int width, int height);

// The panel's own 32 x 32 icon of 16 colours.
QIcon panelIcon();

// The window's regular face: the fonts were drawn for a small bitmap sans
// face; any sans face at the same pixel size keeps the captions inside their
// frames.
QFont regularFont();

// A frame; `boldFont`: its caption in bold, for a frame on the window; the
// regular face for one inside a frame. Either way what it holds is in the
// regular face. `liveInDisabledFrame`: drawn as enabled inside a disabled
// frame. A caption wider than the frame grows the frame rather than being cut
// off.
QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, bool boldFont, int left,
                 int top, int width, int height, bool liveInDisabledFrame = false);
// The face a frame's caption is drawn in.
QFont captionFace(const QGroupBox* frame);
QLineEdit* textBox(QWidget* parent, const char* name, const QString& text, int left, int top,
                   int width, int height);
// A pick-only list, created with no entry selected.
QComboBox* list(QWidget* parent, const char* name, const QStringList& entries, int left, int top,
                int width, int height);
QPushButton* button(QWidget* parent, const char* name, const QString& caption, int left, int top,
                    int width, int height);
QLabel* label(QWidget* parent, const char* name, const QString& caption, int left, int top,
              int width, int height);
QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, int left, int top,
                    int width, int height);

} // namespace quillon::app::kit
