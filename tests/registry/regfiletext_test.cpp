// The settings file's text form: what an operator might write reads as meant, what
// is not understood is refused, and formatted text parses back to its regFile.

#include "registry/regfiletext_p.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace quillon::registry;

const std::string kKeyPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon";

std::vector<std::uint8_t> bytesOf(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST(RegFileText, AcceptsWhatAnOperatorMightWrite)
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
        // Bytes that are not UTF-8, as a Windows editor saves an ANSI text,
        // in a comment and in quoted data.
        {"ANSI bytes", "REGEDIT4\n; Raum 4\xB0\n[" + key + "]\n\"T\"=\"80\xB0\"\n", key, "T", RegSz,
         "80\xB0"},
        {"overlong UTF-8", "REGEDIT4\n[" + key + "]\n\"A\"=\"\xC0\xAF\"\n", key, "A", RegSz,
         "\xC0\xAF"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const RegFileParseResult parsed = parseRegFile(row.text);
        ASSERT_TRUE(parsed.ok) << parsed.line << ": " << parsed.error;
        EXPECT_TRUE(parsed.skipped.empty());
        const RegFileKey* found = parsed.regFile.findKey(row.key);
        ASSERT_NE(found, nullptr);
        const RegFileValue* value = found->findValue(row.name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, row.type);
        EXPECT_EQ(value->data, bytesOf(row.bytes));
        // Every level of the key exists on its own.
        EXPECT_NE(parsed.regFile.findKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell"), nullptr);
    }
}

TEST(RegFileText, HoldsNoValuesWithoutItsHeader)
{
    struct Row
    {
        const char* what;
        std::string text;
        std::size_t line;
    };
    const std::vector<Row> rows = {
        {"empty file", "", 0},
        {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q]\n", 1},
        {"another header", "Windows Registry Editor Version 5.00\n", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const RegFileParseResult parsed = parseRegFile(row.text);
        EXPECT_FALSE(parsed.ok);
        EXPECT_EQ(parsed.line, row.line) << parsed.error;
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(RegFileText, SkipsEachLineItCannotReadAndKeepsTheOthers)
{
    struct Row
    {
        const char* what;
        std::string text;
        std::vector<std::size_t> skipped;
        std::vector<std::string> kept; // of Before, After and Again
    };
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Q";
    const std::string head = "REGEDIT4\n[" + key + "]\n\"Before\"=\"1\"\n";
    const std::string tail = "\"After\"=\"2\"\n[" + key + "]\n\"Again\"=\"3\"\n";
    // A line 4 that cannot be read, between values on lines 3 and 5.
    auto bad = [&](const char* what, std::string line) {
        return Row{what, head + line + "\n" + tail, {4}, {"Before", "After", "Again"}};
    };
    // A key line 4 that cannot be read: the value below it goes with it, as
    // it would otherwise land in the key above.
    auto badKey = [&](const char* what, std::string line) {
        return Row{what, head + line + "\n" + tail, {4, 5}, {"Before", "Again"}};
    };
    const std::vector<Row> rows = {
        bad("garbage", "this is not a settings file"),
        bad("unterminated name", "\"Left=\"12\""),
        bad("unknown escape", "\"Left\"=\"a\\nb\""),
        bad("no equals", "\"Left\" \"1\""),
        bad("unknown data", "\"Left\"=str:1"),
        bad("long dword", "\"N\"=dword:000000001"),
        bad("bad dword", "\"N\"=dword:12g"),
        bad("bad byte", "\"B\"=hex:1,02"),
        bad("trailing comma", "\"B\"=hex:01,"),
        bad("bad type", "\"B\"=hex(z):01"),
        bad("zero byte", std::string("\"A\"=\"x\0y\"", 9)),
        bad("carriage return in quotes", "\"A\"=\"x\ry\""),
        bad("name not UTF-8", "\"caf\xE9\"=\"1\""),
        // The next line is no hex data: it is read on its own.
        bad("continued into a value", "\"B\"=hex:01,\\"),
        badKey("empty key name", "[HKEY_LOCAL_MACHINE\\A\\\\B]"),
        badKey("unclosed key", "[HKEY_LOCAL_MACHINE\\A"),
        badKey("control character in a key", "[HKEY_LOCAL_MACHINE\\A\x01]"),
        {"value before any key",
         "REGEDIT4\n\"Left\"=\"1\"\n[" + key + "]\n\"Again\"=\"3\"\n",
         {2},
         {"Again"}},
        {"continued at the end", head + "\"B\"=hex:01,\\\n", {4}, {"Before"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const RegFileParseResult parsed = parseRegFile(row.text);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        std::vector<std::size_t> lines;
        for (const SkippedLine& skipped : parsed.skipped) {
            lines.push_back(skipped.line);
            EXPECT_EQ(skipped.what.rfind("skipped", 0), 0u) << skipped.what;
        }
        EXPECT_EQ(lines, row.skipped);
        std::vector<std::string> kept;
        if (const RegFileKey* found = parsed.regFile.findKey(key)) {
            for (const RegFileValue& value : found->values())
                kept.push_back(value.name);
        }
        EXPECT_EQ(kept, row.kept);
    }
}

TEST(RegFileText, RefusesAFileOverOneMebibyte)
{
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q]\n";
    while (text.size() <= kMaxRegFileBytes)
        text += "; padding padding padding padding padding padding padding padding\n";
    EXPECT_FALSE(parseRegFile(text).ok);
    text.resize(kMaxRegFileBytes - 1);
    text += "\n";
    EXPECT_TRUE(parseRegFile(text).ok);
}

TEST(RegFileText, FormattedTextParsesToTheSameModel)
{
    RegFile regFile;
    RegFileKey& key = regFile.ensureKey(kKeyPath);
    key.setValue("Plain", RegSz, bytesOf("1200"));
    key.setValue("Quotes \"and\" \\", RegSz, bytesOf("\"\\\\\""));
    key.setValue("Zero", RegSz, {'a', 0, 'b'});
    key.setValue("Lines", RegSz, bytesOf("one\r\ntwo\n"));
    key.setValue("Latin-1", RegSz, {0xF7});
    key.setValue("", RegSz, bytesOf("default"));
    key.setValue("Number", RegDword, {0x2C, 0x01, 0, 0});
    key.setValue("Long", RegBinary, std::vector<std::uint8_t>(3000, 0xAB));
    key.setValue("Typed", 0x12345678u, {1});
    regFile.ensureKey("HKEY_CURRENT_USER\\Other").setValue("x", RegNone, {});

    const std::string text = formatRegFile(regFile);
    const RegFileParseResult parsed = parseRegFile(text);
    ASSERT_TRUE(parsed.ok) << parsed.line << ": " << parsed.error;
    EXPECT_EQ(parsed.regFile, regFile);
    EXPECT_EQ(formatRegFile(parsed.regFile), text);
    // Long data is wrapped into lines an editor shows whole.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
}

} // namespace
