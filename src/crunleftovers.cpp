#include "crunleftovers.h"

#include "safefiles.h"
#include "zrfzip.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

void CRunLeftovers::removeStalePluginCopies(const QString& folder)
{
    // The names Comm::replaceFileCopy gives its copies of the "JS*" plug-ins.
    static const QRegularExpression copyName(QStringLiteral("^\\.JS[^/]*\\.part([1-9][0-9]{0,9})-([0-9]{1,2})$"));
    const QStringList names = QDir(folder).entryList(QStringList() << QStringLiteral(".JS*.part*"),
                                                     QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = copyName.match(name);
        if (!match.hasMatch())
            continue;
        const QString path = folder + QLatin1Char('/') + name;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
            continue;
        const qint64 pid = match.captured(1).toLongLong();
        if (mayBeRunningUpdater(pid))
            continue;
        if (::unlink(QFile::encodeName(path).constData()) == 0)
            qDebug() << "removed the plug-in copy of an earlier run:" << path;
    }
}

void CRunLeftovers::removeUnpackerFiles(const QString& unpackDir)
{
    if (unpackDir.isEmpty())
        return;
    const QString dir = unpackDir.endsWith(QLatin1Char('/')) ? unpackDir : unpackDir + QLatin1Char('/');
    for (const QString& name : CZR_Fzip::temporaryFileNames()) {
        if (QFileInfo(dir + name).exists() || QFileInfo(dir + name).isSymLink()) {
            Comm::removeNonDirectory(dir + name);
            qDebug() << "removed the unpacker's file of an earlier run:" << dir + name;
        }
    }
}

bool CRunLeftovers::mayBeRunningUpdater(qint64 pid)
{
    if (pid <= 0 || pid > qint64(INT_MAX))
        return false;
    const QByteArray proc = "/proc/" + QByteArray::number(pid);
    struct stat st;
    if (::lstat(proc.constData(), &st) != 0)
        return errno != ENOENT;
    if (st.st_uid != geteuid())
        return false;
    char target[PATH_MAX];
    const ssize_t n = ::readlink((proc + "/exe").constData(), target, sizeof(target) - 1);
    if (n <= 0)
        return true;
    QString program = QFile::decodeName(QByteArray(target, int(n)));
    // A program file replaced since it was started.
    if (program.endsWith(QLatin1String(" (deleted)")))
        program.chop(10);
    return QFileInfo(program).fileName() == QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}
