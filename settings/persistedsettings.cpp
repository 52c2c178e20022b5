#include "settings/persistedsettings.h"

#include "base/failure.h"
#include "base/steps.h"
#include "numbertext/numbertext.h"
#include "settings/miscfunctions.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quillon::settings {

using registry::HKeyLocalMachine;

namespace {

// Window positions are kept in single precision, as the window reports them.
// A number beyond its range cannot be judged, so such a test fails.
float toSingle(double value)
{
    if (!std::isfinite(value) || std::fabs(value) > double(std::numeric_limits<float>::max()))
        throw Failure("beyond single precision");
    return static_cast<float>(value);
}

// The plain text of a single-precision number: at most 7 significant digits,
// "." as the decimal point.
std::string singleText(float value)
{
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, double(value), std::chars_format::general, 7);
    return std::string(buffer, result.ptr);
}

// A list position from a saved number: to the nearest whole number, a half to
// the even neighbour (1.5 gives 2, 0.5 gives 0, 2.5 gives 2).
int roundHalfEven(double value)
{
    return static_cast<int>(std::nearbyint(value)); // the default rounding mode is to nearest even
}

std::string trimSpaces(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// Characters, not bytes: the address is UTF-8 text.
std::size_t characterCount(const std::string& text)
{
    std::size_t count = 0;
    for (const unsigned char byte : text) {
        if ((byte & 0xC0) != 0x80)
            ++count;
    }
    return count;
}

} // namespace

PersistedSettings::PersistedSettings(registry::Registry& registry, Controls controls)
    : m_registry(registry), m_c(controls)
{}

bool PersistedSettings::read(const char* name, std::string& text)
{
    return MiscFunctions::ReadSetting(m_registry, HKeyLocalMachine, kSettingsKey, name, text);
}

void PersistedSettings::write(const char* name, const std::string& text)
{
    MiscFunctions::WriteSetting(m_registry, HKeyLocalMachine, kSettingsKey, name, text);
}

void PersistedSettings::restore()
{
    // Skip-on-error, except that a test that cannot be evaluated does not
    // hold: a value that cannot be judged is never applied.
    SkipOnError steps(SkipOnError::FailedTest::DoesNotHold);
    // One text passed to all seven reads: a value of a type the read leaves
    // alone is judged on what the previous read left in it.
    std::string text;
    bool ok = false;
    auto v = [&] { return numbertext::lenientParse(text); };

    // A restored position must also put the title bar on a screen that exists
    // now: a position saved on a second display that has since gone would
    // open the window where nobody can see or reach it.
    ok = read(kLeft, text);
    if (steps.test([&] {
            const TwipsRect frame = m_c.window.frame();
            const float left = toSingle(v());
            const float limit = 2.0f * m_c.window.screenWidth() - frame.width;
            return ok && v() > 0 && left < limit &&
                   m_c.window.titleBarOnAScreen({left, frame.top, frame.width, frame.height});
        }))
        steps.run([&] { m_c.window.setLeft(toSingle(v())); });

    ok = read(kTop, text);
    if (steps.test([&] {
            const TwipsRect frame = m_c.window.frame();
            const float top = toSingle(v());
            const float limit = m_c.window.screenHeight() - frame.height;
            return ok && v() > 0 && top < limit &&
                   m_c.window.titleBarOnAScreen({frame.left, top, frame.width, frame.height});
        }))
        steps.run([&] { m_c.window.setTop(toSingle(v())); });

    // Numbers come back in their plain form: a saved "12.340" reads "12.34".
    ok = read(kFrequency, text);
    if (steps.test([&] { return ok && v() > 0 && v() < 10000; }))
        steps.run([&] { m_c.txtFreq.setText(numbertext::plainText(v())); });

    ok = read(kSystemClock, text);
    if (steps.test([&] { return ok && v() >= 100 && v() <= 1000; }))
        steps.run([&] { m_c.txtSysClk.setText(numbertext::plainText(v())); });

    // Only the length of the address is checked; its form is the link's
    // business, and an address that cannot be used makes the attempt fail.
    ok = read(kIpAddress, text);
    if (steps.test([&] {
            const std::size_t length = characterCount(trimSpaces(text));
            return ok && length >= 8 && length <= 15;
        }))
        steps.run([&] { m_c.txtIP.setText(trimSpaces(text)); });

    // Each prescaler list always takes a position, and so runs its action.
    ok = read(kDdsPrescaler, text);
    if (steps.test([&] { return ok && v() >= 0 && v() <= 2; }))
        steps.run([&] { m_c.cmbDdsPrescaler.setListIndex(roundHalfEven(v())); });
    else
        steps.run([&] { m_c.cmbDdsPrescaler.setListIndex(1); });

    ok = read(kRosaPrescaler, text);
    if (steps.test([&] { return ok && v() >= 0 && v() <= 3; }))
        steps.run([&] { m_c.cmbRosa.setListIndex(roundHalfEven(v())); });
    else
        steps.run([&] { m_c.cmbRosa.setListIndex(1); });
}

void PersistedSettings::save()
{
    // Where the platform keeps the window's position from it (Wayland), the
    // position it reports is none the operator chose: the stored one stays.
    if (m_c.window.positionKnown()) {
        const TwipsRect frame = m_c.window.frame();
        write(kLeft, singleText(frame.left));
        write(kTop, singleText(frame.top));
    }
    write(kFrequency, m_c.txtFreq.text());
    write(kSystemClock, m_c.txtSysClk.text());
    write(kIpAddress, m_c.txtIP.text());
    saveDdsPrescaler();
    saveRosaPrescaler();
}

// A list's position is kept as its decimal text.
void PersistedSettings::saveDdsPrescaler()
{
    write(kDdsPrescaler, std::to_string(m_c.cmbDdsPrescaler.listIndex()));
}

void PersistedSettings::saveRosaPrescaler()
{
    write(kRosaPrescaler, std::to_string(m_c.cmbRosa.listIndex()));
}

} // namespace quillon::settings
