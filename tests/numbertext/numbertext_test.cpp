#include "base/failure.h"
#include "numbertext/numbertext.h"
#include "tests/support/commalocale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

using namespace quillon;
using namespace quillon::numbertext;
using quillon::test::ScopedCommaLocale;

namespace {

struct ParseCase
{
    std::string text;
    double value;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << '"' << c.text << '"';
}

std::string repeat(char c, std::size_t n)
{
    return std::string(n, c);
}

// ---------------------------------------------------------------- lenient

class LenientParse : public ::testing::TestWithParam<ParseCase>
{};

TEST_P(LenientParse, ReadsTheLeadingNumber)
{
    const double value = lenientParse(GetParam().text);
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LenientParse,
    ::testing::Values(
        // Blanks, tabs and line feeds before and inside the number.
        ParseCase{" 1 2 . 5", 12.5}, ParseCase{"\t\n 7", 7}, ParseCase{"1\t2\n3", 123},
        ParseCase{"- 5", -5}, ParseCase{"1 e 3", 1000},
        // Signs, points and exponents.
        ParseCase{"1e3", 1000}, ParseCase{"1E+2", 100}, ParseCase{"1e-2", 0.01}, ParseCase{"1e", 1},
        ParseCase{"1e+", 1}, ParseCase{"2e-x", 2}, ParseCase{"1.2.3", 1.2}, ParseCase{"+.5", 0.5},
        ParseCase{".5", 0.5}, ParseCase{"5.", 5}, ParseCase{"-", 0}, ParseCase{"+", 0},
        ParseCase{".", 0}, ParseCase{"-.", 0}, ParseCase{"+-5", 0}, ParseCase{"  -12.34", -12.34},
        ParseCase{"983.04", 983.04},
        // Where the reading stops.
        ParseCase{"12abc", 12}, ParseCase{"abc", 0}, ParseCase{"", 0}, ParseCase{"1,5", 1},
        ParseCase{"$5", 0}, ParseCase{"1e3e4", 1000},
        ParseCase{std::string("4\0"
                              "2",
                              3),
                  4},
        ParseCase{"\r5", 0},
        // Hexadecimal and octal whole numbers, case-insensitive, unsigned.
        ParseCase{"&H1F", 31}, ParseCase{"&h1f", 31}, ParseCase{"&H 1F", 31}, ParseCase{"&O17", 15},
        ParseCase{"&o17", 15}, ParseCase{"&H", 0}, ParseCase{"&O", 0}, ParseCase{"&O8", 0},
        ParseCase{"&", 0}, ParseCase{"&X1", 0}, ParseCase{"&H1G", 1}, ParseCase{"&HFFFF", 65535},
        ParseCase{"&HFFFFFFFF", 4294967295.0}, ParseCase{"&O777", 511}, ParseCase{"&H1.5", 1},
        ParseCase{"-&H10", 0},
        // Correct rounding where a double runs out of bits: 2^53 + 1 is a
        // tie and goes to the even neighbour, 2^53 + 3 likewise upwards.
        ParseCase{"9007199254740993", 9007199254740992.0},
        ParseCase{"&H20000000000001", 9007199254740992.0},
        ParseCase{"&H20000000000003", 9007199254740996.0},
        ParseCase{"&O400000000000000001", 9007199254740992.0},
        ParseCase{"0.1000000000000000055511151231257827", 0.1},
        // Very long digit strings.
        ParseCase{repeat('0', 1000) + "1.5", 1.5}, ParseCase{"1" + repeat('0', 300), 1e300},
        ParseCase{"0." + repeat('0', 400) + "1", 0},
        ParseCase{"0." + repeat('0', 300) + "1", 1e-301},
        ParseCase{"1" + repeat('0', 400) + "e-400", 1},
        ParseCase{"0." + repeat('0', 400) + "1e402", 10},
        ParseCase{"&H" + repeat('0', 500) + "1", 1},
        // Underflow is zero, not a failure; only too large fails.
        ParseCase{"1e-400", 0}, ParseCase{"-1e-400", 0}, ParseCase{"0e999999", 0},
        ParseCase{"1e-99999999999999999999", 0}, ParseCase{"4.9e-324", 4.9e-324}));

class LenientParseFails : public ::testing::TestWithParam<std::string>
{};

TEST_P(LenientParseFails, BeyondDoublePrecision)
{
    EXPECT_THROW(lenientParse(GetParam()), Failure);
}

INSTANTIATE_TEST_SUITE_P(Texts, LenientParseFails,
                         ::testing::Values("1e400", "-1e400", "1.8e308", "1" + repeat('0', 309),
                                           "1e99999999999999999999", repeat('9', 400),
                                           "&H" + repeat('F', 257), "&O" + repeat('7', 400)));

TEST(LenientParse, LargestDoubleStillReads)
{
    EXPECT_EQ(lenientParse("1.7976931348623157e308"), std::numeric_limits<double>::max());
    EXPECT_EQ(lenientParse("&HFFFFFFFFFFFFF8" + repeat('0', 242)),
              std::numeric_limits<double>::max());
    // One more and it rounds up to 2^1024, beyond the range.
    EXPECT_THROW(lenientParse("&H" + repeat('F', 256)), Failure);
}

TEST(LenientParse, NegativeZeroIsZero)
{
    EXPECT_EQ(lenientParse("-0"), 0.0);
    EXPECT_FALSE(lenientParse("-0") > 0); // the offset sign of "-0" is 1
}

// ---------------------------------------------------------------- strict

class StrictParseAccepts : public ::testing::TestWithParam<ParseCase>
{};

TEST_P(StrictParseAccepts, WithTheLenientValue)
{
    EXPECT_EQ(strictParse(GetParam().text), GetParam().value);
    EXPECT_EQ(strictParse(GetParam().text), lenientParse(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StrictParseAccepts,
    ::testing::Values(ParseCase{"983.04", 983.04}, ParseCase{" 983.04 ", 983.04},
                      ParseCase{"\t100\t", 100}, ParseCase{"-5", -5}, ParseCase{"+5", 5},
                      ParseCase{".5", 0.5}, ParseCase{"5.", 5}, ParseCase{"1e3", 1000},
                      ParseCase{"1E+20", 1e20}, ParseCase{"1.5E-07", 1.5e-7}, ParseCase{"-0", 0},
                      ParseCase{"007", 7}, ParseCase{"9007199254740993", 9007199254740992.0},
                      ParseCase{"1e-400", 0}));

class StrictParseRejects : public ::testing::TestWithParam<std::string>
{};

TEST_P(StrictParseRejects, AnythingButAWholeNumber)
{
    EXPECT_THROW(strictParse(GetParam()), Failure);
}

INSTANTIATE_TEST_SUITE_P(Texts, StrictParseRejects,
                         ::testing::Values("", " ", "\t", "12abc", "1 2", "1.2.3", "&H1F", "1e",
                                           "1e+", "-", "+", ".", "1,5", "983,04", "- 5", "--5",
                                           "1e400", "5 x", "\n5", std::string("5\0", 2)));

// ---------------------------------------------------------------- texts

struct TextCase
{
    double value;
    std::string plain;
};

void PrintTo(const TextCase& c, std::ostream* os)
{
    *os << c.plain;
}

class PlainText : public ::testing::TestWithParam<TextCase>
{};

TEST_P(PlainText, FifteenDigitsNoTrailingZeros)
{
    EXPECT_EQ(plainText(GetParam().value), GetParam().plain);
}

TEST_P(PlainText, ReadsBackToItself)
{
    const std::string& text = GetParam().plain;
    EXPECT_EQ(plainText(lenientParse(text)), text);
    EXPECT_EQ(strictParse(text), lenientParse(text));
}

TEST_P(PlainText, DisplayTextAddsTheBlank)
{
    const double value = GetParam().value;
    const std::string expected = (value < 0 ? "" : " ") + GetParam().plain;
    EXPECT_EQ(displayText(value), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PlainText,
    ::testing::Values(
        TextCase{12, "12"}, TextCase{983.04, "983.04"}, TextCase{0, "0"}, TextCase{-0.0, "0"},
        TextCase{-5, "-5"}, TextCase{0.5, "0.5"}, TextCase{1000, "1000"},
        TextCase{12.34 * 2 * 16, "394.88"}, TextCase{-12.34 * 8, "-98.72"},
        TextCase{0.1 + 0.2, "0.3"}, TextCase{2.0 / 3.0, "0.666666666666667"},
        TextCase{123456789012345, "123456789012345"}, TextCase{999999999999999.5, "1E+15"},
        TextCase{1234567890123456, "1.23456789012346E+15"}, TextCase{1e20, "1E+20"},
        TextCase{-2.5e100, "-2.5E+100"}, TextCase{0.0001, "0.0001"},
        TextCase{0.00012345, "0.00012345"}, TextCase{0.00001, "1E-05"}, TextCase{1.5e-7, "1.5E-07"},
        TextCase{std::numeric_limits<double>::max(), "1.79769313486231E+308"},
        TextCase{4.9e-324, "4.94065645841247E-324"}));

TEST(PlainText, MatchesPrintfGInTheCLocale)
{
    // The rule is printf's %.15G; checked on a spread of magnitudes.
    for (double v = 1.234567890123456e-12; v < 1e20; v *= 7.3) {
        for (double value : {v, -v}) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "%.15G", value);
            EXPECT_EQ(plainText(value), expected);
        }
    }
}

TEST(PlainText, NonFiniteHasNoText)
{
    EXPECT_THROW(plainText(std::numeric_limits<double>::infinity()), Failure);
    EXPECT_THROW(displayText(-std::numeric_limits<double>::infinity()), Failure);
    EXPECT_THROW(plainText(std::numeric_limits<double>::quiet_NaN()), Failure);
}

// ---------------------------------------------------------------- locale

// With a comma locale a locale-following conversion would read "983.04" as
// 983 and write 983.04 as "983,04"; the panel keeps "." everywhere.
TEST(NumberTextsInACommaLocale, KeepThePoint)
{
    ScopedCommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << ScopedCommaLocale::missingMessage();

    EXPECT_EQ(plainText(983.04), "983.04");
    EXPECT_EQ(plainText(1.5e-7), "1.5E-07");
    EXPECT_EQ(displayText(394.88), " 394.88");
    EXPECT_EQ(strictParse("983.04"), 983.04);
    EXPECT_EQ(lenientParse("983.04"), 983.04);
    EXPECT_THROW(strictParse("983,04"), Failure);
    EXPECT_EQ(lenientParse("983,04"), 983);
}

} // namespace
