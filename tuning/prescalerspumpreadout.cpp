#include "tuning/prescalerspumpreadout.h"

#include "base/failure.h"
#include "base/steps.h"
#include "numbertext/numbertext.h"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

namespace quillon::tuning {

using numbertext::displayText;
using numbertext::lenientParse;

namespace {

// List entries are UTF-8 and start with the division sign U+00F7, two bytes;
// the dividers are taken apart by character, never by byte.
bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The last character of the text; empty for the empty text.
std::string_view lastCharacter(std::string_view text)
{
    std::size_t start = text.size();
    while (start > 0) {
        --start;
        if (!isContinuationByte(text[start]))
            break;
    }
    return text.substr(start);
}

// The text without its first character. The empty text has no first
// character to drop: that is a failure, which is what keeps the readout
// alone while the ROSA list has no selection yet.
std::string_view withoutFirstCharacter(std::string_view text)
{
    if (text.empty())
        throw Failure("no first character to drop");
    std::size_t next = 1;
    while (next < text.size() && isContinuationByte(text[next]))
        ++next;
    return text.substr(next);
}

// A value as one argument byte: rounded to the nearest whole number (a half
// to the even neighbour), and a failure when that does not fit a byte.
std::uint8_t toByte(double value)
{
    const double rounded = std::nearbyint(value);
    if (!(rounded >= 0 && rounded <= 255))
        throw Failure("value does not fit a byte");
    return static_cast<std::uint8_t>(rounded);
}

// The DDS divider is written as the last character of its entry ("÷4").
// Without a selection the entry is empty and reads as 0.
double ddsDivider(const ListBox& list)
{
    return lenientParse(lastCharacter(list.text()));
}

// The ROSA divider is the whole entry after the division sign ("÷16").
double rosaDivider(const ListBox& list)
{
    return lenientParse(withoutFirstCharacter(list.text()));
}

} // namespace

PrescalersPumpReadout::PrescalersPumpReadout(Controls controls, link::Sender& sender, Saves saves)
    : m_c(controls), m_sender(sender), m_saves(std::move(saves))
{}

// Each action goes on past a failing step: with the link down (as during the
// restore at start-up, before any connection exists) the choice must still be
// saved and the readout refreshed.

void PrescalersPumpReadout::cmbDdsPrescaler_Click()
{
    SkipOnError steps;
    // The DDS command carries the divider itself (1, 2 or 4), not the position.
    steps.run(
        [&] { m_sender.send(link::setDdsPrescaler(toByte(ddsDivider(m_c.cmbDdsPrescaler)))); });
    steps.run([&] { m_saves.ddsPrescaler(); });
    steps.run([&] { UpdateLaserFreq(); });
}

void PrescalersPumpReadout::cmbRosa_Click()
{
    SkipOnError steps;
    // The ROSA command carries the list position (0 to 3), not the divider.
    steps.run([&] { m_sender.send(link::setRosaPrescaler(toByte(m_c.cmbRosa.listIndex()))); });
    steps.run([&] { m_saves.rosaPrescaler(); });
    steps.run([&] { UpdateLaserFreq(); });
}

void PrescalersPumpReadout::cmdUpdateCP_Click()
{
    SkipOnError steps;
    steps.run([&] {
        const int wideLock = m_c.cmbWideLock.listIndex();
        const int finalLock = m_c.cmbFinalLock.listIndex();
        const int freqDetect = m_c.cmbFreqDet.listIndex();
        // A list without a selection has no level to send.
        if (wideLock < 0 || finalLock < 0 || freqDetect < 0)
            throw Failure("charge-pump list without a selection");
        m_sender.send(link::setChargePumpCurrents(wideLock, finalLock, freqDetect));
    });
}

void PrescalersPumpReadout::txtFreq_Change()
{
    UpdateLaserFreq();
}

void PrescalersPumpReadout::UpdateLaserFreq()
{
    // One indivisible update: the caption is written only once every part
    // has been formed, so any failure leaves the previous text standing. The
    // system clock plays no part: the offset is the DDS frequency times both
    // dividers.
    runGuarded([&] {
        const double d = ddsDivider(m_c.cmbDdsPrescaler);
        const double r = rosaDivider(m_c.cmbRosa);
        const double f = lenientParse(m_c.txtFreq.text());
        const double offset = f * d * r;
        if (!std::isfinite(offset))
            throw Failure("laser offset overflow");
        m_c.lblLaserFreq.setCaption("Laser offset =" + displayText(offset) + "MHz");
    });
}

} // namespace quillon::tuning
