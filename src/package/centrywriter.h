#ifndef CENTRYWRITER_H
#define CENTRYWRITER_H

#include <QByteArray>
#include <QFile>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QIODevice;

// Writes the entries of a file table below a destination folder, one after another, as
// unpacking a package or rebuilding one from a delta does, under the same rules:
//
// - a name (UTF-8, up to its first zero byte; a backslash or a slash separates folders)
//   may only name something below the destination: an absolute name or one with a ".."
//   component is refused;
// - an entry of size 0 whose name ends in a backslash is a folder, made one level at a
//   time (a table lists a folder before what is in it); any other name ending in a
//   backslash is taken as it stands, backslashes and all;
// - nothing is written through a symbolic link: a link on the way to an entry, or at a
//   folder entry's name, refuses the entry; files are created afresh
//   (Comm::createNewFile), so a link or a file planted at their name is removed, never
//   written through;
// - a file counts as written only on the disk: it is synced once it is whole (a file
//   whose sync fails is removed), and finish() syncs each folder a name was made in.
//
// The destination folder is made (one level) when it is missing.
class CEntryWriter
{
public:
    // Space left free on the destination's file system after unpacking.
    enum { FreeSpaceReserve = 64 << 20 };

    // The source of the space available to a destination folder: bytes, or -1 when
    // unknown. The default is availableSpace(); tests put their own in (nullptr puts
    // the default back).
    using FreeSpaceProbe = qint64 (*)(const QString& destDir);
    static void setFreeSpaceProbe(FreeSpaceProbe probe);

    // The bytes available to this user on the file system of dir, or of its nearest
    // existing parent when dir does not exist yet; -1 when that cannot be determined.
    static qint64 availableSpace(const QString& dir);

    // Whether the file system of dir (as the probe sees it) can take bytes and still keep
    // FreeSpaceReserve free; logged ("not enough space: ...") when not, or when the space
    // is unknown.
    static bool enoughSpace(const QString& dir, quint64 bytes);

    // Whether name (as the entry gives it, backslashes or slashes) stays below the
    // destination: not absolute, no ".." component.
    static bool isSafeEntryName(QString name);

    // The name of a table entry as it is used: the stored bytes up to the first zero byte.
    static QByteArray usedName(const QByteArray& rawName);

    explicit CEntryWriter(const QString& destDir);
    ~CEntryWriter();
    CEntryWriter(const CEntryWriter&) = delete;
    CEntryWriter& operator=(const CEntryWriter&) = delete;

    // Makes the destination folder (one level) when it is missing; begin() does too.
    void prepareDestination();

    // Starts the entry rawName of size bytes: a folder entry is made at once (nothing
    // is to be written for it), a file is created empty. False (logged) when the entry
    // is refused or cannot be made.
    bool begin(const QByteArray& rawName, quint32 size);
    // Appends to the file begun; false (logged) when the write fails or goes past the
    // entry's size.
    bool write(const char* data, qint64 size);
    // The file begun holds its size: flushed and synced. False (logged; the file is
    // removed) when it holds less, or the flush or the sync fails. True for a folder.
    bool commit();
    // Removes the file begun and not committed (a produced file found bad).
    void discard();

    // begin(), the next size bytes of from (through buffer, not empty) and commit().
    bool copyEntry(const QByteArray& rawName, quint32 size, QIODevice& from, QByteArray& buffer);

    // Syncs each folder in which a file or a folder was made, so that the names last
    // too; false (logged) at the first that fails.
    bool finish();

private:
    void noteParentOf(const QString& path);

    QString m_strDirPath;       // the destination, ending in '/'
    QFile m_file;               // the file being written
    QString m_strPath;          // its path
    qint64 m_nRemaining = 0;    // bytes it still needs
    QStringList m_listTouched;  // folders a name was made in, in the order first met
    QSet<QString> m_setTouched;
};

#endif // CENTRYWRITER_H
