#include "updatedefine.h"

#include "cworkingfolder.h"
#include "safefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Comm {

QString privateCacheDir(const char* name)
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
    // Whoever else may write to the cache folder could swap the folders below it.
    struct stat cacheStat;
    if (::fstat(cacheFd, &cacheStat) != 0 || cacheStat.st_uid != geteuid() || (cacheStat.st_mode & 022) != 0) {
        qDebug() << "working folder: the cache folder is not private to this user:" << cache;
        ::close(cacheFd);
        return QString();
    }
    const QString appDir = cache + QStringLiteral("/moravel-updater");
    const int appFd = openPrivateDirAt(cacheFd, "moravel-updater", appDir);
    ::close(cacheFd);
    if (appFd < 0)
        return QString();
    const QString workDir = appDir + QLatin1Char('/') + QLatin1String(name);
    const int workFd = openPrivateDirAt(appFd, name, workDir);
    ::close(appFd);
    if (workFd < 0)
        return QString();
    ::close(workFd);
    return workDir;
}

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

QString chooseWorkingDir()
{
    const QString shared = CWorkingFolder::sharedName();
    if (makePrivateDir(shared))
        return shared;
    const QString own = shared + QLatin1Char('-') + QString::number(geteuid());
    if (makePrivateDir(own))
        return own;
    const QString cached = privateCacheDir("work");
    if (!cached.isEmpty())
        qDebug() << "working folder: both folders below the temporary directory are refused; using" << cached;
    return cached;
}

QString workingDir()
{
    if (const CWorkingFolder* run = CWorkingFolder::current())
        return run->path();
    return chooseWorkingDir();
}

} // namespace Comm
