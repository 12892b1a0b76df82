#include "cworkingfolder.h"

#include "updatedefine.h"

#include <QDebug>
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
