#include "registry/win32registry_p.h"

#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace quillon::registry {

namespace {

// The predefined roots are 32-bit values (HKEY_LOCAL_MACHINE is 0x80000002)
// that Windows sign-extends to the width of a handle; a handle the registry
// returned passes through as it is.
HKEY toHkey(Key key)
{
    if (key >= 0x80000000u && key <= 0x800000FFu) {
        const auto value = static_cast<LONG>(static_cast<std::uint32_t>(key));
        return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(value));
    }
    return reinterpret_cast<HKEY>(key);
}

Key fromHkey(HKEY key)
{
    return reinterpret_cast<Key>(key);
}

bool isStringType(ValueType type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

Result Win32Registry::openKey(Key root, const std::string& path, std::uint32_t options,
                              std::uint32_t access, Key& key)
{
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExA(toHkey(root), path.c_str(), options, access, &opened);
    if (result == ERROR_SUCCESS)
        key = fromHkey(opened);
    return result;
}

Result Win32Registry::queryValue(Key key, const std::string& name, ValueType* type,
                                 std::uint8_t* data, std::uint32_t* size)
{
    DWORD valueType = 0;
    DWORD length = size != nullptr ? *size : 0;
    const LONG result =
        RegQueryValueExA(toHkey(key), name.c_str(), nullptr, type != nullptr ? &valueType : nullptr,
                         data, size != nullptr ? &length : nullptr);
    if (type != nullptr)
        *type = valueType;
    if (size != nullptr)
        *size = length;
    return result;
}

Result Win32Registry::createKey(Key root, const std::string& path, std::uint32_t options,
                                std::uint32_t access, Key& key, std::uint32_t* disposition)
{
    HKEY created = nullptr;
    DWORD how = 0;
    const LONG result = RegCreateKeyExA(toHkey(root), path.c_str(), 0, nullptr, options, access,
                                        nullptr, &created, &how);
    if (result == ERROR_SUCCESS) {
        key = fromHkey(created);
        if (disposition != nullptr)
            *disposition = how;
    }
    return result;
}

Result Win32Registry::setValue(Key key, const std::string& name, ValueType type,
                               const std::uint8_t* data, std::uint32_t size)
{
    // RegSetValueExA adds a terminating zero to string data whose count
    // leaves it out when the byte just past the data is zero, as it is after
    // every C++ string. The system stores its texts without a terminator, n
    // bytes for n, so string data goes from a copy whose next byte is not zero.
    if (isStringType(type) && size != 0 && data != nullptr) {
        std::vector<std::uint8_t> copy(data, data + size);
        copy.push_back(0xFF);
        return RegSetValueExA(toHkey(key), name.c_str(), 0, type, copy.data(), size);
    }
    return RegSetValueExA(toHkey(key), name.c_str(), 0, type, data, size);
}

Result Win32Registry::closeKey(Key key)
{
    return RegCloseKey(toHkey(key));
}

} // namespace quillon::registry
