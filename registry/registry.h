#pragma once

// The registry as ReadSetting and WriteSetting call it: the five entry points
// they use, with Win32 result codes and value types, so that the same routines
// run over the real Windows registry, a settings file, or memory in tests.
// Key paths, value names and string data are narrow byte strings: the ANSI
// code page on Windows, UTF-8 elsewhere.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillon::registry {

using Key = std::uintptr_t;  // a predefined root or a handle returned by open/create
using Result = std::int32_t; // a Win32 error code; 0 is success
using ValueType = std::uint32_t;

inline constexpr Key HKeyClassesRoot = 0x80000000u;
inline constexpr Key HKeyCurrentUser = 0x80000001u;
inline constexpr Key HKeyLocalMachine = 0x80000002u;
inline constexpr Key HKeyUsers = 0x80000003u;

inline constexpr Result Success = 0;
inline constexpr Result FileNotFound = 2;
inline constexpr Result AccessDenied = 5;
inline constexpr Result InvalidHandle = 6;
inline constexpr Result InvalidParameter = 87;
inline constexpr Result MoreData = 234;
inline constexpr Result CantWrite = 1013; // ERROR_CANTWRITE

inline constexpr ValueType RegNone = 0;
inline constexpr ValueType RegSz = 1;
inline constexpr ValueType RegExpandSz = 2;
inline constexpr ValueType RegBinary = 3;
inline constexpr ValueType RegDword = 4;
inline constexpr ValueType RegMultiSz = 7;
inline constexpr ValueType RegQword = 11;

inline constexpr std::uint32_t OptionNonVolatile = 0;
inline constexpr std::uint32_t KeyAllAccess = 0xF003F;
inline constexpr std::uint32_t KeyRead = 0x20019;

class Registry
{
public:
    virtual ~Registry() = default;

    // RegOpenKeyExA
    virtual Result openKey(Key root, const std::string& path, std::uint32_t options,
                           std::uint32_t access, Key& key) = 0;
    // RegQueryValueExA: on entry *size is the buffer's size; on return it is the
    // data's size. Data larger than the buffer gives MoreData.
    virtual Result queryValue(Key key, const std::string& name, ValueType* type, std::uint8_t* data,
                              std::uint32_t* size) = 0;
    // RegCreateKeyExA: creates every missing level of the path.
    virtual Result createKey(Key root, const std::string& path, std::uint32_t options,
                             std::uint32_t access, Key& key, std::uint32_t* disposition) = 0;
    // RegSetValueExA
    virtual Result setValue(Key key, const std::string& name, ValueType type,
                            const std::uint8_t* data, std::uint32_t size) = 0;
    // RegCloseKey
    virtual Result closeKey(Key key) = 0;
};

// Hears what a registry has to say about its store, such as the lines of a
// settings file it could not read. Nothing is said when it is empty.
using Report = std::function<void(const std::string& message)>;

// The registry of the platform the system runs on, for app/ to create once
// and hand to whatever reads or writes settings: the Windows registry on
// Windows, the settings file at defaultRegFilePath() elsewhere.
std::unique_ptr<Registry> platformRegistry(Report report = {});

} // namespace quillon::registry
