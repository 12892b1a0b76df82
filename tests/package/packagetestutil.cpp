#include "packagetestutil.h"

#include "zrfzip.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>

#include <lzma.h>

namespace PackageTest {

QString uncompressDir()
{
    return QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress/");
}

QString temporaryFile(const char* name)
{
    return uncompressDir() + QLatin1String(name);
}

bool anyTemporaryFileLeft()
{
    return QFile::exists(temporaryFile("infile_tmp")) || QFile::exists(temporaryFile("outfile_tmp"))
        || QFile::exists(temporaryFile("fileover_tmp"));
}

QMap<QString, QByteArray> readTree(const QString& dir)
{
    QMap<QString, QByteArray> tree;
    const QDir base(dir);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = base.relativeFilePath(path);
        tree.insert(rel, it.fileInfo().isDir() ? QByteArray("<dir>") : readFile(path));
    }
    return tree;
}

QByteArray lzmaAlone(const QByteArray& data, bool knownSize)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 1);
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &options) != LZMA_OK)
        qFatal("lzma_alone_encoder failed");
    QByteArray out(data.size() + data.size() / 2 + 1024, Qt::Uninitialized);
    strm.next_in = reinterpret_cast<const uint8_t*>(data.constData());
    strm.avail_in = size_t(data.size());
    strm.next_out = reinterpret_cast<uint8_t*>(out.data());
    strm.avail_out = size_t(out.size());
    if (lzma_code(&strm, LZMA_FINISH) != LZMA_STREAM_END)
        qFatal("lzma encoding failed");
    out.resize(int(strm.total_out));
    lzma_end(&strm);
    if (knownSize) {
        const quint64 size = quint64(data.size());
        for (int i = 0; i < 8; ++i)
            out[5 + i] = char(size >> (8 * i));
    }
    return out;
}

QByteArray fileTable(const QList<TableEntry>& entries)
{
    QByteArray t;
    t.append(char(entries.size() & 0xff));
    t.append(char(entries.size() >> 8));
    for (const TableEntry& e : entries) {
        t.append(char(e.name.size()));
        t.append('\0');
        t.append(e.name);
        QByteArray size(4, '\0');
        setLe32(size, 0, e.size);
        t.append(size);
    }
    return t;
}

QByteArray package(const QByteArray& lzmaPart, const QByteArray& table, qint64 lzmaLength)
{
    QByteArray p(CZR_Fzip::HeaderSize, '\0');
    setLe32(p, 0, CZR_Fzip::PackageMagic);
    setLe32(p, 16, quint32(lzmaLength < 0 ? lzmaPart.size() : lzmaLength));
    p.append(lzmaPart);
    p.append(table);
    fixCrc(p);
    return p;
}

void fixCrc(QByteArray& package)
{
    const QByteArray payload = package.mid(CZR_Fzip::HeaderSize);
    setLe32(package, 8,
            CZR_Fzip::RunCRC32(reinterpret_cast<const unsigned char*>(payload.constData()), quint32(payload.size()),
                               CZR_Fzip::PackageMagic));
}

} // namespace PackageTest
