#pragma once

// The registry kept in a hive file, for every platform but Windows: the
// registry's entry points over the file store and the REGEDIT4 text form.

#include "platform/hivebackedregistry.h"
#include "platform/hivefile.h"

#include <filesystem>
#include <string>

namespace quillon::platform::registry {

// The hive file at `file`. Every call reads the file again, so several
// instances, in one process or in several, see each other's writes.
class HiveRegistry : public HiveBackedRegistry
{
public:
    explicit HiveRegistry(std::filesystem::path file);

protected:
    Result load(Hive& hive) override;
    Result update(const Change& change) override;

private:
    // Parses what the file holds into `hive`; false when the file holds no
    // hive we understand.
    bool parse(const HiveFile::Contents& contents, Hive& hive);
    void report(const std::string& message);

    HiveFile m_file;
    std::string m_lastReport;
};

} // namespace quillon::platform::registry
