#include "zrfzip.h"
#include "zrcrc32.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <lzma.h>

namespace {

// Files are moved through a buffer of this size.
const qint64 ChunkSize = 64 << 10;

// The decoder may use at most this much memory. A package made with the highest
// preset needs about 65 MiB; a header asking for more is refused, not obeyed.
const quint64 DecoderMemoryLimit = quint64(1) << 30;

const int LzmaHeaderSize = 13;

quint32 readLe32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

void writeLe32(unsigned char* p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Copies `count` bytes from `from` (at its current position) to `to`.
// False when `from` ends early or a write fails.
bool copyBytes(QFile& from, QFile& to, qint64 count, QByteArray& buffer)
{
    while (count > 0) {
        const qint64 n = from.read(buffer.data(), qMin(count, qint64(buffer.size())));
        if (n <= 0)
            return false;
        if (to.write(buffer.constData(), n) != n)
            return false;
        count -= n;
    }
    return true;
}

// Copies everything from the current position of `from` to its end.
bool copyRest(QFile& from, QFile& to, QByteArray& buffer)
{
    for (;;) {
        const qint64 n = from.read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (to.write(buffer.constData(), n) != n)
            return false;
    }
}

// A table entry may only name something below the destination: not an absolute
// path, and no ".." component (backslashes count as separators).
bool isSafeEntryName(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString& part : parts)
        if (part == QLatin1String(".."))
            return false;
    return true;
}

// The three temporary files of one unpacking. They are removed when the object goes
// out of scope unless they were removed earlier.
struct TemporaryFiles
{
    QString lzmaPart;
    QString unpacked;
    QString table;
    bool present = true;

    TemporaryFiles()
    {
        const QString dir = QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress/");
        lzmaPart = dir + QStringLiteral("infile_tmp");
        unpacked = dir + QStringLiteral("outfile_tmp");
        table = dir + QStringLiteral("fileover_tmp");
    }
    ~TemporaryFiles() { remove(); }

    void remove()
    {
        if (!present)
            return;
        QFile::remove(lzmaPart);
        QFile::remove(unpacked);
        QFile::remove(table);
        present = false;
    }
};

} // namespace

CZR_Fzip::CZR_Fzip()
{
}

CZR_Fzip::~CZR_Fzip()
{
}

int CZR_Fzip::Unzip2(const QString& packagePath, const QString& destDir)
{
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly))
        return -3;

    qDebug() << int(HeaderSize);
    unsigned char header[HeaderSize] = {};
    if (package.read(reinterpret_cast<char*>(header), HeaderSize) != HeaderSize
        || readLe32(header) != quint32(PackageMagic))
        return -1;

    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    quint32 crc = 0;
    qint64 payloadSize = 0;
    for (;;) {
        const qint64 n = package.read(buffer.data(), buffer.size());
        if (n < 0)
            return -3;
        if (n == 0)
            break;
        crc = CZR_Crc32::Update(crc, reinterpret_cast<const unsigned char*>(buffer.constData()), size_t(n),
                                CZR_Crc32::PackagePolynomial);
        payloadSize += n;
    }
    if (crc != readLe32(header + 8))
        return -2;

    const quint32 lzmaSize = readLe32(header + 16);
    if (lzmaSize > payloadSize) {
        qDebug() << "the LZMA part reaches past the end of the package";
        return -4;
    }

    TemporaryFiles temps;
    {
        QFile lzmaPart(temps.lzmaPart);
        if (!lzmaPart.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return -4;
        if (!package.seek(HeaderSize) || !copyBytes(package, lzmaPart, lzmaSize, buffer) || !lzmaPart.flush())
            return -4;
    }

    if (UnzipFileToFile(temps.lzmaPart, temps.unpacked) != 1)
        return -4;

    {
        QFile table(temps.table);
        if (!table.open(QIODevice::ReadWrite | QIODevice::Truncate))
            return -4;
        if (!package.seek(HeaderSize + qint64(lzmaSize)) || !copyRest(package, table, buffer) || !table.flush())
            return -4;
    }
    package.close();

    QFile table(temps.table);
    if (!table.open(QIODevice::ReadOnly))
        return -4;
    unsigned char countBytes[2];
    if (table.read(reinterpret_cast<char*>(countBytes), 2) != 2) {
        qDebug() << "the file table is cut short";
        return 0;
    }
    const int count = countBytes[0] | countBytes[1] << 8;
    QFile stream(temps.unpacked);
    if (!stream.open(QIODevice::ReadOnly))
        return -4;

    // Both files stay readable through their open handles; without their names an
    // entry that happens to carry one of them cannot clash with them.
    temps.remove();

    QString dirPath = destDir;
    if (!dirPath.endsWith(QLatin1Char('\\')) && !dirPath.endsWith(QLatin1Char('/')))
        dirPath += QLatin1Char('/');

    for (int i = 0; i < count; ++i) {
        if (!QDir(dirPath).exists())
            QDir().mkdir(dirPath);

        unsigned char lengthBytes[2];
        if (table.read(reinterpret_cast<char*>(lengthBytes), 2) != 2) {
            qDebug() << "the file table is cut short";
            return 0;
        }
        QByteArray rawName = table.read(lengthBytes[0]);
        unsigned char sizeBytes[4];
        if (rawName.size() != lengthBytes[0] || table.read(reinterpret_cast<char*>(sizeBytes), 4) != 4) {
            qDebug() << "the file table is cut short";
            return 0;
        }
        const int nul = rawName.indexOf('\0');
        if (nul >= 0)
            rawName.truncate(nul);
        const QString name = QString::fromUtf8(rawName);
        const quint32 size = readLe32(sizeBytes);
        if (!isSafeEntryName(name)) {
            qDebug() << "refused entry name" << name;
            return 0;
        }

        QString path = dirPath + name;
        if (!path.endsWith(QLatin1Char('\\')))
            path.replace(QLatin1Char('\\'), QLatin1Char('/'));

        QFile file(path);
        if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
            return 0;
        if (!copyBytes(stream, file, size, buffer) || !file.flush()) {
            qDebug() << "unpacked data missing or not written for" << path;
            file.remove();
            return 0;
        }
        file.close();

        if (size == 0 && (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))) {
            // A directory entry.
            file.remove();
            path.replace(QLatin1Char('\\'), QLatin1Char('/'));
            path.chop(1);
            QDir().mkdir(path);
        }
    }
    return 1;
}

int CZR_Fzip::UnzipFileToFile(const QString& lzmaPath, const QString& outPath)
{
    QFile in(lzmaPath);
    if (!in.open(QIODevice::ReadOnly))
        return 0;
    unsigned char header[LzmaHeaderSize];
    if (in.read(reinterpret_cast<char*>(header), LzmaHeaderSize) != LzmaHeaderSize)
        return 0;

    // The header's unpacked size is 64 bits, all ones when unknown; only its low
    // 32 bits count, as the exact length of the output. The decoder is told "unknown"
    // and stopped here at that length, so a stream that goes on past it still gives
    // its first bytes. No back-reference in those bytes reaches further than the
    // output itself, so a larger dictionary would only waste memory.
    bool sizeKnown = false;
    for (int i = 5; i < LzmaHeaderSize; ++i)
        if (header[i] != 0xff)
            sizeKnown = true;
    quint64 limit = ~quint64(0);
    if (sizeKnown) {
        limit = readLe32(header + 5);
        const quint32 enough = qMax<quint32>(quint32(limit), 4096);
        if (readLe32(header + 1) > enough)
            writeLe32(header + 1, enough);
        writeLe32(header + 5, 0xFFFFFFFFu);
        writeLe32(header + 9, 0xFFFFFFFFu);
    }

    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;

    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&strm, DecoderMemoryLimit) != LZMA_OK)
        return 0;

    QByteArray inBuffer(int(ChunkSize), Qt::Uninitialized);
    QByteArray outBuffer(int(ChunkSize), Qt::Uninitialized);
    strm.next_in = header;
    strm.avail_in = LzmaHeaderSize;
    lzma_action action = LZMA_RUN;
    quint64 written = 0;
    bool complete = false;
    while (written < limit) {
        if (strm.avail_in == 0 && action == LZMA_RUN) {
            const qint64 n = in.read(inBuffer.data(), inBuffer.size());
            if (n < 0)
                break;
            strm.next_in = reinterpret_cast<const uint8_t*>(inBuffer.constData());
            strm.avail_in = size_t(n);
            if (n == 0)
                action = LZMA_FINISH;
        }
        strm.next_out = reinterpret_cast<uint8_t*>(outBuffer.data());
        strm.avail_out = size_t(outBuffer.size());
        const lzma_ret ret = lzma_code(&strm, action);
        const qint64 produced = qint64(qMin<quint64>(quint64(outBuffer.size()) - strm.avail_out, limit - written));
        if (produced > 0 && out.write(outBuffer.constData(), produced) != produced)
            break;
        written += quint64(produced);
        if (written == limit)
            break;
        if (ret == LZMA_STREAM_END) {
            // the end marker came before the size the header promised
            complete = !sizeKnown;
            if (!complete)
                qDebug() << "the LZMA stream ends before its unpacked size";
            break;
        }
        if (ret != LZMA_OK) {
            qDebug() << "LZMA decoding failed, liblzma code" << int(ret);
            break;
        }
    }
    if (written == limit)
        complete = true;
    lzma_end(&strm);
    if (!out.flush())
        complete = false;
    return complete ? 1 : 0;
}

quint32 CZR_Fzip::RunCRC32(const unsigned char* data, quint32 length, quint32 polynomial)
{
    return CZR_Crc32::Update(0, data, length, polynomial);
}

void CZR_Fzip::BuildTable32(quint32 polynomial, quint32* table)
{
    CZR_Crc32::BuildTable(polynomial, table);
}

void CZR_Fzip::BuildTable64(quint32 polynomial, quint64* table)
{
    quint32 narrow[256];
    CZR_Crc32::BuildTable(polynomial, narrow);
    for (int i = 0; i < 256; ++i)
        table[i] = narrow[i];
}
