#include "ccontentdigest.h"
#include "cfiletable.h"

void CContentDigest::beginTable(int count)
{
    const char bytes[2] = {char(count & 0xff), char((count >> 8) & 0xff)};
    m_sha.addData(bytes, 2);
}

void CContentDigest::addEntry(const QByteArray& name, quint32 size)
{
    const char length = char(name.size());
    m_sha.addData(&length, 1);
    m_sha.addData(name.constData(), name.size());
    const char sizeBytes[4] = {char(size), char(size >> 8), char(size >> 16), char(size >> 24)};
    m_sha.addData(sizeBytes, 4);
}

void CContentDigest::addTable(const CFileTable& table)
{
    const QByteArray canonical = table.canonical();
    m_sha.addData(canonical.constData(), canonical.size());
}

void CContentDigest::addContent(const char* data, qint64 size)
{
    m_sha.addData(data, size);
}

QByteArray CContentDigest::result()
{
    return m_sha.result();
}
