#include "registry/memoryregistry.h"

namespace quillon::registry {

Result MemoryRegistry::load(Hive& hive)
{
    hive = m_hive;
    return Success;
}

Result MemoryRegistry::update(const Change& change)
{
    // Change a copy, so that a change that fails half-way leaves nothing behind,
    // as a failed file write does.
    Hive copy = m_hive;
    bool changed = false;
    const Result result = change(copy, changed);
    if (result == Success && changed)
        m_hive = std::move(copy);
    return result;
}

} // namespace quillon::registry
