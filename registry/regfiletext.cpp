// The settings file's text form: the REGEDIT4 parser and the formatter, the bytes of
// the file in and out. No file system here.

#include "registry/regfiletext_p.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

namespace quillon::registry {

namespace {

// The value of one hexadecimal digit (0-9, a-f, A-F), or -1 for any other
// character; the C library's isxdigit would follow the locale.
int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool hasControlCharacter(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 && byte != '\t';
    });
}

std::string_view trimRight(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string_view trim(std::string_view text)
{
    text = trimRight(text);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    return text;
}

bool startsWithFolded(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalFolded(text.substr(0, prefix.size()), prefix);
}

// Reads 1 to 8 hexadecimal digits, the whole of `text`.
bool parseHexNumber(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0)
            return false;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
}

std::string quoteText(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

class Parser
{
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    RegFileParseResult run()
    {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF") // a byte-order mark from a Windows editor
            m_text.remove_prefix(3);
        std::string_view line;
        if (!nextLine(line))
            return fail("the file is empty; a settings file starts with REGEDIT4");
        if (trimRight(line) != "REGEDIT4")
            return fail("a settings file starts with the line REGEDIT4");

        // One line that cannot be read costs that line alone. A value belongs
        // to the key line above it, so after a key line that cannot be read
        // the values up to the next key are left out too: they would
        // otherwise land in the key before it.
        RegFileKey* key = nullptr;
        bool keySkipped = false;
        while (nextLine(line)) {
            const std::size_t at = m_line;
            const std::string_view text = trim(line);
            const bool keyLine = !text.empty() && text.front() == '[';
            if (hasControlCharacter(line)) {
                constexpr const char* kControl =
                    "a control character (a zero byte, a lone carriage return or another)";
                if (keyLine) {
                    skipKey(at, kControl);
                    key = nullptr;
                    keySkipped = true;
                } else {
                    skip(at, kControl);
                }
            } else if (text.empty() || text.front() == ';') {
                continue; // a comment holds any bytes
            } else if (keyLine) {
                std::string path;
                key = keyPath(text, path) ? &m_result.regFile.ensureKey(path) : nullptr;
                keySkipped = key == nullptr;
                if (keySkipped)
                    skipKey(at, m_error);
            } else if (text.front() == '"' || text.front() == '@') {
                if (key == nullptr)
                    skip(at, keySkipped ? "it sits under a key line that was skipped"
                                        : "a value comes before any key");
                else if (!value(text, *key))
                    skip(at, m_error);
            } else {
                skip(at, "neither a key, a value nor a comment");
            }
        }
        m_result.ok = true;
        return std::move(m_result);
    }

private:
    // The next line without its line break; false at the end of the text.
    bool nextLine(std::string_view& line)
    {
        if (m_pos >= m_text.size())
            return false;
        const std::size_t end = m_text.find('\n', m_pos);
        const std::size_t stop = end == std::string_view::npos ? m_text.size() : end;
        line = m_text.substr(m_pos, stop - m_pos);
        m_pos = end == std::string_view::npos ? m_text.size() : end + 1;
        ++m_line;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }

    // The next line when it goes on a continued hex list (hexadecimal digits,
    // commas, blanks and a final backslash); otherwise false, and the line is
    // left for the main loop: a cut value must not swallow the key after it.
    bool continuationLine(std::string_view& line)
    {
        const std::size_t pos = m_pos;
        const std::size_t number = m_line;
        if (nextLine(line) && std::all_of(line.begin(), line.end(), [](char c) {
                return hexDigitValue(c) >= 0 || c == ',' || c == ' ' || c == '\t' || c == '\\';
            }))
            return true;
        m_pos = pos;
        m_line = number;
        return false;
    }

    RegFileParseResult fail(std::string error)
    {
        RegFileParseResult result;
        result.line = m_line;
        result.error = std::move(error);
        return result;
    }

    void skip(std::size_t line, const std::string& why)
    {
        m_result.skipped.push_back(SkippedLine{line, "skipped: " + why});
    }
    void skipKey(std::size_t line, const std::string& why)
    {
        m_result.skipped.push_back(
            SkippedLine{line, "skipped with the values below it up to the next key: " + why});
    }

    // A key line, "[ROOT\\path]"; false with m_error when it cannot be read.
    bool keyPath(std::string_view line, std::string& path)
    {
        if (line.size() < 2 || line.back() != ']') {
            m_error = "a key line ends with ]";
            return false;
        }
        const std::string_view text = line.substr(1, line.size() - 2);
        if (!text.empty() && text.front() == '-') {
            m_error = "a key deletion ([-...]), which only an import into the registry carries out";
            return false;
        }
        const std::size_t separator = text.find('\\');
        const std::string_view root = text.substr(0, separator);
        const std::string_view known = knownRootName(root);
        if (known.empty()) {
            m_error = "the key does not start with a known root such as HKEY_LOCAL_MACHINE";
            return false;
        }
        path = known; // the canonical spelling
        if (separator == std::string_view::npos)
            return true;
        std::vector<std::string_view> names;
        if (!splitKeyPath(text.substr(separator + 1), names) || names.empty()) {
            m_error = "a key name is empty, longer than the registry allows or not UTF-8 text";
            return false;
        }
        path += text.substr(separator);
        return true;
    }

    // A quoted string starting at text[pos], with \\ and \" as its only escapes.
    bool quotedText(std::string_view text, std::size_t& pos, std::string& out)
    {
        out.clear();
        ++pos; // the opening quote
        while (pos < text.size()) {
            const char c = text[pos];
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c == '\\') {
                if (pos + 1 >= text.size() || (text[pos + 1] != '\\' && text[pos + 1] != '"')) {
                    m_error = "a backslash in quotes is followed by neither \\ nor \"";
                    return false;
                }
                ++pos;
            }
            out += text[pos];
            ++pos;
        }
        m_error = "a quoted text has no closing quote";
        return false;
    }

    bool value(std::string_view text, RegFileKey& key)
    {
        std::string name;
        std::size_t pos = 0;
        if (text.front() == '@') {
            pos = 1;
        } else if (!quotedText(text, pos, name)) {
            return false;
        } else if (!isStorableName(name)) {
            m_error = "a value name that is not UTF-8 text";
            return false;
        }
        std::string_view rest = trim(text.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            m_error = "a value name is not followed by =";
            return false;
        }
        rest = trim(rest.substr(1));

        std::vector<std::uint8_t> data;
        ValueType type = RegNone;
        if (!rest.empty() && rest.front() == '"') {
            std::string content;
            pos = 0;
            if (!quotedText(rest, pos, content))
                return false;
            if (pos != rest.size()) {
                m_error = "text follows the closing quote";
                return false;
            }
            type = RegSz;
            data.assign(content.begin(), content.end());
        } else if (startsWithFolded(rest, "dword:")) {
            std::uint32_t number = 0;
            if (!parseHexNumber(rest.substr(6), number)) {
                m_error = "dword: is followed by other than 1 to 8 hexadecimal digits";
                return false;
            }
            type = RegDword;
            for (int i = 0; i < 4; ++i)
                data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
        } else if (startsWithFolded(rest, "hex:")) {
            type = RegBinary;
            if (!hexBytes(rest.substr(4), data))
                return false;
        } else if (startsWithFolded(rest, "hex(")) {
            const std::size_t close = rest.find("):");
            std::uint32_t number = 0;
            if (close == std::string_view::npos ||
                !parseHexNumber(rest.substr(4, close - 4), number)) {
                m_error = "hex( is followed by other than a hexadecimal type and ):";
                return false;
            }
            type = number;
            if (!hexBytes(rest.substr(close + 2), data))
                return false;
        } else if (rest == "-") {
            m_error = "a value deletion (=-), which only an import into the registry carries out";
            return false;
        } else {
            m_error = "a value is neither quoted text, dword: nor hex:";
            return false;
        }
        key.setValue(name, type, std::move(data));
        return true;
    }

    // Comma-separated pairs of hexadecimal digits; a line that ends with a
    // backslash goes on in the next.
    bool hexBytes(std::string_view first, std::vector<std::uint8_t>& data)
    {
        std::string list(trim(first));
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            std::string_view next;
            if (!continuationLine(next)) {
                m_error = "a continued value is cut off: the next line does not go on with it";
                return false;
            }
            list += trim(next);
        }
        const std::string_view all = trim(list);
        if (all.empty())
            return true;
        std::size_t start = 0;
        while (true) {
            const std::size_t comma = all.find(',', start);
            const std::string_view item = trim(all.substr(
                start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            if (item.size() != 2 || hexDigitValue(item[0]) < 0 || hexDigitValue(item[1]) < 0) {
                m_error = "a byte is not two hexadecimal digits";
                return false;
            }
            data.push_back(
                static_cast<std::uint8_t>(hexDigitValue(item[0]) * 16 + hexDigitValue(item[1])));
            if (comma == std::string_view::npos)
                return true;
            start = comma + 1;
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    std::size_t m_line = 0;
    std::string m_error;
    RegFileParseResult m_result;
};

void appendHexData(std::string& out, std::size_t column, const RegFileValue& value)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    // Lines are wrapped as the registry editor wraps them, so that a long
    // value stays readable.
    constexpr std::size_t kWidth = 77;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        const std::size_t width = i + 1 < value.data.size() ? 3 : 2;
        if (column + width > kWidth) {
            out += "\\\n  ";
            column = 2;
        }
        out += kDigits[value.data[i] >> 4];
        out += kDigits[value.data[i] & 0xF];
        if (width == 3)
            out += ',';
        column += width;
    }
}

std::string formatValue(const RegFileValue& value)
{
    std::string line = value.name.empty() ? std::string("@") : quoteText(value.name);
    line += '=';
    const std::string_view bytes(reinterpret_cast<const char*>(value.data.data()),
                                 value.data.size());
    if (value.type == RegSz && isPlainText(bytes)) {
        line += quoteText(bytes);
    } else if (value.type == RegDword && value.data.size() == 4) {
        const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                     (static_cast<std::uint32_t>(value.data[3]) << 24);
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
        line += "dword:";
        line += digits;
    } else {
        if (value.type == RegBinary) {
            line += "hex:";
        } else {
            char type[16];
            std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.type));
            line += type;
        }
        const std::size_t column = line.size();
        appendHexData(line, column, value);
    }
    return line;
}

} // namespace

RegFileParseResult parseRegFile(std::string_view text)
{
    if (text.size() > kMaxRegFileBytes) {
        RegFileParseResult result;
        result.error = "the file is larger than 1 MiB, far larger than any settings file of ours";
        return result;
    }
    return Parser(text).run();
}

std::string formatRegFile(const RegFile& regFile)
{
    std::string out = "REGEDIT4\n"
                      "; A quoted string holds exactly its bytes, with no terminating zero;\n"
                      "; hex(1): holds string data that quoted text cannot carry.\n";
    for (const RegFileKey& key : regFile.keys()) {
        out += "\n[";
        out += key.path();
        out += "]\n";
        for (const RegFileValue& value : key.values()) {
            out += formatValue(value);
            out += '\n';
        }
    }
    return out;
}

} // namespace quillon::registry
