#pragma once

// The registry's five entry points over a regfile model: Win32-style handles,
// root and path resolution and the results the settings routines expect.

#include "registry/regfile.h"
#include "registry/registry.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace quillon::registry {

// The Registry interface over a RegFile that a subclass loads and stores. Handles
// name a key by its path, so they stay valid whatever the store does between
// calls; they live until closeKey.
class RegFileBackedRegistry : public Registry
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

protected:
    // Makes `regFile` the store's current contents.
    virtual Result load(RegFile& regFile) = 0;
    // Applies `change` to the current contents and stores them when it
    // reports a change; the load and the store form one step that no other
    // writer can come between.
    using Change = std::function<Result(RegFile& regFile, bool& changed)>;
    virtual Result update(const Change& change) = 0;

    // The open handles and the key path each stands for.
    std::map<Key, std::string> m_handles;

private:
    Result resolve(Key root, const std::string& path, std::string& full) const;
    Key newHandle(std::string path);

    Key m_nextHandle = 0x1000;
};

} // namespace quillon::registry
