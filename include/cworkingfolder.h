#ifndef CWORKINGFOLDER_H
#define CWORKINGFOLDER_H

#include <QString>

// The working folder of one run, chosen once and kept to the run's end, and the lock
// that makes that run the only one of this user in it.
//
// take() chooses the folder (Comm::chooseWorkingDir) and, before anything in it is
// touched, takes the run lock: a flock on the regular file kLockFileName in the folder,
// through a descriptor of this process alone (close-on-exec: no program the run starts
// inherits it). The lock lasts until the object is destroyed or the process ends in any
// way; the kernel lets go of it then, so a killed run keeps no later run out. The lock
// file is made when missing and never removed or replaced, since another run may hold
// it; whatever else stands at its name (a link, a FIFO, a folder) is not opened through
// and makes the folder unavailable.
//
// From a take() on, Comm::workingDir() is the folder taken (empty when there is none),
// whatever the names below the temporary directory become meanwhile.
class CWorkingFolder
{
public:
    enum Status {
        Taken,            // the folder and its lock are this run's
        HeldByAnotherRun, // another run of this user holds the lock; nothing was touched
        Unavailable       // no private working folder, or its lock file is not usable (logged)
    };

    CWorkingFolder() = default;
    // Lets go of the lock; Comm::workingDir() chooses afresh again.
    ~CWorkingFolder();
    CWorkingFolder(const CWorkingFolder&) = delete;
    CWorkingFolder& operator=(const CWorkingFolder&) = delete;

    // Chooses the folder and takes its lock (see above).
    Status take();
    // The folder taken, without a trailing "/"; empty unless take() said Taken.
    QString path() const { return m_strPath; }

    // The object whose take() decides the working folder now; null before any take()
    // and once that object is gone.
    static const CWorkingFolder* current();

    static const char* const kLockFileName;

private:
    void release();

    QString m_strPath;
    int m_fd = -1;
};

#endif // CWORKINGFOLDER_H
