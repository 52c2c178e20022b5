// The simulator's stream splitting and decoding: what a person reading its
// output relies on to see what the panel sent.

#include "sim/instrument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using quillon::sim::Instrument;
using quillon::sim::Received;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::string> lines(const Instrument& instrument, const std::vector<Received>& got)
{
    std::vector<std::string> out;
    for (const Received& r : got)
        out.push_back(Instrument::hex(r.bytes) + "  " + instrument.describe(r));
    return out;
}

struct DecodeCase
{
    Bytes bytes;
    const char* line;
};

void PrintTo(const DecodeCase& c, std::ostream* os)
{
    *os << Instrument::hex(c.bytes);
}

class SimDecode : public testing::TestWithParam<DecodeCase>
{};

TEST_P(SimDecode, OneLinePerMessage)
{
    Instrument instrument(983.04);
    const auto got = instrument.feed(GetParam().bytes, 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(lines(instrument, got)[0], GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimDecode,
    testing::Values(
        DecodeCase{{0x7F}, "7F  Heartbeat"}, DecodeCase{{0xA0, 0x01}, "A0 01  ConnectA0  arg 0x01"},
        DecodeCase{{0xA6, 0x03}, "A6 03  ConnectA6  arg 0x03"},
        DecodeCase{{0xAF, 0x02}, "AF 02  ConnectAF  arg 0x02 (the panel only ever sends 0x01)"},
        DecodeCase{{0xA2}, "A2  ApplyUpdate"},
        DecodeCase{{0xA3, 0x01}, "A3 01  SelectSlot  slot 1"},
        DecodeCase{{0xA3, 0x05}, "A3 05  SelectSlot  slot 5 (no such slot)"},
        DecodeCase{{0xA5, 0x00, 0x55, 0x55, 0xD5, 0x14},
                   "A5 00 55 55 D5 14  SetTuningWord  slot 0, word 349525333 (0x14D55555) = "
                   "80.000000 MHz at 983.04 MHz"},
        DecodeCase{{0xA5, 0x01, 0xAB, 0xAA, 0x42, 0x00},
                   "A5 01 AB AA 42 00  SetTuningWord  slot 1, word 4369067 (0x0042AAAB) = "
                   "1.000000 MHz at 983.04 MHz"},
        DecodeCase{{0xA7, 0x00}, "A7 00  SetOffsetSign  sign 0 (offset above zero)"},
        DecodeCase{{0xA7, 0x01}, "A7 01  SetOffsetSign  sign 1 (offset zero or below)"},
        DecodeCase{{0xA8, 0x04}, "A8 04  SetDdsPrescaler  divider 4"},
        DecodeCase{{0xA8, 0x03}, "A8 03  SetDdsPrescaler  divider 3 (not 1, 2 or 4)"},
        DecodeCase{{0xB0, 0x01}, "B0 01  SetRosaPrescaler  index 1 (divider 16)"},
        DecodeCase{{0xB0, 0x03}, "B0 03  SetRosaPrescaler  index 3 (divider 64)"},
        DecodeCase{{0xB0, 0x09}, "B0 09  SetRosaPrescaler  index 9 (no such entry)"},
        DecodeCase{{0xA9, 0x61, 0x00},
                   "A9 61 00  SetChargePumpCurrents  code 0x61: Freq. Detect X20, Wide Lock X2, "
                   "Final Lock X1"},
        DecodeCase{{0xA9, 0xFF, 0x00},
                   "A9 FF 00  SetChargePumpCurrents  code 0xFF: Freq. Detect X60, Wide Lock X14, "
                   "Final Lock X4"},
        DecodeCase{{0xA9, 0x00, 0x00},
                   "A9 00 00  SetChargePumpCurrents  code 0x00: Freq. Detect OFF, Wide Lock OFF, "
                   "Final Lock OFF"},
        DecodeCase{{0xA9, 0x08, 0x01},
                   "A9 08 01  SetChargePumpCurrents  code 0x08: Freq. Detect OFF, Wide Lock OFF, "
                   "Final Lock invalid (1), second byte 0x01 (the panel only ever sends 0x00)"},
        DecodeCase{{0x42}, "42  unknown command byte 0x42, skipped"}));

TEST(SimSplit, MessagesCutAcrossReadsComeOutWhole)
{
    // The connect sequence and an Update, fed one byte per read: each message
    // comes out once, when its last byte arrives.
    const Bytes stream = {0xA0, 0x01, 0xA6, 0x03, 0xA9, 0x61, 0x00, 0xB0, 0x01, 0xA8, 0x02, 0xAF,
                          0x01, 0xA3, 0x00, 0xA5, 0x00, 0x55, 0x55, 0xD5, 0x14, 0xA2, 0xA7, 0x00};
    Instrument instrument;
    std::vector<Bytes> messages;
    std::vector<double> times;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        for (const Received& r : instrument.feed(Bytes{stream[i]}, static_cast<double>(i))) {
            messages.push_back(r.bytes);
            times.push_back(r.ms);
        }
    }
    const std::vector<Bytes> expected = {
        {0xA0, 0x01}, {0xA6, 0x03}, {0xA9, 0x61, 0x00}, {0xB0, 0x01},
        {0xA8, 0x02}, {0xAF, 0x01}, {0xA3, 0x00},       {0xA5, 0x00, 0x55, 0x55, 0xD5, 0x14},
        {0xA2},       {0xA7, 0x00}};
    EXPECT_EQ(messages, expected);
    // Each carries the time of the read that completed it.
    EXPECT_EQ(times.front(), 1.0);
    EXPECT_EQ(times[7], 20.0);
    EXPECT_TRUE(instrument.takePending().empty());
}

TEST(SimSplit, AnUnknownByteIsSkippedAndTheNextByteStartsAMessage)
{
    Instrument instrument;
    const auto got = instrument.feed(Bytes{0x00, 0xFF, 0x7F, 0xB0, 0x02, 0x13}, 5);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_FALSE(got[0].known);
    EXPECT_FALSE(got[1].known);
    EXPECT_EQ(got[2].bytes, Bytes{0x7F});
    EXPECT_EQ(got[3].bytes, (Bytes{0xB0, 0x02}));
    EXPECT_FALSE(got[4].known);
    EXPECT_EQ(instrument.state().unknownBytes, 3);
    EXPECT_EQ(instrument.state().rosaIndex, 2);
}

TEST(SimSplit, EveryByteValueIsSurvived)
{
    // Garbage of every value, with messages cut short at the end: nothing is
    // lost track of and nothing crashes.
    Bytes all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<std::uint8_t>(b));
    Instrument instrument;
    std::size_t bytesOut = 0;
    for (int round = 0; round < 3; ++round) {
        for (const Received& r : instrument.feed(all, round))
            bytesOut += r.bytes.size();
    }
    EXPECT_EQ(bytesOut + instrument.takePending().size(), 3 * all.size());
}

TEST(SimState, FollowsWhatThePanelSent)
{
    Instrument instrument(983.04);
    instrument.feed(Bytes{0xA5, 0x00, 0x55, 0x55, 0xD5, 0x14, 0xA5, 0x01, 0xAB,
                          0xAA, 0x42, 0x00, 0xA3, 0x01, 0xA8, 0x04, 0xB0, 0x03,
                          0xA9, 0x61, 0x00, 0xA7, 0x01, 0xA2, 0x7F, 0x7F},
                    0);
    const auto& s = instrument.state();
    EXPECT_EQ(s.slotWords[0], 349525333u);
    EXPECT_EQ(s.slotWords[1], 0x0042AAABu);
    EXPECT_EQ(s.activeSlot, 1);
    EXPECT_EQ(s.ddsDivider, 4);
    EXPECT_EQ(s.rosaIndex, 3);
    EXPECT_EQ(s.chargePumpCode, 0x61);
    EXPECT_EQ(s.offsetSign, 1);
    EXPECT_EQ(s.heartbeats, 2);
    EXPECT_EQ(s.applies, 1);
    EXPECT_EQ(s.messages, 10);
    EXPECT_EQ(instrument.stateText(),
              "state: slot 0 word 349525333 (0x14D55555, 80.000000 MHz); slot 1 word 4369067 "
              "(0x0042AAAB, 1.000000 MHz); active slot 1; DDS divider 4; ROSA index 3 (divider "
              "64); charge pump 0x61 (Freq. Detect X20, Wide Lock X2, Final Lock X1); offset "
              "sign 1; messages 10, heartbeats 2, applies 1, unknown bytes 0");
}

TEST(SimState, EachMessageSeesTheStateItLeft)
{
    // Several messages in one read: the state shown after each is the one
    // that message left, not the one at the end of the read.
    Instrument instrument;
    std::vector<std::optional<int>> dividers;
    instrument.feed(Bytes{0xA8, 0x01, 0xA8, 0x04, 0x7F}, 0,
                    [&](const Received&) { dividers.push_back(instrument.state().ddsDivider); });
    EXPECT_EQ(dividers, (std::vector<std::optional<int>>{1, 4, 4}));
}

TEST(SimState, StartsUnset)
{
    EXPECT_EQ(Instrument().stateText(),
              "state: slot 0 word unset; slot 1 word unset; active slot unset; DDS divider "
              "unset; ROSA unset; charge pump unset; offset sign unset; messages 0, heartbeats "
              "0, applies 0, unknown bytes 0");
}

TEST(SimState, FrequencyFollowsTheSystemClock)
{
    EXPECT_DOUBLE_EQ(Instrument(1000.0).ddsFrequencyMHz(0x80000000u), 500.0);
    EXPECT_DOUBLE_EQ(Instrument(983.04).ddsFrequencyMHz(0), 0.0);
}

} // namespace
