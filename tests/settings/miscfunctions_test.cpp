// ReadSetting and WriteSetting: the registry calls they make, with which
// arguments, and what each failure gives. How each backend stores the values
// is the registry contract's business (tests/registry).

#include "settings/miscfunctions.h"

#include "quillon_version.h"
#include "tests/support/memoryregistry.h"
#include "tests/support/recordingregistry.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace quillon::registry;
using quillon::settings::kSettingsKey;
using quillon::settings::MiscFunctions::ReadSetting;
using quillon::settings::MiscFunctions::WriteSetting;
using quillon::test::RecordingRegistry;

class MiscFunctionsTest : public ::testing::Test
{
protected:
    bool read(const std::string& name, std::string& text)
    {
        return ReadSetting(recording, HKeyLocalMachine, kSettingsKey, name, text);
    }
    bool write(const std::string& name, const std::string& text)
    {
        return WriteSetting(recording, HKeyLocalMachine, kSettingsKey, name, text);
    }
    void store(const std::string& name, ValueType type, const std::vector<std::uint8_t>& bytes)
    {
        Key key = 0;
        ASSERT_EQ(memory.createKey(HKeyLocalMachine, kSettingsKey, 0, KeyAllAccess, key, nullptr),
                  Success);
        ASSERT_EQ(memory.setValue(key, name, type, bytes.data(),
                                  static_cast<std::uint32_t>(bytes.size())),
                  Success);
        memory.closeKey(key);
    }

    MemoryRegistry memory;
    RecordingRegistry recording{memory};
};

TEST_F(MiscFunctionsTest, ReadOpensQueriesAndClosesWithTheRegistrysArguments)
{
    store("Left", RegSz, {'1', '2'});
    std::string text;
    ASSERT_TRUE(ReadSetting(recording, HKeyLocalMachine, kSettingsKey, "Left", text));
    EXPECT_EQ(text, "12");

    ASSERT_EQ(recording.ops(), (std::vector<std::string>{"open", "query", "close"}));
    const auto& open = recording.calls[0];
    EXPECT_EQ(open.key, HKeyLocalMachine);
    EXPECT_EQ(open.path, kSettingsKey);
    EXPECT_EQ(open.options, 0u);
    EXPECT_EQ(open.access, 0x2003Fu); // not KEY_READ
    const auto& query = recording.calls[1];
    EXPECT_EQ(query.name, "Left");
    EXPECT_EQ(query.sizeIn, 1024u);
    EXPECT_TRUE(query.bufferZeroed);
    EXPECT_TRUE(recording.everyKeyClosedOnce());
}

TEST_F(MiscFunctionsTest, WriteCreatesSetsAndClosesWithTheRegistrysArguments)
{
    ASSERT_TRUE(write("DDS Prescaler", "2"));
    ASSERT_EQ(recording.ops(), (std::vector<std::string>{"create", "set", "close"}));
    const auto& create = recording.calls[0];
    EXPECT_EQ(create.key, HKeyLocalMachine);
    EXPECT_EQ(create.path, kSettingsKey);
    EXPECT_EQ(create.options, OptionNonVolatile);
    EXPECT_EQ(create.access, KeyAllAccess);
    const auto& set = recording.calls[1];
    EXPECT_EQ(set.name, "DDS Prescaler");
    EXPECT_EQ(set.type, RegSz);
    EXPECT_EQ(set.data, (std::vector<std::uint8_t>{'2'})); // no terminator
    EXPECT_TRUE(recording.everyKeyClosedOnce());
}

TEST_F(MiscFunctionsTest, ReadFailuresGiveTheEmptyTextAndCloseWhatWasOpened)
{
    store("Left", RegSz, {'1'});
    store("Empty", RegSz, {});
    struct Row
    {
        const char* what;
        std::string name;
        std::optional<Result> failOpen, failQuery;
        std::uint32_t grantedAccess;
        int closes;
    };
    const std::vector<Row> rows = {
        {"key cannot be opened", "Left", FileNotFound, std::nullopt, 0xFFFFFFFFu, 0},
        {"key grants only reading", "Left", std::nullopt, std::nullopt, KeyRead, 0},
        {"no such value", "Top", std::nullopt, std::nullopt, 0xFFFFFFFFu, 1},
        {"data over 1024 bytes", "Left", std::nullopt, MoreData, 0xFFFFFFFFu, 1},
        {"no data", "Empty", std::nullopt, std::nullopt, 0xFFFFFFFFu, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingRegistry failing(memory);
        failing.failOpen = row.failOpen;
        failing.failQuery = row.failQuery;
        failing.grantedAccess = row.grantedAccess;
        std::string text = "stale";
        EXPECT_FALSE(ReadSetting(failing, HKeyLocalMachine, kSettingsKey, row.name, text));
        EXPECT_EQ(text, "");
        EXPECT_EQ(failing.closes(), row.closes);
        EXPECT_TRUE(failing.everyKeyClosedOnce());
    }
    EXPECT_EQ(memory.openHandles(), 0u);
}

TEST_F(MiscFunctionsTest, WriteFailuresGiveFalseAndCloseExactlyOnce)
{
    struct Row
    {
        const char* what;
        std::optional<Result> failCreate, failSet;
        bool throwOnSet;
        std::vector<std::string> ops;
    };
    const std::vector<Row> rows = {
        {"key cannot be created", AccessDenied, std::nullopt, false, {"create"}},
        {"value cannot be set", std::nullopt, CantWrite, false, {"create", "set", "close"}},
        // A registry that throws has a bug: it reaches the caller as one,
        // and the key is still closed.
        {"the store throws", std::nullopt, std::nullopt, true, {"create", "set", "close"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RecordingRegistry failing(memory);
        failing.failCreate = row.failCreate;
        failing.failSet = row.failSet;
        failing.throwOnSet = row.throwOnSet;
        const auto write = [&] {
            return WriteSetting(failing, HKeyLocalMachine, kSettingsKey, "Left", "1");
        };
        if (row.throwOnSet)
            EXPECT_THROW(write(), std::runtime_error);
        else
            EXPECT_FALSE(write());
        EXPECT_EQ(failing.ops(), row.ops);
        EXPECT_TRUE(failing.everyKeyClosedOnce());
    }
    EXPECT_EQ(memory.openHandles(), 0u);
}

TEST_F(MiscFunctionsTest, OneTrailingZeroIsDroppedAndNothingElse)
{
    struct Row
    {
        std::vector<std::uint8_t> stored;
        std::string text;
    };
    const std::vector<Row> rows = {
        {{'a', 'b', 'c'}, "abc"},
        {{'a', 'b', 'c', 0}, "abc"},
        {{'a', 'b', 'c', 0, 0}, std::string("abc\0", 4)},
        {{0, 'a'}, std::string("\0a", 2)},
        {{0}, ""},
    };
    for (const Row& row : rows) {
        store("Text", RegSz, row.stored);
        std::string text = "stale";
        EXPECT_TRUE(read("Text", text));
        EXPECT_EQ(text, row.text);
    }
}

TEST_F(MiscFunctionsTest, DwordBytesReadAsTheDecimalTextOfTheirHexLiteral)
{
    struct Row
    {
        std::vector<std::uint8_t> stored;
        std::string text;
    };
    const std::vector<Row> rows = {
        {{0x2C, 0x01, 0x00, 0x00}, "300"},
        {{0x00, 0x00, 0x00, 0x00}, "0"},
        {{0x00, 0x00, 0x00, 0x01}, "16777216"}, // the last byte is not zero: all four kept
        {{0xFF, 0xFF, 0xFF, 0x7F}, "2147483647"},
        {{0x00, 0x00, 0x00, 0x80}, "2147483648"}, // unsigned, not negative
        {{0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        // Malformed ones, as another program might store them:
        {{0x2C, 0x01}, "300"},
        {{0x00}, "0"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "36893488147419103231"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        store("Number", RegDword, row.stored);
        std::string text = "stale";
        EXPECT_TRUE(read("Number", text));
        EXPECT_EQ(text, row.text);
    }
}

TEST_F(MiscFunctionsTest, OtherTypesLeaveTheCallersTextAndSucceed)
{
    for (const ValueType type : {RegNone, RegExpandSz, RegBinary, RegMultiSz, RegQword, 5u, 99u}) {
        SCOPED_TRACE(type);
        store("Other", type, {'x', 0});
        std::string text = "as passed in";
        EXPECT_TRUE(read("Other", text));
        EXPECT_EQ(text, "as passed in");
    }
}

TEST(VersionText, IsRevAndTheThreeVersionNumbers)
{
    const std::string expected = "Rev:" + std::to_string(quillon::version::major) + "." +
                                 std::to_string(quillon::version::minor) + "." +
                                 std::to_string(quillon::version::revision);
    EXPECT_EQ(quillon::settings::MiscFunctions::VersionText(), expected);
    EXPECT_EQ(expected.rfind("Rev:", 0), 0u);
}

} // namespace
