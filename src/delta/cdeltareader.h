#ifndef CDELTAREADER_H
#define CDELTAREADER_H

#include "cfiletable.h"
#include "deltaformat.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

// Reads the structure of a delta file (DeltaFormat, deltaformat.h): its header, the new
// release's file table and where each record's data lies. A delta comes from the
// network: every size, count, name and offset is checked before it is used, nothing is
// allocated from a size that was not checked, and the file must hold exactly what its
// records say. The data of the records is not decoded here (CDeltaApplier does that).
class CDeltaReader
{
public:
    struct Record
    {
        DeltaFormat::Method method = DeltaFormat::Empty;
        quint16 baseEntry = DeltaFormat::NoBaseEntry;
        qint64 dataOffset = 0; // in the delta file
        qint64 dataLength = 0;
        QByteArray sha256;     // 32 bytes
    };

    enum Result {
        Read = 1,
        // the file cannot be opened or read
        Unreadable = -1,
        // not a delta, another version, cut short, or something in it is out of bounds
        Malformed = -2
    };

    // Opens the delta at path and reads its structure; one of Result, and the reason in
    // reason() when it is not Read. The file stays open for the records' data.
    int open(const QString& path);

    QString reason() const { return m_strReason; }
    QByteArray baseDigest() const { return m_baBaseDigest; }
    QByteArray resultDigest() const { return m_baResultDigest; }
    const CFileTable& table() const { return m_table; }
    // One record per entry of table(), in the same order.
    const QVector<Record>& records() const { return m_vecRecords; }
    QFile& file() { return m_file; }

private:
    int fail(int result, const QString& reason);
    // The records from offset at on, one per entry, and nothing after the last.
    int readRecords(qint64 at, qint64 fileSize);

    QFile m_file;
    QString m_strReason;
    QByteArray m_baBaseDigest;
    QByteArray m_baResultDigest;
    CFileTable m_table;
    QVector<Record> m_vecRecords;
};

#endif // CDELTAREADER_H
