#pragma once

// The registry kept in a text file, for every platform but Windows, and the
// in-memory hive model that the file and the memory backend share.
//
// The file uses the REGEDIT4 syntax, so an operator can read, back up or edit
// it with any text editor:
//
//     REGEDIT4
//
//     [HKEY_LOCAL_MACHINE\SOFTWARE\Oxwell\Quillon]
//     "Left"="1200"
//     "Count"=dword:0000012c
//     "Blob"=hex:01,02,03
//     "Odd"=hex(1):41,00,42
//
// Two differences from what the Windows registry editor writes: a quoted string
// holds exactly its bytes, with no implied terminating zero, and string data
// that the quoted form cannot carry (a zero byte, a line break or another
// control character, bytes that are not UTF-8) is written as hex(1):. Reading
// a value back yields exactly the type and the bytes that were written.

#include "platform/registry.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon::platform::registry {

struct HiveValue
{
    std::string name; // "" is the key's default value, written as @
    ValueType type = RegNone;
    std::vector<std::uint8_t> data;

    bool operator==(const HiveValue&) const = default;
};

// One key: its full path from the root ("HKEY_LOCAL_MACHINE\SOFTWARE\Oxwell")
// and its values in the order they were first set. Value names compare without
// regard to ASCII case, like the registry's.
class HiveKey
{
public:
    explicit HiveKey(std::string path) : m_path(std::move(path)) {}

    const std::string& path() const { return m_path; }
    const std::vector<HiveValue>& values() const { return m_values; }
    const HiveValue* findValue(std::string_view name) const;
    // Sets or replaces a value; a replaced value keeps its first spelling.
    // True when anything changed.
    bool setValue(std::string_view name, ValueType type, std::vector<std::uint8_t> data);

    bool operator==(const HiveKey& other) const
    {
        return m_path == other.m_path && m_values == other.m_values;
    }

private:
    std::string m_path;
    std::vector<HiveValue> m_values;
    std::unordered_map<std::string, std::size_t> m_index; // folded name -> position
};

// A set of keys. Key paths compare without regard to ASCII case; every level
// of a key exists as a key of its own, as in the registry.
class Hive
{
public:
    const HiveKey* findKey(std::string_view path) const;
    // The key at `path`, created with every missing level when needed.
    HiveKey& ensureKey(std::string_view path, bool* created = nullptr);
    const std::vector<HiveKey>& keys() const { return m_keys; }

    bool operator==(const Hive& other) const { return m_keys == other.m_keys; }

private:
    std::vector<HiveKey> m_keys;                          // in the order first seen
    std::unordered_map<std::string, std::size_t> m_index; // folded path -> position
};

// A hive file larger than this is not one of ours: it counts as unparseable.
inline constexpr std::size_t kMaxHiveBytes = 1024 * 1024;

struct HiveParseResult
{
    bool ok = false;
    Hive hive;
    std::size_t line = 0; // where parsing stopped, counting from 1; 0 for the file as a whole
    std::string error;
};

// Parses hive text. Anything that is not fully understood fails: a file that
// parses only in part is never rewritten from the part we understood.
HiveParseResult parseHive(std::string_view text);
HiveParseResult parseHive(std::istream& in);
// The text of a hive; parseHive gives the same hive back.
std::string formatHive(const Hive& hive);

// The full path of a predefined root ("HKEY_LOCAL_MACHINE"), or "" for another key.
std::string_view rootName(Key root);

// Tests that a key or value name can be stored: UTF-8 without control
// characters other than tab.
bool isStorableName(std::string_view name);

// The Registry interface over a Hive that a subclass loads and stores. Handles
// name a key by its path, so they stay valid whatever the store does between
// calls; they live until closeKey.
class HiveBackedRegistry : public Registry
{
public:
    Result openKey(Key root, const std::string& path, std::uint32_t options, std::uint32_t access,
                   Key& key) override;
    Result queryValue(Key key, const std::string& name, ValueType* type, std::uint8_t* data,
                      std::uint32_t* size) override;
    Result createKey(Key root, const std::string& path, std::uint32_t options, std::uint32_t access,
                     Key& key, std::uint32_t* disposition) override;
    Result setValue(Key key, const std::string& name, ValueType type, const std::uint8_t* data,
                    std::uint32_t size) override;
    Result closeKey(Key key) override;

    // How many handles are open; for tests.
    std::size_t openHandles() const { return m_handles.size(); }

protected:
    // Makes `hive` the store's current contents.
    virtual Result load(Hive& hive) = 0;
    // Applies `change` to the current contents and stores them when it
    // reports a change; the load and the store form one step that no other
    // writer can come between.
    using Change = std::function<Result(Hive& hive, bool& changed)>;
    virtual Result update(const Change& change) = 0;

private:
    Result resolve(Key root, const std::string& path, std::string& full) const;
    Key newHandle(std::string path);

    std::map<Key, std::string> m_handles;
    Key m_nextHandle = 0x1000;
};

// The hive file at `file`. Every call reads the file again, so several
// instances, in one process or in several, see each other's writes.
class HiveRegistry : public HiveBackedRegistry
{
public:
    explicit HiveRegistry(std::filesystem::path file);

    const std::filesystem::path& file() const { return m_file; }

protected:
    Result load(Hive& hive) override;
    Result update(const Change& change) override;

private:
    enum class FileState
    {
        Parsed,
        Missing,
        Unparseable,
        Unreadable
    };
    FileState readFile(Hive& hive);
    void report(const std::string& message);

    std::filesystem::path m_file;
    std::string m_lastReport;
};

// The hive the system uses away from Windows: the file that QUILLON_REGISTRY
// names, else $XDG_CONFIG_HOME/quillon/registry.reg, with ~/.config standing
// in for an unset XDG_CONFIG_HOME.
std::filesystem::path defaultHivePath();

} // namespace quillon::platform::registry
