#include "cdeltareader.h"

#include <QDebug>

#include <cstring>

namespace {

quint16 le16(const unsigned char* p)
{
    return quint16(p[0] | p[1] << 8);
}

quint32 le32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

quint64 le64(const unsigned char* p)
{
    return quint64(le32(p)) | quint64(le32(p + 4)) << 32;
}

// What a record of each method must be, for an entry of the given size.
QString recordFault(const CDeltaReader::Record& record, const CFileTable::Entry& entry)
{
    using namespace DeltaFormat;
    const bool hasBase = record.baseEntry != NoBaseEntry;
    switch (record.method) {
    case Empty:
        if (entry.size != 0 || record.dataLength != 0 || hasBase)
            return QStringLiteral("an empty record for an entry of %1 bytes, with data or a base entry").arg(entry.size);
        return QString();
    case Copy:
        if (entry.size == 0 || record.dataLength != 0 || !hasBase)
            return QStringLiteral("a copy record without a base entry, with data or for an empty entry");
        return QString();
    case Patch:
        if (entry.size == 0 || record.dataLength == 0 || !hasBase)
            return QStringLiteral("a patch record without a base entry, without data or for an empty entry");
        return QString();
    case Whole:
        if (entry.size == 0 || record.dataLength < 13 || hasBase)
            return QStringLiteral("a whole-file record with a base entry, with less than an LZMA header or for an empty entry");
        return QString();
    }
    return QStringLiteral("unknown method %1").arg(int(record.method));
}

} // namespace

int CDeltaReader::fail(int result, const QString& reason)
{
    m_strReason = reason;
    qDebug().noquote() << "delta" << m_file.fileName() << "refused:" << reason;
    return result;
}

int CDeltaReader::open(const QString& path)
{
    using namespace DeltaFormat;
    m_file.close();
    m_file.setFileName(path);
    m_vecRecords.clear();
    m_table = CFileTable();
    if (!m_file.open(QIODevice::ReadOnly))
        return fail(Unreadable, QStringLiteral("the delta cannot be opened: %1").arg(m_file.errorString()));
    const qint64 fileSize = m_file.size();

    unsigned char header[HeaderSize];
    if (m_file.read(reinterpret_cast<char*>(header), HeaderSize) != HeaderSize)
        return fail(Malformed, QStringLiteral("the delta is shorter than its header"));
    if (std::memcmp(header, Magic, sizeof Magic) != 0)
        return fail(Malformed, QStringLiteral("not a delta (wrong magic)"));
    if (le32(header + VersionOffset) != Version)
        return fail(Malformed, QStringLiteral("delta version %1, not %2").arg(le32(header + VersionOffset)).arg(Version));
    m_baBaseDigest = QByteArray(reinterpret_cast<const char*>(header + BaseDigestOffset), DigestSize);
    m_baResultDigest = QByteArray(reinterpret_cast<const char*>(header + ResultDigestOffset), DigestSize);

    const quint32 tableSize = le32(header + TableSizeOffset);
    if (tableSize > quint64(CFileTable::MaxCanonicalSize) || qint64(tableSize) > fileSize - HeaderSize)
        return fail(Malformed, QStringLiteral("the file table of %1 bytes does not fit in the delta").arg(tableSize));
    const QByteArray table = m_file.read(qint64(tableSize));
    if (table.size() != int(tableSize))
        return fail(Unreadable, QStringLiteral("the file table cannot be read"));
    QString reason;
    if (!m_table.parseCanonical(table, &reason))
        return fail(Malformed, reason);

    return readRecords(HeaderSize + qint64(tableSize), fileSize);
}

int CDeltaReader::readRecords(qint64 at, qint64 fileSize)
{
    using namespace DeltaFormat;
    m_vecRecords.reserve(m_table.count());
    for (int i = 0; i < m_table.count(); ++i) {
        const CFileTable::Entry& entry = m_table.entries().at(i);
        const QString name = QString::fromUtf8(entry.name);
        unsigned char bytes[RecordHeaderSize];
        if (fileSize - at < RecordHeaderSize || !m_file.seek(at)
            || m_file.read(reinterpret_cast<char*>(bytes), RecordHeaderSize) != RecordHeaderSize)
            return fail(Malformed, QStringLiteral("the delta is cut short at the record of %1").arg(name));
        at += RecordHeaderSize;
        const quint64 dataLength = le64(bytes + 4);
        if (dataLength > quint64(fileSize - at))
            return fail(Malformed, QStringLiteral("the record of %1 has %2 bytes of data, more than the delta holds")
                                       .arg(name)
                                       .arg(dataLength));
        Record record;
        record.method = static_cast<Method>(bytes[0]);
        record.baseEntry = le16(bytes + 2);
        record.dataOffset = at;
        record.dataLength = qint64(dataLength);
        record.sha256 = QByteArray(reinterpret_cast<const char*>(bytes + 12), DigestSize);
        QString fault = bytes[1] != 0 ? QStringLiteral("a reserved byte is not 0") : recordFault(record, entry);
        if (fault.isEmpty() && entry.isFolder() && record.method != Empty)
            fault = QStringLiteral("a folder with data");
        if (!fault.isEmpty())
            return fail(Malformed, QStringLiteral("the record of %1 is wrong: %2").arg(name, fault));
        m_vecRecords.append(record);
        at += record.dataLength;
    }
    if (at != fileSize)
        return fail(Malformed, QStringLiteral("%1 bytes follow the last record").arg(fileSize - at));
    return Read;
}
