// The file operations that never follow a link (include/safefiles.h), each on its own:
// what they do with trees, links standing at and on the way to a name, short or
// failing reads and writes, and the syncs to disk that make a file count as complete;
// and the run's working folder with its lock.
#include "cworkingfolder.h"
#include "envguard.h"
#include "logcapture.h"
#include "safefiles.h"
#include "syncprobe.h"
#include "updatedefine.h"
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
        if (geteuid() == 0) { // permissions do not stop root: the same as nobody
            QVERIFY(passesAsNobody());
            return;
        }
        const QString top = root() + QStringLiteral("/stubborn");
        writeFile(top + QStringLiteral("/locked/inside.txt"), "x");
        writeFile(top + QStringLiteral("/free.txt"), "y");
        QFile::setPermissions(top + QStringLiteral("/locked"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        LogCapture log(LogCapture::Quiet);
        const bool result = Comm::deleteDir(top);
        QFile::setPermissions(top + QStringLiteral("/locked"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                   | QFileDevice::ExeOwner);
        QVERIFY(!result);
        QVERIFY(!QFileInfo::exists(top + QStringLiteral("/free.txt")));
        QVERIFY(!log.lines().filter(QStringLiteral("remove file")).filter(QStringLiteral(" faild!")).isEmpty());
        QVERIFY(!log.lines().filter(QStringLiteral("remove dir")).filter(QStringLiteral(" faild!")).isEmpty());
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
        QTest::addColumn<bool>("pipe");
        QTest::addColumn<int>("reason");
        QTest::newRow("pipe") << true << EINVAL;
        QTest::newRow("no descriptor") << false << EBADF;
    }

    void syncFileLogsWhatCannotBeSynced()
    {
        QFETCH(bool, pipe);
        QFETCH(int, reason);
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("cannot sync to disk: \"the named thing\" ")
                                                    + QString::fromLocal8Bit(std::strerror(reason))));
        const bool synced = Comm::syncFile(pipe ? fds[1] : -1, QStringLiteral("the named thing"));
        ::close(fds[0]);
        ::close(fds[1]);
        QVERIFY(!synced);
    }

    void folderSyncs_data()
    {
        // The helpers that sync folders, on a shared tree below "sync": dir/file, link
        // (to dir); paths and what is synced (folders, "/" after them) are below it.
        QTest::addColumn<QString>("call");     // folder, parent, mkpath, or rename dir/file to path
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("failing");      // SyncProbe::Failing
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("synced");
        const int none = SyncProbe::Nothing;
        const QStringList dir{"/dir/"};
        QTest::newRow("folder") << "folder" << "/dir//" << none << true << dir;
        QTest::newRow("folder: a file") << "folder" << "/dir/file" << none << false << QStringList();
        QTest::newRow("folder: a link") << "folder" << "/link" << none << false << QStringList();
        QTest::newRow("parent of a file") << "parent" << "/dir/file" << none << true << dir;
        QTest::newRow("parent of nothing") << "parent" << "" << none << false << QStringList();
        QTest::newRow("mkpath: two new") << "mkpath" << "/a/b/" << none << true << QStringList{"/", "/a/"};
        QTest::newRow("mkpath: a file on the way") << "mkpath" << "/dir/file/a" << none << false << QStringList();
        QTest::newRow("rename to another") << "rename" << "/new" << none << true << QStringList{"/", "/dir/"};
        QTest::newRow("rename into nothing") << "rename" << "/absent/new" << none << false << QStringList();
        QTest::newRow("rename, sync fails") << "rename" << "/dir/new" << int(SyncProbe::Folders) << false << dir;
    }

    void folderSyncs()
    {
        QFETCH(QString, call);
        QFETCH(QString, path);
        QFETCH(int, failing);
        QFETCH(bool, result);
        const QString base = root() + QStringLiteral("/sync");
        QVERIFY(Comm::deleteDir(base));
        writeFile(base + QStringLiteral("/dir/file"), "f");
        QVERIFY(QFile::link(base + QStringLiteral("/dir"), base + QStringLiteral("/link")));
        const QString at = path.isEmpty() ? QString() : base + path;
        QStringList logged;
        SyncProbe probe{SyncProbe::Failing(failing)};
        bool done = false;
        {
            LogCapture log(LogCapture::Quiet);
            done = call == QLatin1String("folder") ? Comm::syncFolder(at)
                : call == QLatin1String("parent")  ? Comm::syncParentFolder(at)
                : call == QLatin1String("mkpath")  ? Comm::makeSyncedPath(at)
                                                   : Comm::renameAndSync(base + QStringLiteral("/dir/file"), at);
            logged = log.lines();
        }
        QCOMPARE(done, result);
        QFETCH(QStringList, synced);
        QStringList expected;
        for (const QString& folder : qAsConst(synced))
            expected << SyncProbe::named(base + folder);
        QCOMPARE(probe.synced(), expected);
        if (call == QLatin1String("rename"))
            QCOMPARE(readFile(at) == "f", result || failing != SyncProbe::Nothing);
        // A failure says why in one line, naming what failed.
        QCOMPARE(logged.size(), result ? 0 : 1);
        QVERIFY2(result || at.isEmpty() || logged.first().contains(base), qPrintable(logged.join('\n')));
    }

    void replaceFileCopySyncsCopyThenFolder_data()
    {
        QTest::addColumn<int>("failing");   // SyncProbe::Failing
        QTest::addColumn<QByteArray>("target"); // what stands at the target afterwards
        QTest::newRow("both synced") << int(SyncProbe::Nothing) << QByteArray("new");
        QTest::newRow("sync of the copy fails") << int(SyncProbe::Files) << QByteArray("old");
        // The copy stands, but does not count as made.
        QTest::newRow("sync of the folder fails") << int(SyncProbe::Folders) << QByteArray("new");
    }

    void replaceFileCopySyncsCopyThenFolder()
    {
        QFETCH(int, failing);
        const QString folder = root() + QStringLiteral("/plug-ins");
        writeFile(root() + QStringLiteral("/download/JSTools.js"), "new");
        const QString target = folder + QStringLiteral("/JSTools.js");
        writeFile(target, "old");
        if (failing != SyncProbe::Nothing) {
            const QString logged = "^cannot sync to disk: \"%1.*\" Input/output error$";
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(logged.arg(QRegularExpression::escape(folder))));
        }
        SyncProbe probe{SyncProbe::Failing(failing)};
        const bool copied = Comm::replaceFileCopy(root() + QStringLiteral("/download/JSTools.js"), target);
        QCOMPARE(copied, failing == SyncProbe::Nothing);
        QTEST(readFile(target), "target");
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList() << QStringLiteral("JSTools.js"));
        // The copy once under its temporary name, then (unless that failed) its folder.
        QStringList expected{SyncProbe::named(folder)
                             + QStringLiteral(".JSTools.js.part%1-0").arg(QCoreApplication::applicationPid())};
        if (failing != SyncProbe::Files)
            expected << SyncProbe::named(folder);
        QCOMPARE(probe.synced(), expected);
    }

    // ---- the run's working folder ----

    void runKeepsItsWorkingFolderAndItsLock()
    {
        const QString folder = QDir::tempPath() + QStringLiteral("/MoravelCorvina");
        const QString lock = folder + QLatin1Char('/') + QLatin1String(CWorkingFolder::kLockFileName);
        {
            CWorkingFolder run;
            QCOMPARE(run.take(), CWorkingFolder::Taken);
            // Chosen once: what the temporary folder becomes meanwhile does not move it.
            {
                EnvGuard env{{"TMPDIR", QFile::encodeName(root() + QStringLiteral("/elsewhere"))}};
                QCOMPARE(Comm::workingDir(), folder);
            }
            // A second run (another open of the lock, also in one process) is kept out.
            CWorkingFolder second;
            QCOMPARE(second.take(), CWorkingFolder::HeldByAnotherRun);
            QCOMPARE(Comm::workingDir(), QString());
        }
        // The lock file stays for the next run, which takes it as it is.
        QVERIFY(QFileInfo(lock).isFile());
        CWorkingFolder next;
        QCOMPARE(next.take(), CWorkingFolder::Taken);
    }

    void runLockThatIsNoFileIsNotUsed()
    {
        // A link at the lock's name is neither followed nor removed; no folder, and no
        // path relative to the current folder, is the run's then.
        const QString folder = QDir::tempPath() + QStringLiteral("/MoravelCorvina");
        QDir(folder).removeRecursively();
        QVERIFY(QDir().mkpath(folder));
        const QString target = root() + QStringLiteral("/target");
        QVERIFY(QFile::link(target, folder + QLatin1Char('/') + QLatin1String(CWorkingFolder::kLockFileName)));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^the run lock cannot be opened: ")));
        CWorkingFolder run;
        QCOMPARE(run.take(), CWorkingFolder::Unavailable);
        QCOMPARE(Comm::workingDir(), QString());
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(QFileInfo(folder + QLatin1Char('/') + QLatin1String(CWorkingFolder::kLockFileName)).isSymLink());
        QDir(folder).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestSafeFiles)
#include "tst_safefiles.moc"
