#pragma once

// The regfile model: registry keys and their values held in memory, with the
// registry's own rules for names (case, roots, limits). No file and no text.

#include "registry/registry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon::registry {

struct RegFileValue
{
    std::string name; // "" is the key's default value, written as @
    ValueType type = RegNone;
    std::vector<std::uint8_t> data;

    bool operator==(const RegFileValue&) const = default;
};

// One key: its full path from the root ("HKEY_LOCAL_MACHINE\SOFTWARE\Oxwell")
// and its values in the order they were first set. Value names compare without
// regard to ASCII case, like the registry's.
class RegFileKey
{
public:
    explicit RegFileKey(std::string path) : m_path(std::move(path)) {}

    const std::string& path() const { return m_path; }
    const std::vector<RegFileValue>& values() const { return m_values; }
    const RegFileValue* findValue(std::string_view name) const;
    // Sets or replaces a value; a replaced value keeps its first spelling.
    // True when anything changed.
    bool setValue(std::string_view name, ValueType type, std::vector<std::uint8_t> data);

    bool operator==(const RegFileKey& other) const
    {
        return m_path == other.m_path && m_values == other.m_values;
    }

private:
    std::string m_path;
    std::vector<RegFileValue> m_values;
    std::unordered_map<std::string, std::size_t> m_index; // folded name -> position
};

// A set of keys. Key paths compare without regard to ASCII case; every level
// of a key exists as a key of its own, as in the registry.
class RegFile
{
public:
    const RegFileKey* findKey(std::string_view path) const;
    // The key at `path`, created with every missing level when needed.
    RegFileKey& ensureKey(std::string_view path, bool* created = nullptr);
    const std::vector<RegFileKey>& keys() const { return m_keys; }

    bool operator==(const RegFile& other) const { return m_keys == other.m_keys; }

private:
    std::vector<RegFileKey> m_keys;                       // in the order first seen
    std::unordered_map<std::string, std::size_t> m_index; // folded path -> position
};

// Registry names compare without regard to case. Only ASCII is folded: the
// system's own names are ASCII, and folding the rest would need tables that
// differ between Windows versions anyway.
bool equalFolded(std::string_view a, std::string_view b);

// The full path of a predefined root ("HKEY_LOCAL_MACHINE"), or "" for another key.
std::string_view rootName(Key root);
// The canonical spelling of the root that `spelled` names in any case, or "".
std::string_view knownRootName(std::string_view spelled);

// The registry's own limits on key paths; they also keep a hostile file from
// making the parser build paths without end.
inline constexpr std::size_t kMaxKeyNameBytes = 255;
inline constexpr std::size_t kMaxKeyDepth = 512;

// Text that fits on one line of the settings file as it is: UTF-8 without control
// characters other than tab.
bool isPlainText(std::string_view text);

// Tests that a key or value name can be stored: plain text, since the settings
// file holds every name as it is.
bool isStorableName(std::string_view name);

// Splits a key path below a root into its names; false when a name is empty,
// too long, too deep or cannot be stored.
bool splitKeyPath(std::string_view path, std::vector<std::string_view>& names);

} // namespace quillon::registry
