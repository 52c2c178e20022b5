#pragma once

// Small stand-ins for the window's controls and the link, Qt-free, shared by
// every test that drives a handler without the window. They keep the rules of
// event delivery the handlers rely on: a list's position set from code raises
// its Click at once, and a text box's text set to a different text raises its
// Change at once, both nested inside the setter.

#include "base/controls.h"
#include "base/failure.h"
#include "link/protocol.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::test {

class FakeTextBox : public quillon::TextBox
{
public:
    explicit FakeTextBox(std::string text = {}, quillon::Colour colour = quillon::kWhite)
        : m_text(std::move(text)), m_colour(colour)
    {}

    std::function<void()> onChange;
    // Every text the box has held, in order, the initial one first.
    std::vector<std::string> history{};

    std::string text() const override { return m_text; }
    void setText(const std::string& text) override
    {
        if (text == m_text)
            return;
        m_text = text;
        history.push_back(text);
        if (onChange)
            onChange();
    }
    quillon::Colour backColour() const override { return m_colour; }
    void setBackColour(quillon::Colour colour) override { m_colour = colour; }

private:
    std::string m_text;
    quillon::Colour m_colour;
};

class FakeListBox : public quillon::ListBox
{
public:
    explicit FakeListBox(std::vector<std::string> items, int index = -1)
        : m_items(std::move(items)), m_index(index)
    {}

    std::function<void()> onClick;

    int listIndex() const override { return m_index; }
    void setListIndex(int index) override
    {
        m_index = index;
        if (onClick)
            onClick();
    }
    std::string itemText(int index) const override
    {
        if (index < 0 || index >= static_cast<int>(m_items.size()))
            throw Failure("list position out of range");
        return m_items[static_cast<std::size_t>(index)];
    }

private:
    std::vector<std::string> m_items;
    int m_index;
};

class FakeCheckBox : public quillon::CheckBox
{
public:
    bool ticked = false;
    bool isTicked() const override { return ticked; }
};

class FakeLabel : public quillon::Label
{
public:
    explicit FakeLabel(std::string caption) : m_caption(std::move(caption)) {}
    std::function<void(const std::string&)> onSetCaption;

    std::string caption() const override { return m_caption; }
    void setCaption(const std::string& caption) override
    {
        m_caption = caption;
        if (onSetCaption)
            onSetCaption(caption);
    }

private:
    std::string m_caption;
};

// A timer whose ticks the test raises by calling the handler. `starts` counts
// every enabling, which starts a fresh interval: the watchdog's restarts show
// up there.
class FakeTimer : public quillon::Timer
{
public:
    explicit FakeTimer(bool enabled = false) : m_enabled(enabled) {}

    int starts = 0;

    bool isEnabled() const override { return m_enabled; }
    void setEnabled(bool enabled) override
    {
        m_enabled = enabled;
        starts += enabled ? 1 : 0;
    }

private:
    bool m_enabled;
};

// Records what goes out, and whether it was held to leave with others; the
// link can be down from the start or drop after a number of messages.
class RecordingSender : public link::Sender
{
public:
    // How many more messages get through; negative for no limit.
    int sendsLeft = -1;
    std::vector<link::Message> sent;
    std::function<void(const link::Message&)> onSend;
    int holds = 0;      // open holds now
    int sentUnheld = 0; // messages that left on their own

    void holdSends() override { ++holds; }
    void releaseSends() override { --holds; }
    void send(const link::Message& message) override
    {
        if (sendsLeft == 0)
            throw Failure("link down");
        if (sendsLeft > 0)
            --sendsLeft;
        sent.push_back(message);
        sentUnheld += holds == 0 ? 1 : 0;
        if (onSend)
            onSend(message);
    }
};

} // namespace quillon::test
