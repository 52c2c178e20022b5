#pragma once

// The window system as the panel's logic sees it: the few properties of each
// kind of control that the handlers read and write. The Qt widgets behind them
// live in app/ and qt/qtcontrols.h; everything here is Qt-free so that
// link/, tuning/ and settings/ never reach up into the window.
//
// Rules of event delivery that every implementation keeps:
//  - setting a list's position from code raises that list's Click handling at
//    once, nested inside the setter, before the setter returns;
//  - setting a text box's text to a different text raises its Change handling
//    at once, nested the same way;
//  - timer ticks and TCP client events are never delivered inside a handler.

#include <cstdint>
#include <string>

namespace quillon {

// Colours in the 0x00BBGGRR order of the platform (red in the low byte).
using Colour = std::uint32_t;
inline constexpr Colour kWhite = 0xFFFFFF;

// The platform's key code of Return and keypad Enter, as KeyDown passes it.
inline constexpr int kKeyEnter = 13;

class TextBox
{
public:
    virtual ~TextBox() = default;
    virtual std::string text() const = 0;
    // A text different from the current one raises the Change handling at once.
    virtual void setText(const std::string& text) = 0;
    virtual Colour backColour() const = 0;
    virtual void setBackColour(Colour colour) = 0;
};

class ListBox
{
public:
    virtual ~ListBox() = default;
    // -1 while no entry is selected.
    virtual int listIndex() const = 0;
    // Raises the list's Click handling at once, nested inside this call.
    virtual void setListIndex(int index) = 0;
    virtual std::string itemText(int index) const = 0;

    // The selected entry's text; the empty text while nothing is selected.
    std::string text() const
    {
        const int index = listIndex();
        return index < 0 ? std::string() : itemText(index);
    }
};

class CheckBox
{
public:
    virtual ~CheckBox() = default;
    virtual bool isTicked() const = 0;
};

class Label
{
public:
    virtual ~Label() = default;
    virtual std::string caption() const = 0;
    virtual void setCaption(const std::string& caption) = 0;
};

// An interval timer. Enabling it, whether it was enabled or not, starts a
// full interval: the heartbeat watchdog and the zero start both rely on a
// fresh count each time they enable their timer.
class Timer
{
public:
    virtual ~Timer() = default;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
};

// A rectangle in twips (1440 to the inch, 15 to a logical pixel).
struct TwipsRect
{
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;
};

// The top-level window and the screens it can be on, in twips.
class Window
{
public:
    virtual ~Window() = default;
    // The window's outer frame (title bar and borders included). Its left and
    // top mean something only where positionKnown() says so.
    virtual TwipsRect frame() const = 0;
    // Whether the platform lets the window know and set its own position. On
    // Wayland the compositor places every window and tells it nothing.
    virtual bool positionKnown() const = 0;
    virtual void setLeft(float left) = 0;
    virtual void setTop(float top) = 0;
    // Width and height of the primary screen.
    virtual float screenWidth() const = 0;
    virtual float screenHeight() const = 0;
    // Whether the title bar of a window whose outer frame is at `frame` would
    // lie, at least in part, on one of the screens that exist now.
    virtual bool titleBarOnAScreen(const TwipsRect& frame) const = 0;
};

} // namespace quillon
