#include "tuning/frequency.h"

#include "base/failure.h"
#include "base/steps.h"
#include "numbertext/numbertext.h"

#include <cmath>

namespace quillon::tuning {

using numbertext::lenientParse;
using numbertext::plainText;
using numbertext::strictParse;

namespace {

constexpr double kHzPerMHz = 1'000'000.0;
constexpr double kTwoTo32 = 4294967296.0;
constexpr double kTwoTo31 = 2147483648.0;
constexpr double kMaxSystemClock = 1000.0;
constexpr double kMinSystemClock = 100.0;

// IEEE arithmetic answers an overflow with an infinity and 0/0 with NaN
// instead of stopping; the Update must stop instead, so every intermediate
// result is checked.
double checked(double value, const char* what)
{
    if (!std::isfinite(value))
        throw Failure(what);
    return value;
}

} // namespace

double tuningWord(double frequencyMHz, double systemClockMHz)
{
    const double a = checked(std::fabs(frequencyMHz) * kHzPerMHz, "frequency overflow");
    const double h = checked(systemClockMHz * kHzPerMHz, "system clock overflow");
    // Both values are taken to Hz first, then the clock is divided by 2^32
    // and the frequency by that quotient. The order decides the last bit:
    // dividing the MHz values first (F / C x 2^32) rounds differently and is
    // one off for some pairs, 16.56 MHz at 176.64 MHz for one.
    const double hzPerStep = h / kTwoTo32;
    // A clock of 0, or one so small that the quotient underflows, would
    // divide by zero (0/0 when the frequency is 0 as well).
    if (hzPerStep == 0)
        throw Failure("division by zero");
    return std::floor(checked(a / hzPerStep, "tuning word overflow"));
}

std::uint32_t checkedTuningWord(double word)
{
    // The word travels as a signed 32-bit value, so it must be a whole
    // number in [0, 2^31): a negative word (from a negative
    // clock) or one at half the clock or above is no frequency the DDS can
    // make. NaN fails the range test as well.
    if (!(word >= 0 && word < kTwoTo31))
        throw Failure("tuning word out of range");
    if (word != std::floor(word))
        throw Failure("tuning word not whole");
    return static_cast<std::uint32_t>(word);
}

FrequencyUpdate::FrequencyUpdate(Controls controls, link::Sender& sender)
    : m_c(controls), m_sender(sender)
{}

void FrequencyUpdate::cmdUpdateFreq_Click()
{
    // One guarded action: the first failure ends it without a word, and
    // whatever went out before it stays sent. The operator simply presses
    // Update again. The messages leave together when the handler ends.
    const link::SendBatch batch(m_sender);
    runGuarded([&] {
        const double frequency = lenientParse(m_c.txtFreq.text());
        const double systemClock = strictParse(m_c.txtSysClk.text());
        const double word = tuningWord(frequency, systemClock);

        // The whole message is built before anything is sent, so a word the
        // message cannot carry (negative, or at 2^31 and above) sends nothing
        // at all rather than half an update.
        const link::Message setWord = link::setTuningWord(0, checkedTuningWord(word));

        m_sender.send(setWord);
        m_sender.send(link::applyUpdate());
        // The sign goes separately: the word carries only the magnitude. Zero
        // and a box without a number count as "not above zero".
        const bool above = lenientParse(m_c.txtFreq.text()) > 0;
        m_sender.send(link::setOffsetSign(above ? 0 : 1));

        if (m_c.chkZero.isTicked()) {
            // Zero start: run from the fixed word of about 1 MHz in slot 1 so
            // that the laser scans out from near zero and cannot lock on the
            // wrong slope; the timer switches back to slot 0. The start word
            // is fixed, never recomputed from the entered clock.
            m_sender.send(link::setTuningWord(1, kStartWord));
            m_sender.send(link::selectSlot(1));
            m_sender.send(link::applyUpdate());
            m_c.tmrZero.setEnabled(true);
        }
    });
}

void FrequencyUpdate::txtFreq_KeyDown(int keyCode, int /*shift*/)
{
    // Enter runs the Update whatever modifier is held; the key is not eaten.
    if (keyCode == kKeyEnter)
        cmdUpdateFreq_Click();
}

void FrequencyUpdate::txtSysClk_Change()
{
    // Each rewrite below raises this handler again, nested, on the new text;
    // the nested run finds it acceptable (or caps it at "1000", which is), so
    // the recursion ends after at most two levels.
    SkipOnError steps;

    // A text that is not wholly a number, or one on which the two parses
    // disagree, becomes the absolute value of what the lenient parse reads.
    // A failing test counts as a yes, which is how non-numeric text ends up
    // rewritten.
    if (steps.test([&] {
            const std::string text = m_c.txtSysClk.text();
            return strictParse(text) != lenientParse(text);
        })) {
        steps.run([&] {
            m_c.txtSysClk.setText(plainText(std::fabs(lenientParse(m_c.txtSysClk.text()))));
        });
    }

    if (steps.test([&] { return lenientParse(m_c.txtSysClk.text()) > kMaxSystemClock; }))
        steps.run([&] { m_c.txtSysClk.setText("1000"); });
}

void FrequencyUpdate::txtSysClk_LostFocus()
{
    // The lower limit waits for the focus to leave, or typing "983" would be
    // cut short at "9". The change rules never leave a text the lenient parse
    // cannot read; should one turn up anyway, it counts as below the minimum
    // rather than escaping into the window's event loop.
    SkipOnError steps;
    if (steps.test([&] { return lenientParse(m_c.txtSysClk.text()) < kMinSystemClock; }))
        steps.run([&] { m_c.txtSysClk.setText("100"); });
}

void FrequencyUpdate::tmrZero_Timer()
{
    // Off first, so that the tick fires once per zero start.
    m_c.tmrZero.setEnabled(false);
    // Back to the operator's word. No ApplyUpdate: selecting the slot is
    // enough. A failing send (the link dropped within the 500 ms) is
    // ignored: the timer is already off, so nothing repeats, and the next
    // connect selects slot 0 anyway.
    runGuarded([&] { m_sender.send(link::selectSlot(0)); });
}

} // namespace quillon::tuning
