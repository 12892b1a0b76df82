#ifndef ZRFZIP_H
#define ZRFZIP_H

#include "centrywriter.h"
#include "packageformat.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Reader of update packages (their layout: PackageFormat, src/package/packageformat.h):
// a 28-byte header (magic, CRC of everything after the header, length L of the LZMA
// part), the LZMA part in the stand-alone format, and the file table (16-bit count; per
// entry a name length byte, one unused byte, the name, a 32-bit size). All numbers are
// little-endian.
//
// The package is handled in chunks, so neither the package nor any unpacked file is
// ever held in memory whole.
class CZR_Fzip
{
public:
    enum {
        PackageMagic = PackageFormat::Magic,
        HeaderSize = PackageFormat::HeaderSize,
        // Space left free on the destination's file system after unpacking.
        FreeSpaceReserve = CEntryWriter::FreeSpaceReserve
    };

    // The source of the space available to a destination folder: bytes, or -1 when
    // unknown. The default is availableSpace(); tests put their own in (nullptr puts
    // the default back).
    using FreeSpaceProbe = qint64 (*)(const QString& destDir);
    static void setFreeSpaceProbe(FreeSpaceProbe probe);

    // The bytes available to this user on the file system of dir, or of its nearest
    // existing parent when dir does not exist yet; -1 when that cannot be determined.
    static qint64 availableSpace(const QString& dir);

    // The names of the temporary files an unpacking makes in the working folder's
    // "uncompress/" while it runs (gone once it has decoded the package).
    static QStringList temporaryFileNames();

    CZR_Fzip();
    virtual ~CZR_Fzip();

    // The results of Unzip2, which returns them as int.
    enum UnzipResult {
        // every entry written
        Unpacked = 1,
        // an entry could not be written: its target could not be created, its name is
        // absolute or has a ".." component, a directory on its way below destDir is a
        // symbolic link, it is a directory entry and a symbolic link stands at its name,
        // the file table is cut short, the unpacked stream ends before the entry's
        // size, or the entry (a file) or a folder a name was made in cannot be synced
        // to disk; the entries before it are written
        EntryNotWritten = 0,
        // the file is shorter than the header or the magic is wrong
        NotAPackage = -1,
        // the CRC does not match
        CrcMismatch = -2,
        // the package cannot be opened or read
        PackageUnreadable = -3,
        // the LZMA part cannot be decoded: there is no private working folder
        // (CWorkingFolder::unpackDirectory() is empty), a temporary file cannot be created or written,
        // the LZMA part reaches past the end of the package, or it does not decode
        DecodeFailed = -4,
        // not enough space: the declared unpacked size is larger than the space
        // available on the file system of destDir (or of its nearest existing parent)
        // less FreeSpaceReserve, or that space cannot be determined
        NotEnoughSpace = -5
    };

    // Unpacks the package below destDir; the result is one of UnzipResult.
    //
    // The declared unpacked size is the unpacked size in the LZMA header (its low
    // 32 bits) when the header gives one, and the sum of the file table's entry
    // sizes when it says "unknown" (all ones). The table is read and this size
    // checked before anything is written or decoded. The LZMA part is never decoded
    // beyond the sum of the table's sizes: no entry could use those bytes.
    //
    // The three temporary files live in CWorkingFolder::unpackDirectory() (that
    // directory must exist) and are gone when the call returns, whatever the result.
    // Temporary files and unpacked files are created afresh (Comm::createNewFile):
    // whatever stands at their names, a symbolic link included, is removed first and
    // never written through. The package counts as unpacked only on the disk: each
    // file is synced once it is written whole (a file whose sync fails is removed),
    // and each folder in which a file or a folder was made is synced once after the
    // last entry. The temporary files are not synced: they are gone at the end.
    //
    // The entries are written by CEntryWriter, whose rules (names, links, syncs, the
    // free space) rebuilding a package from a delta follows too.
    int Unzip2(const QString& packagePath, const QString& destDir);

    // The same, and on Unpacked the package's content digest (CContentDigest, 32 bytes)
    // in *contentSha256 (cleared otherwise): computed from the file table and from the
    // unpacked stream as it is decoded, so the package is decoded once. nullptr computes
    // nothing, as the call above.
    int Unzip2(const QString& packagePath, const QString& destDir, QByteArray* contentSha256);

    // Decodes a stand-alone LZMA file into outPath, created afresh like the unpacked
    // files (Comm::createNewFile: whatever stands there, a link included, is removed
    // first and never written through; a directory there makes it fail).
    // 1 when the whole stream was decoded and written; 0 when the input cannot be
    // opened or read, the output cannot be written, or the stream is corrupt or cut
    // short (the output then holds the bytes decoded before the fault).
    // A known unpacked size in the header limits the output to its low 32 bits.
    int UnzipFileToFile(const QString& lzmaPath, const QString& outPath);

    // The package CRC (most significant bit first, initial value 0, no reflection,
    // no final XOR) of `length` bytes with the given polynomial.
    static quint32 RunCRC32(const unsigned char* data, quint32 length, quint32 polynomial);

    // The 256-entry byte table of the CRC, in 32-bit and in 64-bit entries (same values).
    static void BuildTable32(quint32 polynomial, quint32* table);
    static void BuildTable64(quint32 polynomial, quint64* table);
};

#endif // ZRFZIP_H
