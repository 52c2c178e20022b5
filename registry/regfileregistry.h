#pragma once

// The registry kept in a hive file, for every platform but Windows: the
// registry's entry points over the file store and the REGEDIT4 text form.

#include "registry/hivebackedregistry.h"
#include "registry/hivefile.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon::registry {

// The hive file at `file`. Every call reads the file again, so several
// instances, in one process or in several, see each other's writes.
//
// What it does with lines it cannot read, and the copy it keeps aside before
// a write would drop them, is the rule of registry/README.md. `report` hears
// where each skipped line is and where a copy was kept; nothing else is said
// anywhere.
class HiveFileRegistry : public HiveBackedRegistry
{
public:
    explicit HiveFileRegistry(std::filesystem::path file, Report report = {});

protected:
    Result load(Hive& hive) override;
    Result update(const Change& change) override;

private:
    // Parses what the file holds into `hive` and reports what it skipped;
    // false when it left out anything of the file.
    bool parse(const HiveFile::Contents& contents, Hive& hive);
    void report(const std::string& message) const;

    HiveFile m_file;
    Report m_report;
    // The content parsed last, what it gave and what was said of it.
    std::optional<std::string> m_lastBytes;
    Hive m_lastHive;
    bool m_lastComplete = true;
    std::vector<std::string> m_lastProblems;
};

} // namespace quillon::registry
