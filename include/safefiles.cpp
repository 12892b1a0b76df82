#include "safefiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Every file operation of the updater works in 64-bit offsets, on 32-bit x86 as well
// (the build defines _FILE_OFFSET_BITS=64 for every unit): a package or a cached file
// of 2 GiB or more is neither refused nor misread.
static_assert(sizeof(off_t) == 8, "the build must use 64-bit file offsets (_FILE_OFFSET_BITS=64)");

namespace Comm {

namespace {

// The path as the file system takes it, without trailing separators (so that a link
// at the end of it is looked at, not through); "/" stays "/".
QByteArray withoutTrailingSlashes(const QString& path)
{
    QByteArray native = QFile::encodeName(QDir::fromNativeSeparators(path));
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    return native;
}

// A real directory (as lstat or fstat sees it) of this process's user that nobody
// else may write to.
bool privateDirectory(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Empties the directory open at dirFd (which this call closes); path is for the log.
bool deleteContents(int dirFd, const QString& path)
{
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return false;
    }
    bool failed = false;
    QString prefix = QDir::toNativeSeparators(path);
    if (!prefix.endsWith(QDir::separator()))
        prefix += QDir::separator();

    // Names first, then the removals: the directory is not changed while it is read.
    QList<QByteArray> names;
    while (struct dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    const int fd = ::dirfd(dir);
    for (const QByteArray& name : qAsConst(names)) {
        const QString fullPath = prefix + QFile::decodeName(name);
        struct stat st;
        if (::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            qDebug() << "remove file" << fullPath << " faild!";
            failed = true;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int child = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !deleteContents(child, fullPath)) {
                failed = true;
            }
            if (::unlinkat(fd, name.constData(), AT_REMOVEDIR) != 0) {
                qDebug() << "remove dir" << fullPath << " faild!";
                failed = true;
            }
        } else if (::unlinkat(fd, name.constData(), 0) != 0 && errno != ENOENT) {
            qDebug() << "remove file" << fullPath << " faild!";
            failed = true;
        }
    }
    ::closedir(dir);
    return !failed;
}

} // namespace

bool removeNonDirectory(const QString& path)
{
    const QByteArray native = withoutTrailingSlashes(path);
    if (native.isEmpty())
        return false;
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode))
        return true;
    return ::unlink(native.constData()) == 0 || errno == ENOENT;
}

bool createNewFile(QFile& file, const QString& path, QIODevice::OpenMode mode)
{
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty() || native.endsWith('/'))
        return false;
    struct stat st;
    if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return false;
    if (!removeNonDirectory(path))
        return false;
    const int access = (mode & QIODevice::ReadOnly) ? O_RDWR : O_WRONLY;
    const int fd = ::open(native.constData(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ::unlink(native.constData());
        return false;
    }
    return true;
}

bool deleteDir(const QString& path)
{
    const QByteArray native = withoutTrailingSlashes(path);
    if (native.isEmpty())
        return true;
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return true;
    if (S_ISLNK(st.st_mode)) {
        // A link standing where the directory should be goes itself; whatever it
        // points to is left alone.
        if (::unlink(native.constData()) != 0) {
            qDebug() << "remove file" << path << " faild!";
            return false;
        }
        return true;
    }
    if (!S_ISDIR(st.st_mode))
        return true;

    const QString dirPath = QFile::decodeName(native);
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool failed = fd < 0 || !deleteContents(fd, dirPath);

    const QString nativePath = QDir::toNativeSeparators(dirPath);
    if (::rmdir(native.constData()) != 0) {
        qDebug() << "remove dir" << nativePath << " faild!";
        return false;
    }
    return !failed;
}

bool copyData(QIODevice& from, QIODevice& to, QByteArray& buffer, qint64 count)
{
    const bool toEnd = count < 0;
    while (toEnd || count > 0) {
        const qint64 want = toEnd ? qint64(buffer.size()) : qMin(count, qint64(buffer.size()));
        const qint64 n = from.read(buffer.data(), want);
        if (n < 0)
            return false;
        if (n == 0)
            return toEnd;
        if (to.write(buffer.constData(), n) != n)
            return false;
        if (!toEnd)
            count -= n;
    }
    return true;
}

bool replaceFileCopy(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const int in = ::open(source.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return false;
    QFile input;
    if (!input.open(in, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(in);
        return false;
    }
    const QFileInfo target(to);
    QString temporary;
    QFile output;
    for (int attempt = 0; attempt < 100 && !output.isOpen(); ++attempt) {
        temporary = target.absolutePath() + QStringLiteral("/.") + target.fileName()
                    + QStringLiteral(".part%1-%2").arg(QCoreApplication::applicationPid()).arg(attempt);
        if (QFileInfo(temporary).exists() || QFileInfo(temporary).isSymLink())
            continue;
        createNewFile(output, temporary, QIODevice::WriteOnly);
    }
    if (!output.isOpen())
        return false;

    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    bool ok = copyData(input, output, buffer);
    ok = ok && output.flush() && syncFile(output.handle(), temporary);
    output.close();
    if (!ok) {
        QFile::remove(temporary);
        return false;
    }
    // After a failed rename the temporary file is still there; after a failed folder
    // sync it is not, and nothing is removed.
    if (renameAndSync(temporary, to))
        return true;
    if (QFileInfo(temporary).exists())
        QFile::remove(temporary);
    return false;
}

namespace {

SyncCall installedSyncCall = nullptr;

// The folder of path without trailing separators; empty when there is none ("/", "").
QString parentFolder(const QString& path)
{
    const QByteArray native = withoutTrailingSlashes(path);
    if (native.isEmpty() || native == "/")
        return QString();
    return QFileInfo(QFile::decodeName(native)).absolutePath();
}

} // namespace

void setSyncCall(SyncCall call)
{
    installedSyncCall = call;
}

bool syncFile(int fd, const QString& path)
{
    errno = EBADF;
    if (fd >= 0 && (installedSyncCall ? installedSyncCall(fd) : ::fsync(fd)) == 0)
        return true;
    const int error = errno;
    qDebug() << "cannot sync to disk:" << path << strerror(error);
    return false;
}

bool syncFolder(const QString& path)
{
    const QByteArray native = withoutTrailingSlashes(path);
    if (native.isEmpty()) {
        qDebug() << "cannot sync a folder without a name";
        return false;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        qDebug() << "cannot open the folder to sync it:" << path << strerror(error);
        return false;
    }
    const bool synced = syncFile(fd, path);
    ::close(fd);
    return synced;
}

bool syncParentFolder(const QString& path)
{
    const QString folder = parentFolder(path);
    if (folder.isEmpty()) {
        qDebug() << "no folder to sync for" << path;
        return false;
    }
    return syncFolder(folder);
}

bool makeSyncedPath(const QString& path)
{
    if (path.isEmpty())
        return false;
    // The levels not there yet, the topmost first.
    QStringList missing;
    for (QString level = QDir::cleanPath(QDir(path).absolutePath());
         !QFileInfo(level).exists() && !QFileInfo(level).isSymLink(); level = QFileInfo(level).path()) {
        if (level == QFileInfo(level).path())
            break;
        missing.prepend(level);
    }
    if (!QDir().mkpath(path)) {
        qDebug() << "cannot make the folder" << path;
        return false;
    }
    for (const QString& level : qAsConst(missing))
        if (!syncParentFolder(level))
            return false;
    return true;
}

bool renameAndSync(const QString& from, const QString& to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        const int error = errno;
        qDebug() << "cannot rename" << from << "to" << to << strerror(error);
        return false;
    }
    const QString target = parentFolder(to);
    const QString source = parentFolder(from);
    if (!syncParentFolder(to))
        return false;
    return source == target || syncParentFolder(from);
}

bool openToContinue(QFile& file, const QString& path, qint64 keep, QIODevice::OpenMode mode)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        qDebug() << "Cannot open the partial file:" << std::strerror(errno);
        return false;
    }
    struct stat st;
    const bool usable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1
        && static_cast<qint64>(st.st_size) >= keep;
    if (!usable) {
        qDebug() << "The partial file is not a regular file of its own holding the bytes counted.";
        ::close(fd);
        return false;
    }
    // The file holds exactly the bytes kept before the rest is written after them.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1
        || ::ftruncate(fd, static_cast<off_t>(keep)) != 0 || !file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    if (!file.seek(keep)) {
        file.close();
        return false;
    }
    return true;
}

bool readSmallFile(const QString& path, qint64 maxBytes, QByteArray* data)
{
    data->clear();
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1
        || static_cast<qint64>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    // One byte more than the limit shows a file that has grown since it was examined.
    const QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes || file.error() != QFileDevice::NoError)
        return false;
    *data = bytes;
    return true;
}

qint64 regularFileSize(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return -1;
    return static_cast<qint64>(st.st_size);
}

std::optional<FileIdentity> fileIdentity(const QFile& file)
{
    const int fd = file.handle();
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return std::nullopt;
    FileIdentity identity;
    identity.device = static_cast<quint64>(st.st_dev);
    identity.inode = static_cast<quint64>(st.st_ino);
    return identity;
}

bool isSameRegularFile(const QString& path, const FileIdentity& identity, qint64 size)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (native.isEmpty() || ::lstat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (static_cast<quint64>(st.st_dev) != identity.device || static_cast<quint64>(st.st_ino) != identity.inode)
        return false;
    return static_cast<qint64>(st.st_size) == size;
}

bool leadsThroughLink(const QString& base, const QString& relative, bool includeLast)
{
    const QStringList parts = relative.split(QLatin1Char('/'));
    const int checked = includeLast ? parts.size() : parts.size() - 1;
    QString path = base;
    for (int i = 0; i < checked; ++i) {
        if (parts.at(i).isEmpty())
            continue;
        path += parts.at(i);
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return false;
        if (S_ISLNK(st.st_mode))
            return true;
        path += QLatin1Char('/');
    }
    return false;
}

bool makePrivateDir(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        qDebug() << "working folder cannot be created:" << path << strerror(errno);
        return false;
    }
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        qDebug() << "working folder cannot be examined:" << path << strerror(errno);
        return false;
    }
    if (!privateDirectory(st)) {
        qDebug() << "working folder refused (not a private directory of this user):" << path;
        return false;
    }
    return true;
}

int openPrivateDirAt(int parentFd, const char* name, const QString& path)
{
    if (::mkdirat(parentFd, name, 0700) != 0 && errno != EEXIST) {
        qDebug() << "working folder cannot be created:" << path << strerror(errno);
        return -1;
    }
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        qDebug() << "working folder refused (a link or no directory, or not readable):" << path << strerror(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !privateDirectory(st)) {
        qDebug() << "working folder refused (not a private directory of this user):" << path;
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace Comm
