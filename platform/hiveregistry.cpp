#include "platform/hiveregistry.h"

#include "numbertext/numbertext.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace quillon::platform::registry {

namespace {

// The registry's own limits on key paths; they also keep a hostile file from
// making the parser build paths without end.
constexpr std::size_t kMaxKeyNameBytes = 255;
constexpr std::size_t kMaxKeyDepth = 512;

constexpr std::array<std::pair<Key, std::string_view>, 4> kRoots{{
    {HKeyClassesRoot, "HKEY_CLASSES_ROOT"},
    {HKeyCurrentUser, "HKEY_CURRENT_USER"},
    {HKeyLocalMachine, "HKEY_LOCAL_MACHINE"},
    {HKeyUsers, "HKEY_USERS"},
}};

char foldChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Registry names compare without regard to case. Only ASCII is folded: the
// system's own names are ASCII, and folding the rest would need tables that
// differ between Windows versions anyway.
std::string fold(std::string_view text)
{
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), foldChar);
    return folded;
}

bool equalFolded(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldChar(x) == foldChar(y);
           });
}

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u)
                return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)))
            return false;
        if (length == 4 && (code < 0x10000 || code > 0x10FFFF))
            return false;
        i += length;
    }
    return true;
}

bool hasControlCharacter(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 && byte != '\t';
    });
}

// Text that fits on one line of the file as it is.
bool isPlainText(std::string_view text)
{
    return !hasControlCharacter(text) && isValidUtf8(text);
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
        const int digit = numbertext::hexDigitValue(c);
        if (digit < 0)
            return false;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
}

// Splits a key path below a root into its names; false when a name is empty,
// too long, too deep or cannot be written into the file.
bool splitKeyPath(std::string_view path, std::vector<std::string_view>& names)
{
    names.clear();
    if (path.empty())
        return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (name.empty() || name.size() > kMaxKeyNameBytes || !isPlainText(name))
            return false;
        names.push_back(name);
        if (names.size() > kMaxKeyDepth)
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
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

    HiveParseResult run()
    {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF") // a byte-order mark from a Windows editor
            m_text.remove_prefix(3);
        std::string_view line;
        if (!nextLine(line))
            return fail(m_error.empty() ? "the file is empty; a hive starts with REGEDIT4"
                                        : m_error);
        if (trimRight(line) != "REGEDIT4")
            return fail("a hive starts with the line REGEDIT4");

        HiveKey* key = nullptr;
        while (nextLine(line)) {
            const std::string_view text = trim(line);
            if (text.empty() || text.front() == ';')
                continue;
            if (text.front() == '[') {
                if (text.back() != ']' || text.size() < 2)
                    return fail("a key line ends with ]");
                std::string path;
                if (!keyPath(text.substr(1, text.size() - 2), path))
                    return fail(m_error);
                key = &m_result.hive.ensureKey(path);
            } else if (text.front() == '"' || text.front() == '@') {
                if (key == nullptr)
                    return fail("a value comes before any key");
                if (!value(text, *key))
                    return fail(m_error);
            } else {
                return fail("neither a key, a value nor a comment");
            }
        }
        if (!m_error.empty())
            return fail(m_error);
        m_result.ok = true;
        m_result.line = 0;
        return std::move(m_result);
    }

private:
    // The next line without its line break; false at the end of the text or at
    // a line that is not UTF-8 text (m_error tells which).
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
        if (hasControlCharacter(line)) {
            m_error = "a control character (a zero byte, a lone carriage return or another)";
            return false;
        }
        if (!isValidUtf8(line)) {
            m_error = "bytes that are not UTF-8";
            return false;
        }
        return true;
    }

    HiveParseResult fail(std::string error)
    {
        HiveParseResult result;
        result.line = m_line;
        result.error = std::move(error);
        return result;
    }

    bool keyPath(std::string_view text, std::string& path)
    {
        const std::size_t separator = text.find('\\');
        const std::string_view root = text.substr(0, separator);
        const auto known = std::find_if(kRoots.begin(), kRoots.end(), [&](const auto& entry) {
            return equalFolded(entry.second, root);
        });
        if (known == kRoots.end()) {
            m_error = "the key does not start with a known root such as HKEY_LOCAL_MACHINE";
            return false;
        }
        path = known->second; // the canonical spelling
        if (separator == std::string_view::npos)
            return true;
        std::vector<std::string_view> names;
        if (!splitKeyPath(text.substr(separator + 1), names) || names.empty()) {
            m_error = "a key name is empty or longer than the registry allows";
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

    bool value(std::string_view text, HiveKey& key)
    {
        std::string name;
        std::size_t pos = 0;
        if (text.front() == '@') {
            pos = 1;
        } else if (!quotedText(text, pos, name)) {
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
            if (!nextLine(next)) {
                if (m_error.empty())
                    m_error = "a continued line is the last line";
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
            if (item.size() != 2 || numbertext::hexDigitValue(item[0]) < 0 ||
                numbertext::hexDigitValue(item[1]) < 0) {
                m_error = "a byte is not two hexadecimal digits";
                return false;
            }
            data.push_back(static_cast<std::uint8_t>(numbertext::hexDigitValue(item[0]) * 16 +
                                                     numbertext::hexDigitValue(item[1])));
            if (comma == std::string_view::npos)
                return true;
            start = comma + 1;
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    std::size_t m_line = 0;
    std::string m_error;
    HiveParseResult m_result;
};

void appendHexData(std::string& out, std::size_t column, const HiveValue& value)
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

std::string formatValue(const HiveValue& value)
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

// The registry's results for the errors of a file write: a folder or file we
// may not write gives AccessDenied, anything else (a full disk, a parent that
// is a file) CantWrite.
Result resultFor(std::error_code error)
{
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
        error == std::errc::read_only_file_system)
        return AccessDenied;
    return CantWrite;
}

std::string utcStamp()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

fs::path folderOf(const fs::path& file)
{
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

fs::path withSuffix(const fs::path& file, std::string_view suffix)
{
    fs::path result = file;
    result += std::string(suffix);
    return result;
}

#ifndef _WIN32
Result resultForErrno(int error)
{
    return resultFor(std::error_code(error, std::generic_category()));
}

// Makes a rename in `folder` survive a power cut; without it the folder's
// entry may still name the old file after a restart. Some file systems cannot
// sync a folder; the rename itself has happened, so that is not a failure.
void syncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// An exclusive advisory lock on the file beside the hive, held from before
// the read to after the rename, so that two writers never both start from the
// same old contents and lose each other's values. The lock sits on a file of
// its own because the hive itself is replaced by every write.
class WriteLock
{
public:
    Result acquire(const fs::path& file)
    {
        m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return resultForErrno(errno);
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR)
                return resultForErrno(errno);
        }
        return Success;
    }
    ~WriteLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }

private:
    int m_fd = -1;
};

bool writeAll(int fd, const std::string& contents)
{
    std::size_t done = 0;
    while (done < contents.size()) {
        const ::ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}
#else
void syncFolder(const fs::path&) {}

// On Windows the system keeps its settings in the registry itself; the hive
// file there serves tests only, one process at a time, and goes without a lock.
class WriteLock
{
public:
    Result acquire(const fs::path&) { return Success; }
};
#endif

} // namespace

// ---------------------------------------------------------------------------
// The hive model

const HiveValue* HiveKey::findValue(std::string_view name) const
{
    const auto found = m_index.find(fold(name));
    return found == m_index.end() ? nullptr : &m_values[found->second];
}

bool HiveKey::setValue(std::string_view name, ValueType type, std::vector<std::uint8_t> data)
{
    std::string folded = fold(name);
    const auto found = m_index.find(folded);
    if (found != m_index.end()) {
        HiveValue& value = m_values[found->second];
        if (value.type == type && value.data == data)
            return false;
        value.type = type;
        value.data = std::move(data);
        return true;
    }
    m_index.emplace(std::move(folded), m_values.size());
    m_values.push_back(HiveValue{std::string(name), type, std::move(data)});
    return true;
}

const HiveKey* Hive::findKey(std::string_view path) const
{
    const auto found = m_index.find(fold(path));
    return found == m_index.end() ? nullptr : &m_keys[found->second];
}

HiveKey& Hive::ensureKey(std::string_view path, bool* created)
{
    if (created != nullptr)
        *created = false;
    const std::string folded = fold(path);
    if (const auto found = m_index.find(folded); found != m_index.end())
        return m_keys[found->second];

    // Every level below the root is a key of its own, parents first, as the
    // registry creates them. A bare root is a key only when asked for itself.
    std::size_t separator = path.find('\\');
    while (separator != std::string_view::npos) {
        separator = path.find('\\', separator + 1);
        const std::size_t length = separator == std::string_view::npos ? path.size() : separator;
        std::string prefix = folded.substr(0, length);
        if (m_index.find(prefix) == m_index.end()) {
            m_index.emplace(std::move(prefix), m_keys.size());
            m_keys.emplace_back(std::string(path.substr(0, length)));
            if (created != nullptr)
                *created = true;
        }
    }
    if (m_index.find(folded) == m_index.end()) { // a bare root
        m_index.emplace(folded, m_keys.size());
        m_keys.emplace_back(std::string(path));
        if (created != nullptr)
            *created = true;
    }
    return m_keys[m_index.find(folded)->second];
}

// ---------------------------------------------------------------------------
// Text form

HiveParseResult parseHive(std::string_view text)
{
    if (text.size() > kMaxHiveBytes) {
        HiveParseResult result;
        result.error = "the file is larger than 1 MiB, far larger than any hive of ours";
        return result;
    }
    return Parser(text).run();
}

HiveParseResult parseHive(std::istream& in)
{
    // Read at most one byte more than a hive may have, so that a huge file
    // costs no more than that to refuse.
    std::string text;
    std::array<char, 64 * 1024> chunk;
    while (text.size() <= kMaxHiveBytes && in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        HiveParseResult result;
        result.error = "the file could not be read";
        return result;
    }
    return parseHive(std::string_view(text));
}

std::string formatHive(const Hive& hive)
{
    std::string out = "REGEDIT4\n"
                      "; A quoted string holds exactly its bytes, with no terminating zero;\n"
                      "; hex(1): holds string data that quoted text cannot carry.\n";
    for (const HiveKey& key : hive.keys()) {
        out += "\n[";
        out += key.path();
        out += "]\n";
        for (const HiveValue& value : key.values()) {
            out += formatValue(value);
            out += '\n';
        }
    }
    return out;
}

std::string_view rootName(Key root)
{
    for (const auto& [key, name] : kRoots) {
        if (key == root)
            return name;
    }
    return {};
}

bool isStorableName(std::string_view name)
{
    return isPlainText(name);
}

// ---------------------------------------------------------------------------
// The registry interface over a hive

Result HiveBackedRegistry::resolve(Key root, const std::string& path, std::string& full) const
{
    if (const std::string_view name = rootName(root); !name.empty()) {
        full = name;
    } else if (const auto found = m_handles.find(root); found != m_handles.end()) {
        full = found->second;
    } else {
        return InvalidHandle;
    }
    std::string_view relative = path;
    if (!relative.empty() &&
        relative.back() == '\\') // a trailing separator, as the registry allows
        relative.remove_suffix(1);
    std::vector<std::string_view> names;
    if (!splitKeyPath(relative, names))
        return InvalidParameter;
    std::size_t depth = static_cast<std::size_t>(std::count(full.begin(), full.end(), '\\'));
    if (depth + names.size() > kMaxKeyDepth)
        return InvalidParameter;
    for (const std::string_view name : names) {
        full += '\\';
        full += name;
    }
    return Success;
}

Key HiveBackedRegistry::newHandle(std::string path)
{
    // Spaced like Windows handles, and far below the predefined roots.
    const Key key = m_nextHandle;
    m_nextHandle += 4;
    m_handles.emplace(key, std::move(path));
    return key;
}

Result HiveBackedRegistry::openKey(Key root, const std::string& path, std::uint32_t, std::uint32_t,
                                   Key& key)
{
    // Any access is granted: the store has no security of its own beyond
    // being readable at all.
    std::string full;
    if (const Result result = resolve(root, path, full); result != Success)
        return result;
    Hive hive;
    if (const Result result = load(hive); result != Success)
        return result;
    const bool bareRoot = full.find('\\') == std::string::npos;
    if (!bareRoot && hive.findKey(full) == nullptr)
        return FileNotFound;
    key = newHandle(std::move(full));
    return Success;
}

Result HiveBackedRegistry::queryValue(Key key, const std::string& name, ValueType* type,
                                      std::uint8_t* data, std::uint32_t* size)
{
    std::string path;
    if (const Result result = resolve(key, {}, path); result != Success)
        return result;
    if (data != nullptr && size == nullptr)
        return InvalidParameter;
    Hive hive;
    if (const Result result = load(hive); result != Success)
        return result;
    const HiveKey* hiveKey = hive.findKey(path);
    const HiveValue* value = hiveKey == nullptr ? nullptr : hiveKey->findValue(name);
    if (value == nullptr)
        return FileNotFound;

    if (type != nullptr)
        *type = value->type;
    const auto length = static_cast<std::uint32_t>(value->data.size());
    if (data != nullptr) {
        if (*size < length) {
            *size = length;
            return MoreData;
        }
        std::copy(value->data.begin(), value->data.end(), data);
    }
    if (size != nullptr)
        *size = length;
    return Success;
}

Result HiveBackedRegistry::createKey(Key root, const std::string& path, std::uint32_t,
                                     std::uint32_t, Key& key, std::uint32_t* disposition)
{
    constexpr std::uint32_t kCreatedNewKey = 1;
    constexpr std::uint32_t kOpenedExistingKey = 2;

    std::string full;
    if (const Result result = resolve(root, path, full); result != Success)
        return result;
    bool created = false;
    if (full.find('\\') != std::string::npos) {
        const Result result = update([&](Hive& hive, bool& changed) {
            hive.ensureKey(full, &created);
            changed = created;
            return Success;
        });
        if (result != Success)
            return result;
    }
    if (disposition != nullptr)
        *disposition = created ? kCreatedNewKey : kOpenedExistingKey;
    key = newHandle(std::move(full));
    return Success;
}

Result HiveBackedRegistry::setValue(Key key, const std::string& name, ValueType type,
                                    const std::uint8_t* data, std::uint32_t size)
{
    std::string path;
    if (const Result result = resolve(key, {}, path); result != Success)
        return result;
    if ((data == nullptr && size != 0) || !isStorableName(name))
        return InvalidParameter;
    std::vector<std::uint8_t> bytes(data, data + size);
    return update([&](Hive& hive, bool& changed) {
        // The key is made again should it have gone since it was opened, as
        // when a broken file was moved aside in between.
        changed = hive.ensureKey(path).setValue(name, type, std::move(bytes));
        return Success;
    });
}

Result HiveBackedRegistry::closeKey(Key key)
{
    if (!rootName(key).empty())
        return Success;
    return m_handles.erase(key) == 1 ? Success : InvalidHandle;
}

// ---------------------------------------------------------------------------
// The hive file

HiveRegistry::HiveRegistry(fs::path file) : m_file(std::move(file)) {}

void HiveRegistry::report(const std::string& message)
{
    // A broken file would otherwise be reported at every read.
    if (message == m_lastReport)
        return;
    m_lastReport = message;
    std::cerr << "quillon: " << message << std::endl;
}

HiveRegistry::FileState HiveRegistry::readFile(Hive& hive)
{
    std::error_code error;
    const fs::file_status status = fs::status(m_file, error);
    if (status.type() == fs::file_type::not_found)
        return FileState::Missing;
    if (error || status.type() == fs::file_type::directory)
        return FileState::Unreadable;

    std::ifstream in(m_file, std::ios::binary);
    if (!in) {
        // Replaced between the look and the open: gone now means missing.
        return fs::exists(m_file, error) ? FileState::Unreadable : FileState::Missing;
    }
    HiveParseResult parsed = parseHive(in);
    if (!parsed.ok) {
        std::string where = m_file.string();
        if (parsed.line != 0)
            where += ":" + std::to_string(parsed.line);
        report(where + ": " + parsed.error +
               "; the file is left as it is and holds no values for us until the next write "
               "moves it aside");
        return FileState::Unparseable;
    }
    hive = std::move(parsed.hive);
    return FileState::Parsed;
}

Result HiveRegistry::load(Hive& hive)
{
    hive = Hive();
    return readFile(hive) == FileState::Unreadable ? AccessDenied : Success;
}

Result HiveRegistry::update(const Change& change)
{
    // Every write replaces the whole file, and never in place:
    //   1. lock the lock file beside the hive, then read the hive again, so that
    //      the values another process wrote since our last look are kept;
    //   2. write the new text to <hive>.tmp in the same folder, flush it and
    //      fsync it, so that its bytes are on the disk before any name points
    //      at them;
    //   3. rename it over the hive: one atomic step, after which readers see
    //      the new file and before which they see the old one;
    //   4. fsync the folder, so that the rename itself survives a power cut;
    //   5. unlock.
    // A kill or a power cut at any moment therefore leaves the old hive or the
    // new one, never a mixture. What it may leave is a stray <hive>.tmp, which
    // nothing reads and the next write truncates and reuses.
    const fs::path folder = folderOf(m_file);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        return resultFor(error);

    WriteLock lock;
    if (const Result result = lock.acquire(withSuffix(m_file, ".lock")); result != Success)
        return result;

    Hive hive;
    const FileState state = readFile(hive);
    if (state == FileState::Unreadable)
        return AccessDenied;
    bool changed = false;
    if (const Result result = change(hive, changed); result != Success)
        return result;
    if (!changed)
        return Success;
    const std::string contents = formatHive(hive);
    if (contents.size() > kMaxHiveBytes) // we could not read it back
        return CantWrite;

    if (state == FileState::Unparseable) {
        // Never overwrite what we do not understand: keep it, under a name
        // that says what happened and when, for the operator to look at.
        const fs::path base = withSuffix(m_file, ".corrupt-" + utcStamp());
        fs::path aside = base;
        for (int n = 1; fs::exists(aside, error); ++n)
            aside = withSuffix(base, "-" + std::to_string(n));
        fs::rename(m_file, aside, error);
        if (error)
            return resultFor(error);
        syncFolder(folder);
        std::cerr << "quillon: moved the unreadable hive " << m_file.string() << " aside to "
                  << aside.string() << " and started a fresh one" << std::endl;
    }

    const fs::path temporary = withSuffix(m_file, ".tmp");
#ifndef _WIN32
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return resultForErrno(errno);
    struct stat old
    {};
    if (::stat(m_file.c_str(), &old) == 0) // keep the permissions the operator gave the hive
        ::fchmod(fd, old.st_mode & 07777);
    const bool written = writeAll(fd, contents) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int failure = written ? errno : writeError;
        ::unlink(temporary.c_str());
        return resultForErrno(failure);
    }
    if (::rename(temporary.c_str(), m_file.c_str()) != 0) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return resultForErrno(failure);
    }
#else
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, error);
            return CantWrite;
        }
    }
    fs::rename(temporary, m_file, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return resultFor(error);
    }
#endif
    syncFolder(folder);
    return Success;
}

fs::path defaultHivePath()
{
    if (const char* named = std::getenv("QUILLON_REGISTRY"); named != nullptr && *named != '\0')
        return fs::path(named);
    fs::path config;
    // A relative XDG_CONFIG_HOME is invalid and to be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME");
        xdg != nullptr && *xdg != '\0' && fs::path(xdg).is_absolute()) {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        config = fs::path(home) / ".config";
    } else {
        std::error_code error;
        config = fs::current_path(error) / ".config";
    }
    return config / "quillon" / "registry.reg";
}

} // namespace quillon::platform::registry
