#ifndef CDELTAMAKER_H
#define CDELTAMAKER_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <functional>

class QFile;

// Makes a delta (DeltaFormat, deltaformat.h) from one release of a package to the next,
// for the publisher (mkpackage --delta). Both releases are decoded once into unnamed
// temporary files (CBaseContent); then for each entry of the new release, in table
// order:
//
// - a folder or an empty file is recorded as such;
// - a file whose bytes some entry of the old release has (by SHA-256; under any name) is
//   a copy of it;
// - otherwise it is patched with zstd (levels 19 and 18 at once, the smaller kept, for a
//   file of up to LargeFile bytes; level 9 for a larger one, where long-distance matching
//   finds nearly everything and the optimal parser of the high levels would take many
//   minutes; long-distance matching; a window of 2^(highbit(size) + 1) bytes so that the
//   whole base entry stays in reach, as zstd's own --patch-from sets it) from the
//   old entry of the same name, else from an old entry whose name differs only in its
//   digits (the nearest in size: "libx.so.126" from "libx.so.125"), and stored whole
//   (LZMA, the preset given, its dictionary no larger than the file) where that is
//   smaller or there is nothing to patch from.
//
// The delta is written to a temporary file beside the output, synced, checked by
// applying it to the old release (it must give the new release's content digest), and
// only then renamed over the output. Time and memory: per entry, the zstd encoders and
// the LZMA encoder (preset 9: about 10 times the file's size, at most 674 MiB) over the
// two entries mapped; each whole-file attempt stops as soon as it is larger than the
// patch. The README gives the figures measured.
class CDeltaMaker
{
public:
    // What the last make() wrote, by method.
    struct Figures
    {
        int copied = 0;
        int patched = 0;
        int whole = 0;
        int empty = 0;
        qint64 deltaBytes = 0;
    };

    // Files larger than this are patched at the large files' levels.
    static const qint64 LargeFile = qint64(16) << 20;

    // The zstd levels a patch is made at, the smallest kept (each 1 to 22; at least one;
    // default 19 and 18, made at the same time on two threads), for files of up to
    // LargeFile bytes and for larger ones (default 9).
    void setZstdLevels(const QVector<int>& levels, const QVector<int>& largeFileLevels)
    {
        m_vecZstdLevels = levels;
        m_vecLargeZstdLevels = largeFileLevels;
    }
    // The LZMA preset of whole files (0 to 9; default 9).
    void setLzmaPreset(quint32 preset) { m_nLzmaPreset = preset; }
    // Where the decoded releases are kept while the delta is made (default: the
    // temporary directory).
    void setScratchDir(const QString& dir) { m_strScratchDir = dir; }
    // Asked between the entries and inside long ones: true stops make() (it fails).
    void setCancelCheck(const std::function<bool()>& cancelled) { m_fnCancelled = cancelled; }

    // Makes the delta from oldPath to newPath (each a package file or a kept base) and
    // writes it to outPath, replaced in one step. False with error() otherwise (outPath
    // then as it was).
    bool make(const QString& oldPath, const QString& newPath, const QString& outPath);

    QString error() const { return m_strError; }
    QByteArray baseDigest() const { return m_baBaseDigest; }
    QByteArray resultDigest() const { return m_baResultDigest; }
    Figures figures() const { return m_figures; }

private:
    struct Run;

    bool fail(const QString& error);
    // The steps of make(); each false through fail().
    // openReleases: both releases opened, checked and decoded.
    bool openReleases(Run& run, const QString& scratch);
    // indexOld: the old entries by content, name and name without digits.
    bool indexOld(Run& run);
    // writeRecords: the record of every new entry, in table order, into file.
    bool writeRecords(Run& run, QFile& file, const QString& outPath);
    bool makeRecord(Run& run, int index, QByteArray* record, QByteArray* data);
    // patchOrWhole: the smaller of a patch to the old entry of the same name (or stem)
    // and the whole file compressed.
    bool patchOrWhole(Run& run, int index, const char* bytes, const QByteArray& sha, QByteArray* record,
                      QByteArray* data);
    bool cancelled() const { return m_fnCancelled && m_fnCancelled(); }

    QVector<int> m_vecZstdLevels = {19, 18};
    QVector<int> m_vecLargeZstdLevels = {9};
    quint32 m_nLzmaPreset = 9;
    QString m_strScratchDir;
    std::function<bool()> m_fnCancelled;
    QString m_strError;
    QByteArray m_baBaseDigest;
    QByteArray m_baResultDigest;
    Figures m_figures;
};

#endif // CDELTAMAKER_H
