#pragma once

// The remote-control language: SCPI-style text commands, one line at a time,
// turned into the operator's own actions on the window. The connection layer
// splits the byte stream into lines and owns one Session per client; this
// file knows nothing of sockets.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::remote {

// What a remote command may read and do. The window implements it by running
// the very handlers the operator's actions run, so a remote command has the
// operator's effects and fails as silently as the operator's action does.
class Target
{
public:
    virtual ~Target() = default;
    // Into the DDS frequency box as typing, then Enter (the Update).
    virtual void setFrequency(const std::string& text) = 0;
    // The frequency box's text.
    virtual std::string frequency() const = 0;
    // The system-clock box, as the operator edits it.
    virtual void setSystemClock(const std::string& text) = 0;
    virtual std::string systemClock() const = 0;
    // False: no entry of the list shows that divider, and nothing changed.
    virtual bool pickDdsPrescaler(int divider) = 0;
    // The divider the list shows (2 for "÷2").
    virtual int ddsPrescaler() const = 0;
    virtual bool pickRosaPrescaler(int divider) = 0;
    virtual int rosaPrescaler() const = 0;
    // The "Set to 1MHz first." check box.
    virtual void setZeroStart(bool on) = 0;
    virtual bool zeroStart() const = 0;
    // The laser offset the readout shows, a plain number in MHz ("640", "-12.5").
    virtual std::string offset() const = 0;
    // The link indicator: true when white.
    virtual bool linkUp() const = 0;
};

// One client's conversation: its error queue and the path of its last header.
class Session
{
public:
    // The queue keeps the oldest errors; past this, its last entry becomes
    // -350,"Queue overflow".
    static constexpr std::size_t errorQueueLimit = 16;

    // `version` as the panel shows it ("1.0.8"), for *IDN?.
    Session(Target& target, std::string version);

    // One line without its LF (one trailing CR is dropped here). Returns the
    // reply lines, without LF, one per query that succeeded, in order.
    std::vector<std::string> handleLine(std::string_view line);
    // The connection layer found a line longer than its limit and dropped it:
    // queues -223,"Too much data".
    void lineTooLong();
    std::size_t errorCount() const { return m_errors.size(); }

private:
    void handleUnit(std::string_view unit, std::vector<std::string>& replies);
    // Queues an error as SYSTem:ERRor? gives it: -113,"Undefined header".
    void queue(std::string error);
    std::string nextError();

    Target& m_target;
    std::string m_version;
    std::deque<std::string> m_errors;
    // The nodes (as the header table writes them) that a header without a
    // leading ':' is first looked up under: all but the last node of the
    // previous header on this line.
    std::vector<std::string_view> m_path;
};

} // namespace quillon::remote
