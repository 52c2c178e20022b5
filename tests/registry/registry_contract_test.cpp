// What every registry backend must do for the settings routines: one suite,
// run against memory, the settings file and, on Windows, the registry itself.

#include "registry/regfileregistry.h"
#include "settings/miscfunctions.h"
#include "tests/support/memoryregistry.h"
#include "tests/support/recordingregistry.h"
#include "tests/support/tempdir.h"

#ifdef _WIN32
#include "registry/win32registry_p.h"

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <vector>

namespace {

using namespace quillon::registry;
using quillon::settings::MiscFunctions::ReadSetting;
using quillon::settings::MiscFunctions::WriteSetting;
using quillon::test::RecordingRegistry;
using quillon::test::TempDir;

const std::string kBase = "SOFTWARE\\Oxwell\\Quillon";

struct MemoryBackend
{
    MemoryRegistry registry;
    Key root = HKeyLocalMachine;
    std::string base = kBase;
};

struct RegFileBackend
{
    TempDir dir;
    HandleCounting<RegFileRegistry> registry{dir.path() / "quillon" / "registry.reg"};
    Key root = HKeyLocalMachine;
    std::string base = kBase;
};

#ifdef _WIN32
// A key of its own under HKEY_CURRENT_USER, which any user may write, removed
// before and after each test.
struct Win32Backend
{
    Win32Backend()
    {
        static std::atomic<int> counter{0};
        top = "Software\\QuillonContractTest-" + std::to_string(QUILLON_GETPID()) + "-" +
              std::to_string(counter++);
        base = top + "\\Oxwell\\Quillon";
        deleteTree(root, top);
    }
    ~Win32Backend() { deleteTree(root, top); }

    Win32Registry registry;
    Key root = HKeyCurrentUser;
    std::string top;
    std::string base;
};
#endif

std::string bytesOf(std::initializer_list<int> bytes)
{
    std::string text;
    for (int byte : bytes)
        text += static_cast<char>(byte);
    return text;
}

template <class Backend> class RegistryContract : public ::testing::Test
{
protected:
    bool read(const std::string& name, std::string& text, const std::string& path = {})
    {
        return ReadSetting(recording, backend.root, path.empty() ? backend.base : path, name, text);
    }

    bool write(const std::string& name, const std::string& text, const std::string& path = {})
    {
        return WriteSetting(recording, backend.root, path.empty() ? backend.base : path, name,
                            text);
    }

    // Stores a value as another program would, with any type and bytes.
    void store(const std::string& name, ValueType type, const std::string& bytes)
    {
        Key key = 0;
        ASSERT_EQ(backend.registry.createKey(backend.root, backend.base, OptionNonVolatile,
                                             KeyAllAccess, key, nullptr),
                  Success);
        ASSERT_EQ(backend.registry.setValue(key, name, type,
                                            reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<std::uint32_t>(bytes.size())),
                  Success);
        ASSERT_EQ(backend.registry.closeKey(key), Success);
    }

    struct Stored
    {
        Result result = Success;
        ValueType type = RegNone;
        std::string bytes;
    };

    // The type and bytes of a value as the registry holds them.
    Stored fetch(const std::string& name, const std::string& path = {})
    {
        Stored stored;
        Key key = 0;
        stored.result = backend.registry.openKey(backend.root, path.empty() ? backend.base : path,
                                                 0, KeyRead, key);
        if (stored.result != Success)
            return stored;
        std::uint32_t size = 0;
        stored.result = backend.registry.queryValue(key, name, &stored.type, nullptr, &size);
        if (stored.result == Success) {
            std::vector<std::uint8_t> buffer(size + 1);
            stored.result =
                backend.registry.queryValue(key, name, &stored.type, buffer.data(), &size);
            stored.bytes.assign(reinterpret_cast<const char*>(buffer.data()), size);
        }
        EXPECT_EQ(backend.registry.closeKey(key), Success);
        return stored;
    }

    Backend backend;
    RecordingRegistry recording{backend.registry};
};

struct BackendNames
{
    template <class T> static std::string GetName(int)
    {
        if constexpr (std::is_same_v<T, MemoryBackend>)
            return "Memory";
        else if constexpr (std::is_same_v<T, RegFileBackend>)
            return "RegFileStore";
        else
            return "Win32";
    }
};

#ifdef _WIN32
using Backends = ::testing::Types<MemoryBackend, RegFileBackend, Win32Backend>;
#else
using Backends = ::testing::Types<MemoryBackend, RegFileBackend>;
#endif
TYPED_TEST_SUITE(RegistryContract, Backends, BackendNames);

TYPED_TEST(RegistryContract, TextIsStoredAsItsBytesWithoutTerminatorAndReadsBack)
{
    const std::vector<std::string> texts = {
        "1200",
        "-240",
        "983.04",
        "127.0.0.1",
        "with \"quotes\" and \\backslashes\\",
        std::string(1023, 'x'),
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        ASSERT_TRUE(this->write("Value", text));
        const auto stored = this->fetch("Value");
        ASSERT_EQ(stored.result, Success);
        EXPECT_EQ(stored.type, RegSz);
        EXPECT_EQ(stored.bytes, text); // n bytes, not n + 1
        std::string back = "stale";
        EXPECT_TRUE(this->read("Value", back));
        EXPECT_EQ(back, text);
    }
}

TYPED_TEST(RegistryContract, TextIsStoredInTheLocalEncodingAndReadsBack)
{
    const std::string u = "\xC3\xBC"; // "ü"
#ifdef _WIN32
    // The system's ANSI code page: 1252 on a western Windows and under Wine
    // with the locale this test runs in, where "ü" is the single byte FC.
    ASSERT_EQ(GetACP(), 1252u) << "this test knows the bytes of code page 1252 only";
    const std::string stored = "\xFC";
#else
    const std::string stored = u; // the locale's encoding: UTF-8
#endif
    ASSERT_TRUE(this->write("IP Address", "labor-" + u + ".lan"));
    EXPECT_EQ(this->fetch("IP Address").bytes, "labor-" + stored + ".lan");
    std::string text;
    EXPECT_TRUE(this->read("IP Address", text));
    EXPECT_EQ(text, "labor-" + u + ".lan");

    // The read limit counts the stored bytes: 1024 of them, whatever the text.
    std::string limit;
    for (std::size_t n = 0; n < 1024 / stored.size(); ++n)
        limit += u;
    ASSERT_TRUE(this->write("Long", limit));
    EXPECT_TRUE(this->read("Long", text));
    EXPECT_EQ(text, limit);
    ASSERT_TRUE(this->write("Long", limit + u));
    EXPECT_FALSE(this->read("Long", text));
}

TYPED_TEST(RegistryContract, EmptyTextIsWrittenWithNoDataAndReadsAsFailure)
{
    ASSERT_TRUE(this->write("Empty", ""));
    const auto stored = this->fetch("Empty");
    EXPECT_EQ(stored.result, Success);
    EXPECT_EQ(stored.type, RegSz);
    EXPECT_EQ(stored.bytes, "");

    std::string text = "stale";
    EXPECT_FALSE(this->read("Empty", text));
    EXPECT_EQ(text, "");
}

TYPED_TEST(RegistryContract, OnlyTheFirst1024BytesCanBeRead)
{
    struct Row
    {
        std::string written;
        bool readable;
        std::string readBack;
    };
    const std::vector<Row> rows = {
        {std::string(1024, 'x'), true, std::string(1024, 'x')},
        // written whole, but beyond the read buffer
        {std::string(1025, 'x'), false, ""},
        // 1024 bytes whose last is zero: that byte counts as a terminator
        {std::string(1023, 'x') + '\0', true, std::string(1023, 'x')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.written.size());
        ASSERT_TRUE(this->write("Long", row.written));
        std::string text = "stale";
        EXPECT_EQ(this->read("Long", text), row.readable);
        EXPECT_EQ(text, row.readBack);
    }
}

TYPED_TEST(RegistryContract, OneTerminatorOfAnotherProgramsStringIsDropped)
{
    struct Row
    {
        std::string stored;
        bool readable;
        std::string readBack;
    };
    const std::vector<Row> rows = {
        {std::string("abc\0", 4), true, "abc"},
        {"abc", true, "abc"},
        {std::string("ab\0c", 4), true, std::string("ab\0c", 4)},      // zeros inside stay
        {std::string("abc\0\0", 5), true, std::string("abc\0", 4)},    // only one is dropped
        {std::string("\0", 1), true, ""},                              // data, then no text
        {std::string(1024, 'y') + '\0', false, ""},                    // 1025 bytes
        {std::string(1023, 'y') + '\0', true, std::string(1023, 'y')}, // 1024 bytes
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored.size());
        this->store("Other", RegSz, row.stored);
        std::string text = "stale";
        EXPECT_EQ(this->read("Other", text), row.readable);
        EXPECT_EQ(text, row.readBack);
    }
}

TYPED_TEST(RegistryContract, DwordReadsAsItsDecimalText)
{
    struct Row
    {
        std::uint32_t value;
        std::string text;
    };
    const std::vector<Row> rows = {
        {300, "300"},
        {0, "0"},
        {1, "1"},
        {0x00010000, "65536"},
        {0x01000000, "16777216"},
        {0xFFFFFFFFu, "4294967295"}, // read as unsigned
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        const std::string bytes = bytesOf(
            {static_cast<int>(row.value & 0xFF), static_cast<int>((row.value >> 8) & 0xFF),
             static_cast<int>((row.value >> 16) & 0xFF), static_cast<int>(row.value >> 24)});
        this->store("Number", RegDword, bytes);
        std::string text = "stale";
        EXPECT_TRUE(this->read("Number", text));
        EXPECT_EQ(text, row.text);
    }
}

TYPED_TEST(RegistryContract, OtherTypesSucceedAndLeaveTheCallersText)
{
    struct Row
    {
        ValueType type;
        std::string bytes;
    };
    const std::vector<Row> rows = {
        {RegBinary, bytesOf({0x01, 0x02, 0x00})},
        {RegExpandSz, std::string("%TEMP%\\x\0", 9)},
        {RegMultiSz, std::string("a\0b\0\0", 5)},
        {RegQword, bytesOf({1, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        this->store("Typed", row.type, row.bytes);
        std::string text = "keep me";
        EXPECT_TRUE(this->read("Typed", text));
        EXPECT_EQ(text, "keep me");
    }
    // Still: no data at all is a failure, whatever the type.
    this->store("Typed", RegBinary, "");
    std::string text = "keep me";
    EXPECT_FALSE(this->read("Typed", text));
    EXPECT_EQ(text, "");
}

TYPED_TEST(RegistryContract, WriteCreatesEveryMissingLevel)
{
    const std::string deep = this->backend.base + "\\Deeper\\Still";
    EXPECT_EQ(this->fetch("Value", this->backend.base).result, FileNotFound);

    ASSERT_TRUE(this->write("Value", "42", deep));
    EXPECT_EQ(this->fetch("Value", deep).bytes, "42");
    for (const std::string& level : {this->backend.base, this->backend.base + "\\Deeper"}) {
        Key key = 0;
        EXPECT_EQ(this->backend.registry.openKey(this->backend.root, level, 0, KeyRead, key),
                  Success)
            << level;
        this->backend.registry.closeKey(key);
    }
}

TYPED_TEST(RegistryContract, MissingKeyOrValueReadsAsFailure)
{
    std::string text = "stale";
    EXPECT_FALSE(this->read("Left", text));
    EXPECT_EQ(text, "");

    ASSERT_TRUE(this->write("Top", "10"));
    text = "stale";
    EXPECT_FALSE(this->read("Left", text));
    EXPECT_EQ(text, "");
}

TYPED_TEST(RegistryContract, EveryKeyIsClosedExactlyOnce)
{
    std::string text;
    this->read("Left", text); // no key
    this->write("Left", "1");
    this->write("Empty", "");
    this->write("Long", std::string(2000, 'z'));
    this->read("Left", text);  // success
    this->read("Top", text);   // no value
    this->read("Empty", text); // no data
    this->read("Long", text);  // too long
    this->recording.failSet = AccessDenied;
    this->write("Left", "2"); // the set fails after the key was opened

    EXPECT_TRUE(this->recording.everyKeyClosedOnce());
    EXPECT_EQ(this->recording.closes(), 8);
    if constexpr (std::is_base_of_v<RegFileBackedRegistry, decltype(this->backend.registry)>) {
        EXPECT_EQ(this->backend.registry.openHandles(), 0u);
    }
}

TYPED_TEST(RegistryContract, ClosingAKeyNotOpenGivesInvalidHandle)
{
    Key key = 0;
    ASSERT_EQ(this->backend.registry.createKey(this->backend.root, this->backend.base,
                                               OptionNonVolatile, KeyAllAccess, key, nullptr),
              Success);
    EXPECT_EQ(this->backend.registry.closeKey(key), Success);
    EXPECT_EQ(this->backend.registry.closeKey(key), InvalidHandle);
    EXPECT_EQ(this->backend.registry.closeKey(0x0FFFFFF0u), InvalidHandle);
}

TYPED_TEST(RegistryContract, NamesCompareWithoutRegardToCase)
{
    auto withCase = [](std::string text, int (*change)(int)) {
        for (char& c : text)
            c = static_cast<char>(change(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string& base = this->backend.base;
    ASSERT_TRUE(this->write("Left", "7", withCase(base, ::tolower)));
    std::string text;
    EXPECT_TRUE(this->read("LEFT", text, withCase(base, ::toupper)));
    EXPECT_EQ(text, "7");
    ASSERT_TRUE(this->write("left", "8", base));
    EXPECT_TRUE(this->read("Left", text, withCase(base, ::toupper)));
    EXPECT_EQ(text, "8");
    EXPECT_EQ(this->fetch("LEFT").bytes, "8");
}

TYPED_TEST(RegistryContract, QueryReportsTheSizeAndRefusesASmallBuffer)
{
    this->store("Blob", RegBinary, "0123456789");
    Key key = 0;
    ASSERT_EQ(
        this->backend.registry.openKey(this->backend.root, this->backend.base, 0, KeyRead, key),
        Success);
    std::uint8_t buffer[16] = {};
    std::uint32_t size = 4;
    ValueType type = RegNone;
    EXPECT_EQ(this->backend.registry.queryValue(key, "Blob", &type, buffer, &size), MoreData);
    EXPECT_EQ(size, 10u);
    size = 0;
    EXPECT_EQ(this->backend.registry.queryValue(key, "Blob", &type, nullptr, &size), Success);
    EXPECT_EQ(size, 10u);
    size = sizeof buffer;
    EXPECT_EQ(this->backend.registry.queryValue(key, "Blob", &type, buffer, &size), Success);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(type, RegBinary);
    EXPECT_EQ(this->backend.registry.queryValue(key, "Missing", &type, buffer, &size),
              FileNotFound);
    this->backend.registry.closeKey(key);
}

TYPED_TEST(RegistryContract, TypeAndBytesReadBackExactly)
{
    struct Row
    {
        ValueType type;
        std::string bytes;
    };
    const std::vector<Row> rows = {
        {RegSz, std::string("a\0b", 3)},
        {RegSz, ""},
        {RegBinary, bytesOf({0x00, 0xFF, 0x10})},
        {RegBinary, ""},
        {RegExpandSz, "%TEMP%"},
        {RegMultiSz, std::string("one\0two\0\0", 9)},
        {RegDword, bytesOf({0x2C, 0x01})}, // a short one, as another program might store
        {RegQword, bytesOf({1, 2, 3, 4, 5, 6, 7, 8})},
        {RegNone, "raw"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "type " << row.type << ", " << row.bytes.size() << " bytes");
        this->store("Exact", row.type, row.bytes);
        const auto stored = this->fetch("Exact");
        EXPECT_EQ(stored.result, Success);
        EXPECT_EQ(stored.type, row.type);
        EXPECT_EQ(stored.bytes, row.bytes);
    }
}

} // namespace
