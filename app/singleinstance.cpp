#include "app/singleinstance.h"

#include <QtDebug>

#ifdef Q_OS_WIN
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
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
    if (m_lock->mutex == nullptr && error == ERROR_ACCESS_DENIED)
        return;
    if (m_lock->mutex == nullptr) {
        // The name is taken by an object of another kind (ERROR_INVALID_HANDLE),
        // or the mutex cannot be made at all: nothing says that a panel runs.
        // Any program may create an object of that name, so counting this as
        // "another panel runs" would let it keep every panel from starting.
        // The panel starts without the lock, as it does on Linux when the lock
        // file cannot be made.
        qWarning("quillon: cannot create the mutex %ls (error %lu); not checking for another "
                 "copy",
                 mutexName.c_str(), static_cast<unsigned long>(error));
        m_first = true;
        return;
    }
    m_first = error != ERROR_ALREADY_EXISTS;
}

#else

struct SingleInstance::Lock
{
    int fd = -1;
    ~Lock()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

SingleInstance::SingleInstance(const QString& name) : m_lock(std::make_unique<Lock>())
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(name + QStringLiteral(".lock"));
    // The kernel's lock on the open file: it goes with the process however
    // the process ends, so it is never stale, and the file need hold nothing
    // nor reach the disk (a lock file with the owner's details written and
    // synced cost a disk flush at every start). The file stays: removing it
    // could let two copies lock two different files of the same name.
    m_lock->fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock->fd >= 0 && ::flock(m_lock->fd, LOCK_EX | LOCK_NB) == 0) {
        m_first = true;
        return;
    }
    const int error = errno; // before anything else may change it
    if (m_lock->fd >= 0 && error == EWOULDBLOCK)
        return; // another copy holds it
    // Nothing says another copy runs: a folder we may not write must not keep
    // the panel from starting.
    qWarning("quillon: cannot lock %s (%s); not checking for another copy", qPrintable(path),
             std::strerror(error));
    m_first = true;
}
#endif

SingleInstance::~SingleInstance() = default;

} // namespace quillon::app
