#include "zrfzip.h"

#include "cworkingfolder.h"
#include "ccontentdigest.h"
#include "centrywriter.h"
#include "clzmaalonedecoder.h"
#include "packageformat.h"
#include "safefiles.h"
#include "updatedefine.h"
#include "zrcrc32.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>


namespace {

// Files are moved through a buffer of this size.
const qint64 ChunkSize = 64 << 10;

using PackageFormat::LzmaHeaderSize;

quint32 readLe32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
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
// `table`) holds in full, each entry also added to digest when there is one. At most
// 65535 sizes below 4 GiB: no overflow.
quint64 tableTotal(QFile& table, CContentDigest* digest)
{
    const int count = readTableCount(table);
    if (digest && count >= 0)
        digest->beginTable(count);
    quint64 total = 0;
    TableEntry entry;
    for (int i = 0; i < count && readTableEntry(table, entry); ++i) {
        total += entry.size;
        if (digest)
            digest->addEntry(CEntryWriter::usedName(entry.rawName), entry.size);
    }
    return total;
}

// Decodes the stand-alone LZMA stream read from `in` (at its start) into `out`, at most
// maxOutput bytes of it, each piece also added to digest when there is one. 1 when the
// stream was decoded up to its end, to the size its header gives, or to maxOutput, and
// written; 0 otherwise.
int decodeStream(QFile& in, QFile& out, quint64 maxOutput, CContentDigest* digest = nullptr)
{
    int result = CLzmaAloneDecoder::decode(in, -1, maxOutput, [&out, digest](const char* data, qint64 size) {
        if (digest)
            digest->addContent(data, size);
        return out.write(data, size) == size;
    });
    if (!out.flush())
        result = 0;
    return result;
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
int checkDeclaredSize(QFile& package, const QString& destDir, PackageParts& parts, CContentDigest* digest)
{
    if (!package.seek(parts.tableOffset))
        return CZR_Fzip::PackageUnreadable;
    parts.entriesTotal = tableTotal(package, digest);
    quint64 declared = parts.entriesTotal;
    if (parts.lzmaSize >= quint32(LzmaHeaderSize)) {
        unsigned char lzmaHeader[LzmaHeaderSize];
        if (!package.seek(CZR_Fzip::HeaderSize)
            || package.read(reinterpret_cast<char*>(lzmaHeader), LzmaHeaderSize) != LzmaHeaderSize)
            return CZR_Fzip::PackageUnreadable;
        if (lzmaSizeKnown(lzmaHeader + PackageFormat::LzmaUnpackedSizeOffset))
            declared = readLe32(lzmaHeader + PackageFormat::LzmaUnpackedSizeOffset);
    }
    if (!CEntryWriter::enoughSpace(destDir, declared))
        return CZR_Fzip::NotEnoughSpace;
    return CZR_Fzip::Unpacked;
}

// Unzip2's third phase: the LZMA part decoded into stream, the file table copied into
// table, each through a temporary file of the working folder; both are left open at
// their starts, the package closed and the temporary files' names gone.
int unpackLzmaParts(QFile& package, const PackageParts& parts, QByteArray& buffer, QFile& stream, QFile& table,
                    CContentDigest* digest)
{
    const QString unpackFolder = CWorkingFolder::unpackDirectory();
    if (unpackFolder.isEmpty()) {
        qDebug() << "no private working folder for the temporary files of unpacking";
        return CZR_Fzip::DecodeFailed;
    }
    TemporaryFiles temps(unpackFolder);

    QFile lzmaPart;
    if (!Comm::createNewFile(lzmaPart, temps.lzmaPart, QIODevice::ReadWrite))
        return CZR_Fzip::DecodeFailed;
    if (!package.seek(CZR_Fzip::HeaderSize) || !Comm::copyData(package, lzmaPart, buffer, parts.lzmaSize)
        || !lzmaPart.flush() || !lzmaPart.seek(0))
        return CZR_Fzip::DecodeFailed;

    if (!Comm::createNewFile(stream, temps.unpacked, QIODevice::ReadWrite))
        return CZR_Fzip::DecodeFailed;
    if (decodeStream(lzmaPart, stream, parts.entriesTotal, digest) != 1 || !stream.seek(0))
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

// Unzip2's last phase: the entries of the file table (table at its start), in order,
// below destDir.
int writeEntries(QFile& table, QFile& stream, const QString& destDir, QByteArray& buffer)
{
    const int count = readTableCount(table);
    if (count < 0) {
        qDebug() << "the file table is cut short";
        return CZR_Fzip::EntryNotWritten;
    }

    CEntryWriter writer(destDir);
    TableEntry entry;
    for (int i = 0; i < count; ++i) {
        writer.prepareDestination();
        if (!readTableEntry(table, entry)) {
            qDebug() << "the file table is cut short";
            return CZR_Fzip::EntryNotWritten;
        }
        if (!writer.copyEntry(entry.rawName, entry.size, stream, buffer))
            return CZR_Fzip::EntryNotWritten;
    }
    // Every file is on the disk; the package counts as unpacked once their names are.
    return writer.finish() ? CZR_Fzip::Unpacked : CZR_Fzip::EntryNotWritten;
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
    CEntryWriter::setFreeSpaceProbe(probe);
}

qint64 CZR_Fzip::availableSpace(const QString& dir)
{
    return CEntryWriter::availableSpace(dir);
}

int CZR_Fzip::Unzip2(const QString& packagePath, const QString& destDir)
{
    return Unzip2(packagePath, destDir, nullptr);
}

int CZR_Fzip::Unzip2(const QString& packagePath, const QString& destDir, QByteArray* contentSha256)
{
    if (contentSha256)
        contentSha256->clear();
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly))
        return PackageUnreadable;

    qDebug() << int(HeaderSize);
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    PackageParts parts;
    int result = checkHeaderAndCrc(package, buffer, parts);
    CContentDigest digest;
    CContentDigest* hashing = contentSha256 ? &digest : nullptr;
    if (result == Unpacked)
        result = checkDeclaredSize(package, destDir, parts, hashing);
    QFile stream;
    QFile table;
    if (result == Unpacked)
        result = unpackLzmaParts(package, parts, buffer, stream, table, hashing);
    if (result == Unpacked)
        result = writeEntries(table, stream, destDir, buffer);
    if (result == Unpacked && contentSha256)
        *contentSha256 = digest.result();
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
