#ifndef CINSTALLERLOCK_H
#define CINSTALLERLOCK_H

#include <QString>
#include <QStringList>

#include <functional>

class QProcess;

// The lock an installer holds on the folder it installs from (an "installer-<n>"
// folder or the unpack folder). The lock is a flock on the file kLockFileName in that
// folder; every installer the updater starts inherits the locked descriptor, so the
// lock is held exactly as long as the installer, or any child it leaves behind, keeps
// the descriptor open: a killed updater does not release it, a finished installer does.
//
// A later run probes the lock before it removes, reuses or empties the folder.
class CInstallerLock
{
public:
    CInstallerLock() = default;
    ~CInstallerLock();
    CInstallerLock(const CInstallerLock&) = delete;
    CInstallerLock& operator=(const CInstallerLock&) = delete;

    static const char* const kLockFileName;

    // Whether an installer still holds the folder: a fresh open of its lock file that
    // cannot take the lock at once. A lock file that is a link, not a regular file or
    // cannot be opened or examined counts as held; a folder without one is free.
    static bool isHeld(const QString& folder);

    // Makes the lock file of folder afresh (whatever non-directory stood at its name
    // goes) and takes the lock. False (logged) when it cannot be made or locked. The
    // descriptor stays close-on-exec: only the installer started here inherits it.
    bool acquire(const QString& folder);
    // Closes this process's descriptor; an installer that inherited it keeps the lock.
    void release();
    bool isAcquired() const { return m_fd >= 0; }

    // QProcess::startDetached(program, arguments, workingDirectory) with the locked
    // descriptor inherited by the program. False when it cannot be started.
    bool startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory);

    // Runs program with the locked descriptor inherited and waits for its end, as
    // QProcess::execute does: its exit code; -2 when it cannot be started, -1 when it
    // crashed. stopWaiting is asked every kStopPollMs; when it says so, the wait ends
    // with -3 and the program runs on, untouched, also after the updater has gone.
    int execute(const QString& program, const QStringList& arguments, const std::function<bool()>& stopWaiting);
    static const int kStopPollMs = 50;

private:
    int m_fd = -1;
};

#endif // CINSTALLERLOCK_H
