// Unpacking packages: round trips of real trees made with mkpackage, every result
// code, the table's edge cases, the refusals that keep a hostile package from
// reading or writing outside its bounds or filling the disk, and links planted in
// the file system that must not be written through.
#include "packagetestutil.h"
#include "syncprobe.h"
#include "zrfzip.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace PackageTest;

namespace {

const char* const TemporaryNames[] = {"infile_tmp", "outfile_tmp", "fileover_tmp"};

// Every file and directory below a folder by relative path, as readTree() gives them.
using Tree = QMap<QString, QByteArray>;

QString sharedWorkingDir()
{
    return QDir::tempPath() + "/MoravelCorvina";
}

// Where the working folder goes when the shared name is not private.
QString ownWorkingDir()
{
    return sharedWorkingDir() + "-" + QString::number(geteuid());
}

QStringList entriesOf(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// The free space the unpacker is told about, and the folder it asked for.
qint64 g_freeSpace = 0;
QString g_probedDir;

qint64 fixedFreeSpace(const QString& dir)
{
    g_probedDir = dir;
    return g_freeSpace;
}

} // namespace

class UnzipTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cleanupTestCase();

    // round trips
    void roundTripTree_data();
    void roundTripTree();
    void destinationWithOrWithoutSlash();
    void otherDestinationLeavesUncompressDirEmpty();
    void emptyTableWritesNothing();
    void entriesNamedLikeTemporaryFiles();
    void unreadHeaderFieldsAreIgnored();

    // result codes
    void unreadablePackage();
    void refusedPackage_data();
    void refusedPackage();
    void anyChangedByteBreaksTheCrc();
    void missingUncompressDirectory();

    // the file table
    void writtenEntries_data();
    void writtenEntries();
    void tableCutShort_data();
    void tableCutShort();
    void overwritesLongerFileExactly();
    void entriesSyncedToDisk_data();
    void entriesSyncedToDisk();
    void unsafeNamesRefused_data();
    void unsafeNamesRefused();

    // the working folder and links planted in the file system
    void ownWorkingFolderWhenSharedOneIsNotPrivate();
    void noPrivateWorkingFolder();
    void linksAtTemporaryFileNames_data();
    void linksAtTemporaryFileNames();
    void linksAtEntryNamesReplaced();
    void linkAtDirectoryEntryName_data();
    void linkAtDirectoryEntryName();
    void linkOnTheWayToEntry_data();
    void linkOnTheWayToEntry();

    // space
    void declaredSizeAgainstFreeSpace_data();
    void declaredSizeAgainstFreeSpace();
    void hugeTableRefusedForReal_data();
    void hugeTableRefusedForReal();
    void decodingStopsAtTableTotal_data();
    void decodingStopsAtTableTotal();
    void availableSpaceOfDestination();

    // the stand-alone decoder
    void decodeFileKnownAndUnknownSize();
    void decodeFileSizeFieldLimitsOutput();
    void decodeFileFailures();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_work; // scratch area outside the uncompress directory
    int unzip(const QByteArray& packageBytes, const QString& dest);
    QString makePackage(const QString& sourceDir, const QString& preset = QString());
};

void UnzipTest::init()
{
    QDir(sharedWorkingDir()).removeRecursively();
    QDir(ownWorkingDir()).removeRecursively();
    QVERIFY(QDir().mkpath(uncompressDir()));
    m_dir.reset(new QTemporaryDir(QDir::tempPath() + "/unzip_test-XXXXXX"));
    QVERIFY(m_dir->isValid());
    m_work = m_dir->path();
}

void UnzipTest::cleanup()
{
    CZR_Fzip::setFreeSpaceProbe(nullptr);
    m_dir.reset();
}

void UnzipTest::cleanupTestCase()
{
    QDir(sharedWorkingDir()).removeRecursively();
    QDir(ownWorkingDir()).removeRecursively();
}

int UnzipTest::unzip(const QByteArray& packageBytes, const QString& dest)
{
    const QString path = m_work + "/package.bin";
    writeFile(path, packageBytes);
    CZR_Fzip fzip;
    return fzip.Unzip2(path, dest);
}

QString UnzipTest::makePackage(const QString& sourceDir, const QString& preset)
{
    const QString out = m_work + "/made.pkg";
    QStringList args;
    if (!preset.isEmpty())
        args << preset;
    args << sourceDir << out;
    QByteArray err;
    const int rc = runMkpackage(args, &err);
    if (rc != 0)
        qWarning("mkpackage failed (%d): %s", rc, err.constData());
    return rc == 0 ? out : QString();
}

void UnzipTest::roundTripTree_data()
{
    QTest::addColumn<QString>("preset");
    QTest::newRow("default preset") << QString();
    QTest::newRow("preset 0") << QStringLiteral("-0");
    QTest::newRow("preset 9") << QStringLiteral("-9");
}

void UnzipTest::roundTripTree()
{
    QFETCH(QString, preset);
    const QString src = m_work + "/src";
    writeFile(src + "/readme.txt", "Moravel package\n");
    writeFile(src + "/empty.dat", QByteArray());
    writeFile(src + "/.hidden", "dot file");
    writeFile(src + "/bin/tool", randomBytes(300000, 1));
    // crosses the unpacker's buffer size more than once
    writeFile(src + "/bin/big.bin", randomBytes(2600000, 2) + QByteArray(500000, '\0'));
    writeFile(src + "/share/doc/deep/deeper/note", "nested");
    writeFile(src + QString::fromUtf8("/Ünïcödé 文件/ファイル.txt"), "utf-8 names");
    writeFile(src + "/" + QString(255, QLatin1Char('n')), "longest file name");
    QVERIFY(QDir().mkpath(src + "/empty dir/also empty"));

    const QString pkg = makePackage(src, preset);
    QVERIFY(!pkg.isEmpty());
    CZR_Fzip fzip;
    QCOMPARE(fzip.Unzip2(pkg, uncompressDir()), 1);
    QCOMPARE(readTree(uncompressDir()), readTree(src));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::destinationWithOrWithoutSlash()
{
    const QString src = m_work + "/src";
    writeFile(src + "/a/b.txt", "b");
    writeFile(src + "/c", "c");
    const QString pkg = makePackage(src);
    QVERIFY(!pkg.isEmpty());
    CZR_Fzip fzip;
    QCOMPARE(fzip.Unzip2(pkg, m_work + "/x"), 1);
    QCOMPARE(fzip.Unzip2(pkg, m_work + "/y/"), 1);
    QCOMPARE(readTree(m_work + "/x"), readTree(src));
    QCOMPARE(readTree(m_work + "/y"), readTree(src));
}

void UnzipTest::otherDestinationLeavesUncompressDirEmpty()
{
    const QString src = m_work + "/src";
    writeFile(src + "/f", "data");
    const QString pkg = makePackage(src);
    CZR_Fzip fzip;
    QCOMPARE(fzip.Unzip2(pkg, m_work + "/dest"), 1);
    QCOMPARE(readFile(m_work + "/dest/f"), QByteArray("data"));
    QVERIFY(QDir(uncompressDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void UnzipTest::emptyTableWritesNothing()
{
    const QString src = m_work + "/empty-src";
    QVERIFY(QDir().mkpath(src));
    const QString pkg = makePackage(src);
    QVERIFY(!pkg.isEmpty());
    CZR_Fzip fzip;
    QCOMPARE(fzip.Unzip2(pkg, m_work + "/never"), 1);
    QVERIFY(!QFileInfo::exists(m_work + "/never"));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::entriesNamedLikeTemporaryFiles()
{
    // The unpacker's own scratch files live in the destination it is normally given;
    // entries of the same names must still come out intact.
    const QString src = m_work + "/src";
    writeFile(src + "/infile_tmp", randomBytes(5000, 3));
    writeFile(src + "/outfile_tmp", randomBytes(7000, 4));
    writeFile(src + "/fileover_tmp", "table?");
    writeFile(src + "/zzz", "after them");
    const QString pkg = makePackage(src);
    CZR_Fzip fzip;
    QCOMPARE(fzip.Unzip2(pkg, uncompressDir()), 1);
    QCOMPARE(readTree(uncompressDir()), readTree(src));
}

void UnzipTest::unreadHeaderFieldsAreIgnored()
{
    const QByteArray data("content");
    QByteArray p = package(lzmaAlone(data), fileTable({{"f", 7}}));
    for (int offset : {4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 24, 25, 26, 27})
        p[offset] = char(0xA5);
    QCOMPARE(unzip(p, m_work + "/dest"), 1);
    QCOMPARE(readFile(m_work + "/dest/f"), data);
}

void UnzipTest::unreadablePackage()
{
    CZR_Fzip fzip;
    QCOMPARE(fzip.Unzip2(m_work + "/does-not-exist.pkg", m_work + "/dest"), -3);
    QCOMPARE(fzip.Unzip2(m_work, m_work + "/dest"), -3); // a directory
}

void UnzipTest::refusedPackage_data()
{
    // Refused as a whole: nothing is written and no temporary file is left.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("result");

    // Too short for the header, or not the package magic: -1.
    const QByteArray good = package(lzmaAlone("x"), fileTable({{"x", 1}}));
    QByteArray wrongMagic = good;
    wrongMagic[3] = 0x18;
    QTest::newRow("empty file") << QByteArray() << -1;
    QTest::newRow("magic only") << good.left(4) << -1;
    QTest::newRow("27 bytes") << good.left(27) << -1;
    QTest::newRow("wrong magic") << wrongMagic << -1;
    QTest::newRow("magic byte-swapped") << (QByteArray("\x19\x78\x06\x25", 4) + good.mid(4)) << -1;

    // The header's L past the end of the file: -4.
    const QByteArray hello = lzmaAlone("hello");
    const QByteArray helloTable = fileTable({{"f", 5}});
    QTest::newRow("L one byte past") << package(hello, helloTable, hello.size() + helloTable.size() + 1) << -4;
    QTest::newRow("L far past") << package(hello, helloTable, hello.size() + helloTable.size() + 100000) << -4;
    QTest::newRow("largest L") << package(hello, helloTable, qint64(0xFFFFFFFFu)) << -4;

    // A good CRC around an LZMA part that does not decode: -4, nothing written from a
    // partial stream. The table asks for every byte the header promises (one more
    // than the data), so decoding has to go to the end.
    const QByteArray data = randomBytes(20000, 6) + QByteArray(20000, 'z');
    const QByteArray lzma = lzmaAlone(data);
    QByteArray badProperties = lzma;
    badProperties[0] = char(0xFF); // beyond pb 4, lp 4, lc 8
    QByteArray claimsMore = lzma;  // ends (end marker) before the size its header claims
    claimsMore[5] = char(quint8(claimsMore[5]) + 1);
    QByteArray hugeDictionary = lzmaAlone(data, false); // unknown size: the dictionary counts
    hugeDictionary[1] = hugeDictionary[2] = hugeDictionary[3] = hugeDictionary[4] = char(0xFF);
    const QByteArray table = fileTable({{"a", 100}, {"b", 39901}});
    QTest::newRow("LZMA cut in half") << package(lzma.left(lzma.size() / 2), table) << -4;
    QTest::newRow("LZMA header only") << package(lzma.left(13), table) << -4;
    QTest::newRow("LZMA header cut short") << package(lzma.left(12), table) << -4;
    QTest::newRow("LZMA part empty") << package(QByteArray(), table) << -4;
    QTest::newRow("LZMA invalid properties") << package(badProperties, table) << -4;
    QTest::newRow("LZMA ends before its size") << package(claimsMore, table) << -4;
    QTest::newRow("LZMA 4 GiB dictionary, unknown size") << package(hugeDictionary, table) << -4;
}

void UnzipTest::refusedPackage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, result);
    QCOMPARE(unzip(bytes, m_work + "/dest"), result);
    QVERIFY(!QFileInfo::exists(m_work + "/dest"));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::anyChangedByteBreaksTheCrc()
{
    const QByteArray good = package(lzmaAlone(randomBytes(2000, 5)), fileTable({{"a", 1000}, {"b", 1000}}));
    QCOMPARE(unzip(good, m_work + "/dest"), 1);
    const int lzmaEnd = CZR_Fzip::HeaderSize + int(le32(good, 16));
    for (int offset : {int(CZR_Fzip::HeaderSize), CZR_Fzip::HeaderSize + 5, lzmaEnd - 1, lzmaEnd, good.size() - 1}) {
        QByteArray bad = good;
        bad[offset] = char(bad[offset] ^ 0x01);
        QCOMPARE(unzip(bad, m_work + "/bad"), -2);
    }
    QCOMPARE(unzip(good + '\0', m_work + "/bad"), -2); // a byte appended
    QCOMPARE(unzip(good.left(good.size() - 1), m_work + "/bad"), -2);
    QVERIFY(!QFileInfo::exists(m_work + "/bad"));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::missingUncompressDirectory()
{
    QVERIFY(QDir(uncompressDir()).removeRecursively());
    const QByteArray p = package(lzmaAlone("abc"), fileTable({{"f", 3}}));
    QCOMPARE(unzip(p, m_work + "/dest"), -4);
    QVERIFY(!QFileInfo::exists(m_work + "/dest"));
}

void UnzipTest::writtenEntries_data()
{
    // The entries are written in the table's order; one that cannot be written ends
    // the unpacking (0) with those before it in place and nothing of it or after it.
    QTest::addColumn<QByteArray>("stream");  // the unpacked bytes of the LZMA part
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<int>("result");
    QTest::addColumn<Tree>("written");       // all that stands below the destination
    const QByteArray dir("<dir>");           // a directory in readTree()
    QTest::newRow("directory entries, no files named after them")
        << QByteArray("tool!")
        << fileTable({{"doc\\", 0}, {"bin\\", 0}, {"bin\\sub\\", 0}, {"bin\\tool", 5}, {"bin\\sub\\empty", 0}})
        << 1
        << Tree{{"doc", dir}, {"bin", dir}, {"bin/sub", dir}, {"bin/tool", "tool!"}, {"bin/sub/empty", ""}};
    QTest::newRow("file in a directory not listed before it")
        << QByteArray("firsttool!") << fileTable({{"first", 5}, {"bin\\tool", 5}, {"last", 0}}) << 0
        << Tree{{"first", "first"}};
    QTest::newRow("name ending in a slash") << QByteArray("a") << fileTable({{"a", 1}, {"doc/", 0}}) << 0
                                            << Tree{{"a", "a"}};
    QTest::newRow("name ends at a zero byte") << QByteArray("xyz") << fileTable({{QByteArray("abc\0def", 7), 3}})
                                              << 1 << Tree{{"abc", "xyz"}};
    // The sizes in the table ask for more than the stream holds: no zero-filled file.
    QTest::newRow("stream shorter than the table")
        << QByteArray("0123456789") << fileTable({{"a", 4}, {"b", 20}, {"c", 1}}) << 0 << Tree{{"a", "0123"}};
    QTest::newRow("stream longer than the table") << QByteArray("0123456789") << fileTable({{"a", 4}}) << 1
                                                  << Tree{{"a", "0123"}};
    QTest::newRow("harmless dot names") << QByteArray("123") << fileTable({{"..a", 1}, {"a..", 1}, {"...", 1}}) << 1
                                        << Tree{{"..a", "1"}, {"a..", "2"}, {"...", "3"}};
}

void UnzipTest::writtenEntries()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, table);
    QFETCH(int, result);
    QFETCH(Tree, written);
    const QString dest = m_work + "/dest";
    QCOMPARE(unzip(package(lzmaAlone(stream), table), dest), result);
    QCOMPARE(readTree(dest), written);
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::tableCutShort_data()
{
    QTest::addColumn<QByteArray>("table");
    const QByteArray full = fileTable({{"one", 3}, {"two", 3}});
    const int secondEntry = 2 + 2 + 3 + 4;
    QTest::newRow("no table") << QByteArray();
    QTest::newRow("half a count") << full.left(1);
    QTest::newRow("count says two, one entry") << full.left(secondEntry);
    QTest::newRow("no name length") << full.left(secondEntry + 1);
    QTest::newRow("name cut short") << full.left(secondEntry + 2 + 2);
    QTest::newRow("size cut short") << full.left(full.size() - 1);
}

void UnzipTest::tableCutShort()
{
    // The table is read only as far as it goes; entries before the cut are written,
    // nothing of the cut entry is.
    QFETCH(QByteArray, table);
    const QString dest = m_work + "/dest";
    QCOMPARE(unzip(package(lzmaAlone("111222"), table), dest), 0);
    QVERIFY(!QFileInfo::exists(dest + "/two"));
    if (table.size() > 2)
        QCOMPARE(readFile(dest + "/one"), QByteArray("111"));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::overwritesLongerFileExactly()
{
    const QString dest = m_work + "/dest";
    writeFile(dest + "/f", QByteArray(10000, 'o'));
    QCOMPARE(unzip(package(lzmaAlone("new"), fileTable({{"f", 3}})), dest), 1);
    QCOMPARE(readFile(dest + "/f"), QByteArray("new"));
}

void UnzipTest::entriesSyncedToDisk_data()
{
    // Each file is synced once when written whole, then each folder a name was made in
    // (the destination's own folder, made here, first); a sync that fails fails the
    // unpacking, and a file that could not be synced is not left.
    QTest::addColumn<int>("failing"); // SyncProbe::Failing
    QTest::addColumn<int>("result");
    QTest::addColumn<Tree>("written");
    QTest::addColumn<QStringList>("synced"); // below the scratch area
    const QByteArray dir("<dir>");
    const Tree all{{"doc", dir}, {"a", "a"}, {"doc/b", "bb"}, {"doc/empty", ""}};
    const QStringList files{"/dest/a", "/dest/doc/b", "/dest/doc/empty"};
    const QStringList folders{"/", "/dest/", "/dest/doc/"};
    QTest::newRow("all synced") << int(SyncProbe::Nothing) << 1 << all << files + folders;
    QTest::newRow("a file's sync fails") << int(SyncProbe::Files) << 0 << Tree{{"doc", dir}}
                                         << QStringList{"/dest/a"};
    QTest::newRow("a folder's sync fails") << int(SyncProbe::Folders) << 0 << all << files + QStringList{"/"};
}

void UnzipTest::entriesSyncedToDisk()
{
    QFETCH(int, failing);
    QFETCH(QStringList, synced);
    const QString dest = m_work + "/dest";
    const QString base = QFileInfo(m_work).canonicalFilePath();
    for (QString& path : synced)
        path.prepend(base);
    // The failure is logged with the path and the reason.
    const QString logged = "^cannot sync to disk: \"%1.*\" Input/output error$";
    if (failing != SyncProbe::Nothing)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(logged.arg(QRegularExpression::escape(m_work))));
    const QByteArray table = fileTable({{"doc\\", 0}, {"a", 1}, {"doc\\b", 2}, {"doc\\empty", 0}});
    const QByteArray p = package(lzmaAlone("abb"), table);
    SyncProbe probe{SyncProbe::Failing(failing)};
    QTEST(unzip(p, dest), "result");
    QCOMPARE(probe.synced(), synced);
    QTEST(readTree(dest), "written");
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::unsafeNamesRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("absolute") << QByteArray("/escaped");
    QTest::newRow("absolute, backslash") << QByteArray("\\escaped");
    QTest::newRow("parent") << QByteArray("..\\escaped");
    QTest::newRow("parent, slash") << QByteArray("../escaped");
    QTest::newRow("parent in the middle") << QByteArray("inner\\..\\..\\escaped");
    QTest::newRow("parent at the end") << QByteArray("inner\\..");
    QTest::newRow("parent directory entry") << QByteArray("..\\");
    QTest::newRow("parent, zero byte after") << QByteArray("..\\escaped\0ok", 13);
}

void UnzipTest::unsafeNamesRefused()
{
    QFETCH(QByteArray, name);
    const QString dest = m_work + "/deep/dest";
    QVERIFY(QDir().mkpath(m_work + "/deep"));
    const QByteArray p = package(lzmaAlone("goodevil"), fileTable({{"good", 4}, {"inner\\", 0}, {name, 4}}));
    QCOMPARE(unzip(p, dest), 0);
    QCOMPARE(readFile(dest + "/good"), QByteArray("good"));
    // nothing appeared beside the destination or above it
    QCOMPARE(QDir(m_work + "/deep").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList("dest"));
    QVERIFY(!QFileInfo::exists(m_work + "/escaped"));
    QVERIFY(!QFileInfo::exists("/escaped"));
    QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"good", "inner"}));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::ownWorkingFolderWhenSharedOneIsNotPrivate()
{
    // Anyone may write into a shared folder of mode 0777: its uncompress folder is not
    // used, the user's own working folder is.
    QVERIFY(::chmod(QFile::encodeName(sharedWorkingDir()).constData(), 0777) == 0);
    for (const char* name : TemporaryNames)
        writeFile(uncompressDir() + name, "planted by someone");
    const QByteArray p = package(lzmaAlone("data"), fileTable({{"f", 4}}));
    const QString dest = m_work + "/dest";

    // the own folder is made, but it has no uncompress folder yet
    QCOMPARE(unzip(p, dest), -4);
    QVERIFY(QFileInfo(ownWorkingDir()).isDir());
    QVERIFY(!QFileInfo::exists(dest));

    const QString ownUncompress = ownWorkingDir() + "/uncompress/";
    QVERIFY(QDir().mkpath(ownUncompress));
    for (const char* name : TemporaryNames)
        writeFile(ownUncompress + name, "left over");
    QCOMPARE(unzip(p, dest), 1);
    QCOMPARE(readFile(dest + "/f"), QByteArray("data"));
    // the temporary files were made and removed in the own folder, not the shared one
    QVERIFY(entriesOf(ownUncompress).isEmpty());
    for (const char* name : TemporaryNames)
        QCOMPARE(readFile(uncompressDir() + name), QByteArray("planted by someone"));
}

void UnzipTest::noPrivateWorkingFolder()
{
    const QString ownUncompress = ownWorkingDir() + "/uncompress/";
    QVERIFY(QDir().mkpath(ownUncompress));
    for (const QString& dir : {sharedWorkingDir(), ownWorkingDir()})
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0777) == 0);
    const QString dest = m_work + "/dest";
    QCOMPARE(unzip(package(lzmaAlone("data"), fileTable({{"f", 4}})), dest), -4);
    QVERIFY(!QFileInfo::exists(dest));
    QVERIFY(entriesOf(uncompressDir()).isEmpty());
    QVERIFY(entriesOf(ownUncompress).isEmpty());
}

void UnzipTest::linksAtTemporaryFileNames_data()
{
    QTest::addColumn<bool>("dangling");
    QTest::newRow("links to files") << false;
    QTest::newRow("links to nothing") << true;
}

void UnzipTest::linksAtTemporaryFileNames()
{
    QFETCH(bool, dangling);
    for (const char* name : TemporaryNames) {
        const QString target = m_work + "/target-" + name;
        if (!dangling)
            writeFile(target, QByteArray("keep ") + name);
        QVERIFY(QFile::link(target, temporaryFile(name)));
    }
    const QByteArray data = randomBytes(150000, 21);
    const QString dest = m_work + "/dest";
    QCOMPARE(unzip(package(lzmaAlone(data), fileTable({{"a", 100000}, {"b", 50000}})), dest), 1);
    QVERIFY(readFile(dest + "/a") == data.left(100000));
    QVERIFY(readFile(dest + "/b") == data.mid(100000));
    for (const char* name : TemporaryNames) {
        const QString target = m_work + "/target-" + name;
        if (dangling)
            QVERIFY2(!QFileInfo::exists(target), name);
        else
            QCOMPARE(readFile(target), QByteArray("keep ") + name);
        QVERIFY2(!QFileInfo(temporaryFile(name)).isSymLink(), name);
    }
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::linksAtEntryNamesReplaced()
{
    // A symbolic link, a hard link and a dangling link standing at entries' names are
    // replaced by the entries; what they lead to stays as it was.
    const QString dest = m_work + "/dest";
    const QString outside = m_work + "/outside.txt";
    writeFile(outside, "precious");
    QVERIFY(QDir().mkpath(dest));
    QVERIFY(QFile::link(outside, dest + "/symbolic"));
    QVERIFY(::link(QFile::encodeName(outside).constData(), QFile::encodeName(dest + "/hard").constData()) == 0);
    QVERIFY(QFile::link(m_work + "/not-there", dest + "/dangling"));
    const QByteArray p = package(lzmaAlone("SSHHDD"), fileTable({{"symbolic", 2}, {"hard", 2}, {"dangling", 2}}));
    QCOMPARE(unzip(p, dest), 1);
    QCOMPARE(readFile(dest + "/symbolic"), QByteArray("SS"));
    QCOMPARE(readFile(dest + "/hard"), QByteArray("HH"));
    QCOMPARE(readFile(dest + "/dangling"), QByteArray("DD"));
    for (const char* name : {"symbolic", "dangling"})
        QVERIFY2(!QFileInfo(dest + "/" + name).isSymLink(), name);
    QCOMPARE(readFile(outside), QByteArray("precious"));
    QVERIFY(!QFileInfo::exists(m_work + "/not-there"));
}

void UnzipTest::linkAtDirectoryEntryName_data()
{
    QTest::addColumn<bool>("dangling");
    QTest::newRow("link to a directory outside") << false;
    QTest::newRow("link to nothing") << true;
}

void UnzipTest::linkAtDirectoryEntryName()
{
    QFETCH(bool, dangling);
    const QString dest = m_work + "/dest";
    const QString outside = m_work + "/outside";
    if (!dangling)
        QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(dest));
    QVERIFY(QFile::link(outside, dest + "/doc"));
    const QByteArray p = package(lzmaAlone("ax"), fileTable({{"a", 1}, {"doc\\", 0}, {"doc\\x", 1}}));
    QCOMPARE(unzip(p, dest), 0);
    QCOMPARE(readFile(dest + "/a"), QByteArray("a"));
    QVERIFY(QFileInfo(dest + "/doc").isSymLink()); // left alone
    if (dangling)
        QVERIFY(!QFileInfo::exists(outside));
    else
        QVERIFY(entriesOf(outside).isEmpty());
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::linkOnTheWayToEntry_data()
{
    // A link planted at `link` (below the destination) pointing to `target` (below the
    // scratch area) lies on the way of the second entry; `landing` (below the scratch
    // area) is where following it would put the entry.
    QTest::addColumn<QString>("realDir");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<quint32>("size");
    QTest::addColumn<QString>("landing");
    QTest::newRow("file in a linked directory")
        << QString() << "bin" << "outside" << QByteArray("bin\\tool") << 4u << "outside/tool";
    QTest::newRow("file two levels below, lower directory linked")
        << "bin" << "bin/sub" << "outside" << QByteArray("bin\\sub\\tool") << 4u << "outside/tool";
    QTest::newRow("file below a link, slash separators")
        << QString() << "bin" << "outside" << QByteArray("bin/tool") << 4u << "outside/tool";
    QTest::newRow("directory in a linked directory")
        << QString() << "bin" << "outside" << QByteArray("bin\\new\\") << 0u << "outside/new";
    QTest::newRow("link pointing inside the destination")
        << "real" << "alias" << "dest/real" << QByteArray("alias\\tool") << 4u << "dest/real/tool";
}

void UnzipTest::linkOnTheWayToEntry()
{
    QFETCH(QString, realDir);
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QByteArray, entry);
    QFETCH(quint32, size);
    QFETCH(QString, landing);
    const QString dest = m_work + "/dest";
    QVERIFY(QDir().mkpath(dest + "/" + realDir));
    QVERIFY(QDir().mkpath(m_work + "/" + target));
    QVERIFY(QFile::link(m_work + "/" + target, dest + "/" + link));

    const QByteArray p = package(lzmaAlone("firsttool!"), fileTable({{"first", 5}, {entry, size}, {"last", 1}}));
    QCOMPARE(unzip(p, dest), 0);
    QCOMPARE(readFile(dest + "/first"), QByteArray("first"));
    QVERIFY(!QFileInfo::exists(m_work + "/" + landing));
    QVERIFY(!QFileInfo::exists(dest + "/last"));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::declaredSizeAgainstFreeSpace_data()
{
    QTest::addColumn<QByteArray>("lzma");
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<qint64>("freeSpace");
    QTest::addColumn<int>("result");
    const qint64 reserve = CZR_Fzip::FreeSpaceReserve;
    const QByteArray data = randomBytes(3000, 22);
    const QByteArray known = lzmaAlone(data, true);
    const QByteArray unknown = lzmaAlone(data, false);
    const QByteArray whole = fileTable({{"a", 1000}, {"b", 2000}});
    const QByteArray firstPart = fileTable({{"a", 1000}});
    QByteArray highBitsSet = known;
    setLe32(highBitsSet, 9, 0x00010000);

    QTest::newRow("known size, just enough") << known << whole << reserve + 3000 << 1;
    QTest::newRow("known size, one byte short") << known << whole << reserve + 2999 << -5;
    // the header's size counts even where the table needs less
    QTest::newRow("known size above the table's, just enough") << known << firstPart << reserve + 3000 << 1;
    QTest::newRow("known size above the table's, one byte short") << known << firstPart << reserve + 2999 << -5;
    QTest::newRow("high size bits ignored") << highBitsSet << whole << reserve + 3000 << 1;
    QTest::newRow("unknown size: the table's total, just enough") << unknown << firstPart << reserve + 1000 << 1;
    QTest::newRow("unknown size: the table's total, one byte short") << unknown << firstPart << reserve + 999 << -5;
    QTest::newRow("nothing to unpack, the reserve free") << lzmaAlone(QByteArray(), false) << fileTable({})
                                                         << reserve << 1;
    QTest::newRow("nothing to unpack, less than the reserve free")
        << lzmaAlone(QByteArray(), false) << fileTable({}) << reserve - 1 << -5;
    QTest::newRow("free space unknown") << known << whole << qint64(-1) << -5;
    // figures past 32 bits, as on a 32-bit build: cut to 32 bits, the first would be
    // 100 bytes and the second 2 GiB
    const qint64 sixGiB = qint64(3) << 31;
    QTest::newRow("free space over 4 GiB") << known << whole << (qint64(1) << 32) + 100 << 1;
    QTest::newRow("a table total over 4 GiB, one byte short")
        << unknown << fileTable({{"a", 3u << 30}, {"b", 3u << 30}}) << reserve + sixGiB - 1 << -5;
}

void UnzipTest::declaredSizeAgainstFreeSpace()
{
    QFETCH(QByteArray, lzma);
    QFETCH(QByteArray, table);
    QFETCH(qint64, freeSpace);
    QFETCH(int, result);
    g_freeSpace = freeSpace;
    g_probedDir.clear();
    CZR_Fzip::setFreeSpaceProbe(fixedFreeSpace);
    const QString dest = m_work + "/dest";
    QCOMPARE(unzip(package(lzma, table), dest), result);
    QCOMPARE(g_probedDir, dest);
    if (result == -5) {
        QVERIFY(!QFileInfo::exists(dest));
        QVERIFY(entriesOf(uncompressDir()).isEmpty());
    } else if (table.size() > 2) {
        QCOMPARE(readFile(dest + "/a").size(), 1000);
    }
}

void UnzipTest::hugeTableRefusedForReal_data()
{
    QTest::addColumn<QByteArray>("lzma");
    QByteArray undecodable = lzmaAlone(randomBytes(100000, 23), false);
    undecodable.truncate(undecodable.size() / 2);
    QTest::newRow("stream that does not decode") << undecodable;
    QTest::newRow("stream of zeros") << lzmaAlone(QByteArray(4 << 20, '\0'), false);
}

void UnzipTest::hugeTableRefusedForReal()
{
    // 65535 entries of 4 GiB under an LZMA header of unknown size: 256 TiB that no
    // disk has. The refusal comes from the table alone; had the stream been decoded,
    // the broken one would have failed with -4.
    QFETCH(QByteArray, lzma);
    QList<TableEntry> entries;
    for (int i = 0; i < 65535; ++i)
        entries.append({QByteArray::number(i), 0xFFFFFFFFu});
    const QString dest = m_work + "/dest";
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(unzip(package(lzma, fileTable(entries)), dest), -5);
    // reading the package is all it takes (decoding 256 TiB would not end today)
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!QFileInfo::exists(dest));
    QVERIFY(entriesOf(uncompressDir()).isEmpty());
}

void UnzipTest::decodingStopsAtTableTotal_data()
{
    QTest::addColumn<QByteArray>("lzma");
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<int>("result");
    const QByteArray data = randomBytes(400000, 24);
    // random data barely compresses: half the stream holds some 200000 bytes
    QByteArray unknownSize = lzmaAlone(data, false);
    unknownSize.truncate(unknownSize.size() / 2);
    QByteArray knownSize = lzmaAlone(data, true);
    knownSize.truncate(knownSize.size() / 2);
    QByteArray badProperties = lzmaAlone(data);
    badProperties[0] = char(0xFF);

    QTest::newRow("unknown size, broken past the table's total") << unknownSize << fileTable({{"a", 100000}}) << 1;
    QTest::newRow("known size, broken past the table's total") << knownSize << fileTable({{"a", 100000}}) << 1;
    QTest::newRow("broken before the table's total") << unknownSize << fileTable({{"a", 300000}}) << -4;
    QTest::newRow("empty table, header alone") << knownSize.left(13) << fileTable({}) << 1;
    QTest::newRow("empty table, bad properties") << badProperties << fileTable({}) << -4;
    QTest::newRow("only empty entries, bad properties") << badProperties << fileTable({{"e", 0}}) << -4;
}

void UnzipTest::decodingStopsAtTableTotal()
{
    QFETCH(QByteArray, lzma);
    QFETCH(QByteArray, table);
    QFETCH(int, result);
    const QString dest = m_work + "/dest";
    QCOMPARE(unzip(package(lzma, table), dest), result);
    if (result == 1 && table.size() > 2)
        QVERIFY(readFile(dest + "/a") == randomBytes(400000, 24).left(100000));
    QVERIFY(!anyTemporaryFileLeft());
}

void UnzipTest::availableSpaceOfDestination()
{
    // Others write to the same disk meanwhile: the figures agree within a margin.
    const qint64 margin = 256 << 20;
    const qint64 reference = QStorageInfo(m_work).bytesAvailable();
    QVERIFY(reference > 0);
    QVERIFY(qAbs(CZR_Fzip::availableSpace(m_work) - reference) < margin);
    // a destination not made yet counts by its nearest existing parent
    QVERIFY(qAbs(CZR_Fzip::availableSpace(m_work + "/not/made/yet/") - reference) < margin);
    writeFile(m_work + "/file", "x");
    QVERIFY(qAbs(CZR_Fzip::availableSpace(m_work + "/file/below") - reference) < margin);
    // the file system of the destination counts, not that of the temporary folder
    QCOMPARE(CZR_Fzip::availableSpace("/proc/no-such-folder"), QStorageInfo("/proc").bytesAvailable());
    QCOMPARE(CZR_Fzip::availableSpace("/proc/no-such-folder"), qint64(0));
}

void UnzipTest::decodeFileKnownAndUnknownSize()
{
    const QByteArray data = randomBytes(3000000, 8) + QByteArray(1000000, 'q');
    CZR_Fzip fzip;
    for (bool known : {true, false}) {
        writeFile(m_work + "/in.lzma", lzmaAlone(data, known));
        writeFile(m_work + "/out", QByteArray(5000000, 'x')); // replaced, not overwritten in place
        QCOMPARE(fzip.UnzipFileToFile(m_work + "/in.lzma", m_work + "/out"), 1);
        QVERIFY(readFile(m_work + "/out") == data);
    }
    // a link planted at the output is replaced, not written through
    writeFile(m_work + "/target", "keep");
    QVERIFY(QFile::remove(m_work + "/out") && QFile::link(m_work + "/target", m_work + "/out"));
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/in.lzma", m_work + "/out"), 1);
    QVERIFY(!QFileInfo(m_work + "/out").isSymLink());
    QVERIFY(readFile(m_work + "/out") == data);
    QCOMPARE(readFile(m_work + "/target"), QByteArray("keep"));
}

void UnzipTest::decodeFileSizeFieldLimitsOutput()
{
    // Only the low 32 bits of the header's size count, and they bound the output.
    const QByteArray data = randomBytes(100000, 9);
    CZR_Fzip fzip;
    QByteArray smaller = lzmaAlone(data);
    setLe32(smaller, 5, 60000);
    writeFile(m_work + "/in.lzma", smaller);
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/in.lzma", m_work + "/out"), 1);
    QVERIFY(readFile(m_work + "/out") == data.left(60000));

    QByteArray highBitsSet = lzmaAlone(data);
    setLe32(highBitsSet, 9, 1);
    writeFile(m_work + "/in.lzma", highBitsSet);
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/in.lzma", m_work + "/out"), 1);
    QVERIFY(readFile(m_work + "/out") == data);

    // A known size makes a dictionary larger than the output pointless: a 4 GiB one
    // is not allocated and the stream still decodes.
    QByteArray hugeDictionary = lzmaAlone(data);
    setLe32(hugeDictionary, 1, 0xFFFFFFFFu);
    writeFile(m_work + "/in.lzma", hugeDictionary);
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/in.lzma", m_work + "/out"), 1);
    QVERIFY(readFile(m_work + "/out") == data);
}

void UnzipTest::decodeFileFailures()
{
    CZR_Fzip fzip;
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/missing.lzma", m_work + "/out"), 0);
    QVERIFY(!QFileInfo::exists(m_work + "/out"));

    const QByteArray good = lzmaAlone(randomBytes(50000, 10));
    writeFile(m_work + "/cut.lzma", good.left(good.size() - 100));
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/cut.lzma", m_work + "/out"), 0);

    writeFile(m_work + "/good.lzma", good);
    QCOMPARE(fzip.UnzipFileToFile(m_work + "/good.lzma", m_work + "/no-such-dir/out"), 0);
}

QTEST_GUILESS_MAIN(UnzipTest)
#include "unzip_test.moc"
