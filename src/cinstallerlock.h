#ifndef CINSTALLERLOCK_H
#define CINSTALLERLOCK_H

#include <QString>
#include <QStringList>

#include <functional>

// The lock an installer holds on the folder it installs from (an "installer-<n>"
// folder or the unpack folder): a flock on the file kLockFileName in that folder. The
// folder counts as held exactly while the installer the updater started runs.
//
// The installer itself never gets the locked descriptor: it runs under a small
// supervising process of the updater's own (a fork of it that runs no other code),
// which holds the lock, starts the installer, waits for its end and then ends, letting
// go of the lock. So a program the installer leaves running (the reader it starts
// again, say) does not keep the folder held, and a killed updater does not release it
// while the installer runs. The supervisor and the installer run in a session of their
// own, out of reach of the terminal's Ctrl-C and hang-up and of signals to the
// updater's process group, with standard input from /dev/null; the supervisor keeps no
// other descriptor of the updater's (its listening port, its files).
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
    // Removes those of the folders no installer holds (the others stay, logged).
    static void removeFoldersNotHeld(const QStringList& folders);

    // Takes the lock of folder: its lock file is made when missing and taken as it is
    // otherwise, never removed or replaced (someone may hold it); only a link, a FIFO or
    // the like at its name is removed first. False (logged) when the file cannot be
    // made or opened, or the lock is held. The descriptor is close-on-exec.
    bool acquire(const QString& folder);
    // Closes this process's descriptor; a supervisor started with it keeps the lock.
    void release();
    bool isAcquired() const { return m_fd >= 0; }

    // Starts program with the arguments in workingDirectory (empty: the updater's) under
    // a supervisor that holds the lock until the program ends; returns once it has
    // started. False when it cannot be started (or nothing is locked).
    bool startDetached(const QString& program, const QStringList& arguments, const QString& workingDirectory);

    // The same, waiting for the program's end as QProcess::execute does: its exit code;
    // -2 when it cannot be started, -1 when it crashed (or its supervisor was killed).
    // stopWaiting is asked every kStopPollMs; when it says so, the wait ends with -3 and
    // the program runs on, under its supervisor, also after the updater has gone.
    int execute(const QString& program, const QStringList& arguments, const std::function<bool()>& stopWaiting);
    static const int kStopPollMs = 50;

private:
    int m_fd = -1;
};

#endif // CINSTALLERLOCK_H
