#pragma once

#include <QString>

#include <memory>

namespace quillon::app {

// One running panel, checked before it shows, reads, writes or sends anything.
// A lock that its owner's end always releases, whether it closed, was killed
// (kill -9, a crash, a power cut) or was ended with the desktop session, so
// that a stale lock never keeps the next start from showing its window.
//
// On Windows one panel per machine, since its settings live under
// HKEY_LOCAL_MACHINE: the named mutex Global\Oxwell.<name>, seen from every
// session (fast user switching, Remote Desktop), which the kernel releases
// when its process ends. The installer looks for the same mutex
// (packaging/windows/installer.nsh.in). Elsewhere one panel per user, whose
// settings are the user's own: a lock file in the user's runtime folder.
class SingleInstance
{
public:
    explicit SingleInstance(const QString& name);
    ~SingleInstance();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process holds the lock, false when another live copy does.
    bool isFirst() const { return m_first; }

private:
    struct Lock;
    std::unique_ptr<Lock> m_lock;
    bool m_first = false;
};

} // namespace quillon::app
