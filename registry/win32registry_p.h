#pragma once

// The Windows registry through the advapi32 ANSI entry points. Private to
// registry/ and its tests: the system reaches it as platformRegistry(), and
// <windows.h> stays inside win32registry.cpp.

#include "registry/registry.h"

namespace quillon::registry {

class Win32Registry : public Registry
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
};

} // namespace quillon::registry
