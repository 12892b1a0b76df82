#include "cinstallerlock.h"

#include "safefiles.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QList>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* const CInstallerLock::kLockFileName = ".moravel-installer.lock";

namespace {

// What a supervisor tells the updater through its pipe: first Started (the installer's
// process id) or NotStarted (the errno of the failed start), later Ended (the
// installer's wait status). The updater may have stopped reading by then.
enum ReportKind { Started = 1, NotStarted, Ended };
struct Report
{
    int kind;
    int value;
};

// The program's command line, made ready before the fork: after it, only calls that
// are safe in the child of a threaded process are made (no allocation, no locks).
struct Command
{
    Command(const QString& program, const QStringList& arguments, const QString& workingDirectory)
        : path(QFile::encodeName(program))
        , directory(QFile::encodeName(workingDirectory))
    {
        words << path;
        for (const QString& argument : arguments)
            words << argument.toLocal8Bit();
        for (QByteArray& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
    }

    QByteArray path;
    QByteArray directory;
    QList<QByteArray> words;
    std::vector<char*> argv;
};

bool writeAll(int fd, const void* data, size_t size)
{
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, from, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        from += n;
        size -= size_t(n);
    }
    return true;
}

// The bytes read, fewer than size at the end of the pipe.
size_t readAll(int fd, void* data, size_t size)
{
    char* to = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, to + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

// Closes the descriptors first to last; one by one up to limit where the kernel has no
// close_range.
void closeDescriptors(unsigned first, unsigned last, int limit)
{
    if (first > last)
        return;
    if (::close_range(first, last, 0) == 0)
        return;
    for (unsigned fd = first; fd <= last && fd < unsigned(limit); ++fd)
        ::close(int(fd));
}

// After the fork: the stop signals, SIGPIPE and SIGCHLD at their defaults, nothing blocked.
void resetSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : { SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD })
        ::sigaction(signalNumber, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Closes every descriptor from 3 on but lock and report; input becomes /dev/null.
void keepOnly(int lock, int report, int limit)
{
    const unsigned low = unsigned(lock < report ? lock : report);
    const unsigned high = unsigned(lock < report ? report : lock);
    closeDescriptors(3, low - 1, limit);
    closeDescriptors(low + 1, high - 1, limit);
    closeDescriptors(high + 1, UINT_MAX, limit);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null > 0) {
        ::dup2(null, 0);
        ::close(null);
    }
}

// Starts the installer of command in its folder and returns its process id. When it
// cannot start, reports NotStarted with the error on report and ends the supervisor.
pid_t startInstaller(const Command& command, int report)
{
    Report answer { NotStarted, 0 };
    int failure[2];
    if ((!command.directory.isEmpty() && ::chdir(command.directory.constData()) != 0)
        || ::pipe2(failure, O_CLOEXEC) != 0) {
        answer.value = errno;
        writeAll(report, &answer, sizeof answer);
        ::_exit(0);
    }
    const pid_t installer = ::fork();
    if (installer == 0) {
        // The lock and the pipes are close-on-exec: the installer gets none of them.
        ::execve(command.path.constData(), command.argv.data(), environ);
        const int error = errno;
        writeAll(failure[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(failure[1]);
    int error = 0;
    if (installer < 0 || readAll(failure[0], &error, sizeof error) == sizeof error) {
        if (installer > 0) {
            while (::waitpid(installer, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        answer.value = installer < 0 ? forkError : error;
        writeAll(report, &answer, sizeof answer);
        ::_exit(0);
    }
    ::close(failure[0]);
    return installer;
}

// The supervisor: a fork of the updater in a session of its own. It keeps nothing of the
// updater but the lock, its report pipe and the standard output and error (input is
// /dev/null), starts the installer with the stop signals and SIGPIPE at their defaults
// and nothing blocked, reports, waits for the installer's end, reports again and ends,
// which lets go of the lock. Runs only calls that are safe after a fork.
[[noreturn]] void supervise(const Command& command, int lockFd, int reportFd, int limit)
{
    resetSignals();
    // The updater's listening socket, its files and pipes must not outlive it here.
    const int lock = ::fcntl(lockFd, F_DUPFD_CLOEXEC, 3);
    const int report = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 3);
    if (lock < 0 || report < 0)
        ::_exit(1);
    keepOnly(lock, report, limit);
    const pid_t installer = startInstaller(command, report);

    // The updater may stop listening at any time; its end must not end this process.
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
    Report answer { Started, int(installer) };
    writeAll(report, &answer, sizeof answer);
    int status = 0;
    while (::waitpid(installer, &status, 0) < 0) {
        if (errno != EINTR) {
            status = W_EXITCODE(0, SIGKILL);
            break;
        }
    }
    answer = Report { Ended, status };
    writeAll(report, &answer, sizeof answer);
    ::_exit(0);
}

// Starts command under a supervisor that holds lockFd (see supervise). The read end of
// the supervisor's report pipe once the installer has started, or -1 (logged).
int startSupervised(const Command& command, int lockFd)
{
    int reports[2];
    if (::pipe2(reports, O_CLOEXEC) != 0) {
        qDebug() << "the installer cannot be started:" << QFile::decodeName(command.path) << strerror(errno);
        return -1;
    }
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int limit = openMax > 0 && openMax < INT_MAX ? int(openMax) : 65536;
    const pid_t middle = ::fork();
    if (middle == 0) {
        // A new session, and the supervisor a child of its leader: it is nobody's child
        // in the updater, and as no session leader it can never get a terminal.
        if (::setsid() < 0)
            ::_exit(1);
        const pid_t supervisor = ::fork();
        if (supervisor == 0)
            supervise(command, lockFd, reports[1], limit);
        ::_exit(supervisor < 0 ? 1 : 0);
    }
    const int forkError = errno;
    ::close(reports[1]);
    if (middle < 0) {
        qDebug() << "the installer cannot be started:" << QFile::decodeName(command.path) << strerror(forkError);
        ::close(reports[0]);
        return -1;
    }
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    Report report { 0, 0 };
    if (readAll(reports[0], &report, sizeof report) != sizeof report || report.kind != Started) {
        qDebug() << "the installer cannot be started:" << QFile::decodeName(command.path)
                 << (report.kind == NotStarted ? strerror(report.value) : "its supervisor ended");
        ::close(reports[0]);
        return -1;
    }
    return reports[0];
}

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

void CInstallerLock::removeFoldersNotHeld(const QStringList& folders)
{
    for (const QString& folder : folders) {
        // One whose installer (or what it left running) still holds it stays, and
        // keeps its number.
        if (isHeld(folder)) {
            qDebug() << "an installer still runs from" << folder;
            continue;
        }
        Comm::deleteDir(folder);
    }
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
    // A lock file is taken as it stands: it may be held. Only what cannot be one goes.
    struct stat st;
    if (::lstat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)
        && !Comm::removeNonDirectory(QFile::decodeName(path))) {
        qDebug() << "the installer's lock file cannot be made:" << QFile::decodeName(path);
        return false;
    }
    m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat opened;
    if (m_fd < 0 || ::fstat(m_fd, &opened) != 0 || !S_ISREG(opened.st_mode)
        || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        qDebug() << "the installer's lock cannot be taken:" << QFile::decodeName(path)
                 << (m_fd >= 0 && !S_ISREG(opened.st_mode) ? "not a regular file" : std::strerror(errno));
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
    const int reports = startSupervised(Command(program, arguments, workingDirectory), m_fd);
    if (reports < 0)
        return false;
    // The supervisor holds the lock from here on, this process no more.
    ::close(reports);
    release();
    return true;
}

int CInstallerLock::execute(const QString& program, const QStringList& arguments,
                            const std::function<bool()>& stopWaiting)
{
    if (m_fd < 0)
        return -2;
    const int reports = startSupervised(Command(program, arguments, QString()), m_fd);
    if (reports < 0)
        return -2;
    // Blocking like QProcess::execute (no events are delivered meanwhile), but looking
    // for a stop now and then.
    for (;;) {
        struct pollfd watched = { reports, POLLIN, 0 };
        const int ready = ::poll(&watched, 1, kStopPollMs);
        if (ready > 0) {
            Report report { 0, 0 };
            const bool ended = readAll(reports, &report, sizeof report) == sizeof report && report.kind == Ended;
            ::close(reports);
            if (!ended || !WIFEXITED(report.value))
                return -1;
            return WEXITSTATUS(report.value);
        }
        if (ready < 0 && errno != EINTR) {
            ::close(reports);
            return -1;
        }
        if (stopWaiting && stopWaiting()) {
            // It is left to finish under its supervisor, which holds the lock.
            qDebug() << "the installer is left running:" << program;
            ::close(reports);
            return -3;
        }
    }
}
