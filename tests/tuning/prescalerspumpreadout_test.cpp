#include "tests/support/fakecontrols.h"
#include "tuning/prescalerspumpreadout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::tuning;
using namespace quillon::test;
using link::Message;

namespace {

// The prescaler lists' entries, UTF-8: the division sign is two bytes.
const std::vector<std::string> kDdsEntries{"\u00F71", "\u00F72", "\u00F74"};
const std::vector<std::string> kRosaEntries{"\u00F78", "\u00F716", "\u00F732", "\u00F764"};

std::string hex(const Message& message)
{
    std::string text;
    for (auto byte : message) {
        static const char digits[] = "0123456789ABCDEF";
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

// The tuning controls wired as the window wires them, with every send, save
// and caption change written to one log so that their order shows.
struct PrescalerPanel
{
    FakeListBox cmbDdsPrescaler{kDdsEntries};
    FakeListBox cmbRosa{kRosaEntries};
    FakeListBox cmbFreqDet{{"OFF", "X20", "X40", "X60"}, 1};
    FakeListBox cmbWideLock{{"OFF", "X2", "X4", "X6", "X8", "X10", "X12", "X14"}, 1};
    FakeListBox cmbFinalLock{{"OFF", "X1", "X2", "X3", "X4"}, 1};
    FakeTextBox txtFreq{"12.34"};
    FakeLabel lblLaserFreq{"Laser f"};
    RecordingSender sender;
    std::vector<std::string> log;
    PrescalersPumpReadout prescalers{
        {cmbDdsPrescaler, cmbRosa, cmbFreqDet, cmbWideLock, cmbFinalLock, txtFreq, lblLaserFreq},
        sender,
        {[this] {
             log.push_back("save DDS Prescaler=" + std::to_string(cmbDdsPrescaler.listIndex()));
         },
         [this] { log.push_back("save Rosa Prescaler=" + std::to_string(cmbRosa.listIndex())); }}};

    PrescalerPanel()
    {
        cmbDdsPrescaler.onClick = [this] { prescalers.cmbDdsPrescaler_Click(); };
        cmbRosa.onClick = [this] { prescalers.cmbRosa_Click(); };
        txtFreq.onChange = [this] { prescalers.txtFreq_Change(); };
        sender.onSend = [this](const Message& m) { log.push_back("send " + hex(m)); };
        lblLaserFreq.onSetCaption = [this](const std::string& c) { log.push_back(c); };
    }
};

// ---------------------------------------------------------------- actions

struct ActionCase
{
    const char* name;
    bool rosa;
    int position;
    bool linkUp;
    std::vector<std::string> log;
};

void PrintTo(const ActionCase& c, std::ostream* os)
{
    *os << c.name;
}

class PrescalerAction : public ::testing::TestWithParam<ActionCase>
{};

TEST_P(PrescalerAction, SendsThenSavesThenRefreshes)
{
    const ActionCase& c = GetParam();
    PrescalerPanel panel;
    panel.cmbDdsPrescaler.onClick = nullptr;
    panel.cmbRosa.onClick = nullptr;
    panel.cmbDdsPrescaler.setListIndex(1);
    panel.cmbRosa.setListIndex(1);
    panel.cmbDdsPrescaler.onClick = [&] { panel.prescalers.cmbDdsPrescaler_Click(); };
    panel.cmbRosa.onClick = [&] { panel.prescalers.cmbRosa_Click(); };
    panel.sender.sendsLeft = c.linkUp ? -1 : 0;

    (c.rosa ? panel.cmbRosa : panel.cmbDdsPrescaler).setListIndex(c.position);

    EXPECT_EQ(panel.log, c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, PrescalerAction,
    ::testing::Values(
        ActionCase{"Dds1",
                   false,
                   0,
                   true,
                   {"send A8 01", "save DDS Prescaler=0", "Laser offset = 197.44MHz"}},
        ActionCase{"Dds2",
                   false,
                   1,
                   true,
                   {"send A8 02", "save DDS Prescaler=1", "Laser offset = 394.88MHz"}},
        ActionCase{"Dds4",
                   false,
                   2,
                   true,
                   {"send A8 04", "save DDS Prescaler=2", "Laser offset = 789.76MHz"}},
        ActionCase{
            "Dds4LinkDown", false, 2, false, {"save DDS Prescaler=2", "Laser offset = 789.76MHz"}},
        ActionCase{"Rosa8",
                   true,
                   0,
                   true,
                   {"send B0 00", "save Rosa Prescaler=0", "Laser offset = 197.44MHz"}},
        ActionCase{"Rosa32",
                   true,
                   2,
                   true,
                   {"send B0 02", "save Rosa Prescaler=2", "Laser offset = 789.76MHz"}},
        ActionCase{"Rosa64",
                   true,
                   3,
                   true,
                   {"send B0 03", "save Rosa Prescaler=3", "Laser offset = 1579.52MHz"}},
        ActionCase{"Rosa64LinkDown",
                   true,
                   3,
                   false,
                   {"save Rosa Prescaler=3", "Laser offset = 1579.52MHz"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PrescalerAction, RestoreOrderDdsBeforeRosa)
{
    // As at start-up: the DDS list gets its position while the ROSA list has
    // none, so that refresh leaves the caption; the ROSA list's own refresh
    // writes the first readout.
    PrescalerPanel panel;
    panel.sender.sendsLeft = 0;
    panel.cmbDdsPrescaler.setListIndex(1);
    EXPECT_EQ(panel.lblLaserFreq.caption(), "Laser f");
    panel.cmbRosa.setListIndex(1);
    EXPECT_EQ(panel.log, (std::vector<std::string>{"save DDS Prescaler=1", "save Rosa Prescaler=1",
                                                   "Laser offset = 394.88MHz"}));
}

// ---------------------------------------------------------------- readout

struct ReadoutCase
{
    std::string frequency;
    int ddsPosition;
    int rosaPosition;
    std::string caption;
};

void PrintTo(const ReadoutCase& c, std::ostream* os)
{
    *os << '"' << c.frequency << "\" " << c.ddsPosition << ' ' << c.rosaPosition;
}

class LaserOffsetReadout : public ::testing::TestWithParam<ReadoutCase>
{};

TEST_P(LaserOffsetReadout, ShowsFrequencyTimesBothDividers)
{
    const ReadoutCase& c = GetParam();
    PrescalerPanel panel;
    panel.cmbDdsPrescaler.onClick = nullptr;
    panel.cmbRosa.onClick = nullptr;
    panel.cmbDdsPrescaler.setListIndex(c.ddsPosition);
    panel.cmbRosa.setListIndex(c.rosaPosition);
    panel.txtFreq.onChange = nullptr;
    panel.txtFreq.setText(c.frequency);

    panel.prescalers.UpdateLaserFreq();

    EXPECT_EQ(panel.lblLaserFreq.caption(), c.caption);
    EXPECT_TRUE(panel.sender.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LaserOffsetReadout,
    ::testing::Values(ReadoutCase{"12.34", 1, 1, "Laser offset = 394.88MHz"},
                      ReadoutCase{"80", 0, 0, "Laser offset = 640MHz"},
                      ReadoutCase{"abc", 1, 1, "Laser offset = 0MHz"},
                      ReadoutCase{"0", 2, 3, "Laser offset = 0MHz"},
                      ReadoutCase{"-12.34", 0, 0, "Laser offset =-98.72MHz"},
                      ReadoutCase{"1e20", 2, 3, "Laser offset = 2.56E+22MHz"},
                      // Only the DDS list without a selection: D reads as 0.
                      ReadoutCase{"12.34", -1, 1, "Laser offset = 0MHz"},
                      // No ROSA selection: R cannot be formed, the caption stays.
                      ReadoutCase{"12.34", 1, -1, "Laser f"},
                      ReadoutCase{"12.34", -1, -1, "Laser f"},
                      // A frequency beyond double precision, or a product that
                      // overflows, leaves the caption too.
                      ReadoutCase{"1e400", 1, 1, "Laser f"},
                      ReadoutCase{"1e307", 2, 3, "Laser f"}));

TEST(LaserOffsetReadout, FollowsEveryChangeOfTheFrequencyText)
{
    PrescalerPanel panel;
    panel.cmbDdsPrescaler.setListIndex(0);
    panel.cmbRosa.setListIndex(0);
    panel.sender.sent.clear();

    for (const auto& [typed, caption] :
         std::vector<std::pair<std::string, std::string>>{{"8", "Laser offset = 64MHz"},
                                                          {"80", "Laser offset = 640MHz"},
                                                          {"80x", "Laser offset = 640MHz"},
                                                          {"-", "Laser offset = 0MHz"}}) {
        panel.txtFreq.setText(typed);
        EXPECT_EQ(panel.lblLaserFreq.caption(), caption) << typed;
    }
    EXPECT_TRUE(panel.sender.sent.empty()); // typing sends nothing
}

TEST(LaserOffsetReadout, KeepsTheLastGoodCaption)
{
    PrescalerPanel panel;
    panel.cmbDdsPrescaler.setListIndex(1);
    panel.cmbRosa.setListIndex(1);
    ASSERT_EQ(panel.lblLaserFreq.caption(), "Laser offset = 394.88MHz");
    panel.txtFreq.setText("1e400");
    EXPECT_EQ(panel.lblLaserFreq.caption(), "Laser offset = 394.88MHz");
}

// ---------------------------------------------------------------- charge pump

struct ChargePumpCase
{
    int wideLock;
    int finalLock;
    int freqDetect;
    Message expected; // empty: nothing can be sent
};

class ChargePumpUpdate : public ::testing::TestWithParam<ChargePumpCase>
{};

TEST_P(ChargePumpUpdate, PacksTheThreePositions)
{
    const ChargePumpCase& c = GetParam();
    PrescalerPanel panel;
    panel.cmbWideLock.setListIndex(c.wideLock);
    panel.cmbFinalLock.setListIndex(c.finalLock);
    panel.cmbFreqDet.setListIndex(c.freqDetect);

    panel.prescalers.cmdUpdateCP_Click();

    const std::vector<Message> expected =
        c.expected.empty() ? std::vector<Message>{} : std::vector<Message>{c.expected};
    EXPECT_EQ(panel.sender.sent, expected);
}

// The packing itself is the encoder's (protocol_test); here, that each list
// reaches its own place in it, and that a list without a selection sends
// nothing.
INSTANTIATE_TEST_SUITE_P(Positions, ChargePumpUpdate,
                         ::testing::Values(ChargePumpCase{1, 1, 1, {0xA9, 0x61, 0x00}},
                                           ChargePumpCase{3, 2, 1, {0xA9, 0x6B, 0x00}},
                                           ChargePumpCase{-1, 1, 1, {}},
                                           ChargePumpCase{1, -1, 1, {}},
                                           ChargePumpCase{1, 1, -1, {}}));

TEST(ChargePumpUpdate, LinkDownIsSkippedQuietly)
{
    PrescalerPanel panel;
    panel.sender.sendsLeft = 0;
    EXPECT_NO_THROW(panel.prescalers.cmdUpdateCP_Click());
    EXPECT_TRUE(panel.sender.sent.empty());
}

} // namespace
