// Deltas between releases of a package: the content digest (one value for a package
// and for the same content rebuilt from a delta), making and applying deltas over real
// trees (and a kept base serving the next delta), every refusal of a hostile or wrong
// delta, and mkpackage's --delta, --apply-delta and --content-sha256.
#include "cbasecontent.h"
#include "cbasestore.h"
#include "cdeltaapplier.h"
#include "cdeltamaker.h"
#include "deltaformat.h"
#include "packagetestutil.h"
#include "zrfzip.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

using namespace PackageTest;

namespace {

using Tree = QMap<QString, QByteArray>; // relative path -> bytes; "<dir>" for a folder

qint64 g_freeSpace = 0;
qint64 fixedFreeSpace(const QString&)
{
    return g_freeSpace;
}

QByteArray le64(quint64 v)
{
    QByteArray out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[i] = char(v >> (8 * i));
    return out;
}

// A binary-like file and a later build of it: most bytes the same, some runs changed,
// some moved by a few bytes.
QByteArray release(quint32 seed, int version)
{
    QByteArray data = randomBytes(100000, seed);
    for (int v = 1; v < version; ++v)
        for (int at = 1000 * v; at < data.size() - 64; at += 9000) {
            data.replace(at, 16, randomBytes(20, seed + quint32(at)));
        }
    return data;
}

} // namespace

class DeltaTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void contentDigest_data();
    void contentDigest();
    void digestDefinition();

    void roundTrip_data();
    void roundTrip();
    void keptBaseServesTheNextDelta();
    void damagedKeptBase_data();
    void damagedKeptBase();
    void linkOnTheWayRefused();

    void refused_data();
    void refused();
    void refusalsBeforeWriting_data();
    void refusalsBeforeWriting();

    void mkpackageCommands();

    void baseStoreKeepsOnePerModule();

private:
    QString writeTree(const QString& name, const Tree& tree);
    QString makePackage(const QString& name, const Tree& tree, const char* preset = "-1");
    QByteArray unzipDigest(const QString& package);
    QString makeDelta(const QString& from, const QString& to);

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_work;
};

void DeltaTest::init()
{
    m_dir.reset(new QTemporaryDir(QDir::tempPath() + "/delta_test-XXXXXX"));
    QVERIFY(m_dir->isValid());
    m_work = m_dir->path();
    QVERIFY(QDir().mkpath(uncompressDir()));
}

void DeltaTest::cleanup()
{
    CEntryWriter::setFreeSpaceProbe(nullptr);
    m_dir.reset();
}

QString DeltaTest::writeTree(const QString& name, const Tree& tree)
{
    const QString root = m_work + "/" + name;
    QDir().mkpath(root);
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (it.value() == "<dir>")
            QDir().mkpath(root + "/" + it.key());
        else
            writeFile(root + "/" + it.key(), it.value());
    }
    return root;
}

QString DeltaTest::makePackage(const QString& name, const Tree& tree, const char* preset)
{
    const QString out = m_work + "/" + name + ".pkg";
    QByteArray err;
    if (runMkpackage({preset, writeTree(name, tree), out}, &err) != 0)
        qWarning("mkpackage failed: %s", err.constData());
    return out;
}

QByteArray DeltaTest::unzipDigest(const QString& package)
{
    QByteArray digest;
    CZR_Fzip fzip;
    const QString dest = m_work + "/unzipped-" + QFileInfo(package).baseName();
    return fzip.Unzip2(package, dest, &digest) == CZR_Fzip::Unpacked ? digest : QByteArray();
}

QString DeltaTest::makeDelta(const QString& from, const QString& to)
{
    const QString out = m_work + "/" + QFileInfo(from).baseName() + "-" + QFileInfo(to).baseName() + ".delta";
    CDeltaMaker maker;
    if (!maker.make(from, to, out))
        qWarning("no delta: %s", qPrintable(maker.error()));
    return out;
}

// ---- the content digest ----

void DeltaTest::contentDigest_data()
{
    QTest::addColumn<Tree>("other");
    QTest::addColumn<bool>("same");
    const Tree base = {{"a.txt", "alpha"}, {"bin/tool", randomBytes(5000, 3)}, {"doc", "<dir>"}};
    QTest::newRow("the same tree") << base << true;
    Tree byte = base;
    byte["a.txt"] = "alphA";
    QTest::newRow("a byte changed") << byte << false;
    Tree renamed = base;
    renamed.remove("a.txt");
    renamed["b.txt"] = "alpha";
    QTest::newRow("a file renamed") << renamed << false;
    Tree moved = base;
    moved["a.txt"] = "alph";
    moved["bin/tool"] = "a" + base["bin/tool"];
    QTest::newRow("a byte moved to the next file") << moved << false;
    Tree folder = base;
    folder["doc2"] = "<dir>";
    QTest::newRow("an empty folder added") << folder << false;
}

// Two packages of trees (the second at another preset) have the same digest exactly
// when the trees are the same; Unzip2 and decoding the package alone agree.
void DeltaTest::contentDigest()
{
    QFETCH(Tree, other);
    QFETCH(bool, same);
    const QString first = makePackage("first", {{"a.txt", "alpha"}, {"bin/tool", randomBytes(5000, 3)}, {"doc", "<dir>"}}, "-0");
    const QString second = makePackage("second", other, "-9");
    const QByteArray digest = unzipDigest(first);
    QCOMPARE(digest.size(), 32);
    QByteArray alone;
    QString reason;
    QVERIFY2(CBaseContent::digestOf(first, &alone, &reason), qPrintable(reason));
    QCOMPARE(alone, digest);
    QCOMPARE(unzipDigest(second) == digest, same);
}

// The digest is the SHA-256 of the canonical table and the stream, as the README
// defines it for other implementations; a package's unused table bytes and the bytes
// after a zero in a name do not count.
void DeltaTest::digestDefinition()
{
    const QByteArray stream = "hello!!";
    const QByteArray stored = package(lzmaAlone(stream),
                                      fileTable({{QByteArray("d\\"), 0}, {QByteArray("d\\a\0junk", 8), 5},
                                                 {QByteArray("b"), 2}}));
    QByteArray noted = stored;
    noted[stored.size() - 7 - 6] = 'x'; // the unused byte of entry "b"
    fixCrc(noted);
    QByteArray canonical("\x03\x00", 2);
    canonical += QByteArray("\x02" "d\\" "\x00\x00\x00\x00", 7) + QByteArray("\x03" "d\\a" "\x05\x00\x00\x00", 8)
        + QByteArray("\x01" "b" "\x02\x00\x00\x00", 6);
    const QByteArray expected = QCryptographicHash::hash(canonical + stream, QCryptographicHash::Sha256);
    for (const QByteArray& bytes : {stored, noted}) {
        writeFile(m_work + "/p.pkg", bytes);
        QCOMPARE(unzipDigest(m_work + "/p.pkg").toHex(), expected.toHex());
    }
}

// ---- making and applying ----

void DeltaTest::roundTrip_data()
{
    QTest::addColumn<Tree>("before");
    QTest::addColumn<Tree>("after");
    QTest::addColumn<QString>("methods"); // copied, patched, whole
    const Tree v1 = {{"lib/libreader.so.7", release(10, 1)}, {"share/notes.txt", "first release\n"},
                     {"share/same.bin", randomBytes(70000, 11)}, {"empty", "<dir>"}, {"zero", ""}};
    Tree v2 = v1;
    v2["lib/libreader.so.7"] = release(10, 2);
    v2["share/notes.txt"] = "second release\n";
    QTest::newRow("a patch release") << v1 << v2 << "1 2 0";
    Tree renamed = v1;
    renamed.remove("lib/libreader.so.7");
    renamed["lib/libreader.so.8"] = release(10, 3);
    renamed["share/moved.bin"] = v1["share/same.bin"];
    renamed.remove("share/same.bin");
    QTest::newRow("renamed by version, moved") << v1 << renamed << "2 1 0";
    Tree added = v1;
    added["new/random.bin"] = randomBytes(30000, 12);
    added.remove("zero");
    QTest::newRow("added and removed") << v1 << added << "3 0 1";
    QTest::newRow("nothing changed") << v1 << v1 << "3 0 0";
    QTest::newRow("everything removed") << v1 << Tree() << "0 0 0";
}

// The delta rebuilds the new tree exactly from the old package, with the new package's
// content digest, and uses each method where it pays.
void DeltaTest::roundTrip()
{
    QFETCH(Tree, before);
    QFETCH(Tree, after);
    QFETCH(QString, methods);
    const QString oldPackage = makePackage("old", before, "-6");
    const QString newPackage = makePackage("new", after, "-6");
    const QString delta = makeDelta(oldPackage, newPackage);
    QVERIFY(QFileInfo(delta).size() < QFileInfo(newPackage).size() / 2 || after.isEmpty());

    CDeltaApplier applier;
    applier.setExpectedContent(unzipDigest(newPackage));
    const QString dest = m_work + "/applied";
    QCOMPARE(applier.apply(oldPackage, delta, dest, QString()), int(CDeltaApplier::Applied));
    QCOMPARE(applier.contentSha256(), unzipDigest(newPackage));
    QCOMPARE(readTree(dest), readTree(m_work + "/new"));
    const CDeltaApplier::Figures f = applier.figures();
    QCOMPARE(QStringLiteral("%1 %2 %3").arg(f.copied).arg(f.patched).arg(f.whole), methods);
}

// After a delta the updater keeps the rebuilt content as a zstd-compressed base; it has
// the content's digest and the next delta applies to it, while the old package no
// longer fits that delta.
void DeltaTest::keptBaseServesTheNextDelta()
{
    const QString v1 = makePackage("v1", {{"lib.so", release(20, 1)}, {"doc/a", "a"}});
    const QString v2 = makePackage("v2", {{"lib.so", release(20, 2)}, {"doc/a", "b"}});
    const QString v3 = makePackage("v3", {{"lib.so", release(20, 3)}, {"doc/a", "c"}, {"doc/new", "n"}});
    CDeltaApplier applier;
    const QString kept = m_work + "/cache/v2.base";
    QDir().mkpath(m_work + "/cache");
    QCOMPARE(applier.apply(v1, makeDelta(v1, v2), QString(), kept), int(CDeltaApplier::Applied));
    QByteArray keptDigest;
    QString reason;
    QVERIFY(CBaseContent::digestOf(kept, &keptDigest, &reason));
    QCOMPARE(keptDigest, unzipDigest(v2));
    CBaseContent keptBase;
    QVERIFY(keptBase.open(kept, &reason));
    QCOMPARE(keptBase.kind(), CBaseContent::KeptBase);
    QCOMPARE(keptBase.statedDigest(), keptDigest);

    const QString next = makeDelta(v2, v3);
    QCOMPARE(applier.apply(kept, next, m_work + "/from-kept", QString()), int(CDeltaApplier::Applied));
    QCOMPARE(readTree(m_work + "/from-kept"), readTree(m_work + "/v3"));
    QCOMPARE(applier.apply(v1, next, m_work + "/from-v1", QString()), int(CDeltaApplier::BaseMismatch));
    QVERIFY(!QFileInfo::exists(m_work + "/from-v1"));
}

// A kept base lies in the user's cache and may have been changed since: its stream is
// checked as hostile, and only its content counts, never the digest its header states.
void DeltaTest::damagedKeptBase_data()
{
    QTest::addColumn<int>("offset"); // of the byte changed (negative: from the end); 0: cut
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    QTest::newRow("cut short") << 0 << int(CDeltaApplier::BaseUnreadable) << "cut short";
    QTest::newRow("a byte after its stream") << 1 << int(CDeltaApplier::BaseUnreadable) << "bytes follow";
    QTest::newRow("its table longer than it") << DeltaFormat::BaseTableSizeOffset + 3 << int(CDeltaApplier::BaseUnreadable)
                                              << "does not fit";
    QTest::newRow("not a zstd frame") << -1000 << int(CDeltaApplier::BaseUnreadable) << "does not decode";
    QTest::newRow("the digest it states") << DeltaFormat::BaseDigestOffsetInBase << int(CDeltaApplier::Applied) << "";
}

void DeltaTest::damagedKeptBase()
{
    QFETCH(int, offset);
    QFETCH(int, result);
    QFETCH(QString, reason);
    const QString v1 = makePackage("v1", {{"lib.so", release(60, 1)}});
    const QString v2 = makePackage("v2", {{"lib.so", release(60, 2)}});
    const QString v3 = makePackage("v3", {{"lib.so", release(60, 3)}});
    const QString kept = m_work + "/kept";
    CDeltaApplier applier;
    QCOMPARE(applier.apply(v1, makeDelta(v1, v2), QString(), kept), int(CDeltaApplier::Applied));
    QByteArray bytes = readFile(kept);
    const int frame = DeltaFormat::BaseHeaderSize + int(le32(bytes, DeltaFormat::BaseTableSizeOffset));
    if (offset == 0)
        bytes.chop(1);
    else if (offset == 1)
        bytes += 'x';
    else if (offset < 0)
        bytes[frame] = char(bytes[frame] ^ 0x10);
    else
        bytes[offset] = char(bytes[offset] ^ 0x10);
    writeFile(kept, bytes);
    QCOMPARE(applier.apply(kept, makeDelta(v2, v3), m_work + "/dest", QString()), result);
    QVERIFY2(applier.reason().contains(reason), qPrintable(applier.reason()));
}

// The files of a delta are written under the unpacker's rules: a link planted on the
// way to an entry is not followed.
void DeltaTest::linkOnTheWayRefused()
{
    const QString v1 = makePackage("v1", {{"bin/tool", release(70, 1)}});
    const QString v2 = makePackage("v2", {{"bin/tool", release(70, 2)}});
    QVERIFY(QDir().mkpath(m_work + "/dest") && QDir().mkpath(m_work + "/elsewhere"));
    QVERIFY(QFile::link(m_work + "/elsewhere", m_work + "/dest/bin"));
    CDeltaApplier applier;
    QCOMPARE(applier.apply(v1, makeDelta(v1, v2), m_work + "/dest", m_work + "/kept"), int(CDeltaApplier::WriteFailed));
    QVERIFY(QDir(m_work + "/elsewhere").isEmpty());
    QVERIFY(!QFileInfo::exists(m_work + "/kept"));
}

// ---- refusals ----

namespace {

// A change to a good delta (the bytes of a delta from "old" to "new" of the refused()
// fixture: entries "bin\" empty, "bin\tool" patched, "notes" whole, "same" copied).
using Damage = std::function<void(QByteArray&)>;

// Where the parts of the fixture's delta start.
int tableStart()
{
    return DeltaFormat::HeaderSize;
}

int recordStart(const QByteArray& delta, int index)
{
    int at = DeltaFormat::HeaderSize + int(le32(delta, DeltaFormat::TableSizeOffset));
    for (int i = 0; i < index; ++i)
        at += DeltaFormat::RecordHeaderSize + int(le32(delta, at + 4));
    return at;
}

// A table of one entry with that name and size, in place of the fixture's.
Damage oneEntry(const QByteArray& name, quint32 size)
{
    return [name, size](QByteArray& d) {
        const int records = recordStart(d, 0);
        QByteArray table("\x01\x00", 2);
        table += char(name.size()) + name;
        QByteArray sizeBytes(4, '\0');
        setLe32(sizeBytes, 0, size);
        table += sizeBytes;
        QByteArray record = d.mid(recordStart(d, 2), DeltaFormat::RecordHeaderSize); // the whole file's
        record += d.mid(recordStart(d, 2) + DeltaFormat::RecordHeaderSize, int(le32(d, recordStart(d, 2) + 4)));
        d = d.left(tableStart()) + table + record;
        setLe32(d, DeltaFormat::TableSizeOffset, quint32(table.size()));
        Q_UNUSED(records);
    };
}

} // namespace

Q_DECLARE_METATYPE(Damage)

void DeltaTest::refused_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    const auto flip = [](int offset) { return Damage([offset](QByteArray& d) { d[offset] = char(d[offset] ^ 0x40); }); };
    const auto cut = [](int keep) { return Damage([keep](QByteArray& d) { d.truncate(keep); }); };
    using DeltaFormat::HeaderSize;

    QTest::newRow("not a delta") << flip(0) << int(CDeltaApplier::DeltaMalformed) << "wrong magic";
    QTest::newRow("another version") << flip(DeltaFormat::VersionOffset) << int(CDeltaApplier::DeltaMalformed) << "version";
    QTest::newRow("cut in the header") << cut(HeaderSize - 1) << int(CDeltaApplier::DeltaMalformed) << "shorter than its header";
    QTest::newRow("cut in the table") << cut(HeaderSize + 5) << int(CDeltaApplier::DeltaMalformed) << "does not fit";
    QTest::newRow("cut in a record") << Damage([](QByteArray& d) { d.truncate(recordStart(d, 1) + 10); })
                                     << int(CDeltaApplier::DeltaMalformed) << "cut short at the record of bin\\tool";
    QTest::newRow("cut in the data") << Damage([](QByteArray& d) { d.truncate(recordStart(d, 2) - 1); })
                                     << int(CDeltaApplier::DeltaMalformed)
                                     << "more than the delta holds";
    QTest::newRow("a byte after the end") << Damage([](QByteArray& d) { d += 'x'; })
                                          << int(CDeltaApplier::DeltaMalformed) << "1 bytes follow the last record";
    QTest::newRow("a table of 4 GiB") << Damage([](QByteArray& d) { setLe32(d, DeltaFormat::TableSizeOffset, 0xFFFFFFFFu); })
                                      << int(CDeltaApplier::DeltaMalformed) << "does not fit";
    QTest::newRow("data of 2^63 bytes") << Damage([](QByteArray& d) { d.replace(recordStart(d, 1) + 4, 8, le64(quint64(1) << 63)); })
                                        << int(CDeltaApplier::DeltaMalformed) << "more than the delta holds";
    QTest::newRow("sizes over 4 GiB") << Damage([](QByteArray& d) {
        QByteArray table("\x02\x00", 2);
        table += QByteArray("\x01" "a\xff\xff\xff\xff" "\x01" "b\x01\x00\x00\x00", 12);
        d = d.left(tableStart()) + table;
        setLe32(d, DeltaFormat::TableSizeOffset, quint32(table.size()));
    }) << int(CDeltaApplier::DeltaMalformed) << "4 GiB or more";
    QTest::newRow("a base entry out of range") << Damage([](QByteArray& d) { setLe32(d, recordStart(d, 1), 0x7fff0002u); })
                                               << int(CDeltaApplier::DeltaMalformed) << "reads base entry 32767";
    QTest::newRow("an unknown method") << Damage([](QByteArray& d) { d[recordStart(d, 1)] = 9; })
                                       << int(CDeltaApplier::DeltaMalformed) << "unknown method 9";
    QTest::newRow("a folder with data") << Damage([](QByteArray& d) { d[recordStart(d, 0)] = char(DeltaFormat::Copy); })
                                        << int(CDeltaApplier::DeltaMalformed) << "copy record without a base entry";
    QTest::newRow("a name with ..") << oneEntry("a\\..\\..\\evil", 4) << int(CDeltaApplier::DeltaMalformed) << "refused name";
    QTest::newRow("an absolute name") << oneEntry("/tmp/evil", 4) << int(CDeltaApplier::DeltaMalformed) << "refused name";
    QTest::newRow("a name with a zero byte") << oneEntry(QByteArray("a\0b", 3), 4) << int(CDeltaApplier::DeltaMalformed)
                                             << "refused name";
    QTest::newRow("a size the data does not give") << oneEntry("notes", 4) << int(CDeltaApplier::DeltaMalformed)
                                                    << "does not state its size";
    QTest::newRow("a produced file's SHA-256") << Damage([](QByteArray& d) { d[recordStart(d, 1) + 12] = char(d[recordStart(d, 1) + 12] ^ 1); })
                                               << int(CDeltaApplier::FileMismatch)
                                               << "bin\\tool as produced does not have the SHA-256";
    QTest::newRow("the content it states") << flip(DeltaFormat::ResultDigestOffset) << int(CDeltaApplier::ContentMismatch)
                                           << "the delta states";
    QTest::newRow("the base it applies to") << flip(DeltaFormat::BaseDigestOffset) << int(CDeltaApplier::BaseMismatch)
                                            << "the delta applies to";
    QTest::newRow("patch data not a zstd frame") << Damage([](QByteArray& d) { d[recordStart(d, 1) + 44 + 3] = char(0xff); })
                                                 << int(CDeltaApplier::DeltaMalformed) << "does not state its size";
}

// Each damage of a good delta is refused with its code and reason, before the file it
// concerns counts as written: no refused file is left, none is written outside.
void DeltaTest::refused()
{
    QFETCH(Damage, damage);
    QFETCH(int, result);
    QFETCH(QString, reason);
    const QString oldPackage = makePackage("old", {{"bin/tool", release(30, 1)}, {"readme", "one"}, {"same", "s"}});
    const QString newPackage = makePackage("new", {{"bin/tool", release(30, 2)}, {"notes", randomBytes(300, 31)}, {"same", "s"}});
    QByteArray delta = readFile(makeDelta(oldPackage, newPackage));
    damage(delta);
    writeFile(m_work + "/damaged.delta", delta);

    CDeltaApplier applier;
    const QString dest = m_work + "/dest";
    const QString kept = m_work + "/kept.base";
    QCOMPARE(applier.apply(oldPackage, m_work + "/damaged.delta", dest, kept), result);
    QVERIFY2(applier.reason().contains(reason), qPrintable(applier.reason()));
    QVERIFY(applier.contentSha256().isEmpty());
    QVERIFY(!QFileInfo::exists(kept));
    // a whole content found wrong at the end leaves its files to the caller
    QCOMPARE(QFileInfo::exists(dest + "/bin/tool"), result == CDeltaApplier::ContentMismatch);
    QVERIFY(!QFileInfo::exists(m_work + "/evil") && !QFileInfo::exists("/tmp/evil"));
}

void DeltaTest::refusalsBeforeWriting_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("delta");
    QTest::addColumn<int>("setting"); // 0 none, 1 expected content, 2 memory limit, 3 free space
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no base") << "missing.pkg" << "good" << 0 << int(CDeltaApplier::BaseUnreadable) << "cannot be opened";
    QTest::newRow("not a base") << "not-a-base" << "good" << 0 << int(CDeltaApplier::BaseUnreadable) << "neither a package";
    QTest::newRow("another base") << "new.pkg" << "good" << 0 << int(CDeltaApplier::BaseMismatch) << "applies to";
    QTest::newRow("no delta") << "old.pkg" << "missing" << 0 << int(CDeltaApplier::DeltaUnreadable) << "cannot be opened";
    QTest::newRow("another content expected") << "old.pkg" << "good" << 1 << int(CDeltaApplier::ContentMismatch)
                                              << "not the expected";
    QTest::newRow("too large for this system") << "old.pkg" << "good" << 2 << int(CDeltaApplier::TooLarge)
                                               << "lib needs 0.2 MiB of memory, more than the 0.1 MiB";
    QTest::newRow("not enough space") << "old.pkg" << "good" << 3 << int(CDeltaApplier::NotEnoughSpace) << "free space";
}

// Refusals that need no decoding: nothing is written at all.
void DeltaTest::refusalsBeforeWriting()
{
    QFETCH(QString, base);
    QFETCH(QString, delta);
    QFETCH(int, setting);
    QFETCH(int, result);
    QFETCH(QString, reason);
    const QString oldPackage = makePackage("old", {{"lib", release(40, 1)}});
    const QString newPackage = makePackage("new", {{"lib", release(40, 2)}});
    QFile::rename(makeDelta(oldPackage, newPackage), m_work + "/good");
    writeFile(m_work + "/not-a-base", "plain text");
    CDeltaApplier applier;
    if (setting == 1)
        applier.setExpectedContent(QByteArray(32, 'x'));
    if (setting == 2)
        applier.setMemoryLimit(150000);
    g_freeSpace = CEntryWriter::FreeSpaceReserve + 150000;
    if (setting == 3)
        CEntryWriter::setFreeSpaceProbe(fixedFreeSpace);
    QCOMPARE(applier.apply(m_work + "/" + base, m_work + "/" + delta, m_work + "/dest", m_work + "/kept"), result);
    QVERIFY2(applier.reason().contains(reason), qPrintable(applier.reason()));
    QVERIFY(!QFileInfo::exists(m_work + "/dest"));
    QVERIFY(!QFileInfo::exists(m_work + "/kept"));
}

// ---- mkpackage ----

void DeltaTest::mkpackageCommands()
{
    const QString oldPackage = makePackage("old", {{"a", release(50, 1)}, {"b", "b"}});
    const QString newPackage = makePackage("new", {{"a", release(50, 2)}, {"c", "c"}}, "-9");
    const QString delta = m_work + "/made.delta";
    QByteArray out;
    QByteArray err;
    QCOMPARE(runMkpackage({"--delta", oldPackage, newPackage, delta}, &err, &out), 0);
    const QByteArray digest = unzipDigest(newPackage).toHex();
    QVERIFY2(out.contains("0 copied, 1 patched, 1 whole") && out.contains("to content   " + digest), out.constData());
    QCOMPARE(runMkpackage({"--content-sha256", newPackage}, &err, &out), 0);
    QCOMPARE(out, digest + "\n");
    QCOMPARE(runMkpackage({"--apply-delta", oldPackage, delta, m_work + "/out"}, &err, &out), 0);
    QCOMPARE(out, digest + "\n");
    QCOMPARE(readTree(m_work + "/out"), readTree(m_work + "/new"));

    // Failures: 1 with the reason; wrong usage: 2. A failed --delta leaves the output as it was.
    QCOMPARE(runMkpackage({"--apply-delta", newPackage, delta}, &err), 1);
    QVERIFY2(err.contains("does not apply (-4): the base's content is"), err.constData());
    writeFile(delta, "before");
    QCOMPARE(runMkpackage({"--delta", oldPackage, m_work + "/missing.pkg", delta}, &err), 1);
    QVERIFY2(err.contains("missing.pkg: the base cannot be opened"), err.constData());
    QCOMPARE(readFile(delta), QByteArray("before"));
    QCOMPARE(runMkpackage({"--content-sha256", delta}, &err), 1);
    for (const QStringList& args : {QStringList{"--delta", oldPackage, newPackage}, QStringList{"--content-sha256"},
                                    QStringList{"--apply-delta", "-9", oldPackage, delta}})
        QCOMPARE(runMkpackage(args, &err), 2);
}

QTEST_GUILESS_MAIN(DeltaTest)
#include "delta_test.moc"

// ---- the bases kept ----

void DeltaTest::baseStoreKeepsOnePerModule()
{
    const QByteArray cache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_work + "/cache"));
    const QString first = makePackage("first", {{"a", "one"}});
    const QString second = makePackage("second", {{"a", "two"}});
    const QString digest1(64, QLatin1Char('1'));
    const QString digest2(64, QLatin1Char('2'));

    // Nothing yet; then the package itself, under the digest it claims.
    QVERIFY(CBaseStore::baseOf("Reader").path.isEmpty());
    QVERIFY(CBaseStore::keep("Reader", first, digest1, false));
    CBaseStore::Base base = CBaseStore::baseOf("Reader");
    QCOMPARE(base.digest, digest1);
    QCOMPARE(readFile(base.path), readFile(first));
    QVERIFY(QFileInfo::exists(first));
    // Another module's base is its own; a newer base of the same module replaces it.
    QVERIFY(CBaseStore::keep("../Other module", second, digest2, false));
    QVERIFY(CBaseStore::keep("Reader", second, digest2, false));
    QCOMPARE(CBaseStore::baseOf("Reader").digest, digest2);
    QCOMPARE(CBaseStore::baseOf("../Other module").digest, digest2);
    QCOMPARE(QDir(CBaseStore::folder()).entryList(QDir::Files).size(), 2);
    // Not a digest: not kept.
    QVERIFY(!CBaseStore::keep("Reader", first, "not hex", false));
    QCOMPARE(CBaseStore::baseOf("Reader").digest, digest2);

    // A run killed between keeping a base and removing the one before leaves two: the
    // newer is taken, the other goes.
    const QString older = CBaseStore::baseOf("Reader").path;
    const QString newer = CBaseStore::folder() + "/" + QFileInfo(older).fileName().section('-', 0, 0) + "-"
                          + QString(64, QLatin1Char('3')) + ".base";
    QVERIFY(QFile::copy(first, newer));
    QFile old(older);
    QVERIFY(old.open(QIODevice::ReadWrite)
            && old.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    old.close();
    QCOMPARE(CBaseStore::baseOf("Reader").path, newer);
    QVERIFY(!QFileInfo::exists(older));

    // A kept base made for the module is moved in.
    QVERIFY(QFile::copy(first, CBaseStore::partFile("Reader")));
    QVERIFY(CBaseStore::keep("Reader", CBaseStore::partFile("Reader"), digest1, true));
    QVERIFY(!QFileInfo::exists(CBaseStore::partFile("Reader")));
    QCOMPARE(CBaseStore::baseOf("Reader").digest, digest1);

    // Rather than fill the disk, every base goes.
    CEntryWriter::setFreeSpaceProbe([](const QString&) { return qint64(CEntryWriter::FreeSpaceReserve); });
    QVERIFY(!CBaseStore::keep("Reader", second, digest2, false));
    QVERIFY(QDir(CBaseStore::folder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    qputenv("XDG_CACHE_HOME", cache);
}
