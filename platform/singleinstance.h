#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace quillon::platform {

// One running panel per user: a second copy must end before it shows, reads,
// writes or sends anything. A lock file rather than shared memory, because a
// lock whose owner was killed (kill -9, a crash, a power cut) is taken over by
// the next start instead of blocking it until a reboot.
class SingleInstance
{
public:
    // `name` names the lock; the file lives in the user's runtime folder
    // (XDG_RUNTIME_DIR), or the temporary folder where there is none.
    explicit SingleInstance(const QString& name);
    ~SingleInstance();

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process holds the lock, false when another live copy does.
    bool isFirst() const { return m_first; }

private:
    std::unique_ptr<QLockFile> m_lock;
    bool m_first = false;
};

} // namespace quillon::platform
