#include "base/failure.h"
#include "tests/support/commalocale.h"
#include "tests/support/fakecontrols.h"
#include "tuning/frequency.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::tuning;
using namespace quillon::test;
using link::Message;

namespace {

constexpr double kTwoTo31 = 2147483648.0;

// ---------------------------------------------------------------- arithmetic

struct WordCase
{
    double frequency;
    double systemClock;
    double word;
};

class TuningWord : public ::testing::TestWithParam<WordCase>
{};

TEST_P(TuningWord, DividesTheClockFirst)
{
    EXPECT_EQ(tuningWord(GetParam().frequency, GetParam().systemClock), GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TuningWord,
    ::testing::Values(WordCase{80, 983.04, 349525333}, WordCase{-80, 983.04, 349525333},
                      WordCase{12.34, 983.04, 53914282}, WordCase{1, 983.04, 0x0042AAAA},
                      WordCase{491.51, 983.04, 0x7FFF5555}, WordCase{491.52, 983.04, kTwoTo31},
                      WordCase{500, 1000, kTwoTo31}, WordCase{0, 983.04, 0},
                      WordCase{0, -983.04, 0}, // -0, sent as 0
                      WordCase{80, -983.04, -349525334},
                      // Here F / C x 2^32 would be one off
                      // either way: the Hz values go first.
                      WordCase{158.625, 541.44, 1258291200}, WordCase{16.56, 176.64, 402653183}));

class TuningWordFails : public ::testing::TestWithParam<WordCase>
{};

TEST_P(TuningWordFails, InsteadOfInfinityOrNaN)
{
    EXPECT_THROW(tuningWord(GetParam().frequency, GetParam().systemClock), Failure);
}

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, TuningWordFails,
    ::testing::Values(WordCase{80, 0, 0}, WordCase{0, 0, 0}, WordCase{80, -0.0, 0},
                      WordCase{1e303, 983.04, 0}, // |F| x 1e6 overflows
                      WordCase{80, 1e303, 0},     // C x 1e6 overflows
                      WordCase{80, 4.9e-324, 0},  // H / 2^32 underflows to 0
                      WordCase{1e300, 1e-290, 0}, // the quotient overflows
                      WordCase{std::numeric_limits<double>::quiet_NaN(), 983.04, 0}));

TEST(CheckedTuningWord, KeepsEveryWholeWordBelowTwoToThe31)
{
    EXPECT_EQ(checkedTuningWord(0), 0u);
    EXPECT_EQ(checkedTuningWord(-0.0), 0u);
    EXPECT_EQ(checkedTuningWord(349525333), 349525333u);
    EXPECT_EQ(checkedTuningWord(kTwoTo31 - 1), 0x7FFFFFFFu);
}

TEST(CheckedTuningWord, RefusesWhatTheWordCannotCarry)
{
    for (double word :
         {kTwoTo31, kTwoTo31 + 1, 4294967296.0, -1.0, -256.0, -kTwoTo31, 1.5, -0.5,
          std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        EXPECT_THROW(checkedTuningWord(word), Failure) << word;
    }
}

// ---------------------------------------------------------------- handlers

// The frequency controls wired to the handlers the way the window wires them.
struct FrequencyPanel
{
    FakeTextBox txtFreq{"12.34"};
    FakeTextBox txtSysClk{"983.04"};
    FakeCheckBox chkZero;
    FakeTimer tmrZero;
    RecordingSender sender;
    FrequencyUpdate setting{{txtFreq, txtSysClk, chkZero, tmrZero}, sender};

    FrequencyPanel()
    {
        txtSysClk.onChange = [this] { setting.txtSysClk_Change(); };
    }

    // Puts a text into the box as the operator typing it would.
    void type(FakeTextBox& box, const std::string& text) { box.setText(text); }
};

const Message kApply{0xA2};
const Message kSignAbove{0xA7, 0x00};
const Message kSignNotAbove{0xA7, 0x01};
const Message kStartWordSlot1{0xA5, 0x01, 0xAB, 0xAA, 0x42, 0x00};
const Message kSelectSlot1{0xA3, 0x01};
const Message kSelectSlot0{0xA3, 0x00};

std::vector<Message> zeroStartTail()
{
    return {kStartWordSlot1, kSelectSlot1, kApply};
}

std::vector<Message> concat(std::vector<Message> a, const std::vector<Message>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct UpdateCase
{
    const char* name;
    std::string frequency;
    std::string systemClock;
    bool zeroStart;
    int sendsBeforeLinkDrops; // negative: the link stays up
    std::vector<Message> expected;
    bool timerArmed;
};

void PrintTo(const UpdateCase& c, std::ostream* os)
{
    *os << c.name;
}

class FrequencyUpdate : public ::testing::TestWithParam<UpdateCase>
{};

TEST_P(FrequencyUpdate, SendsExactlyTheseMessages)
{
    const UpdateCase& c = GetParam();
    FrequencyPanel panel;
    panel.txtFreq.setText(c.frequency);
    // Set without the change rules, so that the Update meets texts the rules
    // would have rewritten (as between a keystroke and the focus leaving).
    panel.txtSysClk.onChange = nullptr;
    panel.txtSysClk.setText(c.systemClock);
    panel.chkZero.ticked = c.zeroStart;
    panel.sender.sendsLeft = c.sendsBeforeLinkDrops;

    panel.setting.cmdUpdateFreq_Click();

    EXPECT_EQ(panel.sender.sent, c.expected);
    // They leave together, and nothing stays held after a failure.
    EXPECT_EQ(panel.sender.sentUnheld, 0);
    EXPECT_EQ(panel.sender.holds, 0);
    EXPECT_EQ(panel.tmrZero.isEnabled(), c.timerArmed);
    // The Update changes no control.
    EXPECT_EQ(panel.txtFreq.text(), c.frequency);
    EXPECT_EQ(panel.txtSysClk.text(), c.systemClock);
}

const Message kWord80{0xA5, 0x00, 0x55, 0x55, 0xD5, 0x14};

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, FrequencyUpdate,
    ::testing::Values(
        UpdateCase{"DesignTimeTexts",
                   "12.34",
                   "983.04",
                   false,
                   -1,
                   {{0xA5, 0x00, 0xAA, 0xAA, 0x36, 0x03}, kApply, kSignAbove},
                   false},
        UpdateCase{"Eighty", "80", "983.04", false, -1, {kWord80, kApply, kSignAbove}, false},
        UpdateCase{
            "MinusEighty", "-80", "983.04", false, -1, {kWord80, kApply, kSignNotAbove}, false},
        UpdateCase{"EightyZeroStart", "80", "983.04", true, -1,
                   concat({kWord80, kApply, kSignAbove}, zeroStartTail()), true},
        UpdateCase{"OneMHzIsOneBelowTheStartWord",
                   "1",
                   "983.04",
                   false,
                   -1,
                   {{0xA5, 0x00, 0xAA, 0xAA, 0x42, 0x00}, kApply, kSignAbove},
                   false},
        UpdateCase{
            "StartWordIgnoresTheClock", "80", "1000", true, -1,
            concat({{0xA5, 0x00, 0x47, 0xE1, 0x7A, 0x14}, kApply, kSignAbove}, zeroStartTail()),
            true},
        UpdateCase{"Zero",
                   "0",
                   "983.04",
                   false,
                   -1,
                   {{0xA5, 0x00, 0x00, 0x00, 0x00, 0x00}, kApply, kSignNotAbove},
                   false},
        UpdateCase{"NoNumber",
                   "abc",
                   "983.04",
                   false,
                   -1,
                   {{0xA5, 0x00, 0x00, 0x00, 0x00, 0x00}, kApply, kSignNotAbove},
                   false},
        UpdateCase{"LenientFrequency",
                   " 8 0 MHz",
                   "983.04",
                   false,
                   -1,
                   {kWord80, kApply, kSignAbove},
                   false},
        UpdateCase{"HalfTheClock", "491.52", "983.04", true, -1, {}, false},
        UpdateCase{"JustBelowHalfTheClock",
                   "491.51",
                   "983.04",
                   false,
                   -1,
                   {{0xA5, 0x00, 0x55, 0x55, 0xFF, 0x7F}, kApply, kSignAbove},
                   false},
        UpdateCase{"FiveHundredAtOneThousand", "500", "1000", false, -1, {}, false},
        UpdateCase{"ClockNotANumber", "80", "abc", true, -1, {}, false},
        UpdateCase{"ClockEmpty", "80", "", true, -1, {}, false},
        UpdateCase{"ClockWithTrailingText", "80", "983.04x", true, -1, {}, false},
        UpdateCase{"ClockWithAComma", "80", "983,04", true, -1, {}, false},
        UpdateCase{"ClockZero", "80", "0", true, -1, {}, false},
        UpdateCase{"ClockAndFrequencyZero", "0", "0", true, -1, {}, false},
        UpdateCase{"ClockNegative", "80", "-983.04", true, -1, {}, false},
        UpdateCase{"ClockNegativeFrequencyZero",
                   "0",
                   "-983.04",
                   false,
                   -1,
                   {{0xA5, 0x00, 0x00, 0x00, 0x00, 0x00}, kApply, kSignNotAbove},
                   false},
        UpdateCase{"FrequencyBeyondDouble", "1e400", "983.04", true, -1, {}, false},
        UpdateCase{"FrequencyOverflowsInHz", "1e303", "983.04", true, -1, {}, false},
        UpdateCase{"LinkDown", "80", "983.04", true, 0, {}, false},
        UpdateCase{"LinkDropsAfterTwo", "80", "983.04", true, 2, {kWord80, kApply}, false},
        UpdateCase{"LinkDropsBeforeSelectingSlot1",
                   "80",
                   "983.04",
                   true,
                   4,
                   {kWord80, kApply, kSignAbove, kStartWordSlot1},
                   false},
        UpdateCase{"LinkDropsAtTheLastApply",
                   "80",
                   "983.04",
                   true,
                   5,
                   {kWord80, kApply, kSignAbove, kStartWordSlot1, kSelectSlot1},
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrequencyUpdate, ArmedTimerStaysArmedThroughAnUpdateWithoutZeroStart)
{
    FrequencyPanel panel;
    panel.chkZero.ticked = true;
    panel.setting.cmdUpdateFreq_Click();
    ASSERT_TRUE(panel.tmrZero.isEnabled());

    panel.chkZero.ticked = false;
    panel.setting.cmdUpdateFreq_Click();
    EXPECT_TRUE(panel.tmrZero.isEnabled());
    EXPECT_EQ(panel.sender.sent.size(), 9u);
}

TEST(FrequencyUpdate, ClockIsReadWithThePointInACommaLocale)
{
    ScopedCommaLocale locale;
    if (!locale.active())
        GTEST_SKIP() << ScopedCommaLocale::missingMessage();

    FrequencyPanel panel;
    panel.type(panel.txtSysClk, "491.52"); // the change rules leave it alone
    panel.type(panel.txtSysClk, "983.04");
    EXPECT_EQ(panel.txtSysClk.text(), "983.04");
    panel.txtFreq.setText("80");
    panel.setting.cmdUpdateFreq_Click();
    EXPECT_EQ(panel.sender.sent, (std::vector<Message>{kWord80, kApply, kSignAbove}));
}

// ---------------------------------------------------------------- zero start

TEST(ZeroStartTick, SelectsSlotZeroOnceAndStops)
{
    FrequencyPanel panel;
    panel.chkZero.ticked = true;
    panel.setting.cmdUpdateFreq_Click();
    panel.sender.sent.clear();

    panel.setting.tmrZero_Timer();
    EXPECT_FALSE(panel.tmrZero.isEnabled());
    EXPECT_EQ(panel.sender.sent, std::vector<Message>{kSelectSlot0});
}

TEST(ZeroStartTick, LinkLostMeanwhileStillStopsTheTimerQuietly)
{
    FrequencyPanel panel;
    panel.chkZero.ticked = true;
    panel.setting.cmdUpdateFreq_Click();
    panel.sender.sent.clear();
    panel.sender.sendsLeft = 0;

    EXPECT_NO_THROW(panel.setting.tmrZero_Timer());
    EXPECT_FALSE(panel.tmrZero.isEnabled());
    EXPECT_TRUE(panel.sender.sent.empty());
}

// ---------------------------------------------------------------- Enter key

struct KeyCase
{
    int keyCode;
    int shift;
    bool runsUpdate;
};

class FrequencyKeyDown : public ::testing::TestWithParam<KeyCase>
{};

TEST_P(FrequencyKeyDown, OnlyEnterRunsTheUpdate)
{
    FrequencyPanel panel;
    panel.txtFreq.setText("80");
    panel.setting.txtFreq_KeyDown(GetParam().keyCode, GetParam().shift);
    const std::vector<Message> expected = GetParam().runsUpdate
                                              ? std::vector<Message>{kWord80, kApply, kSignAbove}
                                              : std::vector<Message>{};
    EXPECT_EQ(panel.sender.sent, expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, FrequencyKeyDown,
                         ::testing::Values(KeyCase{13, 0, true}, KeyCase{13, 1, true},
                                           KeyCase{13, 2, true}, KeyCase{10, 0, false},
                                           KeyCase{'8', 0, false}, KeyCase{0, 0, false}));

// ---------------------------------------------------------------- system clock

struct ClockCase
{
    std::string typed;
    std::string afterChange;
    std::string afterLostFocus;
};

void PrintTo(const ClockCase& c, std::ostream* os)
{
    *os << '"' << c.typed << '"';
}

class SystemClockRules : public ::testing::TestWithParam<ClockCase>
{};

TEST_P(SystemClockRules, HoldTheBoxToANumberInRange)
{
    FrequencyPanel panel;
    panel.type(panel.txtSysClk, GetParam().typed);
    EXPECT_EQ(panel.txtSysClk.text(), GetParam().afterChange);
    panel.setting.txtSysClk_LostFocus();
    EXPECT_EQ(panel.txtSysClk.text(), GetParam().afterLostFocus);
    EXPECT_TRUE(panel.sender.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SystemClockRules,
    ::testing::Values(ClockCase{"", "0", "100"}, ClockCase{"-", "0", "100"},
                      ClockCase{"12abc", "12", "100"}, ClockCase{"-5x", "5", "100"},
                      ClockCase{"-5", "-5", "100"}, ClockCase{"2000", "1000", "1000"},
                      ClockCase{"2000x", "1000", "1000"}, ClockCase{"1000", "1000", "1000"},
                      ClockCase{"99.99", "99.99", "100"}, ClockCase{"100", "100", "100"},
                      ClockCase{"1000.0001", "1000", "1000"},
                      ClockCase{"491.52", "491.52", "491.52"}, ClockCase{" 500 ", " 500 ", " 500 "},
                      ClockCase{"5 00", "500", "500"}, ClockCase{"&H1F", "31", "100"},
                      ClockCase{"&H3E8", "1000", "1000"}, ClockCase{"1e3", "1e3", "1e3"},
                      ClockCase{"1e", "1", "100"}, ClockCase{"983,04", "983", "983"},
                      ClockCase{"1e400", "1000", "1000"}, ClockCase{"-2000", "-2000", "100"},
                      ClockCase{"-2000x", "1000", "1000"}));

TEST(SystemClockRules, RewritesRunNestedOnTheirOwnResult)
{
    FrequencyPanel panel;
    panel.type(panel.txtSysClk, "2000x");
    // The rewrite to "2000" runs the rules again, which cap it at once; the
    // outer run then finds "1000" and leaves it.
    EXPECT_EQ(panel.txtSysClk.history, (std::vector<std::string>{"2000x", "2000", "1000"}));
}

} // namespace
