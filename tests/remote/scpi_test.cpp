// The remote-control language against a target that records what ran: the
// forms a line may take, the error each malformed line queues, and the queue.

#include "remote/scpi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace quillon::remote;
using Lines = std::vector<std::string>;

// The window as far as the language sees it: every change goes to one log,
// and queries read back what the changes left.
struct RecordingTarget : Target
{
    Lines log;
    std::string freq = "80";
    std::string clock = "983.04";
    int dds = 1;
    int rosa = 8;
    bool zero = false;

    void setFrequency(const std::string& text) override
    {
        log.push_back("frequency " + text);
        freq = text;
    }
    std::string frequency() const override { return freq; }
    void setSystemClock(const std::string& text) override
    {
        log.push_back("clock " + text);
        clock = text;
    }
    std::string systemClock() const override { return clock; }
    bool pickDdsPrescaler(int divider) override { return pick("dds", divider, {1, 2, 4}, dds); }
    int ddsPrescaler() const override { return dds; }
    bool pickRosaPrescaler(int divider) override
    {
        return pick("rosa", divider, {8, 16, 32, 64}, rosa);
    }
    int rosaPrescaler() const override { return rosa; }
    void setZeroStart(bool on) override
    {
        log.push_back(on ? "zero on" : "zero off");
        zero = on;
    }
    bool zeroStart() const override { return zero; }
    std::string offset() const override { return "640"; }
    bool linkUp() const override { return true; }

    bool pick(const std::string& list, int divider, const std::vector<int>& shown, int& choice)
    {
        log.push_back(list + " " + std::to_string(divider));
        if (std::find(shown.begin(), shown.end(), divider) == shown.end())
            return false;
        choice = divider;
        return true;
    }
};

// Every queued error, oldest first, as a client reads them.
Lines drainErrors(Session& session)
{
    Lines errors;
    while (session.errorCount() > 0)
        errors.push_back(session.handleLine("SYST:ERR?").at(0));
    return errors;
}

const std::string kUndefined = "-113,\"Undefined header\"";
const std::string kSyntax = "-102,\"Syntax error\"";
const std::string kDataType = "-104,\"Data type error\"";
const std::string kOutOfRange = "-222,\"Data out of range\"";
const std::string kInvalid = "-101,\"Invalid character\"";

struct LineCase
{
    const char* situation;
    std::string line;
    Lines ran;
    Lines replies;
    Lines errors;
};

void PrintTo(const LineCase& c, std::ostream* os)
{
    *os << c.situation;
}

class OneLine : public testing::TestWithParam<LineCase>
{};

TEST_P(OneLine, RunsRepliesAndQueuesExactly)
{
    const LineCase& c = GetParam();
    RecordingTarget target;
    Session session(target, "4.5.6");
    EXPECT_EQ(session.handleLine(c.line), c.replies);
    EXPECT_EQ(target.log, c.ran);
    EXPECT_EQ(drainErrors(session), c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, OneLine,
    testing::Values(
        LineCase{"short form", "FREQ 80.5", {"frequency 80.5"}, {}, {}},
        LineCase{"long form in any case", "fReQuEnCy 81", {"frequency 81"}, {}, {}},
        LineCase{"leading colon, blanks, tab and CR", " \t:FREQ\t 82 \r", {"frequency 82"}, {}, {}},
        LineCase{"blank line", " \t\r", {}, {}, {}},
        LineCase{"empty units", ";FREQ 83;;", {"frequency 83"}, {}, {}},
        LineCase{"units in order", "FREQ 84;FREQ?;LINK?", {"frequency 84"}, {"84", "1"}, {}},
        LineCase{
            "unquoted text keeps its inner blanks", "FREQ 85 MHz", {"frequency 85 MHz"}, {}, {}},
        LineCase{"quoted: ';' ',' and a doubled quote inside",
                 "FREQ \"8;5,5\";SYST:CLOC 'it''s'",
                 {"frequency 8;5,5", "clock it's"},
                 {},
                 {}},
        LineCase{"after ';' beside the last header",
                 "PRESC:DDS 2;ROSA 16",
                 {"dds 2", "rosa 16"},
                 {},
                 {}},
        LineCase{"beside is all but the last node",
                 "SYST:ERR:COUN?;NEXT?",
                 {},
                 {"0", "0,\"No error\""},
                 {}},
        LineCase{"nothing beside: from the root",
                 "SYST:CLOC 983;FREQ 80",
                 {"clock 983", "frequency 80"},
                 {},
                 {}},
        LineCase{"common commands keep the path",
                 "PRESC:DDS 4;*OPC?;ROSA 32;*WAI;*OPC",
                 {"dds 4", "rosa 32"},
                 {"1"},
                 {}},
        LineCase{"divider with '+', blanks, quotes",
                 "PRESC:DDS +2;ROSA ' 64 '",
                 {"dds 2", "rosa 64"},
                 {},
                 {}},
        LineCase{"switch words",
                 "ZERO:STAR on;STAR?;start OFF;STAR 1",
                 {"zero on", "zero off", "zero on"},
                 {"1"},
                 {}},
        LineCase{"every query",
                 "*idn?;OFFS?;LINK?;SYST:CLOC?;PRESC:DDS?;ROSA?;ZERO:STAR?;FREQ?",
                 {},
                 {"Oxwell,Quillon,0,4.5.6", "640", "1", "983.04", "1", "8", "0", "80"},
                 {}}));

INSTANTIATE_TEST_SUITE_P(
    Errors, OneLine,
    testing::Values(
        LineCase{"neither short nor long form", "FREQU 80", {}, {}, {kUndefined}},
        LineCase{"unknown common command", "*RST", {}, {}, {kUndefined}},
        LineCase{"command to a query-only header", "OFFS 5", {}, {}, {kUndefined}},
        LineCase{"query of a command-only header", "*CLS?", {}, {}, {kUndefined}},
        LineCase{"query with an argument", "FREQ? 80", {}, {}, {"-108,\"Parameter not allowed\""}},
        LineCase{"command without its argument", "FREQ", {}, {}, {"-109,\"Missing parameter\""}},
        LineCase{"unterminated quote takes the ';' in", "FREQ \"80;FREQ 81", {}, {}, {kSyntax}},
        LineCase{"two arguments", "FREQ 80,81", {}, {}, {kSyntax}},
        LineCase{"text after the closing quote", "FREQ '80' 1", {}, {}, {kSyntax}},
        LineCase{"character no header has", "FR#Q 80", {}, {}, {kSyntax}},
        LineCase{"empty node", "SYST::CLOC 1", {}, {}, {kSyntax}},
        LineCase{"divider with a fraction", "PRESC:DDS 2.0", {}, {}, {kDataType}},
        LineCase{"divider with '-'", "PRESC:DDS -2", {}, {}, {kDataType}},
        LineCase{"divider no entry shows", "PRESC:DDS 3", {"dds 3"}, {}, {kOutOfRange}},
        LineCase{
            "divider past int", "PRESC:ROSA 99999999999", {"rosa 2147483647"}, {}, {kOutOfRange}},
        LineCase{"switch word", "ZERO:STAR yes", {}, {}, {kDataType}},
        LineCase{"DEL", "FREQ 80\x7F", {}, {}, {kInvalid}},
        LineCase{"second CR", "FREQ 80\r\r", {}, {}, {kInvalid}},
        LineCase{
            "non-ASCII byte stops the whole line", "FREQ 80;FREQ \xC3\xBC", {}, {}, {kInvalid}},
        LineCase{"an error stops nothing after it",
                 "NOPE?;FREQ 85;FREQ?",
                 {"frequency 85"},
                 {"85"},
                 {kUndefined}},
        LineCase{"an understood header sets the path despite its argument",
                 "PRESC:DDS 3;ROSA 16",
                 {"dds 3", "rosa 16"},
                 {},
                 {kOutOfRange}}));

TEST(Session, PathStartsAtTheRootOnEachLine)
{
    RecordingTarget target;
    Session session(target, "4.5.6");
    session.handleLine("PRESC:DDS 2");
    session.handleLine("ROSA 16");
    EXPECT_EQ(target.log, Lines{"dds 2"});
    EXPECT_EQ(drainErrors(session), Lines{kUndefined});
}

TEST(Session, FullQueueKeepsTheOldestAndEndsWithOneOverflow)
{
    RecordingTarget target;
    Session session(target, "4.5.6");
    session.lineTooLong();
    for (int i = 0; i < 20; ++i)
        session.handleLine("NOPE");
    EXPECT_EQ(session.handleLine("SYST:ERR:COUN?"), Lines{"16"});

    Lines expected{"-223,\"Too much data\""};
    expected.insert(expected.end(), 14, kUndefined);
    expected.push_back("-350,\"Queue overflow\"");
    EXPECT_EQ(drainErrors(session), expected);
    EXPECT_EQ(session.handleLine("SYST:ERR?"), Lines{"0,\"No error\""});
}

TEST(Session, ClsEmptiesTheQueue)
{
    RecordingTarget target;
    Session session(target, "4.5.6");
    session.handleLine("NOPE;FREQ");
    session.handleLine("*CLS");
    EXPECT_EQ(session.errorCount(), 0u);
}

TEST(Session, ReplyIsOneLineWhateverTheBoxHolds)
{
    // A line break in a reply would shift every later reply by one.
    RecordingTarget target;
    target.freq = "8\r\n0";
    Session session(target, "4.5.6");
    EXPECT_EQ(session.handleLine("FREQ?"), Lines{"8  0"});
}

} // namespace
