// While a SyncProbe lives it is the file helpers' sync call (Comm::setSyncCall): each
// sync is recorded by the path of what it syncs (a folder with "/" after it), those of
// one kind fail with EIO when the test asks, and the others are real fsyncs.
#ifndef SYNCPROBE_H
#define SYNCPROBE_H

#include "safefiles.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

class SyncProbe
{
public:
    enum Failing { Nothing, Files, Folders };

    explicit SyncProbe(Failing failing = Nothing)
    {
        s_failing = failing;
        s_synced.clear();
        Comm::setSyncCall(&SyncProbe::sync);
    }
    ~SyncProbe() { Comm::setSyncCall(nullptr); }

    QStringList synced() const { return s_synced; }

    // How synced() names the existing path.
    static QString named(const QString& path)
    {
        const QFileInfo info(path);
        return info.canonicalFilePath() + (info.isDir() ? QStringLiteral("/") : QString());
    }

private:
    static int sync(int fd)
    {
        struct stat st;
        char name[PATH_MAX];
        const ssize_t length = ::readlink(("/proc/self/fd/" + QByteArray::number(fd)).constData(), name, sizeof name);
        if (::fstat(fd, &st) != 0 || length <= 0)
            return -1;
        const bool folder = S_ISDIR(st.st_mode);
        s_synced << QFile::decodeName(QByteArray(name, int(length))) + (folder ? QStringLiteral("/") : QString());
        if (s_failing == (folder ? Folders : Files)) {
            errno = EIO;
            return -1;
        }
        return ::fsync(fd);
    }

    static inline Failing s_failing = Nothing;
    static inline QStringList s_synced;
};

#endif // SYNCPROBE_H
