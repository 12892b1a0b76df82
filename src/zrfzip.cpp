#include "zrfzip.h"
#include "packageformat.h"
#include "safefiles.h"
#include "updatedefine.h"
#include "zrcrc32.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <lzma.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/statvfs.h>

namespace {

// Files are moved through a buffer of this size.
const qint64 ChunkSize = 64 << 10;

// The decoder may use at most this much memory. A package made with the highest
// preset needs about 65 MiB; a header asking for more is refused, not obeyed.
const quint64 DecoderMemoryLimit = quint64(1) << 30;

using PackageFormat::LzmaHeaderSize;

// The build's 64-bit file offsets make the block counts of statvfs 64 bits wide on
// 32-bit systems too.
static_assert(sizeof(fsblkcnt_t) == 8, "file system block counts must be 64 bits wide");

quint32 readLe32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

void writeLe32(unsigned char* p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
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

// Whether the 8-byte unpacked size of a stand-alone LZMA header gives a size: all
// ones means "unknown, the stream ends with an end marker".
bool lzmaSizeKnown(const unsigned char* sizeField)
{
    for (int i = 0; i < 8; ++i)
        if (sizeField[i] != 0xff)
            return true;
    return false;
}

// The entry count at the start of the file table; -1 when the table is shorter.
int readTableCount(QFile& table)
{
    unsigned char countBytes[2];
    if (table.read(reinterpret_cast<char*>(countBytes), 2) != 2)
        return -1;
    return countBytes[0] | countBytes[1] << 8;
}

struct TableEntry
{
    QByteArray rawName; // as stored, up to its length byte
    quint32 size = 0;
};

// Reads the next entry of the file table; false when the table ends inside it.
bool readTableEntry(QFile& table, TableEntry& entry)
{
    unsigned char lengthBytes[2];
    if (table.read(reinterpret_cast<char*>(lengthBytes), 2) != 2)
        return false;
    entry.rawName = table.read(lengthBytes[0]);
    unsigned char sizeBytes[4];
    if (entry.rawName.size() != lengthBytes[0] || table.read(reinterpret_cast<char*>(sizeBytes), 4) != 4)
        return false;
    entry.size = readLe32(sizeBytes);
    return true;
}

// The sum of the sizes of the entries the table (read from the current position of
// `table`) holds in full. At most 65535 sizes below 4 GiB: no overflow.
quint64 tableTotal(QFile& table)
{
    const int count = readTableCount(table);
    quint64 total = 0;
    TableEntry entry;
    for (int i = 0; i < count && readTableEntry(table, entry); ++i)
        total += entry.size;
    return total;
}

CZR_Fzip::FreeSpaceProbe freeSpaceProbe = nullptr;

// Whether the file system of destDir can take `declared` bytes and still keep the
// reserve free.
bool enoughSpace(const QString& destDir, quint64 declared)
{
    const qint64 available = freeSpaceProbe ? freeSpaceProbe(destDir) : CZR_Fzip::availableSpace(destDir);
    if (available < 0) {
        qDebug() << "not enough space: the space available for" << destDir << "is unknown";
        return false;
    }
    // declared is below 2^48 (65535 sizes below 4 GiB), so the signed comparison holds
    if (qint64(declared) > available - qint64(CZR_Fzip::FreeSpaceReserve)) {
        qDebug() << "not enough space: the package unpacks to" << declared << "bytes," << available
                 << "bytes are available for" << destDir << "and" << int(CZR_Fzip::FreeSpaceReserve)
                 << "must stay free";
        return false;
    }
    return true;
}

// Decodes the stand-alone LZMA stream read from `in` (at its start) into `out`, at most
// maxOutput bytes of it. 1 when the stream was decoded up to its end, to the size its
// header gives, or to maxOutput, and written; 0 otherwise.
int decodeStream(QFile& in, QFile& out, quint64 maxOutput)
{
    unsigned char header[LzmaHeaderSize];
    if (in.read(reinterpret_cast<char*>(header), LzmaHeaderSize) != LzmaHeaderSize)
        return 0;

    // The header's unpacked size is 64 bits, all ones when unknown; only its low
    // 32 bits count, as the exact length of the output. The decoder is told "unknown"
    // and stopped here at that length, so a stream that goes on past it still gives
    // its first bytes. No back-reference in those bytes reaches further than the
    // output itself, so a larger dictionary would only waste memory.
    const bool sizeKnown = lzmaSizeKnown(header + 5);
    quint64 limit = ~quint64(0);
    if (sizeKnown) {
        limit = readLe32(header + 5);
        const quint32 enough = qMax<quint32>(quint32(limit), 4096);
        if (readLe32(header + 1) > enough)
            writeLe32(header + 1, enough);
        writeLe32(header + 5, 0xFFFFFFFFu);
        writeLe32(header + 9, 0xFFFFFFFFu);
    }
    const bool cut = maxOutput < limit;
    limit = qMin(limit, maxOutput);

    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&strm, DecoderMemoryLimit) != LZMA_OK)
        return 0;

    QByteArray inBuffer(int(ChunkSize), Qt::Uninitialized);
    QByteArray outBuffer(int(ChunkSize), Qt::Uninitialized);
    // The header goes through the decoder first, even when no output is wanted, so
    // that bad properties or too large a dictionary are refused all the same.
    strm.next_in = header;
    strm.avail_in = LzmaHeaderSize;
    lzma_action action = LZMA_RUN;
    quint64 written = 0;
    bool complete = false;
    for (;;) {
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
        if (written == limit && (produced > 0 || ret == LZMA_OK || ret == LZMA_STREAM_END)) {
            if (cut)
                qDebug() << "LZMA decoding stopped at the file table's total of" << written << "bytes";
            complete = true;
            break;
        }
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
    lzma_end(&strm);
    if (!out.flush())
        complete = false;
    return complete ? 1 : 0;
}

} // namespace

QStringList CZR_Fzip::temporaryFileNames()
{
    return { QStringLiteral("infile_tmp"), QStringLiteral("outfile_tmp"), QStringLiteral("fileover_tmp") };
}

namespace {

// The three temporary files of one unpacking, in `dir`. They are removed when the
// object goes out of scope unless they were removed earlier.
struct TemporaryFiles
{
    QString lzmaPart;
    QString unpacked;
    QString table;
    bool present = true;

    explicit TemporaryFiles(const QString& dir)
        : lzmaPart(dir + CZR_Fzip::temporaryFileNames().at(0))
        , unpacked(dir + CZR_Fzip::temporaryFileNames().at(1))
        , table(dir + CZR_Fzip::temporaryFileNames().at(2))
    {
    }
    ~TemporaryFiles() { remove(); }

    void remove()
    {
        if (!present)
            return;
        // unlink: a link standing at one of the names goes, not what it points to
        Comm::removeNonDirectory(lzmaPart);
        Comm::removeNonDirectory(unpacked);
        Comm::removeNonDirectory(table);
        present = false;
    }
};

// What the header says of the package's parts.
struct PackageParts
{
    quint32 lzmaSize = 0;      // length of the LZMA part, which follows the header
    qint64 tableOffset = 0;    // where the file table starts
    quint64 entriesTotal = 0;  // sum of the file table's entry sizes
};

// Unzip2's first phase: reads the header (package at its start), checks the magic and
// the CRC of everything after the header, and that the LZMA part lies within it.
int checkHeaderAndCrc(QFile& package, QByteArray& buffer, PackageParts& parts)
{
    unsigned char header[CZR_Fzip::HeaderSize] = {};
    if (package.read(reinterpret_cast<char*>(header), CZR_Fzip::HeaderSize) != CZR_Fzip::HeaderSize
        || readLe32(header + PackageFormat::MagicOffset) != quint32(CZR_Fzip::PackageMagic))
        return CZR_Fzip::NotAPackage;

    quint32 crc = 0;
    qint64 payloadSize = 0;
    for (;;) {
        const qint64 n = package.read(buffer.data(), buffer.size());
        if (n < 0)
            return CZR_Fzip::PackageUnreadable;
        if (n == 0)
            break;
        crc = CZR_Crc32::Update(crc, reinterpret_cast<const unsigned char*>(buffer.constData()), size_t(n),
                                CZR_Crc32::PackagePolynomial);
        payloadSize += n;
    }
    if (crc != readLe32(header + PackageFormat::CrcOffset))
        return CZR_Fzip::CrcMismatch;

    parts.lzmaSize = readLe32(header + PackageFormat::LzmaSizeOffset);
    if (parts.lzmaSize > payloadSize) {
        qDebug() << "the LZMA part reaches past the end of the package";
        return CZR_Fzip::DecodeFailed;
    }
    parts.tableOffset = CZR_Fzip::HeaderSize + qint64(parts.lzmaSize);
    return CZR_Fzip::Unpacked;
}

// Unzip2's second phase: what the package claims to unpack to (see Unzip2), checked
// against the space of destDir before anything is written.
int checkDeclaredSize(QFile& package, const QString& destDir, PackageParts& parts)
{
    if (!package.seek(parts.tableOffset))
        return CZR_Fzip::PackageUnreadable;
    parts.entriesTotal = tableTotal(package);
    quint64 declared = parts.entriesTotal;
    if (parts.lzmaSize >= quint32(LzmaHeaderSize)) {
        unsigned char lzmaHeader[LzmaHeaderSize];
        if (!package.seek(CZR_Fzip::HeaderSize)
            || package.read(reinterpret_cast<char*>(lzmaHeader), LzmaHeaderSize) != LzmaHeaderSize)
            return CZR_Fzip::PackageUnreadable;
        if (lzmaSizeKnown(lzmaHeader + PackageFormat::LzmaUnpackedSizeOffset))
            declared = readLe32(lzmaHeader + PackageFormat::LzmaUnpackedSizeOffset);
    }
    if (!enoughSpace(destDir, declared))
        return CZR_Fzip::NotEnoughSpace;
    return CZR_Fzip::Unpacked;
}

// Unzip2's third phase: the LZMA part decoded into stream, the file table copied into
// table, each through a temporary file of the working folder; both are left open at
// their starts, the package closed and the temporary files' names gone.
int unpackLzmaParts(QFile& package, const PackageParts& parts, QByteArray& buffer, QFile& stream, QFile& table)
{
    const QString workingDir = Comm::workingDir();
    if (workingDir.isEmpty()) {
        qDebug() << "no private working folder for the temporary files of unpacking";
        return CZR_Fzip::DecodeFailed;
    }
    TemporaryFiles temps(workingDir + QStringLiteral("/uncompress/"));

    QFile lzmaPart;
    if (!Comm::createNewFile(lzmaPart, temps.lzmaPart, QIODevice::ReadWrite))
        return CZR_Fzip::DecodeFailed;
    if (!package.seek(CZR_Fzip::HeaderSize) || !Comm::copyData(package, lzmaPart, buffer, parts.lzmaSize)
        || !lzmaPart.flush() || !lzmaPart.seek(0))
        return CZR_Fzip::DecodeFailed;

    if (!Comm::createNewFile(stream, temps.unpacked, QIODevice::ReadWrite))
        return CZR_Fzip::DecodeFailed;
    if (decodeStream(lzmaPart, stream, parts.entriesTotal) != 1 || !stream.seek(0))
        return CZR_Fzip::DecodeFailed;
    lzmaPart.close();

    if (!Comm::createNewFile(table, temps.table, QIODevice::ReadWrite))
        return CZR_Fzip::DecodeFailed;
    if (!package.seek(parts.tableOffset) || !Comm::copyData(package, table, buffer) || !table.flush() || !table.seek(0))
        return CZR_Fzip::DecodeFailed;
    package.close();

    // Both files stay readable through their open handles; without their names an
    // entry that happens to carry one of them cannot clash with them.
    temps.remove();
    return CZR_Fzip::Unpacked;
}

// The folders in which unpacking made a name (a file or a folder), each once, in the
// order first met.
struct TouchedFolders
{
    QStringList list;
    QSet<QString> seen;

    // Notes the folder that holds path.
    void addParentOf(const QString& path)
    {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString folder = slash < 0 ? QStringLiteral(".") : QDir::cleanPath(path.left(slash + 1));
        if (!seen.contains(folder)) {
            seen.insert(folder);
            list.append(folder);
        }
    }
};

// Writes one entry of the file table below dirPath (which ends in '/'), its bytes the
// next entry.size of stream; a file is synced to disk before it counts as written, and
// the folder a name was made in is noted in touched. False (logged) when it is refused
// or not written and synced whole.
bool writeEntry(const QString& dirPath, const TableEntry& entry, QFile& stream, QByteArray& buffer,
                TouchedFolders& touched)
{
    QByteArray rawName = entry.rawName;
    const int nul = rawName.indexOf('\0');
    if (nul >= 0)
        rawName.truncate(nul);
    const QString name = QString::fromUtf8(rawName);
    const quint32 size = entry.size;
    if (!isSafeEntryName(name)) {
        qDebug() << "refused entry name" << name;
        return false;
    }

    QString relative = name;
    if (size == 0 && relative.endsWith(QLatin1Char('\\'))) {
        // A directory entry. A link standing at its name or on its way is not
        // followed: whatever it points to stays as it is.
        relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
        relative.chop(1);
        if (Comm::leadsThroughLink(dirPath, relative, true)) {
            qDebug() << "refused directory entry at or below a symbolic link:" << dirPath + relative;
            return false;
        }
        if (QDir().mkdir(dirPath + relative))
            touched.addParentOf(dirPath + relative);
        return true;
    }

    // A name ending in a backslash is taken as it stands, backslashes and all.
    if (!relative.endsWith(QLatin1Char('\\')))
        relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString path = dirPath + relative;
    if (Comm::leadsThroughLink(dirPath, relative, false)) {
        qDebug() << "refused entry below a symbolic link:" << path;
        return false;
    }
    QFile file;
    if (!Comm::createNewFile(file, path, QIODevice::WriteOnly)) {
        qDebug() << "cannot create" << path;
        return false;
    }
    touched.addParentOf(path);
    if (!Comm::copyData(stream, file, buffer, size) || !file.flush()) {
        qDebug() << "unpacked data missing or not written for" << path;
        file.close();
        Comm::removeNonDirectory(path);
        return false;
    }
    if (!Comm::syncFile(file.handle(), path)) {
        file.close();
        Comm::removeNonDirectory(path);
        return false;
    }
    file.close();
    return true;
}

// Syncs each folder in which unpacking made a name, so that the names last too. False
// (logged) at the first that fails.
bool syncTouchedFolders(const TouchedFolders& touched)
{
    for (const QString& folder : touched.list)
        if (!Comm::syncFolder(folder))
            return false;
    return true;
}

// Unzip2's last phase: the entries of the file table (table at its start), in order,
// below destDir.
int writeEntries(QFile& table, QFile& stream, const QString& destDir, QByteArray& buffer)
{
    const int count = readTableCount(table);
    if (count < 0) {
        qDebug() << "the file table is cut short";
        return CZR_Fzip::EntryNotWritten;
    }

    QString dirPath = destDir;
    if (!dirPath.endsWith(QLatin1Char('\\')) && !dirPath.endsWith(QLatin1Char('/')))
        dirPath += QLatin1Char('/');

    TableEntry entry;
    TouchedFolders touched;
    for (int i = 0; i < count; ++i) {
        if (!QDir(dirPath).exists() && QDir().mkdir(dirPath))
            touched.addParentOf(QDir::cleanPath(dirPath));
        if (!readTableEntry(table, entry)) {
            qDebug() << "the file table is cut short";
            return CZR_Fzip::EntryNotWritten;
        }
        if (!writeEntry(dirPath, entry, stream, buffer, touched))
            return CZR_Fzip::EntryNotWritten;
    }
    // Every file is on the disk; the package counts as unpacked once their names are.
    return syncTouchedFolders(touched) ? CZR_Fzip::Unpacked : CZR_Fzip::EntryNotWritten;
}

} // namespace

CZR_Fzip::CZR_Fzip()
{
}

CZR_Fzip::~CZR_Fzip()
{
}

void CZR_Fzip::setFreeSpaceProbe(FreeSpaceProbe probe)
{
    freeSpaceProbe = probe;
}

qint64 CZR_Fzip::availableSpace(const QString& dir)
{
    QString path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    for (;;) {
        struct statvfs st;
        if (::statvfs(QFile::encodeName(path).constData(), &st) == 0) {
            // both factors widened first: the product passes 4 GiB on any real disk
            const quint64 bytes = quint64(st.f_bavail) * quint64(st.f_frsize);
            return qint64(qMin<quint64>(bytes, quint64(std::numeric_limits<qint64>::max())));
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            qDebug() << "the file system of" << path << "cannot be examined:" << strerror(errno);
            return -1;
        }
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return -1;
        path = parent;
    }
}

int CZR_Fzip::Unzip2(const QString& packagePath, const QString& destDir)
{
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly))
        return PackageUnreadable;

    qDebug() << int(HeaderSize);
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    PackageParts parts;
    int result = checkHeaderAndCrc(package, buffer, parts);
    if (result == Unpacked)
        result = checkDeclaredSize(package, destDir, parts);
    QFile stream;
    QFile table;
    if (result == Unpacked)
        result = unpackLzmaParts(package, parts, buffer, stream, table);
    if (result == Unpacked)
        result = writeEntries(table, stream, destDir, buffer);
    return result;
}

int CZR_Fzip::UnzipFileToFile(const QString& lzmaPath, const QString& outPath)
{
    QFile in(lzmaPath);
    if (!in.open(QIODevice::ReadOnly))
        return 0;
    // the output is made only for an input with a whole header
    char header[LzmaHeaderSize];
    if (in.read(header, LzmaHeaderSize) != LzmaHeaderSize || !in.seek(0))
        return 0;

    QFile out;
    if (!Comm::createNewFile(out, outPath, QIODevice::WriteOnly))
        return 0;
    return decodeStream(in, out, ~quint64(0));
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
