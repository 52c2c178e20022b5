// The registry over the settings file: every read reads the file again and
// parses it when its bytes changed, every change rewrites it whole through the
// file store.

#include "registry/regfileregistry.h"

#include "registry/regfiletext_p.h"

#include <utility>

namespace fs = std::filesystem;

namespace quillon::registry {

RegFileRegistry::RegFileRegistry(fs::path file, Report report)
    : m_file(std::move(file)), m_report(std::move(report))
{}

void RegFileRegistry::report(const std::string& message) const
{
    if (m_report)
        m_report(message);
}

bool RegFileRegistry::parse(const RegFileStore::Contents& contents, RegFile& regFile)
{
    // Every call reads the file again and mostly finds the bytes it found
    // last time (a start-up reads it some twenty times): those need no
    // second parse, and have been reported already.
    if (m_lastBytes == contents.bytes) {
        regFile = m_lastRegFile;
        return m_lastComplete;
    }
    RegFileParseResult parsed = parseRegFile(contents.bytes);
    ++m_parses;
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
    regFile = std::move(parsed.regFile);
    m_lastBytes = contents.bytes;
    m_lastRegFile = regFile;
    m_lastComplete = parsed.ok && parsed.skipped.empty();
    return m_lastComplete;
}

Result RegFileRegistry::load(RegFile& regFile)
{
    regFile = RegFile();
    const RegFileStore::Contents contents = m_file.read(kMaxRegFileBytes);
    if (contents.state == RegFileStore::State::Unreadable)
        return AccessDenied;
    if (contents.state == RegFileStore::State::Present)
        parse(contents, regFile);
    return Success;
}

Result RegFileRegistry::update(const Change& change)
{
    fs::path keptAside;
    const Result result = m_file.rewrite(
        kMaxRegFileBytes,
        [&](const RegFileStore::Contents& current, RegFileStore::Replacement& replacement) {
            RegFile regFile;
            // Nothing the operator wrote is lost: a file the reader left
            // anything of is kept aside whole before it is rewritten.
            if (current.state == RegFileStore::State::Present && !parse(current, regFile))
                replacement.keepOriginalAside = true;
            bool changed = false;
            if (const Result result = change(regFile, changed); result != Success || !changed)
                return result;
            replacement.text = formatRegFile(regFile);
            if (replacement.text.size() > kMaxRegFileBytes) // we could not read it back
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
