#ifndef CBASECONTENT_H
#define CBASECONTENT_H

#include "cfiletable.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

#include <functional>

// The content of a release that a delta applies to (or, for the publisher, that a delta
// is made from): a package file, or a kept base (DeltaFormat, deltaformat.h). open()
// reads its file table; decode() decodes its unpacked stream once, computing its content
// digest (CContentDigest), and keeps the bytes of the entries asked for in an unnamed
// temporary file, from which map() gives each one read-only.
//
// Memory: the decoders' own (a package's LZMA dictionary, at most its unpacked size and
// at most 1 GiB; a kept base's zstd window, at most 16 MiB) and 128 KiB of buffers; a
// mapped entry takes the address space of its size.
class CBaseContent
{
public:
    enum Kind { NoBase, PackageFile, KeptBase };

    CBaseContent();
    ~CBaseContent();
    CBaseContent(const CBaseContent&) = delete;
    CBaseContent& operator=(const CBaseContent&) = delete;

    // Opens the base at path and reads its file table. False with the reason when it
    // cannot be read, is neither a package nor a kept base, or its table is refused.
    bool open(const QString& path, QString* reason);

    Kind kind() const { return m_kind; }
    const CFileTable& table() const { return m_table; }
    // The content digest a kept base's header gives (not checked by open()); empty for
    // a package.
    QByteArray statedDigest() const { return m_baStatedDigest; }

    // Decodes the whole unpacked stream and gives its content digest in *digest; the
    // entries whose keep flag is set (keep has one flag per entry, or is empty for none)
    // are written to an unnamed file made in scratchDir (nothing stands at a name there:
    // made with O_TMPFILE, else created exclusively and unlinked at once). False with
    // the reason when the stream does not decode to the table's total, or the scratch
    // file cannot be made or written.
    bool decode(const QVector<bool>& keep, const QString& scratchDir, QByteArray* digest, QString* reason);

    // The bytes of the kept entry index, mapped read-only; valid until the next map(),
    // unmap() or the end of the object. nullptr with the reason when it cannot be mapped
    // (an entry of 0 bytes maps to a non-null pointer to nothing).
    const char* map(int index, QString* reason);
    void unmap();

    // The content digest of the base at path (a package or a kept base), decoded once.
    static bool digestOf(const QString& path, QByteArray* digest, QString* reason);

private:
    bool openScratch(const QString& scratchDir, QString* reason);
    // The offsets of the kept entries in the temporary file; when one is kept, scratch
    // writes that file from its start.
    bool keepEntries(const QVector<bool>& keep, const QString& scratchDir, QFile* scratch, QString* reason);
    bool decodePackage(const std::function<bool(const char*, qint64)>& sink, QString* reason);
    bool decodeKeptBase(const std::function<bool(const char*, qint64)>& sink, QString* reason);

    QFile m_file;
    Kind m_kind = NoBase;
    CFileTable m_table;
    QByteArray m_baStatedDigest;
    qint64 m_nStreamOffset = 0; // where the compressed stream starts in m_file
    qint64 m_nStreamLength = 0;

    int m_nScratchFd = -1;
    QVector<qint64> m_vecKeptOffset; // per entry: its offset in the scratch file, or -1
    void* m_pMapping = nullptr;
    size_t m_nMappingLength = 0;
};

#endif // CBASECONTENT_H
