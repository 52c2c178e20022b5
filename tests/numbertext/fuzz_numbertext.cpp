// libFuzzer target for the number texts. Any byte string is a text the
// operator could type or a saved setting could hold, so the parsers must
// never crash, and what they read must survive a trip through plainText.
//
// Invariants checked on every input:
//  - lenientParse returns a finite number or throws quillon::Failure, nothing
//    else;
//  - strictParse succeeding implies lenientParse succeeds with the same value;
//  - the plain text of a value is a fixed point: both parses read it back to
//    one value whose plain text is the same text again, and that value lies
//    within 15 significant digits of the original;
//  - displayText is plainText with a blank before anything but a minus.

#include "base/failure.h"
#include "numbertext/numbertext.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

template <class Parse> std::optional<double> tryParse(Parse parse, std::string_view text)
{
    try {
        return parse(text);
    } catch (const quillon::Failure&) {
        return std::nullopt;
    }
}

void checkTextRoundTrip(double value)
{
    using namespace quillon::numbertext;
    const std::string text = plainText(value);
    const double back = lenientParse(text); // must not throw
    check(std::isfinite(back));
    check(strictParse(text) == back);
    check(plainText(back) == text);
    // Rounding to 15 significant digits moves a value by at most half a unit
    // in the 15th digit, and the text read back lands on the nearest double,
    // up to another unit in the last place away; subnormals carry fewer
    // digits of their own.
    const double magnitude = std::fabs(value);
    const double ulp = std::nextafter(magnitude, INFINITY) - magnitude;
    const double tolerance = magnitude * 5e-15 + 2 * ulp + 1e-320;
    check(std::fabs(back - value) <= tolerance);

    const std::string display = displayText(value);
    if (text.front() == '-')
        check(display == text);
    else
        check(display == " " + text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quillon::numbertext;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const auto lenient = tryParse(lenientParse, text);
    const auto strict = tryParse(strictParse, text);

    if (lenient) {
        check(std::isfinite(*lenient));
        checkTextRoundTrip(*lenient);
    }
    if (strict) {
        check(lenient.has_value());
        check(*strict == *lenient);
    }
    return 0;
}
