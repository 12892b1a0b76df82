#ifndef CWORKINGFOLDER_H
#define CWORKINGFOLDER_H

#include <QString>
#include <QStringList>

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
//
// It owns every name below the folder: the downloads and their ".part" and record, the
// reply file, the unpack folder "uncompress/", the installers' folders "installer-<n>"
// and the names reserved for those. The static names below are those of the run's
// folder (the current() object's; before any take(), the folder chosen now); each is
// empty when there is no private working folder.
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

    // The folder, without a trailing "/".
    static QString folder();
    // Where packages are downloaded to: the folder with a trailing "/".
    static QString downloadDirectory();
    // Where a package is unpacked: the folder + "/uncompress/".
    static QString unpackDirectory();
    // The update server's reply; the name below the temporary directory when there is
    // no working folder (the transfer then refuses it).
    static QString replyFile();
    // The last segment of a package's address, the name its download takes.
    static QString packageFileName(const QString& url);
    // The download of the package at url: the download directory + its file name; empty
    // when there is no folder or the name is empty or one of the reserved names.
    static QString packageFile(const QString& url);
    // The partial download of a package file, and the record of what it is.
    static QString partFile(const QString& packageFile) { return packageFile + QStringLiteral(".part"); }
    static QString recordFile(const QString& packageFile) { return packageFile + QStringLiteral(".part.info"); }
    // Where name would lie below the shared working folder: for the log, when there is no
    // working folder to name.
    static QString sharedName(const QString& name = QString());
    // Names the folder uses for itself ("uncompress", the reply file, the run lock, the
    // installers' folders) and "." and ".."; a package of such a name could only clash.
    static bool isReservedName(const QString& name);
    // Moves the unpacked folder to a new "installer-<n>" folder (n after *lastNumber,
    // which is advanced), so that the next package's step cannot empty it under a
    // running installer. The new folder without a trailing "/"; empty (logged) when it
    // cannot be moved.
    static QString moveToInstallerFolder(const QString& unpackDir, int* lastNumber);
    // The "installer-<n>" folders of the folder (earlier runs' installers started there).
    static QStringList installerFolders();

private:
    void release();

    QString m_strPath;
    int m_fd = -1;
};

#endif // CWORKINGFOLDER_H
