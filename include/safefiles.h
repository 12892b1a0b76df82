#ifndef SAFEFILES_H
#define SAFEFILES_H

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

#include <optional>

class QFile;

// The file operations that never follow a symbolic link. The working folder, the
// download folder and every folder a package unpacks into may hold names planted by
// someone else: whatever stands at a name is looked at (lstat) or opened with
// O_NOFOLLOW, never through, and a link is removed as a link.
namespace Comm {

// Creates the file at path afresh and opens it in file with mode (which must include
// WriteOnly). Whatever non-directory stands at path is removed first, and the new file
// is created exclusively without following a symbolic link, so a link or a file planted
// there is never written through. False (file left closed) when what stands there
// cannot be removed, is a directory, or the file cannot be created.
bool createNewFile(QFile& file, const QString& path, QIODevice::OpenMode mode);

// Removes what stands at path when it is not a directory (a file, a link of any kind,
// anything else). True when no such thing is left there; a directory is left alone and
// counts as true.
bool removeNonDirectory(const QString& path);

// Deletes the directory tree at path. True when the directory is gone afterwards or was
// not there; false when an entry or the directory itself could not be removed (what
// could be removed is gone, and every failure is logged). A symbolic link is removed as
// a link wherever it stands, at path itself too (whatever the spelling of path, a
// trailing "/" included): no link is ever followed, and no permission of anything is
// changed.
bool deleteDir(const QString& path);

// Copies from the current position of from to to, through buffer (which must not be
// empty): count bytes, or everything up to the end of from when count is negative.
// False when from ends before count bytes, a read fails or a write takes fewer bytes
// than it was given; what was copied until then stays written.
bool copyData(QIODevice& from, QIODevice& to, QByteArray& buffer, qint64 count = -1);

// Copies the file at from to a new temporary file in the folder of to and renames it
// over to, so that to is replaced in one step and nothing planted at either name is
// written through: from is opened without following a link at its name, the temporary
// file (".<name of to>.part<pid>-<n>", a name nothing stands at) is created afresh
// (createNewFile), synced before the rename (syncFile), and the folder is synced after
// it (renameAndSync). False (to unchanged, the temporary file removed) when from cannot
// be opened or read, no temporary file can be made, or a write, the file's sync or the
// rename fails; false too when the folder's sync fails after the rename (to is
// replaced then, but the copy does not count as made: it may not outlive a power cut).
bool replaceFileCopy(const QString& from, const QString& to);

// ---- syncing to disk ----
// A written file counts as complete only once its bytes are on the disk, and a name a
// rename gave it only once its folder is: after a power cut the file is then whole
// under its name. Each file is synced once, when it is complete, never after each
// write. A sync that fails is logged with the path and the system's reason, and the
// caller does not count the file as complete.

// The call that syncs an open file or folder: fsync, unless another is put in. Tests
// put in one that fails; the benchmarks one that does nothing, to show what syncing
// costs. nullptr puts fsync back. The product never changes it.
using SyncCall = int (*)(int fd);
void setSyncCall(SyncCall call);

// Syncs the file open at fd to disk; path names it in the log. False (logged) when fd
// is not open or the sync fails (a pipe, for one, cannot be synced).
bool syncFile(int fd, const QString& path);

// Syncs the folder at path, so that the names made, renamed or removed in it last.
// False (logged) when path is empty, when what stands there is a link or no directory
// or cannot be opened, or when the sync fails.
bool syncFolder(const QString& path);

// Syncs the folder that holds path (trailing separators aside; a relative path is taken
// from the current folder). False (logged) as syncFolder, and for an empty path or "/".
bool syncParentFolder(const QString& path);

// Makes the folder at path and those missing above it (as QDir::mkpath does) and syncs
// the folder that holds each one made, so that the new folders last. True when the
// folder stands there (made or not) and every sync went through; false (logged) when
// it cannot be made or a sync fails.
bool makeSyncedPath(const QString& path);

// Renames from to to (rename(2): a file already at to is replaced in one step, a link
// there is replaced, not followed) and syncs the folder of to, and the folder of from
// when it is another. False (logged) when the rename fails (nothing is renamed then),
// or when a sync fails: the file then stands at to but the new name may not outlive a
// power cut, so it does not count as published.
bool renameAndSync(const QString& from, const QString& to);

// Opens the existing file at path in file with mode (which must include WriteOnly) to
// continue it after its first keep bytes: it is cut to keep bytes and file is
// positioned there. The file must be reached without a link at its name and opened
// without blocking (a FIFO planted there cannot hold the open), and must be a regular
// file known under no other name (one link) that holds at least keep bytes. False
// (file left closed, nothing cut) when it cannot be opened or is not such a file,
// both logged; false (file left closed) too when it cannot be cut or positioned.
bool openToContinue(QFile& file, const QString& path, qint64 keep, QIODevice::OpenMode mode);

// Reads the whole file at path into data when it is a regular file of its own (one
// link), reached without a link at its name, opened without blocking and of at most
// maxBytes bytes. False (data empty) otherwise; the reason is not logged.
bool readSmallFile(const QString& path, qint64 maxBytes, QByteArray* data);

// The size of the regular file of its own (one link) at path, looked at without
// following a link there; -1 when nothing or anything else stands there.
qint64 regularFileSize(const QString& path);

// A file as the file system knows it, whatever its name: its device and inode.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
};

// The identity of the file open in file; none when file is not open on a file
// descriptor or the descriptor cannot be examined.
std::optional<FileIdentity> fileIdentity(const QFile& file);

// Whether path still names, without a link, the regular file of that identity and
// that file holds exactly size bytes. False when nothing, a link or anything but a
// regular file stands there, when it is another file (removed or replaced), when its
// size differs, and for an empty path.
bool isSameRegularFile(const QString& path, const FileIdentity& identity, qint64 size);

// Whether a component of relative ('/'-separated, below the directory base, which
// ends in '/') is a symbolic link; the last component counts only with includeLast.
// Opening with O_NOFOLLOW guards the last component alone: a link one level up would
// still be followed. The walk stops at the first component that does not exist (false
// then), as nothing below it can be followed (and nothing can be made there); empty
// components are passed over, and base itself is not looked at.
bool leadsThroughLink(const QString& base, const QString& relative, bool includeLast);

// Makes the folder at path (mode 0700) when nothing stands there and takes it only
// when it is private: a real directory (a symbolic link there is not followed), owned
// by this process's user and writable by nobody else. False when it cannot be made
// or examined or is not private; each reason is logged as the working folder's.
bool makePrivateDir(const QString& path);

// The same for the folder name in the folder open at parentFd: made (mode 0700) when
// nothing stands there, opened without following a link at name and taken under the
// same rules. The open folder (the caller closes it), or -1 when it cannot be made or
// opened (a link or no directory there, or not readable) or is not private; each
// reason is logged as the working folder's, path naming the folder there.
int openPrivateDirAt(int parentFd, const char* name, const QString& path);

} // namespace Comm

#endif // SAFEFILES_H
