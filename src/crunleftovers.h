#ifndef CRUNLEFTOVERS_H
#define CRUNLEFTOVERS_H

#include <QString>
#include <QtGlobal>

// What an earlier run that was killed can leave behind, removed at the start of a run:
// the temporary plug-in copies in the reader's plug-in folder and the unpacker's
// temporary files. Only names of the updater's own making go, never another's file.
class CRunLeftovers
{
public:
    // Removes from folder the regular files of this user named as a plug-in copy in
    // progress (".JS<name>.part<pid>-<n>") whose process is no updater of this user any
    // more. Nothing else there is touched: no link, no other file, no directory.
    static void removeStalePluginCopies(const QString& folder);

    // Removes the unpacker's temporary files (CZR_Fzip::temporaryFileNames) from
    // unpackDir; what else is there stays.
    static void removeUnpackerFiles(const QString& unpackDir);

    // Whether pid may be a running updater of this user: /proc/<pid> exists, is this
    // user's and runs a program of the updater's file name. Whatever cannot be told
    // (besides a pid that is not there) counts as running.
    static bool mayBeRunningUpdater(qint64 pid);
};

#endif // CRUNLEFTOVERS_H
