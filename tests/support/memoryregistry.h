#pragma once

// The registry's test doubles: a registry held in memory, with the same rules
// as the settings file (case-insensitive names, every missing level created,
// exact bytes kept) without touching the disk; the count of a registry's open
// handles; and, on Windows, the removal of a test's own keys.

#include "registry/regfilebackedregistry.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <string>

namespace quillon::registry {

// A registry over the regfile model that tells how many handles are open: a
// test's proof that every handle it was given has been closed.
template <class Registry> class HandleCounting : public Registry
{
public:
    using Registry::Registry;
    std::size_t openHandles() const { return this->m_handles.size(); }
};

class MemoryRegistry : public HandleCounting<RegFileBackedRegistry>
{
public:
    const RegFile& regFile() const { return m_regFile; }

protected:
    Result load(RegFile& regFile) override
    {
        regFile = m_regFile;
        return Success;
    }
    Result update(const Change& change) override
    {
        // Change a copy, so that a change that fails half-way leaves nothing
        // behind, as a failed file write does.
        RegFile copy = m_regFile;
        bool changed = false;
        const Result result = change(copy, changed);
        if (result == Success && changed)
            m_regFile = std::move(copy);
        return result;
    }

private:
    RegFile m_regFile;
};

#ifdef _WIN32
// Deletes a key with everything below it; tests clean up their keys with it.
// A predefined root is a 32-bit value that Windows sign-extends.
inline void deleteTree(Key root, const std::string& path)
{
    const auto value = static_cast<LONG>(static_cast<std::uint32_t>(root));
    RegDeleteTreeA(reinterpret_cast<HKEY>(static_cast<LONG_PTR>(value)), path.c_str());
}
#endif

} // namespace quillon::registry
