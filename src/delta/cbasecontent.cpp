#include "cbasecontent.h"
#include "ccontentdigest.h"
#include "clzmaalonedecoder.h"
#include "deltaformat.h"
#include "packageformat.h"

#include <QDebug>

#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const int ChunkSize = 128 << 10;

quint32 le32(const unsigned char* p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

// What the decoder of a kept base still holds once its input is all in, into sink;
// produced counts on from the bytes decoded so far, up to total.
bool drainKeptBase(ZSTD_DCtx* dctx, QByteArray& out, quint64 produced, quint64 total,
                   const std::function<bool(const char*, qint64)>& sink, QString* reason)
{
    size_t ret = 1;
    while (ret != 0) {
        ZSTD_inBuffer input = {nullptr, 0, 0};
        ZSTD_outBuffer output = {out.data(), size_t(out.size()), 0};
        ret = ZSTD_decompressStream(dctx, &output, &input);
        if (ZSTD_isError(ret) || output.pos == 0) {
            *reason = QStringLiteral("the kept base's stream is cut short");
            return false;
        }
        produced += output.pos;
        if (produced > total || !sink(out.constData(), qint64(output.pos))) {
            *reason = QStringLiteral("the kept base's stream is longer than its file table says");
            return false;
        }
    }
    return true;
}

} // namespace

CBaseContent::CBaseContent()
{
}

CBaseContent::~CBaseContent()
{
    unmap();
    if (m_nScratchFd >= 0)
        ::close(m_nScratchFd);
}

bool CBaseContent::open(const QString& path, QString* reason)
{
    m_kind = NoBase;
    m_file.close();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("the base cannot be opened: %1").arg(m_file.errorString());
        return false;
    }
    const qint64 fileSize = m_file.size();
    unsigned char header[DeltaFormat::BaseHeaderSize] = {};
    const qint64 got = m_file.read(reinterpret_cast<char*>(header), sizeof header);
    if (got >= PackageFormat::HeaderSize && le32(header + PackageFormat::MagicOffset) == PackageFormat::Magic) {
        const quint32 lzmaSize = le32(header + PackageFormat::LzmaSizeOffset);
        if (qint64(lzmaSize) > fileSize - PackageFormat::HeaderSize) {
            *reason = QStringLiteral("the base package's LZMA part reaches past its end");
            return false;
        }
        m_nStreamOffset = PackageFormat::HeaderSize;
        m_nStreamLength = lzmaSize;
        if (!m_file.seek(m_nStreamOffset + m_nStreamLength) || !m_table.readPackageTable(m_file)) {
            *reason = QStringLiteral("the base package's file table is cut short");
            return false;
        }
        m_kind = PackageFile;
        return true;
    }
    if (got == DeltaFormat::BaseHeaderSize && std::memcmp(header, DeltaFormat::BaseMagic, 8) == 0) {
        if (le32(header + DeltaFormat::VersionOffset) != DeltaFormat::Version) {
            *reason = QStringLiteral("the kept base has another version");
            return false;
        }
        const quint32 tableSize = le32(header + DeltaFormat::BaseTableSizeOffset);
        if (tableSize > quint64(CFileTable::MaxCanonicalSize) || qint64(tableSize) > fileSize - got) {
            *reason = QStringLiteral("the kept base's file table does not fit in it");
            return false;
        }
        const QByteArray table = m_file.read(tableSize);
        if (table.size() != int(tableSize) || !m_table.parseCanonical(table, reason)) {
            if (table.size() != int(tableSize))
                *reason = QStringLiteral("the kept base's file table cannot be read");
            return false;
        }
        m_baStatedDigest =
            QByteArray(reinterpret_cast<const char*>(header + DeltaFormat::BaseDigestOffsetInBase), DeltaFormat::DigestSize);
        m_nStreamOffset = DeltaFormat::BaseHeaderSize + qint64(tableSize);
        m_nStreamLength = fileSize - m_nStreamOffset;
        m_kind = KeptBase;
        return true;
    }
    *reason = QStringLiteral("the base is neither a package nor a kept base");
    return false;
}

bool CBaseContent::openScratch(const QString& scratchDir, QString* reason)
{
    const QByteArray dir = QFile::encodeName(scratchDir);
    int fd = ::open(dir.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    // O_TMPFILE is not known to every file system: a name nobody else can hold, unlinked
    // at once, does the same.
    for (int n = 0; fd < 0 && n < 100; ++n) {
        const QByteArray name = dir + "/.delta-base-" + QByteArray::number(qint64(::getpid())) + '-' + QByteArray::number(n);
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::unlink(name.constData());
        else if (errno != EEXIST)
            break;
    }
    if (fd < 0) {
        *reason = QStringLiteral("no temporary file can be made in %1: %2").arg(scratchDir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_nScratchFd = fd;
    return true;
}

bool CBaseContent::keepEntries(const QVector<bool>& keep, const QString& scratchDir, QFile* scratch, QString* reason)
{
    const QVector<CFileTable::Entry>& entries = m_table.entries();
    const bool keeping = keep.contains(true);
    m_vecKeptOffset.fill(-1, entries.size());
    qint64 keptBytes = 0;
    for (int i = 0; i < entries.size() && keeping; ++i)
        if (keep.value(i)) {
            m_vecKeptOffset[i] = keptBytes;
            keptBytes += entries.at(i).size;
        }
    if (!keeping)
        return true;
    if (m_nScratchFd < 0 && !openScratch(scratchDir, reason))
        return false;
    if (::ftruncate(m_nScratchFd, 0) != 0 || ::lseek(m_nScratchFd, 0, SEEK_SET) != 0
        || !scratch->open(m_nScratchFd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
        *reason = QStringLiteral("the temporary file of the base cannot be written");
        return false;
    }
    return true;
}

bool CBaseContent::decode(const QVector<bool>& keep, const QString& scratchDir, QByteArray* digest, QString* reason)
{
    const QVector<CFileTable::Entry>& entries = m_table.entries();
    const bool keeping = keep.contains(true);
    QFile scratch;
    if (!keepEntries(keep, scratchDir, &scratch, reason))
        return false;

    CContentDigest content;
    content.addTable(m_table);
    int entry = -1;
    qint64 left = 0;
    quint64 produced = 0;
    bool writeFailed = false;
    const auto sink = [&](const char* data, qint64 size) {
        content.addContent(data, size);
        produced += quint64(size);
        while (size > 0) {
            while (left == 0 && entry < entries.size()) {
                ++entry;
                left = entry < entries.size() ? entries.at(entry).size : 0;
            }
            if (entry >= entries.size())
                return false; // more than the table's total
            const qint64 take = qMin(size, left);
            if (keeping && m_vecKeptOffset.at(entry) >= 0 && scratch.write(data, take) != take) {
                writeFailed = true;
                return false;
            }
            data += take;
            size -= take;
            left -= take;
        }
        return true;
    };

    const bool decoded = m_kind == PackageFile ? decodePackage(sink, reason) : decodeKeptBase(sink, reason);
    if (writeFailed || (keeping && !scratch.flush())) {
        *reason = QStringLiteral("the temporary file of the base cannot be written");
        return false;
    }
    if (!decoded)
        return false;
    if (produced != m_table.total()) {
        *reason = QStringLiteral("the base's stream ends after %1 of its %2 bytes").arg(produced).arg(m_table.total());
        return false;
    }
    *digest = content.result();
    return true;
}

bool CBaseContent::decodePackage(const std::function<bool(const char*, qint64)>& sink, QString* reason)
{
    if (!m_file.seek(m_nStreamOffset)) {
        *reason = QStringLiteral("the base cannot be read");
        return false;
    }
    if (CLzmaAloneDecoder::decode(m_file, m_nStreamLength, m_table.total(), sink) != 1) {
        *reason = QStringLiteral("the base package's LZMA part does not decode");
        return false;
    }
    return true;
}

bool CBaseContent::decodeKeptBase(const std::function<bool(const char*, qint64)>& sink, QString* reason)
{
    if (!m_file.seek(m_nStreamOffset)) {
        *reason = QStringLiteral("the base cannot be read");
        return false;
    }
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    struct Guard
    {
        ZSTD_DCtx* d;
        ~Guard() { ZSTD_freeDCtx(d); }
    } guard{dctx};
    if (!dctx || ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, DeltaFormat::BaseWindowLogMax))) {
        *reason = QStringLiteral("no zstd decoder");
        return false;
    }
    QByteArray in(ChunkSize, Qt::Uninitialized);
    QByteArray out(ChunkSize, Qt::Uninitialized);
    qint64 inputLeft = m_nStreamLength;
    quint64 produced = 0;
    size_t ret = 1;
    while (inputLeft > 0) {
        const qint64 n = m_file.read(in.data(), qMin<qint64>(in.size(), inputLeft));
        if (n <= 0) {
            *reason = QStringLiteral("the base cannot be read");
            return false;
        }
        inputLeft -= n;
        ZSTD_inBuffer input = {in.constData(), size_t(n), 0};
        while (input.pos < input.size) {
            if (ret == 0) {
                *reason = QStringLiteral("bytes follow the kept base's stream");
                return false;
            }
            ZSTD_outBuffer output = {out.data(), size_t(out.size()), 0};
            ret = ZSTD_decompressStream(dctx, &output, &input);
            if (ZSTD_isError(ret)) {
                *reason = QStringLiteral("the kept base's stream does not decode: %1").arg(QLatin1String(ZSTD_getErrorName(ret)));
                return false;
            }
            produced += output.pos;
            if (produced > m_table.total() || (output.pos > 0 && !sink(out.constData(), qint64(output.pos)))) {
                *reason = QStringLiteral("the kept base's stream is longer than its file table says");
                return false;
            }
        }
    }
    return ret == 0 || drainKeptBase(dctx, out, produced, m_table.total(), sink, reason);
}

const char* CBaseContent::map(int index, QString* reason)
{
    static const char nothing = 0;
    unmap();
    if (index < 0 || index >= m_vecKeptOffset.size() || m_vecKeptOffset.at(index) < 0) {
        *reason = QStringLiteral("base entry %1 was not kept").arg(index);
        return nullptr;
    }
    const quint64 size = m_table.entries().at(index).size;
    if (size == 0)
        return &nothing;
    const qint64 offset = m_vecKeptOffset.at(index);
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const qint64 start = offset - offset % page;
    const quint64 length = quint64(offset - start) + size;
    if (length > quint64(SIZE_MAX)) {
        *reason = QStringLiteral("base entry %1 is too large for this machine's address space").arg(index);
        return nullptr;
    }
    void* p = ::mmap(nullptr, size_t(length), PROT_READ, MAP_SHARED, m_nScratchFd, off_t(start));
    if (p == MAP_FAILED) {
        *reason = QStringLiteral("base entry %1 (%2 bytes) cannot be mapped: %3")
                      .arg(index)
                      .arg(size)
                      .arg(QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    m_pMapping = p;
    m_nMappingLength = size_t(length);
    return static_cast<const char*>(p) + (offset - start);
}

void CBaseContent::unmap()
{
    if (m_pMapping)
        ::munmap(m_pMapping, m_nMappingLength);
    m_pMapping = nullptr;
    m_nMappingLength = 0;
}

bool CBaseContent::digestOf(const QString& path, QByteArray* digest, QString* reason)
{
    CBaseContent base;
    return base.open(path, reason) && base.decode(QVector<bool>(), QString(), digest, reason);
}
