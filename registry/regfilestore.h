#pragma once

// The settings file on disk: read whole, and replaced whole under a lock so that a
// crash leaves the old or the new file. The one place that touches the disk.

#include "registry/registry.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

namespace quillon::registry {

class RegFileStore
{
public:
    explicit RegFileStore(std::filesystem::path path);

    const std::filesystem::path& path() const { return m_path; }

    enum class State
    {
        Present,
        Missing,
        Unreadable // there, but not a file we may read: a folder, no permission
    };
    struct Contents
    {
        State state = State::Missing;
        std::string bytes; // at most the limit read with, plus one byte
    };

    // What the file holds now. Reads at most `maxBytes` + 1 bytes, so that a
    // huge file costs no more than that to tell apart.
    Contents read(std::size_t maxBytes) const;

    // What a rewrite puts in place of the file.
    struct Replacement
    {
        bool write = false; // false leaves the file as it is
        std::string text;
        bool keepOriginalAside = false; // a copy of the file as it was, first
    };
    using Decide = std::function<Result(const Contents& current, Replacement& replacement)>;

    // Reads the file under the lock, lets `decide` say what replaces it, and
    // replaces it in one atomic step. No other writer comes between the read
    // and the replacement. A symbolic link stays a link: the file it names is
    // replaced. A file or folder the user may not write fails the rewrite
    // with AccessDenied before anything is read or written. `keptAside` names
    // the copy of the original, when one was kept.
    Result rewrite(std::size_t maxBytes, const Decide& decide, std::filesystem::path& keptAside);

private:
    static Contents read(const std::filesystem::path& path, std::size_t maxBytes);

    std::filesystem::path m_path;
};

// The settings file the system uses away from Windows: the file that QUILLON_REGISTRY
// names, else $XDG_CONFIG_HOME/quillon/registry.reg, with ~/.config standing
// in for an unset XDG_CONFIG_HOME.
std::filesystem::path defaultRegFilePath();

} // namespace quillon::registry
