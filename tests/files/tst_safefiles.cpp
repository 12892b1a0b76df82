// The file operations that never follow a link (include/safefiles.h), each on its own:
// what they do with trees, links standing at and on the way to a name, and short or
// failing reads and writes.
#include "safefiles.h"
#include "testutil.h"

#include <QBuffer>
#include <QtTest>

#include <unistd.h>

using namespace TestUtil;

class TestSafeFiles : public QObject
{
    Q_OBJECT

private slots:
    // ---- deleteDir ----

    void deleteDirRemovesATree()
    {
        const QString top = root() + QStringLiteral("/tree to delete");
        writeFile(top + QStringLiteral("/a.txt"), "a");
        writeFile(top + QStringLiteral("/.hidden"), "h");
        writeFile(top + QStringLiteral("/sub/deeper/b.bin"), "b");
        writeFile(top + QStringLiteral("/sub/.hiddendir/c"), "c");
        QDir().mkpath(top + QStringLiteral("/empty"));
        QFile::setPermissions(top + QStringLiteral("/a.txt"), QFileDevice::ReadOwner);
        QVERIFY(Comm::deleteDir(top));
        QVERIFY(!QFileInfo::exists(top));
        // Also with the trailing separator the unpack directory is written with.
        writeFile(top + QStringLiteral("/x"), "x");
        QVERIFY(Comm::deleteDir(top + QLatin1Char('/')));
        QVERIFY(!QFileInfo::exists(top));
    }

    void deleteDirOnWhatIsNoDirectory()
    {
        QVERIFY(Comm::deleteDir(root() + QStringLiteral("/not there")));
        QVERIFY(Comm::deleteDir(QString()));
        const QString file = root() + QStringLiteral("/plain file");
        writeFile(file, "keep");
        QVERIFY(Comm::deleteDir(file));
        QCOMPARE(readFile(file), QByteArray("keep"));
    }

    void deleteDirLeavesLinkTargetsAlone()
    {
        const QString outside = root() + QStringLiteral("/outside");
        writeFile(outside + QStringLiteral("/precious.txt"), "precious");
        QFile::setPermissions(outside + QStringLiteral("/precious.txt"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                              | QFileDevice::ReadOther);
        const QFileDevice::Permissions before = QFile::permissions(outside + QStringLiteral("/precious.txt"));
        const QString top = root() + QStringLiteral("/with links");
        QDir().mkpath(top);
        QVERIFY(QFile::link(outside + QStringLiteral("/precious.txt"), top + QStringLiteral("/file-link")));
        QVERIFY(QFile::link(outside, top + QStringLiteral("/dir-link")));
        QVERIFY(QFile::link(root() + QStringLiteral("/nowhere"), top + QStringLiteral("/broken-link")));

        QVERIFY(Comm::deleteDir(top));
        QVERIFY(!QFileInfo::exists(top));
        QCOMPARE(readFile(outside + QStringLiteral("/precious.txt")), QByteArray("precious"));
        QCOMPARE(QFile::permissions(outside + QStringLiteral("/precious.txt")), before);

        // A link standing where the directory should be goes as a link, however the
        // path is spelt: with a trailing "/" the system would look through the link.
        const QString linkedTop = root() + QStringLiteral("/linked top");
        for (const QString& spelling : { linkedTop, linkedTop + QLatin1Char('/'), linkedTop + QStringLiteral("//") }) {
            QVERIFY(QFile::link(outside, linkedTop));
            QVERIFY(Comm::deleteDir(spelling));
            QVERIFY(!QFileInfo(linkedTop).isSymLink());
            QCOMPARE(readFile(outside + QStringLiteral("/precious.txt")), QByteArray("precious"));
            QCOMPARE(QFile::permissions(outside + QStringLiteral("/precious.txt")), before);
        }

        // Links deeper down, to a folder and to a file, are removed as links too.
        const QString deep = root() + QStringLiteral("/deep tree");
        QVERIFY(QDir().mkpath(deep + QStringLiteral("/a/b/c")));
        QVERIFY(QFile::link(outside, deep + QStringLiteral("/a/b/c/to-folder")));
        QVERIFY(QFile::link(outside + QStringLiteral("/precious.txt"), deep + QStringLiteral("/a/b/to-file")));
        QVERIFY(Comm::deleteDir(deep + QLatin1Char('/')));
        QVERIFY(!QFileInfo::exists(deep));
        QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                 QStringList() << QStringLiteral("precious.txt"));
        QCOMPARE(QFile::permissions(outside + QStringLiteral("/precious.txt")), before);
    }

    void deleteDirReportsWhatItCouldNotRemove()
    {
        if (geteuid() == 0)
            QSKIP("permissions do not stop root");
        const QString top = root() + QStringLiteral("/stubborn");
        writeFile(top + QStringLiteral("/locked/inside.txt"), "x");
        writeFile(top + QStringLiteral("/free.txt"), "y");
        QFile::setPermissions(top + QStringLiteral("/locked"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        const bool result = Comm::deleteDir(top);
        qInstallMessageHandler(previous);
        QFile::setPermissions(top + QStringLiteral("/locked"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                   | QFileDevice::ExeOwner);
        QVERIFY(!result);
        QVERIFY(!QFileInfo::exists(top + QStringLiteral("/free.txt")));
        QVERIFY(!g_log.filter(QStringLiteral("remove file")).filter(QStringLiteral(" faild!")).isEmpty());
        QVERIFY(!g_log.filter(QStringLiteral("remove dir")).filter(QStringLiteral(" faild!")).isEmpty());
    }

    // ---- copyData ----

    void copyData_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("copied");
        QTest::newRow("count over several buffers") << QByteArray("abcdefghij") << qint64(0) << qint64(10) << true
                                                    << true << QByteArray("abcdefghij");
        QTest::newRow("count from the position") << QByteArray("abcdefghij") << qint64(2) << qint64(5) << true << true
                                                 << QByteArray("cdefg");
        QTest::newRow("count 0") << QByteArray("abc") << qint64(0) << qint64(0) << true << true << QByteArray();
        QTest::newRow("source ends before count") << QByteArray("abcdefg") << qint64(1) << qint64(9) << true << false
                                                  << QByteArray("bcdefg");
        QTest::newRow("to the end") << QByteArray("abcdefghij") << qint64(3) << qint64(-1) << true << true
                                    << QByteArray("defghij");
        QTest::newRow("to the end of nothing") << QByteArray() << qint64(0) << qint64(-1) << true << true << QByteArray();
        QTest::newRow("write refused, count") << QByteArray("abc") << qint64(0) << qint64(3) << false << false
                                              << QByteArray();
        QTest::newRow("write refused, to the end") << QByteArray("abc") << qint64(0) << qint64(-1) << false << false
                                                   << QByteArray();
    }

    void copyData()
    {
        QFETCH(QByteArray, source);
        QFETCH(qint64, start);
        QFETCH(qint64, count);
        QFETCH(bool, writable);
        QBuffer from(&source);
        QVERIFY(from.open(QIODevice::ReadOnly) && from.seek(start));
        QByteArray target;
        QBuffer to(&target);
        QVERIFY(to.open(writable ? QIODevice::WriteOnly : QIODevice::ReadOnly));
        if (!writable)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ReadOnly device")));
        // A buffer smaller than the data: the copy takes several rounds.
        QByteArray buffer(3, Qt::Uninitialized);
        QTEST(Comm::copyData(from, to, buffer, count), "ok");
        QTEST(target, "copied");
    }

    // ---- leadsThroughLink ----

    void leadsThroughLink_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("includeLast");
        QTest::addColumn<bool>("expected");
        QTest::newRow("no link") << "real/dir/file" << true << false;
        QTest::newRow("link first") << "to-real/dir/file" << false << true;
        QTest::newRow("link further down") << "real/to-outside/file" << false << true;
        QTest::newRow("empty components") << "real//to-outside/file" << false << true;
        QTest::newRow("link last, not counted") << "real/to-outside" << false << false;
        QTest::newRow("link last, counted") << "real/to-outside" << true << true;
        QTest::newRow("walk ends at what is absent") << "absent/to-real" << true << false;
    }

    void leadsThroughLink()
    {
        const QString base = root() + QStringLiteral("/walk/");
        if (!QFileInfo::exists(base)) {
            QVERIFY(QDir().mkpath(base + QStringLiteral("real/dir")));
            QVERIFY(QDir().mkpath(root() + QStringLiteral("/walk outside")));
            QVERIFY(QFile::link(base + QStringLiteral("real"), base + QStringLiteral("to-real")));
            QVERIFY(QFile::link(root() + QStringLiteral("/walk outside"), base + QStringLiteral("real/to-outside")));
        }
        QFETCH(QString, relative);
        QFETCH(bool, includeLast);
        QTEST(Comm::leadsThroughLink(base, relative, includeLast), "expected");
    }
};

QTEST_GUILESS_MAIN(TestSafeFiles)
#include "tst_safefiles.moc"
