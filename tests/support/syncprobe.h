// The sync call of the file helpers (Comm::setSyncCall) replaced for as long as a
// SyncProbe lives: each sync is recorded by the path of what it syncs, and those of
// one kind (files or folders) fail with EIO when the test asks for it. Every other
// sync is a real fsync.
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
    SyncProbe(const SyncProbe&) = delete;
    SyncProbe& operator=(const SyncProbe&) = delete;

    // What was synced, in order: the path the file had then, a folder with a "/" after it.
    QStringList synced() const { return s_synced; }

    // How synced() names path: resolved, and with a "/" when it is a folder.
    static QString named(const QString& path)
    {
        const QFileInfo info(path);
        return info.canonicalFilePath() + (info.isDir() ? QStringLiteral("/") : QString());
    }

private:
    static int sync(int fd)
    {
        struct stat st;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), target,
                                          sizeof target);
        if (::fstat(fd, &st) != 0 || length <= 0)
            return -1;
        const bool folder = S_ISDIR(st.st_mode);
        s_synced << QFile::decodeName(QByteArray(target, int(length))) + (folder ? QStringLiteral("/") : QString());
        if ((folder && s_failing == Folders) || (!folder && s_failing == Files)) {
            errno = EIO;
            return -1;
        }
        return ::fsync(fd);
    }

    static inline Failing s_failing = Nothing;
    static inline QStringList s_synced;
};

#endif // SYNCPROBE_H
