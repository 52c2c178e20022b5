// The hive's text form: what an operator might write reads as meant, what
// is not understood is refused, and formatted text parses back to its hive.

#include "platform/hivetext.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace quillon::platform::registry;

const std::string kKeyPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon";

std::vector<std::uint8_t> bytesOf(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST(HiveText, AcceptsWhatAnOperatorMightWrite)
{
    struct Row
    {
        const char* what;
        std::string text;
        std::string key;
        std::string name;
        ValueType type;
        std::string bytes;
    };
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon";
    const std::vector<Row> rows = {
        {"plain", "REGEDIT4\n\n[" + key + "]\n\"Left\"=\"1200\"\n", key, "Left", RegSz, "1200"},
        {"no final line break", "REGEDIT4\n[" + key + "]\n\"Left\"=\"1\"", key, "Left", RegSz, "1"},
        {"CRLF line ends", "REGEDIT4\r\n\r\n[" + key + "]\r\n\"Left\"=\"2\"\r\n", key, "Left",
         RegSz, "2"},
        {"byte-order mark", "\xEF\xBB\xBFREGEDIT4\n[" + key + "]\n\"Left\"=\"3\"\n", key, "Left",
         RegSz, "3"},
        {"comments and blanks",
         "REGEDIT4\n; saved by hand\n\n  [" + key + "]  \n\t; more\n  \"Left\" = \"4\"  \n", key,
         "Left", RegSz, "4"},
        {"escapes", "REGEDIT4\n[" + key + "]\n\"A\\\"B\"=\"C:\\\\x\\\"\"\n", key, "A\"B", RegSz,
         "C:\\x\""},
        {"default value", "REGEDIT4\n[" + key + "]\n@=\"d\"\n", key, "", RegSz, "d"},
        {"dword", "REGEDIT4\n[" + key + "]\n\"N\"=dword:0000012C\n", key, "N", RegDword,
         std::string("\x2C\x01\0\0", 4)},
        {"short dword", "REGEDIT4\n[" + key + "]\n\"N\"=dword:7\n", key, "N", RegDword,
         std::string("\x07\0\0\0", 4)},
        {"hex continued", "REGEDIT4\n[" + key + "]\n\"B\"=hex:01,02,\\\n  03,\\\n  04\n", key, "B",
         RegBinary, "\x01\x02\x03\x04"},
        {"typed hex", "REGEDIT4\n[" + key + "]\n\"E\"=hex(2):25,00\n", key, "E", RegExpandSz,
         std::string("%\0", 2)},
        {"empty hex", "REGEDIT4\n[" + key + "]\n\"E\"=hex:\n", key, "E", RegBinary, ""},
        {"root in lower case, key merged",
         "REGEDIT4\n[hkey_local_machine\\software\\oxwell\\quillon]\n\"a\"=\"1\"\n[" + key +
             "]\n\"A\"=\"2\"\n",
         key, "a", RegSz, "2"},
        {"non-ASCII", "REGEDIT4\n[" + key + "]\n\"\xC3\xB7\"=\"\xC3\xB7\"\n", key, "\xC3\xB7",
         RegSz, "\xC3\xB7"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const HiveParseResult parsed = parseHive(row.text);
        ASSERT_TRUE(parsed.ok) << parsed.line << ": " << parsed.error;
        const HiveKey* found = parsed.hive.findKey(row.key);
        ASSERT_NE(found, nullptr);
        const HiveValue* value = found->findValue(row.name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, row.type);
        EXPECT_EQ(value->data, bytesOf(row.bytes));
        // Every level of the key exists on its own.
        EXPECT_NE(parsed.hive.findKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell"), nullptr);
    }
}

TEST(HiveText, RefusesAnythingItDoesNotFullyUnderstand)
{
    struct Row
    {
        const char* what;
        std::string text;
        std::size_t line;
    };
    const std::string head = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q]\n";
    const std::vector<Row> rows = {
        {"empty file", "", 0},
        {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q]\n", 1},
        {"another header", "Windows Registry Editor Version 5.00\n", 1},
        {"garbage", "REGEDIT4\nthis is not a hive\n", 2},
        {"value before key", "REGEDIT4\n\"Left\"=\"1\"\n", 2},
        {"unterminated text", head + "\"Left\"=\"12", 3},
        {"unterminated name", head + "\"Left=\"12\"\n", 3},
        {"unknown escape", head + "\"Left\"=\"a\\nb\"\n", 3},
        {"text after quotes", head + "\"Left\"=\"1\" 2\n", 3},
        {"no equals", head + "\"Left\" \"1\"\n", 3},
        {"unknown data", head + "\"Left\"=str:1\n", 3},
        {"value deletion", head + "\"Left\"=-\n", 3},
        {"long dword", head + "\"N\"=dword:000000001\n", 3},
        {"bad dword", head + "\"N\"=dword:12g\n", 3},
        {"bad byte", head + "\"B\"=hex:1,02\n", 3},
        {"trailing comma", head + "\"B\"=hex:01,\n", 3},
        {"bad type", head + "\"B\"=hex(z):01\n", 3},
        {"continued at end", head + "\"B\"=hex:01,\\\n", 3},
        {"unknown root", "REGEDIT4\n[HKEY_NOWHERE\\X]\n", 2},
        {"key deletion", "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X]\n", 2},
        {"empty key name", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2},
        {"unclosed key", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2},
        {"zero byte", head + std::string("\"A\"=\"x\0y\"\n", 10), 3},
        {"lone carriage return", head + "\"A\"=\"x\ry\"\n", 3},
        {"not UTF-8", head + "; caf\xE9\n", 3},
        {"overlong UTF-8", head + "\"A\"=\"\xC0\xAF\"\n", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const HiveParseResult parsed = parseHive(row.text);
        EXPECT_FALSE(parsed.ok);
        EXPECT_EQ(parsed.line, row.line) << parsed.error;
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(HiveText, RefusesAFileOverOneMebibyte)
{
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q]\n";
    while (text.size() <= kMaxHiveBytes)
        text += "; padding padding padding padding padding padding padding padding\n";
    EXPECT_FALSE(parseHive(text).ok);
    text.resize(kMaxHiveBytes - 1);
    text += "\n";
    EXPECT_TRUE(parseHive(text).ok);
}

TEST(HiveText, FormattedTextParsesToTheSameHive)
{
    Hive hive;
    HiveKey& key = hive.ensureKey(kKeyPath);
    key.setValue("Plain", RegSz, bytesOf("1200"));
    key.setValue("Quotes \"and\" \\", RegSz, bytesOf("\"\\\\\""));
    key.setValue("Zero", RegSz, {'a', 0, 'b'});
    key.setValue("Lines", RegSz, bytesOf("one\r\ntwo\n"));
    key.setValue("Latin-1", RegSz, {0xF7});
    key.setValue("", RegSz, bytesOf("default"));
    key.setValue("Number", RegDword, {0x2C, 0x01, 0, 0});
    key.setValue("Long", RegBinary, std::vector<std::uint8_t>(3000, 0xAB));
    key.setValue("Typed", 0x12345678u, {1});
    hive.ensureKey("HKEY_CURRENT_USER\\Other").setValue("x", RegNone, {});

    const std::string text = formatHive(hive);
    const HiveParseResult parsed = parseHive(text);
    ASSERT_TRUE(parsed.ok) << parsed.line << ": " << parsed.error;
    EXPECT_EQ(parsed.hive, hive);
    EXPECT_EQ(formatHive(parsed.hive), text);
    // Long data is wrapped into lines an editor shows whole.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
}

} // namespace
