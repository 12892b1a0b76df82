#include "cdeltaapplier.h"
#include "cbasearchive.h"
#include "cbasecontent.h"
#include "ccontentdigest.h"
#include "cdeltareader.h"
#include "centrywriter.h"
#include "clzmaalonedecoder.h"
#include "csha256.h"
#include "packageformat.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <zstd.h>

#include <limits>
#include <memory>
#include <sys/stat.h>

namespace {

using namespace DeltaFormat;

const int ChunkSize = 128 << 10;
// The most a zstd frame header takes; its content size is read from these bytes.
const int ZstdFrameHeaderMax = 18;

using Sink = std::function<bool(const char*, qint64)>;

QString hex(const QByteArray& digest)
{
    return QString::fromLatin1(digest.toHex());
}

QString mib(quint64 bytes)
{
    return QString::number(double(bytes) / 1048576.0, 'f', 1) + QStringLiteral(" MiB");
}

int highBit(quint64 v)
{
    int bit = 0;
    while (v >>= 1)
        ++bit;
    return bit;
}

// The device of the file system that holds path, or of its nearest existing parent.
quint64 deviceOf(const QString& path)
{
    QString at = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    for (;;) {
        struct stat st;
        if (::stat(QFile::encodeName(at).constData(), &st) == 0)
            return quint64(st.st_dev);
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            return 0;
        at = parent;
    }
}

// Whether each file system written to can take all that goes onto it.
bool enoughSpace(const QVector<QPair<QString, quint64>>& needs)
{
    QMap<quint64, QPair<QString, quint64>> byDevice;
    for (const auto& need : needs) {
        if (need.first.isEmpty())
            continue;
        auto& slot = byDevice[deviceOf(need.first)];
        if (slot.first.isEmpty())
            slot.first = need.first;
        slot.second += need.second;
    }
    for (const auto& slot : byDevice)
        if (!CEntryWriter::enoughSpace(slot.first, slot.second))
            return false;
    return true;
}

// Sets dctx up for the zstd frame of a patch record (its data in delta, from the
// record's offset) with prefix as the frame's prefix, and leaves delta at the frame's
// start. False with the reason when the frame does not state size as its size.
bool startPatch(ZSTD_DCtx* dctx, QFile& delta, const CDeltaReader::Record& record, const char* prefix,
                qint64 prefixSize, quint32 size, QString* reason)
{
    QByteArray head(int(qMin<qint64>(record.dataLength, ZstdFrameHeaderMax)), Qt::Uninitialized);
    if (!delta.seek(record.dataOffset) || delta.read(head.data(), head.size()) != head.size()) {
        *reason = QStringLiteral("the delta cannot be read");
        return false;
    }
    const unsigned long long stated = ZSTD_getFrameContentSize(head.constData(), size_t(head.size()));
    if (stated != size) {
        *reason = QStringLiteral("its zstd frame does not state its size");
        return false;
    }
    // The window the frame may ask for: no more than a patch of this size needs, so the
    // decoder's buffer stays within the entry's size.
    const ZSTD_bounds bounds = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
    const int windowLog = qBound(bounds.lowerBound, highBit(size) + 1, bounds.upperBound);
    if (ZSTD_isError(ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters))
        || ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, windowLog))
        || ZSTD_isError(ZSTD_DCtx_refPrefix(dctx, prefix, size_t(prefixSize)))) {
        *reason = QStringLiteral("the zstd decoder cannot be set up");
        return false;
    }
    if (!delta.seek(record.dataOffset)) {
        *reason = QStringLiteral("the delta cannot be read");
        return false;
    }
    return true;
}

// Decodes the zstd frame of a patch record (its data in delta, from the record's
// offset) with prefix as the frame's prefix, into sink: exactly size bytes. False with
// the reason when the frame does not state that size, does not decode, gives another
// size or is followed by more data.
bool decodePatch(ZSTD_DCtx* dctx, QFile& delta, const CDeltaReader::Record& record, const char* prefix,
                 qint64 prefixSize, quint32 size, const Sink& sink, QString* reason)
{
    if (!startPatch(dctx, delta, record, prefix, prefixSize, size, reason))
        return false;
    QByteArray in(ChunkSize, Qt::Uninitialized);
    QByteArray out(ChunkSize, Qt::Uninitialized);
    qint64 inputLeft = record.dataLength;
    quint64 produced = 0;
    size_t ret = 1;
    const auto step = [&](ZSTD_inBuffer& input) {
        ZSTD_outBuffer output = {out.data(), size_t(out.size()), 0};
        ret = ZSTD_decompressStream(dctx, &output, &input);
        if (ZSTD_isError(ret)) {
            *reason = QStringLiteral("its zstd frame does not decode: %1").arg(QLatin1String(ZSTD_getErrorName(ret)));
            return false;
        }
        produced += output.pos;
        if (produced > size) {
            *reason = QStringLiteral("its zstd frame gives more than its %1 bytes").arg(size);
            return false;
        }
        return output.pos == 0 || sink(out.constData(), qint64(output.pos));
    };
    while (inputLeft > 0) {
        const qint64 n = delta.read(in.data(), qMin<qint64>(in.size(), inputLeft));
        if (n <= 0) {
            *reason = QStringLiteral("the delta cannot be read");
            return false;
        }
        inputLeft -= n;
        ZSTD_inBuffer input = {in.constData(), size_t(n), 0};
        while (input.pos < input.size) {
            if (ret == 0) {
                *reason = QStringLiteral("data follows its zstd frame");
                return false;
            }
            if (!step(input))
                return false;
        }
    }
    while (ret != 0) {
        ZSTD_inBuffer input = {nullptr, 0, 0};
        const quint64 before = produced;
        if (!step(input))
            return false;
        if (ret != 0 && produced == before) {
            *reason = QStringLiteral("its zstd frame is cut short");
            return false;
        }
    }
    return true;
}

// Decodes the LZMA data of a whole-file record into sink: exactly size bytes, and the
// LZMA header must state that size (which also bounds the dictionary).
bool decodeWhole(QFile& delta, const CDeltaReader::Record& record, quint32 size, const Sink& sink, QString* reason)
{
    unsigned char header[PackageFormat::LzmaHeaderSize];
    if (!delta.seek(record.dataOffset) || delta.read(reinterpret_cast<char*>(header), sizeof header) != sizeof header) {
        *reason = QStringLiteral("the delta cannot be read");
        return false;
    }
    quint64 stated = 0;
    for (int i = 7; i >= 0; --i)
        stated = stated << 8 | header[PackageFormat::LzmaUnpackedSizeOffset + i];
    if (stated != size) {
        *reason = QStringLiteral("its LZMA header does not state its size");
        return false;
    }
    if (!delta.seek(record.dataOffset) || CLzmaAloneDecoder::decode(delta, record.dataLength, size, sink) != 1) {
        *reason = QStringLiteral("its LZMA data does not decode");
        return false;
    }
    return true;
}

// Produces the entry of record (size bytes) into sink: a copy of its base entry, a
// patch to it, or the whole file; an empty entry gives nothing. False with the reason
// when the base entry cannot be mapped or the data does not decode.
bool decodeEntry(ZSTD_DCtx* dctx, QFile& delta, CBaseContent& base, const CDeltaReader::Record& record, quint32 size,
                 const Sink& sink, QString* reason)
{
    bool decoded = true;
    const char* prefix = nullptr;
    if (record.method == Copy || record.method == Patch) {
        prefix = base.map(record.baseEntry, reason);
        decoded = prefix != nullptr;
    }
    if (decoded && record.method == Copy) {
        for (qint64 at = 0; at < qint64(size) && decoded; at += ChunkSize)
            decoded = sink(prefix + at, qMin<qint64>(ChunkSize, qint64(size) - at));
    } else if (decoded && record.method == Patch) {
        decoded = decodePatch(dctx, delta, record, prefix, base.table().entries().at(record.baseEntry).size, size, sink,
                              reason);
    } else if (decoded && record.method == Whole) {
        decoded = decodeWhole(delta, record, size, sink, reason);
    }
    base.unmap();
    return decoded;
}

} // namespace

qint64 CDeltaApplier::defaultMemoryLimit()
{
    // 32-bit x86: 3 GiB of address space at most, shared with the libraries and the
    // heap, and fragmented; 64-bit systems have room for any entry a package can hold.
    return sizeof(void*) < 8 ? qint64(768) << 20 : std::numeric_limits<qint64>::max();
}

CDeltaApplier::CDeltaApplier()
    : m_strScratchDir(QDir::tempPath())
    , m_nMemoryLimit(defaultMemoryLimit())
{
}

int CDeltaApplier::fail(int result, const QString& reason)
{
    m_strReason = reason;
    qDebug().noquote() << "the delta cannot be applied:" << reason;
    return result;
}

// What one apply() works with.
struct CDeltaApplier::Run
{
    CDeltaReader reader;
    CBaseContent base;
    // The base entries the delta copies or patches from, and their bytes.
    QVector<bool> keep;
    quint64 keptBytes = 0;
    QString destDir;
    std::unique_ptr<CEntryWriter> writer;
    bool keepsBase = false;
    CBaseArchive archive;
    ZSTD_DCtx* dctx = nullptr;
    CContentDigest content;

    ~Run() { ZSTD_freeDCtx(dctx); }
};

int CDeltaApplier::apply(const QString& basePath, const QString& deltaPath, const QString& destDir,
                         const QString& newBasePath)
{
    m_baContent.clear();
    m_strReason.clear();
    m_figures = Figures();

    Run run;
    const int read = run.reader.open(deltaPath);
    if (read != CDeltaReader::Read)
        return fail(read == CDeltaReader::Unreadable ? DeltaUnreadable : DeltaMalformed, run.reader.reason());
    if (!m_baExpected.isEmpty() && run.reader.resultDigest() != m_baExpected)
        return fail(ContentMismatch, QStringLiteral("the delta produces content %1, not the expected %2")
                                         .arg(hex(run.reader.resultDigest()), hex(m_baExpected)));

    QString why;
    if (!run.base.open(basePath, &why))
        return fail(BaseUnreadable, why);
    const int checked = checkRecords(run);
    if (checked != Applied)
        return checked;
    const quint64 total = run.reader.table().total();
    const QString newBaseDir = newBasePath.isEmpty() ? QString() : QFileInfo(newBasePath).absolutePath();
    if (!enoughSpace({{destDir, total}, {newBaseDir, total},
                      {run.keptBytes > 0 ? m_strScratchDir : QString(), run.keptBytes}}))
        return fail(NotEnoughSpace, QStringLiteral("not enough free space for the %1 it produces").arg(mib(total)));

    QByteArray baseDigest;
    if (!run.base.decode(run.keep, m_strScratchDir, &baseDigest, &why))
        return fail(BaseUnreadable, why);
    if (baseDigest != run.reader.baseDigest())
        return fail(BaseMismatch, QStringLiteral("the base's content is %1, the delta applies to %2")
                                      .arg(hex(baseDigest), hex(run.reader.baseDigest())));

    run.destDir = destDir;
    if (!destDir.isEmpty())
        run.writer.reset(new CEntryWriter(destDir));
    run.keepsBase = !newBasePath.isEmpty();
    if (run.keepsBase && !run.archive.create(newBasePath, run.reader.table(), &why))
        return fail(WriteFailed, why);
    run.dctx = ZSTD_createDCtx();
    if (!run.dctx)
        return fail(WriteFailed, QStringLiteral("no zstd decoder"));
    return produce(run);
}

int CDeltaApplier::checkRecords(Run& run)
{
    // Every record against the base's table and the memory limit, before anything is
    // decoded or written.
    const QVector<CFileTable::Entry>& entries = run.reader.table().entries();
    const QVector<CFileTable::Entry>& baseEntries = run.base.table().entries();
    run.keep = QVector<bool>(baseEntries.size(), false);
    for (int i = 0; i < entries.size(); ++i) {
        const CDeltaReader::Record& record = run.reader.records().at(i);
        const CFileTable::Entry& entry = entries.at(i);
        const QString name = QString::fromUtf8(entry.name);
        quint64 memory = record.method == Patch || record.method == Whole ? entry.size : 0;
        if (record.method == Copy || record.method == Patch) {
            if (record.baseEntry >= baseEntries.size())
                return fail(DeltaMalformed, QStringLiteral("the record of %1 reads base entry %2, the base has %3")
                                                .arg(name)
                                                .arg(record.baseEntry)
                                                .arg(baseEntries.size()));
            const CFileTable::Entry& from = baseEntries.at(record.baseEntry);
            if (record.method == Copy && from.size != entry.size)
                return fail(DeltaMalformed, QStringLiteral("the record of %1 copies a base entry of another size").arg(name));
            if (!run.keep.at(record.baseEntry))
                run.keptBytes += from.size;
            run.keep[record.baseEntry] = true;
            memory += from.size;
        }
        if (memory > quint64(m_nMemoryLimit))
            return fail(TooLarge, QStringLiteral("%1 needs %2 of memory, more than the %3 this system allows")
                                      .arg(name, mib(memory), mib(quint64(m_nMemoryLimit))));
    }
    return Applied;
}

int CDeltaApplier::produce(Run& run)
{
    run.content.addTable(run.reader.table());
    const int count = run.reader.table().count();
    for (int i = 0; i < count; ++i) {
        const int result = produceEntry(run, i);
        if (result != Applied)
            return result;
    }
    if (run.writer && !run.writer->finish())
        return fail(WriteFailed, QStringLiteral("the folders below %1 cannot be synced").arg(run.destDir));
    const QByteArray produced = run.content.result();
    if (produced != run.reader.resultDigest())
        return fail(ContentMismatch, QStringLiteral("the content produced is %1, the delta states %2")
                                         .arg(hex(produced), hex(run.reader.resultDigest())));
    QString why;
    if (run.keepsBase && !run.archive.finish(produced, &why))
        return fail(WriteFailed, why);
    m_baContent = produced;
    qDebug().noquote() << QStringLiteral("delta applied: %1 entries, %2 bytes (%3 copied, %4 patched, %5 whole)")
                              .arg(count)
                              .arg(m_figures.bytes)
                              .arg(m_figures.copied)
                              .arg(m_figures.patched)
                              .arg(m_figures.whole);
    return Applied;
}

int CDeltaApplier::produceEntry(Run& run, int index)
{
    const CDeltaReader::Record& record = run.reader.records().at(index);
    const CFileTable::Entry& entry = run.reader.table().entries().at(index);
    const QString name = QString::fromUtf8(entry.name);
    if (run.writer && !run.writer->begin(entry.name, entry.size))
        return fail(WriteFailed, QStringLiteral("%1 cannot be written below %2").arg(name, run.destDir));

    CSha256 sha;
    quint64 produced = 0;
    bool writeFailed = false;
    const Sink sink = [&](const char* data, qint64 size) {
        sha.addData(data, size);
        run.content.addContent(data, size);
        produced += quint64(size);
        if ((run.writer && !run.writer->write(data, size)) || (run.keepsBase && !run.archive.write(data, size))) {
            writeFailed = true;
            return false;
        }
        return true;
    };
    QString why;
    const bool decoded = decodeEntry(run.dctx, run.reader.file(), run.base, record, entry.size, sink, &why);
    if (writeFailed)
        return fail(WriteFailed, QStringLiteral("%1 cannot be written").arg(name));
    if (!decoded)
        return fail(DeltaMalformed, QStringLiteral("the data of %1 is refused: %2").arg(name, why));
    if (produced != entry.size)
        return fail(DeltaMalformed, QStringLiteral("the data of %1 gives %2 of its %3 bytes")
                                        .arg(name)
                                        .arg(produced)
                                        .arg(entry.size));
    if (sha.result() != record.sha256) {
        if (run.writer)
            run.writer->discard();
        return fail(FileMismatch, QStringLiteral("%1 as produced does not have the SHA-256 the delta gives").arg(name));
    }
    if (run.writer && !run.writer->commit())
        return fail(WriteFailed, QStringLiteral("%1 cannot be written").arg(name));
    m_figures.bytes += produced;
    ++(record.method == Copy ? m_figures.copied
                             : record.method == Patch ? m_figures.patched
                                                      : record.method == Whole ? m_figures.whole : m_figures.empty);
    return Applied;
}
