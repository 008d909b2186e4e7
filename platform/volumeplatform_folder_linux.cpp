// The output folder's side of volume_platform on Linux: every file is made,
// read and removed relative to the folder's descriptor (openat and its
// kin), never by a path, and never through a link.

#include "volumeplatform.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace volume_platform {

namespace {

Failure failure_of(int error)
{
    switch (error) {
    case EEXIST:
    case ELOOP: // a link where only a file may be
        return Failure::AlreadyExists;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return Failure::NoSpace;
    case ENAMETOOLONG:
    case EINVAL: // vfat refuses characters Linux allows
    case EILSEQ:
        return Failure::BadName;
    case ENOENT:
    case ENOTDIR:
        return Failure::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return Failure::PermissionDenied;
    case EIO:
        return Failure::Io;
    default:
        return Failure::Other;
    }
}

Handle fail(Failure *out, int error)
{
    if (out)
        *out = failure_of(error);
    return invalid_handle;
}

// One entry of the folder: not empty, not "." or "..", no separator.
bool is_one_entry(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

FolderEntry entry_of(int folder, const QByteArray &name)
{
    FolderEntry entry;
    entry.name = QFile::decodeName(name);
    struct stat st;
    if (!is_one_entry(name) || ::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return entry;
    entry.exists = true;
    entry.regular_file = S_ISREG(st.st_mode);
    if (entry.regular_file)
        entry.size = qint64(st.st_size);
    return entry;
}

// Direct I/O takes whole blocks from a buffer and at a file offset aligned
// to the file system's block; a page is a multiple of every block size.
constexpr qint64 direct_alignment = 4096;
constexpr qint64 staging_size = 1024 * 1024;

bool writes_past_cache(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_DIRECT) != 0;
}

void write_through_cache(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_DIRECT);
}

// Where data that is not page-aligned is copied for a direct write; one per
// writing thread, made on its first use.
char *staging_buffer()
{
    struct Free {
        void operator()(char *p) const { std::free(p); }
    };
    thread_local std::unique_ptr<char, Free> buffer(
        static_cast<char *>(std::aligned_alloc(size_t(direct_alignment), size_t(staging_size))));
    return buffer.get();
}

// Writes the whole blocks at data's start past the cache and returns their
// count of bytes, or -1 on failure. The file goes through the cache from the
// first byte this leaves, so its offset never has to be aligned again.
qint64 write_whole_blocks(int fd, const char *data, qint64 count, Failure *failure)
{
    const qint64 blocks = count / direct_alignment * direct_alignment;
    char *staging = staging_buffer();
    qint64 done = 0;
    while (done < blocks && staging) {
        const qint64 part = qMin(staging_size, blocks - done);
        const char *from = data + done;
        if (quintptr(from) % direct_alignment != 0)
            from = static_cast<const char *>(std::memcpy(staging, from, size_t(part)));
        const ssize_t n = ::write(fd, from, size_t(part));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EINVAL) { // EINVAL: refused after all; the cache takes it
            fail(failure, errno);
            return -1;
        }
        if (n <= 0 || n % direct_alignment != 0) { // nothing or part of a block: on through the cache
            done += qMax<ssize_t>(n, 0);
            break;
        }
        done += n;
    }
    if (done < count)
        write_through_cache(fd);
    return done;
}

} // namespace

Handle open_folder(const QString &path, Failure *failure)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? fail(failure, errno) : Handle(fd);
}

FolderEntry entry_in(Handle folder, const QString &name)
{
    return entry_of(int(folder), QFile::encodeName(name));
}

QList<FolderEntry> entries_in(Handle folder)
{
    QList<FolderEntry> entries;
    const int own = ::openat(int(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = own < 0 ? nullptr : ::fdopendir(own);
    if (!dir) {
        if (own >= 0)
            ::close(own);
        return entries;
    }
    while (const dirent *d = ::readdir(dir)) {
        const QByteArray name(d->d_name);
        if (is_one_entry(name))
            entries.append(entry_of(int(folder), name));
    }
    ::closedir(dir);
    return entries;
}

Handle create_file_in(Handle folder, const QString &name, Failure *failure)
{
    const QByteArray native = QFile::encodeName(name);
    if (!is_one_entry(native)) {
        if (failure)
            *failure = Failure::BadName;
        return invalid_handle;
    }
    // O_EXCL never opens what is there, a link included
    const int fd = ::openat(int(folder), native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0666);
    return fd < 0 ? fail(failure, errno) : Handle(fd);
}

Handle open_file_in(Handle folder, const QString &name, Failure *failure)
{
    const QByteArray native = QFile::encodeName(name);
    if (!is_one_entry(native)) {
        if (failure)
            *failure = Failure::BadName;
        return invalid_handle;
    }
    const int fd = ::openat(int(folder), native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(failure, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) { // a fifo or device under a photo's name is not read
        ::close(fd);
        return fail(failure, EINVAL);
    }
    return Handle(fd);
}

bool remove_file_in(Handle folder, const QString &name)
{
    const QByteArray native = QFile::encodeName(name);
    return is_one_entry(native) && ::unlinkat(int(folder), native.constData(), 0) == 0;
}

int longest_name_in(Handle folder)
{
    const long longest = ::fpathconf(int(folder), _PC_NAME_MAX);
    return longest > 0 ? int(qMin<long>(longest, 4096)) : 255;
}

bool write_past_cache(Handle file)
{
    const int flags = ::fcntl(int(file), F_GETFL);
    // refused (EINVAL) by a file system without direct I/O
    return flags >= 0 && ::fcntl(int(file), F_SETFL, flags | O_DIRECT) == 0;
}

bool write_all(Handle file, const char *data, qint64 count, Failure *failure)
{
    if (writes_past_cache(int(file))) {
        const qint64 done = write_whole_blocks(int(file), data, count, failure);
        if (done < 0)
            return false;
        data += done;
        count -= done;
    }
    while (count > 0) {
        const ssize_t n = ::write(int(file), data, size_t(count));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(failure, n < 0 ? errno : ENOSPC); // a write that takes nothing: no room
            return false;
        }
        data += n;
        count -= n;
    }
    return true;
}

bool truncate(Handle file, qint64 size)
{
    return ::ftruncate(int(file), off_t(size)) == 0;
}

qint64 file_size(Handle file)
{
    struct stat st;
    return ::fstat(int(file), &st) == 0 ? qint64(st.st_size) : -1;
}

bool set_modified_time(Handle file, qint64 msecs_since_epoch)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT; // access time as it is
    times[1].tv_sec = time_t(msecs_since_epoch / 1000);
    times[1].tv_nsec = long(msecs_since_epoch % 1000) * 1000000;
    if (times[1].tv_nsec < 0) {
        times[1].tv_sec -= 1;
        times[1].tv_nsec += 1000000000;
    }
    return ::futimens(int(file), times) == 0;
}

bool sync(Handle handle, Failure *failure)
{
    // EINVAL: a file system with nothing to sync (it writes through at once)
    if (::fsync(int(handle)) == 0 || errno == EINVAL)
        return true;
    fail(failure, errno);
    return false;
}

} // namespace volume_platform
