// The registry's entry points over a regfile model: the handles a Win32 program
// would get, and the results it would see.

#include "registry/regfilebackedregistry.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace quillon::registry {

Result RegFileBackedRegistry::resolve(Key root, const std::string& path, std::string& full) const
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

Key RegFileBackedRegistry::newHandle(std::string path)
{
    // Spaced like Windows handles, and far below the predefined roots.
    const Key key = m_nextHandle;
    m_nextHandle += 4;
    m_handles.emplace(key, std::move(path));
    return key;
}

Result RegFileBackedRegistry::openKey(Key root, const std::string& path, std::uint32_t,
                                      std::uint32_t, Key& key)
{
    // Any access is granted: the store has no security of its own beyond
    // being readable at all.
    std::string full;
    if (const Result result = resolve(root, path, full); result != Success)
        return result;
    RegFile regFile;
    if (const Result result = load(regFile); result != Success)
        return result;
    const bool bareRoot = full.find('\\') == std::string::npos;
    if (!bareRoot && regFile.findKey(full) == nullptr)
        return FileNotFound;
    key = newHandle(std::move(full));
    return Success;
}

Result RegFileBackedRegistry::queryValue(Key key, const std::string& name, ValueType* type,
                                         std::uint8_t* data, std::uint32_t* size)
{
    std::string path;
    if (const Result result = resolve(key, {}, path); result != Success)
        return result;
    if (data != nullptr && size == nullptr)
        return InvalidParameter;
    RegFile regFile;
    if (const Result result = load(regFile); result != Success)
        return result;
    const RegFileKey* regFileKey = regFile.findKey(path);
    const RegFileValue* value = regFileKey == nullptr ? nullptr : regFileKey->findValue(name);
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

Result RegFileBackedRegistry::createKey(Key root, const std::string& path, std::uint32_t,
                                        std::uint32_t, Key& key, std::uint32_t* disposition)
{
    constexpr std::uint32_t kCreatedNewKey = 1;
    constexpr std::uint32_t kOpenedExistingKey = 2;

    std::string full;
    if (const Result result = resolve(root, path, full); result != Success)
        return result;
    bool created = false;
    if (full.find('\\') != std::string::npos) {
        const Result result = update([&](RegFile& regFile, bool& changed) {
            regFile.ensureKey(full, &created);
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

Result RegFileBackedRegistry::setValue(Key key, const std::string& name, ValueType type,
                                       const std::uint8_t* data, std::uint32_t size)
{
    std::string path;
    if (const Result result = resolve(key, {}, path); result != Success)
        return result;
    if ((data == nullptr && size != 0) || !isStorableName(name))
        return InvalidParameter;
    std::vector<std::uint8_t> bytes(data, data + size);
    return update([&](RegFile& regFile, bool& changed) {
        // The key is made again should it have gone since it was opened, as
        // when a broken file was moved aside in between.
        changed = regFile.ensureKey(path).setValue(name, type, std::move(bytes));
        return Success;
    });
}

Result RegFileBackedRegistry::closeKey(Key key)
{
    if (!rootName(key).empty())
        return Success;
    return m_handles.erase(key) == 1 ? Success : InvalidHandle;
}

} // namespace quillon::registry
