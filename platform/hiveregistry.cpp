// The registry over the hive file: every read parses the file again, every
// change rewrites it whole through the file store.

#include "platform/hiveregistry.h"

#include "platform/hivetext.h"

#include <iostream>
#include <utility>

namespace fs = std::filesystem;

namespace quillon::platform::registry {

HiveRegistry::HiveRegistry(fs::path file) : m_file(std::move(file)) {}

void HiveRegistry::report(const std::string& message)
{
    // A broken file would otherwise be reported at every read.
    if (message == m_lastReport)
        return;
    m_lastReport = message;
    std::cerr << "quillon: " << message << std::endl;
}

bool HiveRegistry::parse(const HiveFile::Contents& contents, Hive& hive)
{
    HiveParseResult parsed = parseHive(contents.bytes);
    if (!parsed.ok) {
        std::string where = m_file.path().string();
        if (parsed.line != 0)
            where += ":" + std::to_string(parsed.line);
        report(where + ": " + parsed.error +
               "; the file is left as it is and holds no values for us until the next write "
               "moves it aside");
        return false;
    }
    hive = std::move(parsed.hive);
    return true;
}

Result HiveRegistry::load(Hive& hive)
{
    hive = Hive();
    const HiveFile::Contents contents = m_file.read(kMaxHiveBytes);
    if (contents.state == HiveFile::State::Unreadable)
        return AccessDenied;
    if (contents.state == HiveFile::State::Present)
        parse(contents, hive);
    return Success;
}

Result HiveRegistry::update(const Change& change)
{
    fs::path keptAside;
    const Result result = m_file.rewrite(
        kMaxHiveBytes,
        [&](const HiveFile::Contents& current, HiveFile::Replacement& replacement) {
            Hive hive;
            // Never overwrite what we do not understand: the file is kept aside.
            if (current.state == HiveFile::State::Present && !parse(current, hive))
                replacement.keepOriginalAside = true;
            bool changed = false;
            if (const Result result = change(hive, changed); result != Success || !changed)
                return result;
            replacement.text = formatHive(hive);
            if (replacement.text.size() > kMaxHiveBytes) // we could not read it back
                return CantWrite;
            replacement.write = true;
            return Success;
        },
        keptAside);
    if (!keptAside.empty()) {
        std::cerr << "quillon: moved the unreadable hive " << m_file.path().string() << " aside to "
                  << keptAside.string() << " and started a fresh one" << std::endl;
    }
    return result;
}

} // namespace quillon::platform::registry
