// What a new connection sends, and how the sequence behaves when the link
// drops part-way through it.

#include "base/failure.h"
#include "base/steps.h"
#include "link/connectinit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace quillon::link;

// A link that carries sends until it drops before send number `dropAt`
// (counted from 0); every send from then on fails, as on a real dead link.
class DroppingSender : public Sender
{
public:
    explicit DroppingSender(int dropAt) : m_dropAt(dropAt) {}

    void holdSends() override { ++holds; }
    void releaseSends() override { --holds; }
    void send(const Message& message) override
    {
        sentUnheld += holds == 0 ? 1 : 0;
        attempted.push_back(message);
        if (m_dropAt >= 0 && static_cast<int>(attempted.size()) > m_dropAt)
            throw quillon::Failure("link down");
        sent.push_back(message);
    }

    std::vector<Message> attempted;
    std::vector<Message> sent;
    int holds = 0;
    int sentUnheld = 0;

private:
    int m_dropAt;
};

struct Fixture
{
    explicit Fixture(int dropAt) : sender(dropAt) {}

    // Stand-ins for the window's actions: like the real ones they send in
    // skip-on-error mode and go on with their other steps (here, a note).
    ConnectTimeInit::Actions actions()
    {
        const auto action = [this](const char* name, Message message) {
            return [this, name, message] {
                quillon::SkipOnError steps;
                steps.run([&] { sender.send(message); });
                ran.push_back(name);
            };
        };
        return {action("cp", setChargePumpCurrents(1, 1, 1)), action("rosa", setRosaPrescaler(1)),
                action("dds", setDdsPrescaler(2))};
    }

    DroppingSender sender;
    std::vector<std::string> ran;
};

const std::vector<Message> kFullSequence = {
    {0xA0, 0x01}, {0xA6, 0x03}, {0xA9, 0x61, 0x00}, {0xB0, 0x01},
    {0xA8, 0x02}, {0xAF, 0x01}, {0xA3, 0x00},
};

struct DropCase
{
    const char* situation;
    int dropAt; // -1: never
    std::size_t attempted;
    std::size_t sent;
    std::vector<std::string> actionsRun;
};

void PrintTo(const DropCase& c, std::ostream* os)
{
    *os << c.situation;
}

class ConnectInit : public testing::TestWithParam<DropCase>
{};

TEST_P(ConnectInit, SendsInOrderAndStopsQuietlyWhenAFixedSendFails)
{
    const DropCase& c = GetParam();
    Fixture f(c.dropAt);
    ConnectTimeInit init(f.sender, f.actions());

    EXPECT_NO_THROW(init.run());

    const std::vector<Message> attempted(kFullSequence.begin(),
                                         kFullSequence.begin() + c.attempted);
    const std::vector<Message> sent(kFullSequence.begin(), kFullSequence.begin() + c.sent);
    EXPECT_EQ(f.sender.attempted, attempted);
    EXPECT_EQ(f.sender.sent, sent);
    EXPECT_EQ(f.ran, c.actionsRun);
    // The sequence leaves in one write, and nothing stays held after a drop.
    EXPECT_EQ(f.sender.sentUnheld, 0);
    EXPECT_EQ(f.sender.holds, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Link, ConnectInit,
    testing::Values(DropCase{"link stays up", -1, 7, 7, {"cp", "rosa", "dds"}},
                    DropCase{"link gone before A0", 0, 1, 0, {}},
                    DropCase{"link drops after A0", 1, 2, 1, {}},
                    // The actions skip their own failing sends and still do the rest of
                    // their work; the next fixed send then ends the sequence.
                    DropCase{"link drops before the charge pump", 2, 6, 2, {"cp", "rosa", "dds"}},
                    DropCase{"link drops before the DDS prescaler", 4, 6, 4, {"cp", "rosa", "dds"}},
                    DropCase{"link drops before AF", 5, 6, 5, {"cp", "rosa", "dds"}},
                    DropCase{
                        "link drops before the slot selection", 6, 7, 6, {"cp", "rosa", "dds"}}));

TEST(ConnectInit, RepeatsTheWholeSequenceOnEveryConnect)
{
    Fixture f(-1);
    ConnectTimeInit init(f.sender, f.actions());
    init.run();
    init.run();
    std::vector<Message> twice = kFullSequence;
    twice.insert(twice.end(), kFullSequence.begin(), kFullSequence.end());
    EXPECT_EQ(f.sender.sent, twice);
    EXPECT_EQ(f.ran.size(), 6u);
}

} // namespace
