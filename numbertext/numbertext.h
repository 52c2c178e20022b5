#pragma once

// The panel's four ways between text and numbers. A leaf library: the tuning
// handlers and the persisted settings use it.

#include <string>
#include <string_view>

namespace quillon::numbertext {

// Lenient parse: leading blanks skipped; blanks, tabs and line feeds inside the
// number ignored; an optional sign, digits with at most one "." as the decimal
// point, an optional exponent ("E" or "e", optional sign, digits); "&H" and
// "&O" prefixes read hexadecimal and octal whole numbers; reading stops at the
// first other character; 0 when no digit is read. Throws quillon::Failure only
// when the number is beyond double precision.
double lenientParse(std::string_view text);

// Strict parse: the whole text but leading and trailing blanks must be a
// decimal number, with "." as the decimal point whatever the locale. Throws
// quillon::Failure for anything else, the empty text included.
double strictParse(std::string_view text);

// Plain text: decimal, no leading blank, up to 15 significant digits, "." as
// the decimal point (12 gives "12", 983.04 gives "983.04"). Magnitudes below
// 0.0001 or of 1E+15 and above take an exponent, as printf's %.15G writes it
// ("1E+20", "1.5E-07"). Throws quillon::Failure for infinities and NaN.
std::string plainText(double value);

// Display text: the plain text with a leading blank for zero and positive
// values; used by the laser-offset readout.
std::string displayText(double value);

} // namespace quillon::numbertext
