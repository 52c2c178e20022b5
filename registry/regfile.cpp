// The regfile model: keys and values in memory, and the registry's rules for
// their names.

#include "registry/regfile.h"

#include <algorithm>
#include <array>
#include <utility>

namespace quillon::registry {

namespace {

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

std::string fold(std::string_view text)
{
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), foldChar);
    return folded;
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

} // namespace

bool equalFolded(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldChar(x) == foldChar(y);
           });
}

std::string_view rootName(Key root)
{
    for (const auto& [key, name] : kRoots) {
        if (key == root)
            return name;
    }
    return {};
}

std::string_view knownRootName(std::string_view spelled)
{
    for (const auto& [key, name] : kRoots) {
        if (equalFolded(name, spelled))
            return name;
    }
    return {};
}

bool isPlainText(std::string_view text)
{
    return !hasControlCharacter(text) && isValidUtf8(text);
}

bool isStorableName(std::string_view name)
{
    return isPlainText(name);
}

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
        if (name.empty() || name.size() > kMaxKeyNameBytes || !isStorableName(name))
            return false;
        names.push_back(name);
        if (names.size() > kMaxKeyDepth)
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

const RegFileValue* RegFileKey::findValue(std::string_view name) const
{
    const auto found = m_index.find(fold(name));
    return found == m_index.end() ? nullptr : &m_values[found->second];
}

bool RegFileKey::setValue(std::string_view name, ValueType type, std::vector<std::uint8_t> data)
{
    std::string folded = fold(name);
    const auto found = m_index.find(folded);
    if (found != m_index.end()) {
        RegFileValue& value = m_values[found->second];
        if (value.type == type && value.data == data)
            return false;
        value.type = type;
        value.data = std::move(data);
        return true;
    }
    m_index.emplace(std::move(folded), m_values.size());
    m_values.push_back(RegFileValue{std::string(name), type, std::move(data)});
    return true;
}

const RegFileKey* RegFile::findKey(std::string_view path) const
{
    const auto found = m_index.find(fold(path));
    return found == m_index.end() ? nullptr : &m_keys[found->second];
}

RegFileKey& RegFile::ensureKey(std::string_view path, bool* created)
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

} // namespace quillon::registry
