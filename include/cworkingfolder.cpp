#include "cworkingfolder.h"

#include "updatedefine.h"

#include <QDebug>
#include <QDir>
#include <QRegularExpression>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const CWorkingFolder::kLockFileName = ".moravel-run.lock";

namespace {

const CWorkingFolder* g_current = nullptr;

const QRegularExpression& installerFolderName()
{
    static const QRegularExpression name(QStringLiteral("^installer-[0-9]+$"));
    return name;
}

const char* const kReplyFileName = "update_tmpfile.xml";

} // namespace

CWorkingFolder::~CWorkingFolder()
{
    release();
    if (g_current == this)
        g_current = nullptr;
}

const CWorkingFolder* CWorkingFolder::current()
{
    return g_current;
}

void CWorkingFolder::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_strPath.clear();
}

CWorkingFolder::Status CWorkingFolder::take()
{
    release();
    // From here on the run's folder is this object's answer, also when it is none.
    g_current = this;
    const QString folder = Comm::chooseWorkingDir();
    if (folder.isEmpty())
        return Unavailable;

    // Opened where it stands, never through a link, and without waiting on a FIFO.
    const QByteArray path = QFile::encodeName(folder) + '/' + kLockFileName;
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        qDebug() << "the run lock cannot be opened:" << QFile::decodeName(path) << strerror(errno);
        return Unavailable;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        qDebug() << "the run lock is not a regular file:" << QFile::decodeName(path);
        ::close(fd);
        return Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return HeldByAnotherRun;
        qDebug() << "the run lock cannot be taken:" << QFile::decodeName(path) << strerror(error);
        return Unavailable;
    }
    m_fd = fd;
    m_strPath = folder;
    return Taken;
}

QString CWorkingFolder::folder()
{
    return Comm::workingDir();
}

QString CWorkingFolder::downloadDirectory()
{
    const QString working = folder();
    return working.isEmpty() ? QString() : working + QLatin1Char('/');
}

QString CWorkingFolder::unpackDirectory()
{
    const QString working = folder();
    return working.isEmpty() ? QString() : working + QStringLiteral("/uncompress/");
}

QString CWorkingFolder::replyFile()
{
    const QString working = folder();
    return working.isEmpty() ? sharedName(QLatin1String(kReplyFileName))
                             : working + QLatin1Char('/') + QLatin1String(kReplyFileName);
}

QString CWorkingFolder::sharedName(const QString& name)
{
    return QDir::tempPath() + QStringLiteral("/MoravelCorvina") + (name.isEmpty() ? QString() : QLatin1Char('/') + name);
}

QString CWorkingFolder::packageFileName(const QString& url)
{
    return url.mid(url.lastIndexOf(QLatin1Char('/')) + 1);
}

QString CWorkingFolder::packageFile(const QString& url)
{
    const QString directory = downloadDirectory();
    const QString fileName = packageFileName(url);
    if (directory.isEmpty() || fileName.isEmpty() || isReservedName(fileName))
        return QString();
    return directory + fileName;
}

bool CWorkingFolder::isReservedName(const QString& name)
{
    return name == QLatin1String(".") || name == QLatin1String("..") || name == QLatin1String("uncompress")
           || name == QLatin1String(kReplyFileName) || name == QLatin1String(kLockFileName)
           || installerFolderName().match(name).hasMatch();
}

QString CWorkingFolder::moveToInstallerFolder(const QString& unpackDir, int* lastNumber)
{
    const QString working = folder();
    if (working.isEmpty())
        return QString();
    QByteArray from = QFile::encodeName(unpackDir);
    while (from.size() > 1 && from.endsWith('/'))
        from.chop(1);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString target = working + QStringLiteral("/installer-%1").arg(++*lastNumber);
        const QByteArray to = QFile::encodeName(target);
        struct stat st;
        if (::lstat(to.constData(), &st) == 0 || errno != ENOENT)
            continue;
        if (::rename(from.constData(), to.constData()) == 0)
            return target;
        qDebug() << "the unpacked package cannot be moved for its installer:" << target << strerror(errno);
        return QString();
    }
    return QString();
}

QStringList CWorkingFolder::installerFolders()
{
    const QString working = folder();
    if (working.isEmpty())
        return QStringList();
    const QStringList names = QDir(working).entryList(QStringList() << QStringLiteral("installer-*"),
                                                      QDir::AllEntries | QDir::Hidden | QDir::System);
    QStringList folders;
    for (const QString& name : names) {
        if (installerFolderName().match(name).hasMatch())
            folders << working + QLatin1Char('/') + name;
    }
    return folders;
}
