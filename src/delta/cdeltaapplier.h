#ifndef CDELTAAPPLIER_H
#define CDELTAAPPLIER_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Applies a delta (DeltaFormat, deltaformat.h) to a base, a package file or a kept base
// (CBaseContent), and produces the new release's content: its files below a folder (as
// unpacking a package does, through CEntryWriter and under its rules: names, links,
// syncs, free space) and/or a new kept base (CBaseArchive), and returns the content
// digest it produced.
//
// In order: the delta's structure is read and checked (CDeltaReader); when an expected
// content is set, a delta stating another is refused; every record is checked against
// the base's table and the memory limit, and the free space against everything that
// will be written; the base is decoded once, its content digest must be the one the
// delta applies to (only the base entries the delta copies or patches from are kept, in
// an unnamed temporary file of the scratch folder); then the entries are produced in
// table order, each checked against the SHA-256 the delta gives for it before it counts
// as written (a bad one is removed and stops the step), and at the end the digest of
// all must be the one the delta states. Whatever fails, the new kept base is removed;
// files already written below the folder stay (the caller empties it, as after a
// failed unpacking).
//
// Memory: one entry at a time. A patched entry maps its base entry read-only (from the
// temporary file: page cache) and zstd's decoder holds at most the entry's size as its
// window; a whole entry needs LZMA's dictionary, at most the entry's size; a copy maps
// the base entry. Besides, contexts and buffers take about 2 MiB, and decoding the
// base what CBaseContent says. So the peak stays below the largest (base entry + entry)
// pair plus 2 MiB plus the base's own decoder. An entry whose pair passes the memory
// limit (by default 768 MiB on 32-bit x86, where the address space is short; no limit
// on 64-bit systems) refuses the delta with TooLarge before anything is written.
class CDeltaApplier
{
public:
    enum Result {
        Applied = 1,
        // the delta cannot be opened or read
        DeltaUnreadable = -1,
        // the delta is not one, is cut short, out of bounds, or its data does not decode
        DeltaMalformed = -2,
        // no base there, it cannot be read, is neither a package nor a kept base, or its
        // stream does not decode
        BaseUnreadable = -3,
        // the base's content is not the one the delta applies to
        BaseMismatch = -4,
        // a produced file does not have the SHA-256 the delta gives for it
        FileMismatch = -5,
        // the content produced (or the content the delta states) is not the one expected
        ContentMismatch = -6,
        // an entry needs more memory than the limit allows
        TooLarge = -7,
        // the folders written to have not enough free space (CEntryWriter::enoughSpace)
        NotEnoughSpace = -8,
        // an entry or the new kept base cannot be written or synced, or an entry is
        // refused below the folder (a link on its way)
        WriteFailed = -9
    };

    // The memory limit of one entry on this platform.
    static qint64 defaultMemoryLimit();

    CDeltaApplier();

    // Where the temporary file of the base's entries is made (default: the temporary
    // directory; it never has a name there while it holds anything).
    void setScratchDir(const QString& dir) { m_strScratchDir = dir; }
    // The content digest (32 bytes) the result must have, such as the one the update
    // reply gives; empty (the default) checks only against the delta's own statement.
    void setExpectedContent(const QByteArray& digest) { m_baExpected = digest; }
    void setMemoryLimit(qint64 bytes) { m_nMemoryLimit = bytes; }

    // Applies the delta at deltaPath to the base at basePath; the files go below destDir
    // (made one level when missing) unless it is empty, and a kept base to newBasePath
    // (created afresh) unless that is empty. One of Result; on Applied, contentSha256()
    // is the content digest produced, otherwise reason() says why (one line, for the
    // log), also logged here.
    int apply(const QString& basePath, const QString& deltaPath, const QString& destDir, const QString& newBasePath);

    QByteArray contentSha256() const { return m_baContent; }
    QString reason() const { return m_strReason; }

    // What the last apply() produced, by method.
    struct Figures
    {
        int copied = 0;
        int patched = 0;
        int whole = 0;
        int empty = 0;
        quint64 bytes = 0; // bytes produced
    };
    Figures figures() const { return m_figures; }

private:
    struct Run;

    int fail(int result, const QString& reason);
    // The steps of apply(); each returns Applied or, through fail(), why it stopped.
    // checkRecords: every record against the base's table and the memory limit.
    int checkRecords(Run& run);
    // produce: every entry in table order, then the whole content's digest.
    int produce(Run& run);
    int produceEntry(Run& run, int index);

    QString m_strScratchDir;
    QByteArray m_baExpected;
    qint64 m_nMemoryLimit;
    QByteArray m_baContent;
    QString m_strReason;
    Figures m_figures;
};

#endif // CDELTAAPPLIER_H
