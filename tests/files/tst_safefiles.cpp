// The file operations that never follow a link (include/safefiles.h), each on its own:
// what they do with trees, links standing at and on the way to a name, short or
// failing reads and writes, and the syncs to disk that make a file count as complete.
#include "safefiles.h"
#include "syncprobe.h"
#include "testutil.h"

#include <QBuffer>
#include <QtTest>

#include <cstring>
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

    // ---- syncing ----

    void syncFileLogsWhatCannotBeSynced_data()
    {
        // The real fsync: a pipe cannot be synced, a closed descriptor is none.
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("synced");
        QTest::addColumn<int>("reason");
        QTest::newRow("regular file") << "file" << true << 0;
        QTest::newRow("pipe") << "pipe" << false << EINVAL;
        QTest::newRow("no descriptor") << "none" << false << EBADF;
    }

    void syncFileLogsWhatCannotBeSynced()
    {
        QFETCH(QString, kind);
        QFETCH(int, reason);
        int fds[2] = {-1, -1};
        QFile file(root() + QStringLiteral("/synced file"));
        if (kind == QLatin1String("pipe"))
            QCOMPARE(::pipe(fds), 0);
        else if (kind == QLatin1String("file"))
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1 && file.flush());
        const int fd = kind == QLatin1String("pipe") ? fds[1] : file.handle();
        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        const bool synced = Comm::syncFile(fd, QStringLiteral("the named thing"));
        qInstallMessageHandler(previous);
        for (int end : fds)
            if (end >= 0)
                ::close(end);
        QTEST(synced, "synced");
        const QStringList expected = reason == 0 ? QStringList()
            : QStringList() << QStringLiteral("cannot sync to disk: \"the named thing\" ")
                                   + QString::fromLocal8Bit(std::strerror(reason));
        QCOMPARE(g_log, expected);
    }

    void syncFolderTakesOnlyAFolder_data()
    {
        QTest::addColumn<QString>("path");   // below the test's folder "sync"; "" for none
        QTest::addColumn<bool>("parent");    // syncParentFolder instead of syncFolder
        QTest::addColumn<QString>("synced"); // what is synced, below "sync"; "-" for nothing
        QTest::newRow("folder") << "/dir" << false << "/dir/";
        QTest::newRow("folder, trailing slashes") << "/dir//" << false << "/dir/";
        QTest::newRow("no path") << "" << false << "-";
        QTest::newRow("nothing there") << "/absent" << false << "-";
        QTest::newRow("file") << "/dir/file" << false << "-";
        QTest::newRow("link to a folder") << "/link" << false << "-";
        QTest::newRow("folder of a file") << "/dir/file" << true << "/dir/";
        QTest::newRow("folder of a folder") << "/dir/" << true << "/";
        QTest::newRow("folder of a link, not followed") << "/link" << true << "/";
        QTest::newRow("folder of nothing") << "" << true << "-";
    }

    void syncFolderTakesOnlyAFolder()
    {
        QFETCH(QString, path);
        QFETCH(bool, parent);
        QFETCH(QString, synced);
        const QString base = root() + QStringLiteral("/sync");
        if (!QFileInfo::exists(base)) {
            writeFile(base + QStringLiteral("/dir/file"), "f");
            QVERIFY(QFile::link(base + QStringLiteral("/dir"), base + QStringLiteral("/link")));
        }
        const QString at = path.isEmpty() ? QString() : base + path;
        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        SyncProbe probe;
        const bool result = parent ? Comm::syncParentFolder(at) : Comm::syncFolder(at);
        qInstallMessageHandler(previous);
        QCOMPARE(result, synced != QLatin1String("-"));
        QCOMPARE(probe.synced(), synced == QLatin1String("-") ? QStringList()
                                                              : QStringList() << SyncProbe::named(base + synced));
        // A refusal says why, naming the path.
        QCOMPARE(g_log.size(), result ? 0 : 1);
        if (!result && !at.isEmpty())
            QVERIFY2(g_log.first().contains(at), qPrintable(g_log.join('\n')));
    }

    void makeSyncedPath_data()
    {
        QTest::addColumn<QString>("path");       // below the test's folder "mkpath"
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("synced"); // below "mkpath"
        QTest::newRow("there already") << "/old" << true << QStringList();
        QTest::newRow("one level new") << "/old/new" << true << QStringList{"/old/"};
        QTest::newRow("three levels new") << "/a/b/c/" << true << QStringList{"/", "/a/", "/a/b/"};
        QTest::newRow("a file on the way") << "/file/sub" << false << QStringList();
    }

    void makeSyncedPath()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, synced);
        const QString base = root() + QStringLiteral("/mkpath");
        QVERIFY(Comm::deleteDir(base));
        QVERIFY(QDir().mkpath(base + QStringLiteral("/old")));
        writeFile(base + QStringLiteral("/file"), "f");
        QFETCH(bool, result);
        if (!result)
            QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("cannot make the folder \"%1\"").arg(base + path)));
        SyncProbe probe;
        QCOMPARE(Comm::makeSyncedPath(base + path), result);
        QStringList expected;
        for (const QString& folder : synced)
            expected << SyncProbe::named(base + folder);
        QCOMPARE(probe.synced(), expected);
        QCOMPARE(QFileInfo(base + path).isDir(), result);
    }

    void renameAndSync_data()
    {
        QTest::addColumn<QString>("to");       // below the test's folder
        QTest::addColumn<bool>("present");     // the file to rename is there
        QTest::addColumn<int>("failing");      // SyncProbe::Failing
        QTest::addColumn<bool>("result");
        QTest::addColumn<bool>("renamed");
        QTest::addColumn<QStringList>("synced"); // folders below the test's folder
        QTest::addColumn<QString>("logged");     // how the one log line of a failure starts
        const QStringList from = QStringList() << QStringLiteral("/from/");
        const QString renaming = QStringLiteral("cannot rename");
        QTest::newRow("same folder") << "/from/new" << true << int(SyncProbe::Nothing) << true << true << from
                                     << QString();
        QTest::newRow("over a file") << "/from/old" << true << int(SyncProbe::Nothing) << true << true << from
                                     << QString();
        QTest::newRow("other folder") << "/to/new" << true << int(SyncProbe::Nothing) << true << true
                                      << (QStringList() << QStringLiteral("/to/") << QStringLiteral("/from/"))
                                      << QString();
        QTest::newRow("nothing to rename") << "/from/new" << false << int(SyncProbe::Nothing) << false << false
                                           << QStringList() << renaming;
        QTest::newRow("folder sync fails") << "/from/new" << true << int(SyncProbe::Folders) << false << true << from
                                           << QStringLiteral("cannot sync to disk:");
        QTest::newRow("folder not there") << "/absent/new" << true << int(SyncProbe::Nothing) << false << false
                                          << QStringList() << renaming;
    }

    void renameAndSync()
    {
        QFETCH(QString, to);
        QFETCH(bool, present);
        QFETCH(int, failing);
        QFETCH(QStringList, synced);
        QFETCH(QString, logged);
        const QString base = root() + QStringLiteral("/rename");
        QVERIFY(Comm::deleteDir(base));
        QVERIFY(QDir().mkpath(base + QStringLiteral("/to")));
        writeFile(base + QStringLiteral("/from/old"), "old");
        if (present)
            writeFile(base + QStringLiteral("/from/file"), "new");
        QStringList expected;
        for (const QString& folder : synced)
            expected << SyncProbe::named(base + folder);
        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        SyncProbe probe{SyncProbe::Failing(failing)};
        const bool result = Comm::renameAndSync(base + QStringLiteral("/from/file"), base + to);
        qInstallMessageHandler(previous);
        QTEST(result, "result");
        QCOMPARE(probe.synced(), expected);
        QTEST(readFile(base + to) == "new", "renamed");
        QCOMPARE(g_log.size(), logged.isEmpty() ? 0 : 1);
        if (!logged.isEmpty())
            QVERIFY2(g_log.first().startsWith(logged) && g_log.first().contains(base), qPrintable(g_log.join('\n')));
    }

    void replaceFileCopySyncsCopyThenFolder_data()
    {
        QTest::addColumn<int>("failing"); // SyncProbe::Failing
        QTest::addColumn<bool>("result");
        QTest::addColumn<QByteArray>("target"); // what stands at the target afterwards
        QTest::newRow("both synced") << int(SyncProbe::Nothing) << true << QByteArray("new plug-in");
        QTest::newRow("sync of the copy fails") << int(SyncProbe::Files) << false << QByteArray("old plug-in");
        // The copy stands, but does not count as made.
        QTest::newRow("sync of the folder fails") << int(SyncProbe::Folders) << false << QByteArray("new plug-in");
    }

    void replaceFileCopySyncsCopyThenFolder()
    {
        QFETCH(int, failing);
        QFETCH(bool, result);
        const QString folder = root() + QStringLiteral("/plug-ins");
        const QString from = root() + QStringLiteral("/download/JSTools.js");
        const QString to = folder + QStringLiteral("/JSTools.js");
        writeFile(from, "new plug-in");
        writeFile(to, "old plug-in");
        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        SyncProbe probe{SyncProbe::Failing(failing)};
        const bool copied = Comm::replaceFileCopy(from, to);
        qInstallMessageHandler(previous);
        QCOMPARE(copied, result);
        QTEST(readFile(to), "target");
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList() << QStringLiteral("JSTools.js"));
        // The copy once, under its temporary name, then (unless that failed) its folder.
        const QStringList synced = probe.synced();
        QCOMPARE(synced.size(), failing == SyncProbe::Files ? 1 : 2);
        QVERIFY2(QRegularExpression(QStringLiteral("^%1/\\.JSTools\\.js\\.part%2-\\d+$")
                                        .arg(QRegularExpression::escape(QFileInfo(folder).canonicalFilePath()))
                                        .arg(QCoreApplication::applicationPid()))
                     .match(synced.first())
                     .hasMatch(),
                 qPrintable(synced.first()));
        if (synced.size() == 2)
            QCOMPARE(synced.last(), SyncProbe::named(folder));
        QCOMPARE(g_log.size(), result ? 0 : 1);
        if (!result)
            QVERIFY2(g_log.first().startsWith(QStringLiteral("cannot sync to disk: \"") + folder)
                         && g_log.first().endsWith(QStringLiteral("Input/output error")),
                     qPrintable(g_log.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestSafeFiles)
#include "tst_safefiles.moc"
