#pragma once

// A registry held in memory, for tests: the same rules as the hive file
// (case-insensitive names, every missing level created, exact bytes kept)
// without touching the disk.

#include "registry/hivebackedregistry.h"

namespace quillon::registry {

class MemoryRegistry : public HiveBackedRegistry
{
public:
    const Hive& hive() const { return m_hive; }

protected:
    Result load(Hive& hive) override;
    Result update(const Change& change) override;

private:
    Hive m_hive;
};

} // namespace quillon::registry
