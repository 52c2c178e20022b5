#pragma once

// The registry kept in a settings file, for every platform but Windows: the
// registry's entry points over the file store and the REGEDIT4 text form.

#include "registry/regfilebackedregistry.h"
#include "registry/regfilestore.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon::registry {

// The settings file at `file`. Every call reads the file again, so several
// instances, in one process or in several, see each other's writes.
//
// What it does with lines it cannot read, and the copy it keeps aside before
// a write would drop them, is the rule of registry/README.md. `report` hears
// where each skipped line is and where a copy was kept; nothing else is said
// anywhere.
class RegFileRegistry : public RegFileBackedRegistry
{
public:
    explicit RegFileRegistry(std::filesystem::path file, Report report = {});

    // How many times the file's bytes were parsed: a read that finds the
    // bytes of the last parse takes its result instead.
    std::size_t parses() const { return m_parses; }

protected:
    Result load(RegFile& regFile) override;
    Result update(const Change& change) override;

private:
    // Parses what the file holds into `regFile` and reports what it skipped;
    // false when it left out anything of the file.
    bool parse(const RegFileStore::Contents& contents, RegFile& regFile);
    void report(const std::string& message) const;

    RegFileStore m_file;
    Report m_report;
    // The content parsed last, what it gave and what was said of it.
    std::optional<std::string> m_lastBytes;
    RegFile m_lastRegFile;
    bool m_lastComplete = true;
    std::vector<std::string> m_lastProblems;
    std::size_t m_parses = 0;
};

} // namespace quillon::registry
