#ifndef CBASEARCHIVE_H
#define CBASEARCHIVE_H

#include <QByteArray>
#include <QFile>
#include <QString>

class CFileTable;
struct ZSTD_CCtx_s;

// Writes a kept base (DeltaFormat, deltaformat.h): the content of a release, its file
// table and its unpacked stream compressed with zstd (level DeltaFormat::BaseLevel), so
// that the next delta finds its base fast. The file is created afresh
// (Comm::createNewFile: nothing planted at its name is written through) and counts as
// written only once finish() has synced it; the caller then renames it where it keeps
// bases. Memory: zstd's context at that level, about 1.5 MiB with the buffers.
class CBaseArchive
{
public:
    CBaseArchive();
    ~CBaseArchive();
    CBaseArchive(const CBaseArchive&) = delete;
    CBaseArchive& operator=(const CBaseArchive&) = delete;

    // Starts the kept base at path for content with that table. False with the reason
    // when the file cannot be created or written.
    bool create(const QString& path, const CFileTable& table, QString* reason);
    // The unpacked stream, in pieces; exactly the table's total in all.
    bool write(const char* data, qint64 size);
    // Ends the stream, writes digest (the content digest of what was written) into the
    // header and syncs the file. False with the reason (the file removed) when it fails.
    bool finish(const QByteArray& digest, QString* reason);
    // Removes the file unless finish() succeeded.
    void discard();

private:
    QFile m_file;
    QString m_strPath;
    ZSTD_CCtx_s* m_pContext = nullptr;
    QByteArray m_baOut;
    bool m_bFailed = false;
};

#endif // CBASEARCHIVE_H
