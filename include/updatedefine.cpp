#include "updatedefine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
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

bool privateDirectory(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Makes the folder (mode 0700) when nothing stands there, then checks it.
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

// Makes the folder name (mode 0700) in the folder open at parentFd when nothing stands
// there, opens it without following a link at that name and checks it. The open folder
// (the caller closes it), or -1; path is for the log.
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

// The working folder in the user's cache folder, $XDG_CACHE_HOME/moravel-updater/work
// (a relative or empty XDG_CACHE_HOME is ignored: $HOME/.cache), made when missing and
// taken under the rules of the temporary folder's: neither "moravel-updater" nor
// "work" may be a link, both must be private directories of this user. Empty when it
// cannot be had.
QString cacheWorkingDir()
{
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache)) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty() || !QDir::isAbsolutePath(home)) {
            qDebug() << "working folder: no cache folder, HOME is not an absolute path:" << home;
            return QString();
        }
        cache = home + QStringLiteral("/.cache");
    }
    cache = QDir::cleanPath(cache);
    if (!QDir().mkpath(cache)) {
        qDebug() << "working folder: the cache folder cannot be created:" << cache;
        return QString();
    }
    const int cacheFd = ::open(QFile::encodeName(cache).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cacheFd < 0) {
        qDebug() << "working folder: the cache folder cannot be opened:" << cache << strerror(errno);
        return QString();
    }
    const QString appDir = cache + QStringLiteral("/moravel-updater");
    const int appFd = openPrivateDirAt(cacheFd, "moravel-updater", appDir);
    ::close(cacheFd);
    if (appFd < 0)
        return QString();
    const QString workDir = appDir + QStringLiteral("/work");
    const int workFd = openPrivateDirAt(appFd, "work", workDir);
    ::close(appFd);
    if (workFd < 0)
        return QString();
    ::close(workFd);
    return workDir;
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

QString ws2qs(const CZR_WideString& ws)
{
    static_assert(sizeof(wchar_t) == sizeof(uint), "wide strings hold 32-bit units");
    const wchar_t* units = ws.c_str();
    int length = 0;
    const int total = ws.GetLength();
    while (length < total && units[length] != 0)
        ++length;
    return QString::fromUcs4(reinterpret_cast<const uint*>(units), length);
}

QString workingDir()
{
    const QString shared = QDir::tempPath() + QStringLiteral("/MoravelCorvina");
    if (makePrivateDir(shared))
        return shared;
    const QString own = shared + QLatin1Char('-') + QString::number(geteuid());
    if (makePrivateDir(own))
        return own;
    const QString cached = cacheWorkingDir();
    if (!cached.isEmpty())
        qDebug() << "working folder: both folders below the temporary directory are refused; using" << cached;
    return cached;
}

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

} // namespace Comm
