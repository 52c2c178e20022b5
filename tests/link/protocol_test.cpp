// The command encoders against the bytes the instrument expects, and the
// length table the simulator splits the stream with.

#include "link/protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

namespace {

using namespace quillon::link;

struct EncoderCase
{
    const char* situation;
    std::function<Message()> encode;
    Message expected;
};

void PrintTo(const EncoderCase& c, std::ostream* os)
{
    *os << c.situation;
}

class Encoders : public testing::TestWithParam<EncoderCase>
{};

TEST_P(Encoders, GiveTheExactBytes)
{
    const EncoderCase& c = GetParam();
    const Message bytes = c.encode();
    EXPECT_EQ(bytes, c.expected);
    // Every message is as long as its command byte says: the instrument
    // knows where a message ends from that byte alone.
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(messageLength(bytes[0]), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, Encoders,
    testing::Values(
        EncoderCase{"heartbeat", [] { return heartbeat(); }, {0x7F}},
        EncoderCase{"connect A0", [] { return connectA0(); }, {0xA0, 0x01}},
        EncoderCase{"connect A6", [] { return connectA6(); }, {0xA6, 0x03}},
        EncoderCase{"connect AF", [] { return connectAF(); }, {0xAF, 0x01}},
        EncoderCase{"apply update", [] { return applyUpdate(); }, {0xA2}},
        EncoderCase{"select slot 0", [] { return selectSlot(0); }, {0xA3, 0x00}},
        EncoderCase{"select slot 1", [] { return selectSlot(1); }, {0xA3, 0x01}},
        EncoderCase{"start-up charge-pump defaults X2/X1/X20",
                    [] { return setChargePumpCurrents(1, 1, 1); },
                    {0xA9, 0x61, 0x00}},
        EncoderCase{"all charge-pump lists OFF",
                    [] { return setChargePumpCurrents(0, 0, 0); },
                    {0xA9, 0x00, 0x00}},
        EncoderCase{"all charge-pump lists at their last entry",
                    [] { return setChargePumpCurrents(7, 4, 3); },
                    {0xA9, 0xFF, 0x00}},
        EncoderCase{"Final Lock OFF adds nothing: Wide Lock X14 alone",
                    [] { return setChargePumpCurrents(7, 0, 0); },
                    {0xA9, 0x07, 0x00}},
        EncoderCase{"Final Lock X1 alone sets bit 5",
                    [] { return setChargePumpCurrents(0, 1, 0); },
                    {0xA9, 0x20, 0x00}},
        EncoderCase{"Freq. Detect X60 alone",
                    [] { return setChargePumpCurrents(0, 0, 3); },
                    {0xA9, 0xC0, 0x00}},
        EncoderCase{"DDS prescaler divider 1", [] { return setDdsPrescaler(1); }, {0xA8, 0x01}},
        EncoderCase{"DDS prescaler divider 4", [] { return setDdsPrescaler(4); }, {0xA8, 0x04}},
        EncoderCase{
            "ROSA prescaler /8 is index 0", [] { return setRosaPrescaler(0); }, {0xB0, 0x00}},
        EncoderCase{
            "ROSA prescaler /16 is index 1", [] { return setRosaPrescaler(1); }, {0xB0, 0x01}},
        EncoderCase{
            "ROSA prescaler /64 is index 3", [] { return setRosaPrescaler(3); }, {0xB0, 0x03}},
        EncoderCase{"target word 0x0042AAAB into slot 0",
                    [] { return setTuningWord(0, 0x0042AAABu); },
                    {0xA5, 0x00, 0xAB, 0xAA, 0x42, 0x00}},
        EncoderCase{"80 MHz at 983.04 MHz into slot 0",
                    [] { return setTuningWord(0, 349525333u); },
                    {0xA5, 0x00, 0x55, 0x55, 0xD5, 0x14}},
        EncoderCase{"a word below 256 still takes four bytes",
                    [] { return setTuningWord(1, 0xC3u); },
                    {0xA5, 0x01, 0xC3, 0x00, 0x00, 0x00}},
        EncoderCase{
            "word zero", [] { return setTuningWord(0, 0u); }, {0xA5, 0x00, 0x00, 0x00, 0x00, 0x00}},
        EncoderCase{"largest word",
                    [] { return setTuningWord(0, 0xFFFFFFFFu); },
                    {0xA5, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
        EncoderCase{"each byte in its place",
                    [] { return setTuningWord(0, 0x04030201u); },
                    {0xA5, 0x00, 0x01, 0x02, 0x03, 0x04}},
        EncoderCase{"offset above zero", [] { return setOffsetSign(0); }, {0xA7, 0x00}},
        EncoderCase{"offset zero or below", [] { return setOffsetSign(1); }, {0xA7, 0x01}}));

struct LengthCase
{
    std::uint8_t command;
    std::optional<std::size_t> length;
    const char* name;
};

void PrintTo(const LengthCase& c, std::ostream* os)
{
    *os << "0x" << std::hex << int(c.command);
}

class CommandTable : public testing::TestWithParam<LengthCase>
{};

TEST_P(CommandTable, LengthAndName)
{
    const LengthCase& c = GetParam();
    EXPECT_EQ(messageLength(c.command), c.length);
    EXPECT_EQ(commandName(c.command), std::string_view(c.name));
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, CommandTable,
    testing::Values(LengthCase{0x7F, 1, "Heartbeat"}, LengthCase{0xA0, 2, "ConnectA0"},
                    LengthCase{0xA2, 1, "ApplyUpdate"}, LengthCase{0xA3, 2, "SelectSlot"},
                    LengthCase{0xA5, 6, "SetTuningWord"}, LengthCase{0xA6, 2, "ConnectA6"},
                    LengthCase{0xA7, 2, "SetOffsetSign"}, LengthCase{0xA8, 2, "SetDdsPrescaler"},
                    LengthCase{0xA9, 3, "SetChargePumpCurrents"}, LengthCase{0xAF, 2, "ConnectAF"},
                    LengthCase{0xB0, 2, "SetRosaPrescaler"},
                    // Bytes that start no message: neighbours of real commands
                    // and the extremes.
                    LengthCase{0x00, std::nullopt, ""}, LengthCase{0x7E, std::nullopt, ""},
                    LengthCase{0xA1, std::nullopt, ""}, LengthCase{0xA4, std::nullopt, ""},
                    LengthCase{0xAA, std::nullopt, ""}, LengthCase{0xB1, std::nullopt, ""},
                    LengthCase{0xFF, std::nullopt, ""}));

TEST(Protocol, MessagesAreDescribedInHexWithTheCommandName)
{
    const std::pair<Message, const char*> cases[] = {
        {heartbeat(), "7F Heartbeat"},
        {setTuningWord(0, 0x14D55555), "A5 00 55 55 D5 14 SetTuningWord"},
        {{0x42}, "42 (unknown command)"},
        {{}, " (unknown command)"},
    };
    for (const auto& [message, text] : cases)
        EXPECT_EQ(describeMessage(message), text);
}

TEST(Protocol, ExactlyElevenCommandBytesStartAMessage)
{
    int known = 0;
    for (int b = 0; b < 256; ++b)
        known += messageLength(static_cast<std::uint8_t>(b)).has_value();
    EXPECT_EQ(known, 11);
}

TEST(Protocol, ChargePumpCodeCoversEveryListCombinationWithinOneByte)
{
    // Each combination of list positions gives a distinct code: no two
    // settings of the panel look the same to the instrument.
    std::vector<bool> seen(256);
    for (int wide = 0; wide < 8; ++wide) {
        for (int fin = 0; fin < 5; ++fin) {
            for (int detect = 0; detect < 4; ++detect) {
                const std::uint8_t code = chargePumpCode(wide, fin, detect);
                EXPECT_FALSE(seen[code]) << wide << " " << fin << " " << detect;
                seen[code] = true;
                EXPECT_EQ(code & 0x07, wide);
                EXPECT_EQ(code >> 6, detect);
                EXPECT_EQ((code >> 5) & 1, fin > 0 ? 1 : 0);
            }
        }
    }
}

} // namespace
