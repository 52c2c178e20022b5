// The registry over the hive file: every read parses the file again, every
// change rewrites it whole through the file store.

#include "registry/hivefileregistry.h"

#include "registry/hivetext_p.h"

#include <utility>

namespace fs = std::filesystem;

namespace quillon::registry {

HiveFileRegistry::HiveFileRegistry(fs::path file, Report report)
    : m_file(std::move(file)), m_report(std::move(report))
{}

void HiveFileRegistry::report(const std::string& message) const
{
    if (m_report)
        m_report(message);
}

bool HiveFileRegistry::parse(const HiveFile::Contents& contents, Hive& hive)
{
    // Every call reads the file again and mostly finds the bytes it found
    // last time (a start-up reads it some twenty times): those need no
    // second parse, and have been reported already.
    if (m_lastBytes == contents.bytes) {
        hive = m_lastHive;
        return m_lastComplete;
    }
    HiveParseResult parsed = parseHive(contents.bytes);
    const std::string file = m_file.path().string();
    std::vector<std::string> problems;
    if (!parsed.ok) {
        problems.push_back(file + (parsed.line != 0 ? ":" + std::to_string(parsed.line) : "") +
                           ": " + parsed.error +
                           "; the file holds no values, and the next write keeps it aside and "
                           "starts afresh");
    }
    for (const SkippedLine& skipped : parsed.skipped)
        problems.push_back(file + ":" + std::to_string(skipped.line) + ": " + skipped.what);

    // Every call reads the file again: the same content is reported once.
    if (problems != m_lastProblems) {
        for (const std::string& problem : problems)
            report(problem);
        m_lastProblems = std::move(problems);
    }
    hive = std::move(parsed.hive);
    m_lastBytes = contents.bytes;
    m_lastHive = hive;
    m_lastComplete = parsed.ok && parsed.skipped.empty();
    return m_lastComplete;
}

Result HiveFileRegistry::load(Hive& hive)
{
    hive = Hive();
    const HiveFile::Contents contents = m_file.read(kMaxHiveBytes);
    if (contents.state == HiveFile::State::Unreadable)
        return AccessDenied;
    if (contents.state == HiveFile::State::Present)
        parse(contents, hive);
    return Success;
}

Result HiveFileRegistry::update(const Change& change)
{
    fs::path keptAside;
    const Result result = m_file.rewrite(
        kMaxHiveBytes,
        [&](const HiveFile::Contents& current, HiveFile::Replacement& replacement) {
            Hive hive;
            // Nothing the operator wrote is lost: a file the reader left
            // anything of is kept aside whole before it is rewritten.
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
        report("kept " + m_file.path().string() + " as it was in " + keptAside.string() +
               " before rewriting it with only what could be read");
    }
    return result;
}

} // namespace quillon::registry
