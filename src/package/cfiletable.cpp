#include "cfiletable.h"
#include "centrywriter.h"

#include <QIODevice>

namespace {

quint32 readLe32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

void appendLe32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char(v >> (8 * i)));
}

} // namespace

void CFileTable::append(const QByteArray& name, quint32 size)
{
    m_vecEntries.append(Entry{name, size});
    m_nTotal += size;
}

bool CFileTable::readPackageTable(QIODevice& in)
{
    m_vecEntries.clear();
    m_nTotal = 0;
    unsigned char countBytes[2];
    if (in.read(reinterpret_cast<char*>(countBytes), 2) != 2)
        return false;
    const int count = countBytes[0] | countBytes[1] << 8;
    m_vecEntries.reserve(count);
    for (int i = 0; i < count; ++i) {
        unsigned char lengthBytes[2];
        if (in.read(reinterpret_cast<char*>(lengthBytes), 2) != 2)
            return false;
        const QByteArray rawName = in.read(lengthBytes[0]);
        unsigned char sizeBytes[4];
        if (rawName.size() != lengthBytes[0] || in.read(reinterpret_cast<char*>(sizeBytes), 4) != 4)
            return false;
        append(CEntryWriter::usedName(rawName), readLe32(sizeBytes));
    }
    return true;
}

QByteArray CFileTable::canonical() const
{
    QByteArray out;
    out.append(char(m_vecEntries.size() & 0xff));
    out.append(char(m_vecEntries.size() >> 8));
    for (const Entry& entry : m_vecEntries) {
        out.append(char(entry.name.size()));
        out.append(entry.name);
        appendLe32(out, entry.size);
    }
    return out;
}

bool CFileTable::parseCanonical(const QByteArray& bytes, QString* reason)
{
    m_vecEntries.clear();
    m_nTotal = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qint64 end = bytes.size();
    if (end < 2) {
        *reason = QStringLiteral("the file table is cut short");
        return false;
    }
    const int count = p[0] | p[1] << 8;
    qint64 at = 2;
    m_vecEntries.reserve(count);
    for (int i = 0; i < count; ++i) {
        if (at + 1 > end || at + 1 + p[at] + 4 > end) {
            *reason = QStringLiteral("the file table is cut short");
            return false;
        }
        const int length = p[at];
        const QByteArray name(bytes.constData() + at + 1, length);
        const quint32 size = readLe32(p + at + 1 + length);
        at += 1 + length + 4;
        if (length == 0 || name.contains('\0') || !CEntryWriter::isSafeEntryName(QString::fromUtf8(name))) {
            *reason = QStringLiteral("entry %1 of the file table has a refused name: %2")
                          .arg(i)
                          .arg(QString::fromUtf8(name.toPercentEncoding("/\\ ")));
            return false;
        }
        append(name, size);
        if (m_nTotal > 0xFFFFFFFFu) {
            *reason = QStringLiteral("the file table's sizes add up to 4 GiB or more");
            return false;
        }
    }
    if (at != end) {
        *reason = QStringLiteral("%1 bytes follow the file table").arg(end - at);
        return false;
    }
    return true;
}
