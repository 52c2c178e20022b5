#include "app/singleinstance.h"

#ifdef Q_OS_WIN
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <system_error>
#else
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#endif

namespace quillon::app {

#ifdef Q_OS_WIN

struct SingleInstance::Lock
{
    HANDLE mutex = nullptr;
    ~Lock()
    {
        if (mutex != nullptr)
            CloseHandle(mutex);
    }
};

SingleInstance::SingleInstance(const QString& name) : m_lock(std::make_unique<Lock>())
{
    const std::wstring mutexName = (QStringLiteral("Global\\Oxwell.") + name).toStdWString();
    m_lock->mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
    const DWORD error = GetLastError();
    // A panel of another user holds a mutex that this one may not open:
    // denied access means that it exists.
    if (m_lock->mutex == nullptr && error != ERROR_ACCESS_DENIED)
        throw std::system_error(static_cast<int>(error), std::system_category(),
                                "the single-instance mutex");
    m_first = m_lock->mutex != nullptr && error != ERROR_ALREADY_EXISTS;
}

#else

struct SingleInstance::Lock
{
    explicit Lock(const QString& path) : file(path) {}
    QLockFile file;
};

SingleInstance::SingleInstance(const QString& name)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    QDir().mkpath(folder);
    m_lock = std::make_unique<Lock>(QDir(folder).filePath(name + QStringLiteral(".lock")));
    // A lock is stale only when its owner is gone, never because it is old:
    // a panel runs for weeks.
    m_lock->file.setStaleLockTime(0);
    m_first = m_lock->file.tryLock(0);
}

#endif

SingleInstance::~SingleInstance() = default;

} // namespace quillon::app
