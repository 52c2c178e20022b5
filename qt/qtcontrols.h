#pragma once

// Qt widgets behind the control interfaces of controls.h. Each adapter keeps
// the rules of event delivery the panel's logic relies on: a list position set
// from code raises Click at once, nested; a text box's text set to a different
// text raises Change at once, nested; timer ticks come only from the event
// loop, never inside a handler.

#include "base/controls.h"

#include <QObject>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTimer;
class QWidget;

namespace quillon::qt {

using Handler = std::function<void()>;

class QtTextBox : public QObject, public TextBox
{
    Q_OBJECT
public:
    explicit QtTextBox(QLineEdit* edit);

    std::string text() const override;
    void setText(const std::string& text) override;
    Colour backColour() const override;
    void setBackColour(Colour colour) override;

    // Change: the text changed, by typing or from code.
    void setChangeHandler(Handler handler) { m_change = std::move(handler); }
    // KeyDown: a key went down (auto-repeat included) with the platform's key
    // code (kKeyEnter for Return and keypad Enter) and the shift state (1 Shift,
    // 2 Ctrl, 4 Alt). The key is not consumed.
    void setKeyDownHandler(std::function<void(int keyCode, int shift)> handler)
    {
        m_keyDown = std::move(handler);
    }
    // LostFocus: the focus moved to another control of the window. Switching
    // to another window is not a loss of focus, as operators expect.
    void setLostFocusHandler(Handler handler) { m_lostFocus = std::move(handler); }

    QLineEdit* widget() const { return m_edit; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_edit;
    Colour m_colour;
    Handler m_change;
    std::function<void(int, int)> m_keyDown;
    Handler m_lostFocus;
};

class QtListBox : public QObject, public ListBox
{
    Q_OBJECT
public:
    explicit QtListBox(QComboBox* combo);

    int listIndex() const override;
    // Throws quillon::Failure for a position outside the list.
    void setListIndex(int index) override;
    std::string itemText(int index) const override;

    // Click: the selection changed, from code (always) or by the operator
    // (when the pick differs from what the list showed).
    void setClickHandler(Handler handler) { m_click = std::move(handler); }

    QComboBox* widget() const { return m_combo; }

private:
    QComboBox* m_combo;
    Handler m_click;
};

class QtCheckBox : public CheckBox
{
public:
    explicit QtCheckBox(QCheckBox* box) : m_box(box) {}
    bool isTicked() const override;

private:
    QCheckBox* m_box;
};

class QtLabel : public Label
{
public:
    explicit QtLabel(QLabel* label) : m_label(label) {}
    std::string caption() const override;
    void setCaption(const std::string& caption) override;

private:
    QLabel* m_label;
};

// An interval timer on QTimer with Qt::PreciseTimer: coarse timers may fire up
// to 5 % early, which would cut the watchdog's 2500 ms short.
class QtTimer : public QObject, public Timer
{
    Q_OBJECT
public:
    QtTimer(int intervalMs, bool enabled, QObject* parent = nullptr);

    bool isEnabled() const override;
    void setEnabled(bool enabled) override;

    void setHandler(Handler handler) { m_tick = std::move(handler); }

private:
    QTimer* m_timer;
    Handler m_tick;
};

// The top-level window and the screens, in twips (15 to a logical pixel).
class QtWindow : public Window
{
public:
    explicit QtWindow(QWidget* window) : m_window(window) {}

    TwipsRect frame() const override;
    bool positionKnown() const override;
    void setLeft(float left) override;
    void setTop(float top) override;
    float screenWidth() const override;
    float screenHeight() const override;
    bool titleBarOnAScreen(const TwipsRect& frame) const override;

private:
    QWidget* m_window;
};

inline constexpr int kTwipsPerPixel = 15;

// 0x00BBGGRR to and from Qt colours.
QColor toQColor(Colour colour);
Colour fromQColor(const QColor& colour);

} // namespace quillon::qt
