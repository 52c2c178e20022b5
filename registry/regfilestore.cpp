// The settings file store: the lock, the temporary file, fsync and the atomic
// rename; every file-system call of the registry backends is here.

#include "registry/regfilestore.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string_view>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace quillon::registry {

namespace {

// The registry's results for the errors of a file write: a folder or file we
// may not write gives AccessDenied, anything else (a full disk, a parent that
// is a file) CantWrite.
Result resultFor(std::error_code error)
{
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
        error == std::errc::read_only_file_system)
        return AccessDenied;
    return CantWrite;
}

std::string utcStamp()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

fs::path folderOf(const fs::path& file)
{
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

fs::path withSuffix(const fs::path& file, std::string_view suffix)
{
    fs::path result = file;
    result += std::string(suffix);
    return result;
}

#ifndef _WIN32
Result resultForErrno(int error)
{
    return resultFor(std::error_code(error, std::generic_category()));
}

// Makes a rename in `folder` survive a power cut; without it the folder's
// entry may still name the old file after a restart. Some file systems cannot
// sync a folder; the rename itself has happened, so that is not a failure.
void syncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// An exclusive advisory lock on the file beside the settings file, held from before
// the read to after the rename, so that two writers never both start from the
// same old contents and lose each other's values. The lock sits on a file of
// its own because the settings file itself is replaced by every write.
class WriteLock
{
public:
    Result acquire(const fs::path& file)
    {
        m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return resultForErrno(errno);
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR)
                return resultForErrno(errno);
        }
        return Success;
    }
    ~WriteLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }

private:
    int m_fd = -1;
};

bool writeAll(int fd, std::string_view contents)
{
    std::size_t done = 0;
    while (done < contents.size()) {
        const ::ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A file or folder the user may not write is not written, whether or not a
// write would change anything: a settings file made read-only on purpose
// stays as it is, and the write fails as it would for a registry key that
// cannot be opened for writing. The permissions of the effective user decide,
// so root, whom they do not bind, may write.
Result checkWritable(const fs::path& folder, const fs::path& file)
{
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) != 0)
        return resultForErrno(errno);
    if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT)
        return resultForErrno(errno);
    return Success;
}

// Copies `file` byte for byte to a new file `aside`, with its permissions.
Result copyFile(const fs::path& file, const fs::path& aside)
{
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return resultForErrno(errno);
    struct stat st = {};
    {};
    ::fstat(in, &st);
    const int out =
        ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0666);
    if (out < 0) {
        const int failure = errno;
        ::close(in);
        return resultForErrno(failure);
    }
    bool copied = true;
    std::array<char, 64 * 1024> chunk;
    while (copied) {
        const ::ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            copied = n == 0;
            break;
        }
        copied = writeAll(out, std::string_view(chunk.data(), static_cast<std::size_t>(n)));
    }
    copied = copied && ::fsync(out) == 0;
    const int failure = errno;
    ::close(in);
    if (::close(out) != 0 || !copied) {
        ::unlink(aside.c_str());
        return resultForErrno(copied ? errno : failure);
    }
    return Success;
}

// Writes `contents` to `temporary`, with the permissions of `file` when it
// exists, and renames it over `file`.
Result replaceFile(const fs::path& file, const fs::path& temporary, const std::string& contents)
{
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return resultForErrno(errno);
    struct stat old = {};
    {};
    if (::stat(file.c_str(), &old) == 0) // keep the permissions the operator gave the file
        ::fchmod(fd, old.st_mode & 07777);
    const bool written = writeAll(fd, contents) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int failure = written ? errno : writeError;
        ::unlink(temporary.c_str());
        return resultForErrno(failure);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return resultForErrno(failure);
    }
    return Success;
}
#else
void syncFolder(const fs::path&) {}

// On Windows the system keeps its settings in the registry itself; the settings file
// file there serves tests only, one process at a time, and goes without a lock.
class WriteLock
{
public:
    Result acquire(const fs::path&) { return Success; }
};

// The read-only attribute is what Windows has for a file made read-only.
Result checkWritable(const fs::path&, const fs::path& file)
{
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (fs::exists(status) && (status.permissions() & fs::perms::owner_write) == fs::perms::none)
        return AccessDenied;
    return Success;
}

Result copyFile(const fs::path& file, const fs::path& aside)
{
    std::error_code error;
    fs::copy_file(file, aside, error);
    return error ? resultFor(error) : Success;
}

Result replaceFile(const fs::path& file, const fs::path& temporary, const std::string& contents)
{
    std::error_code error;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, error);
            return CantWrite;
        }
    }
    fs::rename(temporary, file, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return resultFor(error);
    }
    return Success;
}
#endif

// The file a write replaces: the settings file's own path or, when that is a symbolic
// link, the file the link finally names. A dotfile manager's link then stays
// a link, and the file it names gets the new contents.
Result finalTarget(const fs::path& path, fs::path& target)
{
    constexpr int kMaxLinks = 40; // as the kernel allows in one lookup
    target = path;
    for (int links = 0; links < kMaxLinks; ++links) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(target, error);
        if (status.type() == fs::file_type::not_found || !fs::is_symlink(status))
            return Success;
        const fs::path next = fs::read_symlink(target, error);
        if (error)
            return resultFor(error);
        target = next.is_absolute() ? next : folderOf(target) / next;
    }
    return CantWrite; // a loop of links
}

// Keeps a copy of `file` as it is under a name that says when, for the
// operator to look at: <file>.corrupt-<UTC time>, with -1, -2, ... when that
// name is taken.
Result keepAside(const fs::path& file, fs::path& aside)
{
    const fs::path base = withSuffix(file, ".corrupt-" + utcStamp());
    std::error_code error;
    aside = base;
    for (int n = 1; fs::exists(fs::symlink_status(aside, error)); ++n)
        aside = withSuffix(base, "-" + std::to_string(n));
    const Result result = copyFile(file, aside);
    if (result != Success)
        aside.clear();
    return result;
}

} // namespace

RegFileStore::RegFileStore(fs::path path) : m_path(std::move(path)) {}

RegFileStore::Contents RegFileStore::read(std::size_t maxBytes) const
{
    return read(m_path, maxBytes);
}

RegFileStore::Contents RegFileStore::read(const fs::path& path, std::size_t maxBytes)
{
    Contents contents;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        return contents;
    contents.state = State::Unreadable;
    if (error || status.type() == fs::file_type::directory)
        return contents;

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        // Replaced between the look and the open: gone now means missing.
        if (!fs::exists(path, error))
            contents.state = State::Missing;
        return contents;
    }
    std::array<char, 64 * 1024> chunk;
    while (contents.bytes.size() <= maxBytes && in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        contents.bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        contents.bytes.clear();
        return contents;
    }
    contents.state = State::Present;
    return contents;
}

Result RegFileStore::rewrite(std::size_t maxBytes, const Decide& decide, fs::path& keptAside)
{
    // Every write replaces the whole file, and never in place:
    //   1. find the file itself, following a symbolic link to what it names,
    //      and fail at once when the user may not write it or its folder;
    //   2. lock the lock file beside it, then read it again, so that the
    //      values another process wrote since our last look are kept;
    //   3. when asked, keep a copy of the original aside, byte for byte;
    //   4. write the new text to <file>.tmp in the same folder, flush it and
    //      fsync it, so that its bytes are on the disk before any name points
    //      at them;
    //   5. rename it over the file: one atomic step, after which readers see
    //      the new file and before which they see the old one;
    //   6. fsync the folder, so that the rename itself survives a power cut;
    //   7. unlock.
    // A kill or a power cut at any moment therefore leaves the old file or the
    // new one, never a mixture. What it may leave is a stray <file>.tmp, which
    // nothing reads and the next write truncates and reuses.
    keptAside.clear();
    fs::path file;
    if (const Result result = finalTarget(m_path, file); result != Success)
        return result;
    const fs::path folder = folderOf(file);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        return resultFor(error);
    if (const Result result = checkWritable(folder, file); result != Success)
        return result;

    WriteLock lock;
    if (const Result result = lock.acquire(withSuffix(file, ".lock")); result != Success)
        return result;

    const Contents current = read(file, maxBytes);
    if (current.state == State::Unreadable)
        return AccessDenied;
    Replacement replacement;
    if (const Result result = decide(current, replacement); result != Success)
        return result;
    if (!replacement.write)
        return Success;

    if (replacement.keepOriginalAside && current.state == State::Present) {
        if (const Result result = keepAside(file, keptAside); result != Success)
            return result;
    }
    if (const Result result = replaceFile(file, withSuffix(file, ".tmp"), replacement.text);
        result != Success)
        return result;
    syncFolder(folder);
    return Success;
}

fs::path defaultRegFilePath()
{
    if (const char* named = std::getenv("QUILLON_REGISTRY"); named != nullptr && *named != '\0')
        return fs::path(named);
    fs::path config;
    // A relative XDG_CONFIG_HOME is invalid and to be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME");
        xdg != nullptr && *xdg != '\0' && fs::path(xdg).is_absolute()) {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        config = fs::path(home) / ".config";
    } else {
        std::error_code error;
        config = fs::current_path(error) / ".config";
    }
    return config / "quillon" / "registry.reg";
}

} // namespace quillon::registry
