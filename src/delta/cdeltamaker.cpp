#include "cdeltamaker.h"
#include "cbasecontent.h"
#include "cdeltaapplier.h"
#include "centrywriter.h"
#include "csha256.h"
#include "deltaformat.h"
#include "packageformat.h"
#include "safefiles.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <lzma.h>
#include <zstd.h>

#include <future>
#include <limits>
#include <memory>
#include <vector>

namespace {

using namespace DeltaFormat;

// Whole files are compressed in pieces of this size, so that an attempt that is already
// larger than the patch stops early.
const qint64 LzmaPiece = 256 << 10;

void appendLe16(QByteArray& out, quint16 v)
{
    out.append(char(v & 0xff));
    out.append(char(v >> 8));
}

void appendLe32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char(v >> (8 * i)));
}

void appendLe64(QByteArray& out, quint64 v)
{
    for (int i = 0; i < 8; ++i)
        out.append(char(v >> (8 * i)));
}

int highBit(quint64 v)
{
    int bit = 0;
    while (v >>= 1)
        ++bit;
    return bit;
}

// A name with each run of digits replaced, so that "libx.so.126.0.0" and
// "libx.so.127.0.0" meet.
QByteArray stem(const QByteArray& name)
{
    QByteArray out;
    bool inDigits = false;
    for (const char c : name) {
        const bool digit = c >= '0' && c <= '9';
        if (!digit)
            out.append(c);
        else if (!inDigits)
            out.append('#');
        inDigits = digit;
    }
    return out;
}

// The zstd frame of data patched from base; empty when the entry is too large for a
// window that keeps the whole base in reach, or compression fails.
QByteArray zstdPatch(ZSTD_CCtx* cctx, int level, const char* base, qint64 baseSize, const char* data, qint64 size)
{
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    const int windowLog = qMax(bounds.lowerBound, highBit(quint64(size)) + 1);
    if (windowLog > bounds.upperBound)
        return QByteArray();
    if (ZSTD_isError(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters))
        || ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level))
        || ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog))
        || ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1))
        || ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1))
        || ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0))
        || ZSTD_isError(ZSTD_CCtx_refPrefix(cctx, base, size_t(baseSize))))
        return QByteArray();
    const size_t bound = ZSTD_compressBound(size_t(size));
    if (bound > size_t(std::numeric_limits<int>::max()))
        return QByteArray();
    QByteArray out(int(bound), Qt::Uninitialized);
    const size_t n = ZSTD_compress2(cctx, out.data(), bound, data, size_t(size));
    if (ZSTD_isError(n))
        return QByteArray();
    out.resize(int(n));
    return out;
}

// data compressed with LZMA in the stand-alone format, its header giving the size;
// empty when it comes out larger than limit bytes (or fails).
QByteArray lzmaWhole(const char* data, qint64 size, quint32 preset, qint64 limit, const std::function<bool()>& cancelled)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, preset))
        return QByteArray();
    // The decoder's dictionary is at most the file's size: the memory of applying.
    options.dict_size = quint32(qBound<qint64>(LZMA_DICT_SIZE_MIN, size, options.dict_size));
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &options) != LZMA_OK)
        return QByteArray();
    struct Guard
    {
        lzma_stream& s;
        ~Guard() { lzma_end(&s); }
    } guard{strm};
    QByteArray out;
    QByteArray buffer(int(LzmaPiece), Qt::Uninitialized);
    qint64 fed = 0;
    for (;;) {
        if (strm.avail_in == 0 && fed < size) {
            const qint64 n = qMin(LzmaPiece, size - fed);
            strm.next_in = reinterpret_cast<const uint8_t*>(data + fed);
            strm.avail_in = size_t(n);
            fed += n;
        }
        strm.next_out = reinterpret_cast<uint8_t*>(buffer.data());
        strm.avail_out = size_t(buffer.size());
        const lzma_ret ret = lzma_code(&strm, fed < size || strm.avail_in > 0 ? LZMA_RUN : LZMA_FINISH);
        out.append(buffer.constData(), buffer.size() - int(strm.avail_out));
        if (qint64(out.size()) > limit || (cancelled && cancelled()))
            return QByteArray();
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK)
            return QByteArray();
    }
    if (out.size() < PackageFormat::LzmaHeaderSize)
        return QByteArray();
    for (int i = 0; i < 8; ++i)
        out[PackageFormat::LzmaUnpackedSizeOffset + i] = char(quint64(size) >> (8 * i));
    return out;
}

using Context = std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)>;

// The smallest of the patches at each level, made at once (a thread each). zstd's sizes
// are not monotonic in the level: on recompiled binaries one level below the highest
// regular one is often a few per cent smaller.
QByteArray bestPatch(std::vector<Context>& contexts, const QVector<int>& levels, const char* base, qint64 baseSize,
                     const char* data, qint64 size)
{
    std::vector<std::future<QByteArray>> others;
    for (int i = 1; i < levels.size(); ++i)
        others.push_back(std::async(std::launch::async, zstdPatch, contexts[size_t(i)].get(), levels.at(i), base,
                                    baseSize, data, size));
    QByteArray best = zstdPatch(contexts[0].get(), levels.at(0), base, baseSize, data, size);
    for (auto& other : others) {
        const QByteArray patch = other.get();
        if (!patch.isEmpty() && (best.isEmpty() || patch.size() < best.size()))
            best = patch;
    }
    return best;
}

QByteArray recordHeader(Method method, quint16 baseEntry, qint64 dataLength, const QByteArray& sha256)
{
    QByteArray header;
    header.append(char(method));
    header.append('\0');
    appendLe16(header, baseEntry);
    appendLe64(header, quint64(dataLength));
    header.append(sha256);
    return header;
}

} // namespace

bool CDeltaMaker::fail(const QString& error)
{
    m_strError = error;
    return false;
}

// What one make() works with.
struct CDeltaMaker::Run
{
    QString oldPath;
    QString newPath;
    CBaseContent oldContent;
    CBaseContent newContent;
    // The old entries by content, by name and by name without its digits.
    QHash<QByteArray, int> bySha;
    QHash<QByteArray, int> byName;
    QMultiHash<QByteArray, int> byStem;
    std::vector<Context> contexts;
};

bool CDeltaMaker::make(const QString& oldPath, const QString& newPath, const QString& outPath)
{
    m_strError.clear();
    m_figures = Figures();
    const QString scratch = m_strScratchDir.isEmpty() ? QDir::tempPath() : m_strScratchDir;

    Run run;
    run.oldPath = oldPath;
    run.newPath = newPath;
    if (!openReleases(run, scratch) || !indexOld(run))
        return false;

    const QFileInfo out(outPath);
    QTemporaryFile file(out.absolutePath() + QStringLiteral("/.") + out.fileName() + QStringLiteral(".XXXXXX"));
    if (!file.open())
        return fail(outPath + QStringLiteral(": cannot create a temporary file beside it: ") + file.errorString());
    const QByteArray table = run.newContent.table().canonical();
    QByteArray header(Magic, sizeof Magic);
    appendLe32(header, Version);
    header.append(m_baBaseDigest);
    header.append(m_baResultDigest);
    appendLe32(header, quint32(table.size()));
    if (file.write(header) != header.size() || file.write(table) != table.size())
        return fail(outPath + QStringLiteral(": cannot write: ") + file.errorString());
    if (!writeRecords(run, file, outPath))
        return false;
    if (!file.flush() || !Comm::syncFile(file.handle(), file.fileName()))
        return fail(outPath + QStringLiteral(": cannot write: ") + file.errorString());
    m_figures.deltaBytes = file.size();

    // Checked as an updater will use it, before it takes the output's name.
    CDeltaApplier check;
    check.setScratchDir(scratch);
    check.setMemoryLimit(std::numeric_limits<qint64>::max());
    if (check.apply(oldPath, file.fileName(), QString(), QString()) != CDeltaApplier::Applied
        || check.contentSha256() != m_baResultDigest)
        return fail(QStringLiteral("the delta made does not give the new release when applied: ") + check.reason());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    if (!Comm::renameAndSync(file.fileName(), outPath))
        return fail(outPath + QStringLiteral(": cannot be replaced"));
    file.setAutoRemove(false);
    return true;
}

bool CDeltaMaker::openReleases(Run& run, const QString& scratch)
{
    QString why;
    if (!run.oldContent.open(run.oldPath, &why))
        return fail(run.oldPath + QStringLiteral(": ") + why);
    if (!run.newContent.open(run.newPath, &why))
        return fail(run.newPath + QStringLiteral(": ") + why);
    const QVector<CFileTable::Entry>& oldEntries = run.oldContent.table().entries();
    const QVector<CFileTable::Entry>& newEntries = run.newContent.table().entries();
    if (oldEntries.size() > int(NoBaseEntry))
        return fail(run.oldPath + QStringLiteral(": more entries than a delta can refer to"));
    for (const CFileTable::Entry& entry : newEntries) {
        if (entry.name.isEmpty() || !CEntryWriter::isSafeEntryName(QString::fromUtf8(entry.name)))
            return fail(run.newPath + QStringLiteral(": an entry name the updater refuses: ") + QString::fromUtf8(entry.name));
    }
    if (run.newContent.table().total() > 0xFFFFFFFFu)
        return fail(run.newPath + QStringLiteral(": its files add up to 4 GiB or more"));
    if (!run.oldContent.decode(QVector<bool>(oldEntries.size(), true), scratch, &m_baBaseDigest, &why))
        return fail(run.oldPath + QStringLiteral(": ") + why);
    if (!run.newContent.decode(QVector<bool>(newEntries.size(), true), scratch, &m_baResultDigest, &why))
        return fail(run.newPath + QStringLiteral(": ") + why);
    return true;
}

bool CDeltaMaker::indexOld(Run& run)
{
    const QVector<CFileTable::Entry>& oldEntries = run.oldContent.table().entries();
    for (int i = 0; i < oldEntries.size(); ++i) {
        const CFileTable::Entry& entry = oldEntries.at(i);
        if (entry.size == 0)
            continue;
        QString why;
        const char* bytes = run.oldContent.map(i, &why);
        if (!bytes)
            return fail(run.oldPath + QStringLiteral(": ") + why);
        CSha256 sha;
        sha.addData(bytes, entry.size);
        run.bySha.insert(sha.result(), i);
        run.byName.insert(entry.name, i);
        run.byStem.insert(stem(entry.name), i);
        run.oldContent.unmap();
    }
    return true;
}

bool CDeltaMaker::writeRecords(Run& run, QFile& file, const QString& outPath)
{
    for (int i = 0; i < qMax(m_vecZstdLevels.size(), m_vecLargeZstdLevels.size()); ++i) {
        run.contexts.emplace_back(ZSTD_createCCtx(), ZSTD_freeCCtx);
        if (!run.contexts.back())
            return fail(QStringLiteral("no zstd encoder"));
    }
    for (int i = 0; i < run.newContent.table().count(); ++i) {
        if (cancelled())
            return fail(QStringLiteral("interrupted"));
        QByteArray record;
        QByteArray data;
        if (!makeRecord(run, i, &record, &data))
            return false;
        if (file.write(record) != record.size() || file.write(data) != data.size())
            return fail(outPath + QStringLiteral(": cannot write: ") + file.errorString());
    }
    return true;
}

bool CDeltaMaker::makeRecord(Run& run, int index, QByteArray* record, QByteArray* data)
{
    const CFileTable::Entry& entry = run.newContent.table().entries().at(index);
    if (entry.size == 0) {
        *record = recordHeader(Empty, NoBaseEntry, 0, CSha256().result());
        ++m_figures.empty;
        return true;
    }
    QString why;
    const char* bytes = run.newContent.map(index, &why);
    if (!bytes)
        return fail(run.newPath + QStringLiteral(": ") + why);
    CSha256 hasher;
    hasher.addData(bytes, entry.size);
    const QByteArray sha = hasher.result();
    const int same = run.bySha.value(sha, -1);
    bool made = true;
    if (same >= 0 && run.oldContent.table().entries().at(same).size == entry.size) {
        *record = recordHeader(Copy, quint16(same), 0, sha);
        ++m_figures.copied;
    } else {
        made = patchOrWhole(run, index, bytes, sha, record, data);
    }
    run.newContent.unmap();
    return made;
}

bool CDeltaMaker::patchOrWhole(Run& run, int index, const char* bytes, const QByteArray& sha, QByteArray* record,
                               QByteArray* data)
{
    const CFileTable::Entry& entry = run.newContent.table().entries().at(index);
    const QVector<CFileTable::Entry>& oldEntries = run.oldContent.table().entries();
    int from = run.byName.value(entry.name, -1);
    if (from < 0) {
        for (const int candidate : run.byStem.values(stem(entry.name)))
            if (from < 0 || qAbs(qint64(oldEntries.at(candidate).size) - qint64(entry.size))
                                < qAbs(qint64(oldEntries.at(from).size) - qint64(entry.size)))
                from = candidate;
    }
    QByteArray patch;
    if (from >= 0) {
        QString why;
        const char* base = run.oldContent.map(from, &why);
        if (!base)
            return fail(run.oldPath + QStringLiteral(": ") + why);
        patch = bestPatch(run.contexts, entry.size > LargeFile ? m_vecLargeZstdLevels : m_vecZstdLevels, base,
                          oldEntries.at(from).size, bytes, entry.size);
        run.oldContent.unmap();
    }
    const qint64 limit = patch.isEmpty() ? std::numeric_limits<qint64>::max() : qint64(patch.size()) - 1;
    const QByteArray whole = lzmaWhole(bytes, entry.size, m_nLzmaPreset, limit, m_fnCancelled);
    if (cancelled())
        return fail(QStringLiteral("interrupted"));
    if (!whole.isEmpty()) {
        *record = recordHeader(Whole, NoBaseEntry, whole.size(), sha);
        *data = whole;
        ++m_figures.whole;
    } else if (!patch.isEmpty()) {
        *record = recordHeader(Patch, quint16(from), patch.size(), sha);
        *data = patch;
        ++m_figures.patched;
    } else {
        return fail(run.newPath + QStringLiteral(": ") + QString::fromUtf8(entry.name)
                    + QStringLiteral(" can be neither patched nor compressed"));
    }
    return true;
}
