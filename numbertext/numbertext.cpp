#include "numbertext/numbertext.h"

#include "base/failure.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

// Every conversion here goes through std::from_chars / std::to_chars, which
// never look at the process locale. The C library's strtod, printf and
// friends follow LC_NUMERIC: under a comma locale they would read "983.04" as
// 983 and write "983,04" into the boxes and the saved settings, which every
// other reader takes with ".".

namespace quillon::numbertext {

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Blanks, tabs and line feeds are skipped by the lenient parse wherever they
// stand before or inside the number: an operator who types "1 000" or pastes
// a number with a line break in it still gets the number.
bool isIgnorable(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A decimal number taken apart: sign, all its digits without the point, how
// many of them stand before the point, and the exponent. Both parses fill
// one of these and share the conversion below, so a text that both accept
// gets the same value from both.
struct DecimalNumber
{
    bool negative = false;
    std::string digits;
    std::int64_t integerDigits = 0;
    std::int64_t exponent = 0;
};

// Exponents are clamped while they are read: anything beyond this is far
// outside double range whatever the digits are, and clamping keeps the
// arithmetic below from overflowing on texts like "1e99999999999999999999".
constexpr std::int64_t kExponentClamp = 1'000'000'000'000;

void appendExponentDigit(std::int64_t& exponent, char digit)
{
    if (exponent < kExponentClamp)
        exponent = exponent * 10 + (digit - '0');
}

[[noreturn]] void failTooLarge()
{
    throw Failure("number beyond double precision");
}

double toDouble(const DecimalNumber& number)
{
    const double zero = number.negative ? -0.0 : 0.0;

    // Strip the leading zeros (they shift the point) and the trailing zeros
    // (they do not), so that the decimal magnitude is known before the
    // conversion and from_chars only ever sees a bounded exponent.
    std::size_t first = number.digits.find_first_not_of('0');
    if (first == std::string::npos)
        return zero;
    std::size_t last = number.digits.find_last_not_of('0');
    const std::string_view significant =
        std::string_view(number.digits).substr(first, last - first + 1);

    // The value is 0.<significant> x 10^magnitude.
    const std::int64_t magnitude =
        number.integerDigits - static_cast<std::int64_t>(first) + number.exponent;
    // 0.1 x 10^310 is beyond the largest double; 0.99.. x 10^-330 rounds to
    // zero even as a subnormal.
    if (magnitude > 310)
        failTooLarge();
    if (magnitude < -330)
        return zero;

    std::string text;
    text.reserve(significant.size() + 8);
    if (number.negative)
        text += '-';
    text += "0.";
    text += significant;
    text += 'e';
    text += std::to_string(magnitude);

    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        if (magnitude > 0)
            failTooLarge();
        return zero;
    }
    if (ec != std::errc() || end != text.data() + text.size())
        throw Failure("malformed number");
    return value;
}

// Hexadecimal and octal whole numbers. Both become a hexadecimal digit
// string for from_chars, which rounds correctly once they need more than the
// 53 bits of a double; accumulating digit by digit would drift instead.
double toDoubleFromHex(std::string_view hexDigits)
{
    const std::size_t first = hexDigits.find_first_not_of('0');
    if (first == std::string_view::npos)
        return 0.0;
    hexDigits.remove_prefix(first);
    // From 2^1024 on (after rounding to 53 bits) the value is beyond a
    // double; from_chars reports that however many digits it takes.
    double value = 0;
    const auto [end, ec] = std::from_chars(hexDigits.data(), hexDigits.data() + hexDigits.size(),
                                           value, std::chars_format::hex);
    if (ec == std::errc::result_out_of_range)
        failTooLarge();
    if (ec != std::errc() || end != hexDigits.data() + hexDigits.size())
        throw Failure("malformed number");
    return value;
}

std::string octalToHex(std::string_view octalDigits)
{
    // Three bits per octal digit, regrouped into four bits per hexadecimal
    // digit from the least significant end.
    std::string hex;
    unsigned bits = 0;
    int bitCount = 0;
    for (auto it = octalDigits.rbegin(); it != octalDigits.rend(); ++it) {
        bits |= static_cast<unsigned>(*it - '0') << bitCount;
        bitCount += 3;
        while (bitCount >= 4) {
            hex += "0123456789ABCDEF"[bits & 0xF];
            bits >>= 4;
            bitCount -= 4;
        }
    }
    if (bitCount > 0)
        hex += "0123456789ABCDEF"[bits & 0xF];
    return std::string(hex.rbegin(), hex.rend());
}

// A cursor over the text. The lenient parse steps over blanks, tabs and line
// feeds wherever they stand; the strict parse steps over nothing.
class Reader
{
public:
    Reader(std::string_view text, bool skipIgnorable) : m_text(text), m_skip(skipIgnorable) {}

    // The next character to read, or '\0' at the end. A NUL byte in the text
    // is no part of a number either, so it ends the reading just like the end
    // of the text.
    char peek()
    {
        while (m_skip && m_pos < m_text.size() && isIgnorable(m_text[m_pos]))
            ++m_pos;
        return m_pos < m_text.size() ? m_text[m_pos] : '\0';
    }
    void advance() { ++m_pos; }
    bool atEnd() const { return m_pos >= m_text.size(); }

private:
    std::string_view m_text;
    bool m_skip;
    std::size_t m_pos = 0;
};

// The one scanner of decimal numbers both parses use: an optional sign,
// digits with at most one "." as the decimal point, and an optional exponent
// ("E" or "e", an optional sign, digits). It stops at the first character
// that does not fit. An exponent without a digit is left out of the number
// and reported, for the strict parse to refuse.
struct Scanned
{
    DecimalNumber number;
    bool exponentWithoutDigits = false;
};

Scanned scanDecimal(Reader& reader)
{
    Scanned scanned;
    DecimalNumber& number = scanned.number;
    if (const char sign = reader.peek(); sign == '+' || sign == '-') {
        number.negative = sign == '-';
        reader.advance();
    }

    bool point = false;
    for (char c = reader.peek();; c = reader.peek()) {
        if (isDigit(c)) {
            number.digits += c;
            if (!point)
                ++number.integerDigits;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
        reader.advance();
    }
    if (number.digits.empty())
        return scanned;

    if (const char e = reader.peek(); e == 'e' || e == 'E') {
        reader.advance();
        bool negativeExponent = false;
        if (const char sign = reader.peek(); sign == '+' || sign == '-') {
            negativeExponent = sign == '-';
            reader.advance();
        }
        bool anyDigit = false;
        std::int64_t exponent = 0;
        for (char c = reader.peek(); isDigit(c); c = reader.peek()) {
            appendExponentDigit(exponent, c);
            anyDigit = true;
            reader.advance();
        }
        if (anyDigit)
            number.exponent = negativeExponent ? -exponent : exponent;
        else
            scanned.exponentWithoutDigits = true;
    }
    return scanned;
}

std::optional<double> lenientRadix(Reader& reader)
{
    if (reader.peek() != '&')
        return std::nullopt;
    reader.advance();
    const char prefix = reader.peek();
    const bool hex = prefix == 'H' || prefix == 'h';
    const bool octal = prefix == 'O' || prefix == 'o';
    if (!hex && !octal)
        return 0.0; // "&" followed by anything else: no digit was read
    reader.advance();

    std::string digits;
    for (char c = reader.peek(); c != '\0'; c = reader.peek()) {
        if (hex ? !isHexDigit(c) : (c < '0' || c > '7'))
            break;
        digits += c;
        reader.advance();
    }
    // The digits are read as an unsigned whole number: "&HFFFF" is 65535.
    // There is no word width to wrap at, only the range of a double.
    return toDoubleFromHex(hex ? std::string_view(digits) : std::string_view(octalToHex(digits)));
}

} // namespace

double lenientParse(std::string_view text)
{
    Reader reader(text, true);
    if (const auto radix = lenientRadix(reader))
        return *radix;
    // No digit reads as 0; an exponent without digits ("1e", "1e+") is no
    // part of the number, the reading having stopped at the "e".
    const Scanned scanned = scanDecimal(reader);
    return scanned.number.digits.empty() ? 0.0 : toDouble(scanned.number);
}

double strictParse(std::string_view text)
{
    // "." is the decimal point here in every locale, as in the lenient parse.
    // Were it the locale's separator, a comma locale would make the two
    // parses disagree on "983.04"; the system-clock rules would then rewrite
    // the box as "983" without a word, and the next Update would tune the
    // instrument with the wrong clock.
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);

    // The whole text must be one number: at least one digit, a whole
    // exponent if any, and nothing after it. No inner blanks, no digit
    // grouping, no "&H"; such texts are for the lenient parse.
    Reader reader(text, false);
    const Scanned scanned = scanDecimal(reader);
    if (scanned.number.digits.empty() || scanned.exponentWithoutDigits || !reader.atEnd())
        throw Failure("not a number");
    return toDouble(scanned.number);
}

std::string plainText(double value)
{
    // Infinities and NaN have no text the panel could show or read back; the
    // arithmetic that could produce them fails before it gets here.
    if (!std::isfinite(value))
        throw Failure("no text for a non-finite number");
    if (value == 0)
        return "0"; // also for -0: a sign on zero means nothing to the operator

    // Rounded once to 15 significant digits, the most a double always
    // carries through a round trip, so the text reads back to itself.
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 14);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));

    // "-d.ddddddddddddddde±x": split it into sign, digits and exponent.
    const bool negative = scientific.front() == '-';
    const std::size_t ePos = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, ePos)) {
        if (isDigit(c))
            digits += c;
    }
    int exponent = 0;
    std::from_chars(scientific.data() + ePos + 1 + (scientific[ePos + 1] == '+'),
                    scientific.data() + scientific.size(), exponent);
    // Rounding can carry the largest doubles past the largest double: the
    // text 1.79769313486232E+308 would read back as too large. Those few
    // values are written one step lower instead, so every text the panel
    // writes reads back.
    if (exponent == 308 && digits == "179769313486232")
        digits = "179769313486231";
    digits.erase(digits.find_last_not_of('0') + 1);

    std::string text = negative ? "-" : "";
    if (exponent >= -4 && exponent < 15) {
        // Positional from 0.0001 up to 15 integer digits, as printf's %.15G
        // would write it.
        if (exponent < 0) {
            text += "0.";
            text.append(static_cast<std::size_t>(-exponent - 1), '0');
            text += digits;
        } else if (digits.size() <= static_cast<std::size_t>(exponent) + 1) {
            text += digits;
            text.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
        } else {
            text += digits.substr(0, static_cast<std::size_t>(exponent) + 1);
            text += '.';
            text += digits.substr(static_cast<std::size_t>(exponent) + 1);
        }
        return text;
    }

    // Beyond that an exponent, written "1E+20", "1.5E-07": an upper-case E,
    // always a sign and at least two digits. The lenient and strict parses
    // both read this form back.
    text += digits.front();
    if (digits.size() > 1) {
        text += '.';
        text += digits.substr(1);
    }
    text += exponent < 0 ? "E-" : "E+";
    const int absExponent = exponent < 0 ? -exponent : exponent;
    if (absExponent < 10)
        text += '0';
    text += std::to_string(absExponent);
    return text;
}

std::string displayText(double value)
{
    std::string text = plainText(value);
    // The readout keeps room for a sign: a blank before zero and positive
    // values, the minus sign before negative ones.
    if (text.front() != '-')
        text.insert(text.begin(), ' ');
    return text;
}

} // namespace quillon::numbertext
