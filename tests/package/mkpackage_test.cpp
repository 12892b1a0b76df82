// mkpackage: the layout it writes, its determinism, its refusals of what a package
// cannot represent, and that it never leaves a half-written output behind.
#include "packagetestutil.h"
#include "zrfzip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace PackageTest;

namespace {

struct ParsedEntry
{
    QByteArray name;
    quint32 size;
};

// Reads the file table of a package the way the format defines it.
QList<ParsedEntry> parseTable(const QByteArray& pkg)
{
    QList<ParsedEntry> entries;
    int pos = CZR_Fzip::HeaderSize + int(le32(pkg, 16));
    const int count = quint8(pkg[pos]) | quint8(pkg[pos + 1]) << 8;
    pos += 2;
    for (int i = 0; i < count; ++i) {
        const int n = quint8(pkg[pos]);
        ParsedEntry e;
        e.name = pkg.mid(pos + 2, n);
        e.size = le32(pkg, pos + 2 + n);
        entries.append(e);
        pos += 2 + n + 4;
    }
    if (pos != pkg.size())
        qWarning("table does not end at the end of the package");
    return entries;
}

QStringList listDir(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class MkpackageTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void helpAndUsage();
    void layout();
    void sameTreeSamePackage();
    void sizeLimitsAtTheEdge();
    void refusals_data();
    void refusals();
    void tooManyEntries();
    void failedWriteLeavesNothing();
    void interruptLeavesNothing();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_src;
    QString m_out;  // directory of the output files
};

// The Latin-1 name one refusal case creates; Qt cannot name it, so it is removed by bytes.
static QByteArray latin1Name(const QString& dir)
{
    return QFile::encodeName(dir) + "/caf\xe9";
}

void MkpackageTest::init()
{
    m_dir.reset(new QTemporaryDir(QDir::tempPath() + "/mkpackage_test-XXXXXX"));
    QVERIFY(m_dir->isValid());
    m_src = m_dir->path() + "/src";
    m_out = m_dir->path() + "/out";
    QVERIFY(QDir().mkpath(m_src));
    QVERIFY(QDir().mkpath(m_out));
}

void MkpackageTest::cleanup()
{
    ::unlink(latin1Name(m_src).constData());
    m_dir.reset();
}

void MkpackageTest::helpAndUsage()
{
    QByteArray out, err;
    QCOMPARE(runMkpackage({"--help"}, &err, &out), 0);
    QVERIFY(out.startsWith("Usage: mkpackage [-0..-9] SOURCE_DIR OUTPUT_FILE"));
    QCOMPARE(runMkpackage({}, &err), 2);
    QVERIFY(err.contains("Usage:"));
    QCOMPARE(runMkpackage({m_src}, &err), 2);
    QCOMPARE(runMkpackage({"-x", m_src, m_out + "/p"}, &err), 2);
    QVERIFY(err.contains("unknown option -x"));
    QCOMPARE(runMkpackage({"-10", m_src, m_out + "/p"}, &err), 2);
    QCOMPARE(runMkpackage({m_src, m_out + "/p", "extra"}, &err), 2);
    QVERIFY(listDir(m_out).isEmpty());
}

void MkpackageTest::layout()
{
    writeFile(m_src + "/b.txt", "bbb");
    writeFile(m_src + "/A/z", "zz");
    writeFile(m_src + "/A/sub/y", "y");
    writeFile(m_src + "/a", "aaaa");
    QVERIFY(QDir().mkpath(m_src + "/c/empty"));

    QByteArray err;
    QCOMPARE(runMkpackage({m_src, m_out + "/p.pkg"}, &err), 0);
    QCOMPARE(err, QByteArray()); // quiet when not on a terminal
    QCOMPARE(listDir(m_out), QStringList("p.pkg"));
    const QByteArray pkg = readFile(m_out + "/p.pkg");

    QCOMPARE(le32(pkg, 0), quint32(CZR_Fzip::PackageMagic));
    for (int offset : {4, 12, 20, 24})
        QCOMPARE(le32(pkg, offset), 0u);
    const QByteArray payload = pkg.mid(CZR_Fzip::HeaderSize);
    QCOMPARE(le32(pkg, 8), CZR_Fzip::RunCRC32(reinterpret_cast<const unsigned char*>(payload.constData()),
                                             quint32(payload.size()), CZR_Fzip::PackageMagic));

    const int lzmaStart = CZR_Fzip::HeaderSize;
    QCOMPARE(quint8(pkg[lzmaStart]), quint8(0x5D)); // lc 3, lp 0, pb 2 of the presets
    QCOMPARE(le32(pkg, lzmaStart + 5), 3u + 2u + 1u + 4u); // the real unpacked size
    QCOMPARE(le32(pkg, lzmaStart + 9), 0u);

    // Directories before their contents, each directory's entries sorted by bytes.
    const QList<ParsedEntry> table = parseTable(pkg);
    QStringList names;
    QList<quint32> sizes;
    for (const ParsedEntry& e : table) {
        names << QString::fromUtf8(e.name);
        sizes << e.size;
    }
    QCOMPARE(names, QStringList({"A\\", "A\\sub\\", "A\\sub\\y", "A\\z", "a", "b.txt", "c\\", "c\\empty\\"}));
    QCOMPARE(sizes, QList<quint32>({0, 0, 1, 2, 4, 3, 0, 0}));

    // The LZMA part alone is an ordinary stand-alone stream of the contents in table order.
    writeFile(m_out + "/part.lzma", pkg.mid(lzmaStart, int(le32(pkg, 16))));
    CZR_Fzip fzip;
    QCOMPARE(fzip.UnzipFileToFile(m_out + "/part.lzma", m_out + "/stream"), 1);
    QCOMPARE(readFile(m_out + "/stream"), QByteArray("yzzaaaabbb"));
}

void MkpackageTest::sameTreeSamePackage()
{
    writeFile(m_src + "/d/one", randomBytes(100000, 1));
    writeFile(m_src + "/two", "two");
    QCOMPARE(runMkpackage({m_src, m_out + "/1.pkg"}), 0);
    QCOMPARE(runMkpackage({m_src, m_out + "/2.pkg"}), 0);
    QCOMPARE(runMkpackage({"-1", m_src, m_out + "/3.pkg"}), 0);
    QVERIFY(readFile(m_out + "/1.pkg") == readFile(m_out + "/2.pkg"));
    QVERIFY(readFile(m_out + "/1.pkg") != readFile(m_out + "/3.pkg"));

    // An existing output is replaced whole.
    writeFile(m_out + "/4.pkg", QByteArray(1 << 20, 'j'));
    QCOMPARE(runMkpackage({m_src, m_out + "/4.pkg"}), 0);
    QVERIFY(readFile(m_out + "/4.pkg") == readFile(m_out + "/1.pkg"));
}

void MkpackageTest::sizeLimitsAtTheEdge()
{
    // 255 bytes of path in the package are fine (here 127 + 1 + 127).
    writeFile(m_src + "/" + QString(127, 'd') + "/" + QString(127, 'f'), "x");
    QByteArray err;
    QCOMPARE(runMkpackage({m_src, m_out + "/p.pkg"}, &err), 0);
    const QList<ParsedEntry> table = parseTable(readFile(m_out + "/p.pkg"));
    QCOMPARE(table.size(), 2);
    QCOMPARE(table[1].name.size(), 255);
}

void MkpackageTest::refusals_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("path over 255 bytes") << "long" << QByteArray("at most 255 are possible");
    QTest::newRow("file over 4 GiB") << "bigfile" << QByteArray("4 GiB or larger");
    QTest::newRow("total over 4 GiB") << "bigtotal" << QByteArray("more than 4 GiB - 1 bytes");
    QTest::newRow("symbolic link") << "symlink" << QByteArray("symbolic links cannot be packed");
    QTest::newRow("dangling symbolic link") << "dangling" << QByteArray("symbolic links cannot be packed");
    QTest::newRow("named pipe") << "fifo" << QByteArray("special files");
    QTest::newRow("backslash in a name") << "backslash" << QByteArray("contains a backslash");
    QTest::newRow("name not UTF-8") << "latin1" << QByteArray("not valid UTF-8");
    QTest::newRow("missing source") << "nosource" << QByteArray("No such file or directory");
    QTest::newRow("source is a file") << "sourcefile" << QByteArray("not a directory");
    QTest::newRow("output inside source") << "inside" << QByteArray("must not lie inside the source");
    QTest::newRow("output directory missing") << "nooutdir" << QByteArray("output directory does not exist");
}

void MkpackageTest::refusals()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, message);
    writeFile(m_src + "/ordinary", "fine");
    QString source = m_src;
    QString output = m_out + "/p.pkg";
    // a previous package of the same name must survive a refused run untouched
    writeFile(output, "previous package");

    if (kind == "long") {
        writeFile(m_src + "/" + QString(128, 'd') + "/" + QString(127, 'f'), "x");
    } else if (kind == "bigfile" || kind == "bigtotal") {
        // sparse files: refused before anything is read
        const qint64 size = kind == "bigfile" ? (qint64(1) << 32) : (qint64(1) << 31) + 1;
        const int count = kind == "bigfile" ? 1 : 2;
        for (int i = 0; i < count; ++i) {
            QFile f(m_src + QString("/sparse%1").arg(i));
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(size));
        }
    } else if (kind == "symlink") {
        QVERIFY(QFile::link(m_src + "/ordinary", m_src + "/link"));
    } else if (kind == "dangling") {
        QVERIFY(QDir().mkpath(m_src + "/sub"));
        QVERIFY(QFile::link(m_src + "/nothing-here", m_src + "/sub/link"));
    } else if (kind == "fifo") {
        QCOMPARE(mkfifo(QFile::encodeName(m_src + "/pipe").constData(), 0600), 0);
    } else if (kind == "backslash") {
        writeFile(m_src + "/win\\name", "x");
    } else if (kind == "latin1") {
        const int fd = ::open(latin1Name(m_src).constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
    } else if (kind == "nosource") {
        source = m_src + "/missing";
    } else if (kind == "sourcefile") {
        source = m_src + "/ordinary";
    } else if (kind == "inside") {
        output = m_src + "/sub/p.pkg";
        QVERIFY(QDir().mkpath(m_src + "/sub"));
    } else if (kind == "nooutdir") {
        output = m_out + "/missing/p.pkg";
    }

    const QStringList before = listDir(m_out);
    QByteArray err;
    QCOMPARE(runMkpackage({source, output}, &err), 1);
    QVERIFY2(err.startsWith("mkpackage: ") && err.contains(message), err.constData());
    QCOMPARE(listDir(m_out), before);
    QCOMPARE(readFile(m_out + "/p.pkg"), QByteArray("previous package"));
    if (kind == "inside")
        QVERIFY(!QFileInfo::exists(output));
}

void MkpackageTest::tooManyEntries()
{
    // 65535 entries are the most a table can count.
    for (int i = 0; i < 65534; ++i) {
        QFile f(m_src + QString("/%1").arg(i, 5, 10, QLatin1Char('0')));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir().mkpath(m_src + "/dir"));
    QByteArray err;
    QVERIFY2(runMkpackage({"-0", m_src, m_out + "/full.pkg"}, &err) == 0, err.constData());
    const QByteArray pkg = readFile(m_out + "/full.pkg");
    const int tableStart = CZR_Fzip::HeaderSize + int(le32(pkg, 16));
    QCOMPARE(quint8(pkg[tableStart]) | quint8(pkg[tableStart + 1]) << 8, 65535);

    QFile one(m_src + "/dir/one-more");
    QVERIFY(one.open(QIODevice::WriteOnly));
    one.close();
    QCOMPARE(runMkpackage({"-0", m_src, m_out + "/over.pkg"}, &err), 1);
    QVERIFY2(err.contains("at most 65535"), err.constData());
    QVERIFY(!QFileInfo::exists(m_out + "/over.pkg"));
}

void MkpackageTest::failedWriteLeavesNothing()
{
    // A write fails half-way (file size limit, with the signal ignored so that the
    // write reports the error): the run fails and neither a partial package nor a
    // scratch file is left, and an older package of that name is kept.
    writeFile(m_src + "/random", randomBytes(2 << 20, 5));
    writeFile(m_out + "/p.pkg", "previous package");
    QProcess p;
    p.start("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 256; exec \"$0\" \"$@\"", MKPACKAGE_PATH, "-0", m_src,
                        m_out + "/p.pkg"});
    QVERIFY(p.waitForFinished(-1));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    const QByteArray err = p.readAllStandardError();
    QVERIFY2(err.contains("cannot write"), err.constData());
    QCOMPARE(listDir(m_out), QStringList("p.pkg"));
    QCOMPARE(readFile(m_out + "/p.pkg"), QByteArray("previous package"));
}

void MkpackageTest::interruptLeavesNothing()
{
    // Interrupted while writing, the tool drops its unfinished output and says so.
    writeFile(m_src + "/random", randomBytes(24 << 20, 6));
    QProcess p;
    p.start(QStringLiteral(MKPACKAGE_PATH), {"-9", m_src, m_out + "/p.pkg"});
    QVERIFY(p.waitForStarted());
    // Wait until it has its output open (the scratch file may have no name at all, so
    // look at the process's open files), without a time limit of our own.
    const QString fdDir = QString("/proc/%1/fd").arg(p.processId());
    bool writing = false;
    while (!writing && !p.waitForFinished(5)) {
        for (const QFileInfo& fd : QDir(fdDir).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            if (fd.symLinkTarget().startsWith(m_out))
                writing = true;
    }
    if (!writing)
        QSKIP("mkpackage finished before it could be interrupted");
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(-1));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(p.readAllStandardError().contains("interrupted"));
    QCOMPARE(listDir(m_out), QStringList());
}

QTEST_GUILESS_MAIN(MkpackageTest)
#include "mkpackage_test.moc"
