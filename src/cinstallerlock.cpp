#include "cinstallerlock.h"

#include "safefiles.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const CInstallerLock::kLockFileName = ".moravel-installer.lock";

namespace {

// A process whose child, between fork and exec, clears close-on-exec on one descriptor:
// only that child inherits it, whatever else is started at the same time.
class InheritingProcess : public QProcess
{
public:
    explicit InheritingProcess(int fd)
        : m_fd(fd)
    {
    }

protected:
    void setupChildProcess() override
    {
        // async-signal-safe: this runs in the forked child
        ::fcntl(m_fd, F_SETFD, 0);
    }

private:
    int m_fd;
};

// Installers the updater stopped waiting for. Never destroyed, nor is anything in it: destroying a QProcess kills its program. The
// list lives on the heap behind a plain pointer so that it stays reachable to the very
// end of the process (a list object would be destroyed, and its entries lost, at exit).
QList<QProcess*>* const g_leftRunning = new QList<QProcess*>;

QByteArray lockPath(const QString& folder)
{
    QByteArray path = QFile::encodeName(folder);
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path + '/' + CInstallerLock::kLockFileName;
}

} // namespace

CInstallerLock::~CInstallerLock()
{
    release();
}

bool CInstallerLock::isHeld(const QString& folder)
{
    // Installers run only from real folders: a file, a link or nothing at the folder's
    // name holds nothing (the caller removes what stands there).
    struct stat folderStat;
    if (::lstat(QFile::encodeName(folder).constData(), &folderStat) != 0)
        return errno != ENOENT && errno != ENOTDIR;
    if (!S_ISDIR(folderStat.st_mode))
        return false;
    const QByteArray path = lockPath(folder);
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT;
    struct stat st;
    bool held = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool CInstallerLock::acquire(const QString& folder)
{
    release();
    const QByteArray path = lockPath(folder);
    if (!Comm::removeNonDirectory(QFile::decodeName(path))) {
        qDebug() << "the installer's lock file cannot be made:" << QFile::decodeName(path);
        return false;
    }
    m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        qDebug() << "the installer's lock cannot be taken:" << QFile::decodeName(path) << std::strerror(errno);
        release();
        return false;
    }
    return true;
}

void CInstallerLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool CInstallerLock::startDetached(const QString& program, const QStringList& arguments,
                                   const QString& workingDirectory)
{
    if (m_fd < 0)
        return false;
    // Qt 5 runs no code of ours in a detached child, so the descriptor is inheritable
    // for the length of this call only. Programs are started from the main thread
    // alone (the network threads never start one), so no other child can get it.
    if (::fcntl(m_fd, F_SETFD, 0) != 0)
        return false;
    const bool started = QProcess::startDetached(program, arguments, workingDirectory);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    return started;
}

int CInstallerLock::execute(const QString& program, const QStringList& arguments,
                            const std::function<bool()>& stopWaiting)
{
    if (m_fd < 0)
        return -2;
    auto* process = new InheritingProcess(m_fd);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    process->start(program, arguments);
    if (!process->waitForStarted(-1)) {
        delete process;
        return -2;
    }
    // Blocking like QProcess::execute (no events are delivered meanwhile), but looking
    // for a stop now and then.
    while (!process->waitForFinished(kStopPollMs)) {
        if (process->state() == QProcess::NotRunning)
            break;
        if (stopWaiting && stopWaiting()) {
            // It is left to finish with the lock it holds.
            qDebug() << "the installer is left running:" << program;
            g_leftRunning->append(process);
            return -3;
        }
    }
    const int status = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    delete process;
    return status;
}
