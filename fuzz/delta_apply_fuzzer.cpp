// Fuzzes the delta reader and applier with whole delta files.
//
// Each input is written as a delta and applied to a fixed base (a kept base of four
// entries, made at start-up) into an unpack folder and a new kept base. Unless the
// first byte of the base digest field is odd, the magic, the version and the base
// digest are set right first, so that mutations reach the table, the records and their
// data instead of stopping at the header. The result must be one of the applier's
// codes; an applied delta must have produced the content it states; nothing may be
// written outside the work folder's own files.
//
// The free space the applier sees is 64 MiB and its memory limit 64 MiB, so that an
// input that declares huge entries is refused rather than written.
//
// DELTA_FUZZER_BASE=PATH writes the base to PATH and exits: seeds are made from it with
// `mkpackage --delta PATH NEW.pkg SEED` (fuzz/seeds/delta_apply_fuzzer/).
#include "cbasearchive.h"
#include "ccontentdigest.h"
#include "cdeltaapplier.h"
#include "centrywriter.h"
#include "cfiletable.h"
#include "deltaformat.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Setup
{
    QString work;    // everything of a run lies here
    QString base;    // the kept base
    QString delta;   // the input
    QString dest;    // the unpack folder
    QString newBase; // the new kept base
    QByteArray baseDigest;
};

qint64 limitedSpace(const QString&)
{
    return qint64(CEntryWriter::FreeSpaceReserve) + (qint64(64) << 20);
}

bool writeBase(const QString& path, QByteArray* digest)
{
    QByteArray tool(3000, '\0');
    for (int i = 0; i < tool.size(); ++i)
        tool[i] = char((i * 7919) >> 5);
    const QList<QPair<QByteArray, QByteArray>> files = {
        {"bin\\", QByteArray()}, {"bin\\tool", tool}, {"readme", QByteArray("base release\n").repeated(8)}, {"same", "same\n"}};
    CFileTable table;
    for (const auto& file : files)
        table.append(file.first, quint32(file.second.size()));
    CContentDigest content;
    content.addTable(table);
    CBaseArchive archive;
    QString reason;
    if (!archive.create(path, table, &reason))
        return false;
    for (const auto& file : files) {
        content.addContent(file.second.constData(), file.second.size());
        if (!archive.write(file.second.constData(), file.second.size()))
            return false;
    }
    *digest = content.result();
    return archive.finish(*digest, &reason);
}

const Setup& setup()
{
    static QTemporaryDir inMemory(QStringLiteral("/dev/shm/delta_apply_fuzzer-XXXXXX"));
    static QTemporaryDir onDisk;
    static const Setup s = [] {
        // the applier's debug lines would only slow the fuzzer down
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        Setup made;
        made.work = inMemory.isValid() && QStorageInfo(inMemory.path()).bytesAvailable() >= (qint64(1) << 30)
            ? inMemory.path()
            : onDisk.path();
        made.base = made.work + QStringLiteral("/base");
        made.delta = made.work + QStringLiteral("/input.delta");
        made.dest = made.work + QStringLiteral("/dest");
        made.newBase = made.work + QStringLiteral("/new.base");
        const QByteArray dumpTo = qgetenv("DELTA_FUZZER_BASE");
        if (!dumpTo.isEmpty()) {
            QByteArray digest;
            const bool ok = writeBase(QFile::decodeName(dumpTo), &digest);
            std::exit(ok ? 0 : 1);
        }
        if (!writeBase(made.base, &made.baseDigest)) {
            std::fprintf(stderr, "cannot write the base in %s\n", qPrintable(made.work));
            std::abort();
        }
        CEntryWriter::setFreeSpaceProbe(limitedSpace);
        return made;
    }();
    return s;
}

void checkNothingWrittenOutside(const Setup& s)
{
    QDirIterator it(s.work, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path == s.base || path == s.delta || path == s.newBase || path == s.dest
            || path.startsWith(s.dest + QLatin1Char('/')))
            continue;
        std::fprintf(stderr, "written outside the unpack folder: %s\n", qPrintable(path));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Setup& s = setup();
    QByteArray delta(reinterpret_cast<const char*>(data), int(size));
    if (size >= size_t(DeltaFormat::HeaderSize) && (data[DeltaFormat::BaseDigestOffset] & 1) == 0) {
        std::memcpy(delta.data(), DeltaFormat::Magic, sizeof DeltaFormat::Magic);
        const char version[4] = {char(DeltaFormat::Version), 0, 0, 0};
        std::memcpy(delta.data() + DeltaFormat::VersionOffset, version, 4);
        delta.replace(DeltaFormat::BaseDigestOffset, DeltaFormat::DigestSize, s.baseDigest);
    }
    {
        QFile f(s.delta);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(delta) != delta.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(s.delta));
            std::abort();
        }
    }

    CDeltaApplier applier;
    applier.setScratchDir(s.work);
    applier.setMemoryLimit(qint64(64) << 20);
    const int result = applier.apply(s.base, s.delta, s.dest, s.newBase);
    if (result < CDeltaApplier::WriteFailed || result > CDeltaApplier::Applied || result == 0) {
        std::fprintf(stderr, "unexpected result %d\n", result);
        std::abort();
    }
    if (result == CDeltaApplier::Applied
        && applier.contentSha256() != delta.mid(DeltaFormat::ResultDigestOffset, DeltaFormat::DigestSize)) {
        std::fprintf(stderr, "applied, but not to the content the delta states\n");
        std::abort();
    }
    if (result != CDeltaApplier::Applied && QFile::exists(s.newBase)) {
        std::fprintf(stderr, "a refused delta left a new kept base\n");
        std::abort();
    }

    checkNothingWrittenOutside(s);
    QFile::remove(s.delta);
    QFile::remove(s.newBase);
    QDir(s.dest).removeRecursively();
    return 0;
}
