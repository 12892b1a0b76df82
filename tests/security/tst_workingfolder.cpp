// The real MoravelUpdater against a temporary folder that another local user prepared:
// links and other users' folders where the working folder belongs, planted packages and
// plug-ins, an unpack folder swapped while the Install prompt is up, a sticky
// world-writable temporary folder full of planted links. Also what the updater keeps of
// its own there: installer folders that outlive the next package, cached packages that
// do not check, plug-ins copied only when this run downloaded them.
//
// The cases with another user's files need root (CI runs as root): they chown what the
// "attacker" planted to nobody, or run the updater itself as nobody through setpriv.
#include "wholerunfixture.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace RunTest;
using namespace ExeRun;

namespace {

QString g_executable;
QString g_pluginDir;

bool makeLink(const QString& target, const QString& link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

bool setMode(const QString& path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

bool isLinkTo(const QString& link, const QString& target)
{
    return QFileInfo(link).isSymLink() && QFileInfo(link).symLinkTarget() == target;
}

} // namespace

class TestWorkingFolder : public WholeRunFixture
{
    Q_OBJECT

private:
    QString m_tmp;      // TMPDIR of the test and of the updater (unless a case changes it)

    QString working() const { return m_tmp + QStringLiteral("/MoravelCorvina"); }
    QString ownWorking() const { return working() + QLatin1Char('-') + QString::number(geteuid()); }

    QByteArray readerPackage(const QString& installerName = QStringLiteral("reader.run")) const
    {
        return package(installerName, QByteArray("reader data ").repeated(200));
    }

    // Serves the modules, each package at /pkg/<file name>, and writes the reply.
    void serve(const QList<QPair<Module, QByteArray>>& modules)
    {
        QList<Module> reply;
        for (auto m : modules) {
            const QString file = m.first.url;
            m_server.route(QStringLiteral("/pkg/") + file, TestHttpServer::Reply::ok(m.second));
            m.first.url = m_server.url(QStringLiteral("/pkg/") + file).toString();
            if (m.first.size.isEmpty())
                m.first.size = QString::number(m.second.size()) + QStringLiteral("B");
            reply << m.first;
        }
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(replyXml(reply)));
    }

    Module module(const QString& name, const QString& file, bool silent = false)
    {
        Module m;
        m.name = name;
        m.version = QStringLiteral("7.1.0.200");
        m.url = file;
        m.description = QStringLiteral("What is new in ") + name;
        m.silent = silent;
        return m;
    }



    // Paths below the test's folder the updater may change in a run.
    QStringList allowedChanges() const
    {
        return { ownWorking(), m_reader.readerDir, m_reader.installLog, m_reader.countLog, m_marker,
                 readerData(), root() + QStringLiteral("/cache"), root() + QStringLiteral("/dialogs") };
    }

    // A folder of precious files that belong to the user who runs the updater.
    QString makeVictim(const QString& name)
    {
        const QString dir = root() + QLatin1Char('/') + name;
        writeFile(dir + QStringLiteral("/precious.txt"), "precious");
        writeFile(dir + QStringLiteral("/read-only.txt"), "read only");
        setMode(dir + QStringLiteral("/read-only.txt"), 0444);
        writeFile(dir + QStringLiteral("/inner/deeper.txt"), "deeper");
        return dir;
    }

private slots:
    void initTestCase()
    {
        // Everybody may pass through the test's folder, so that a run as another user
        // reaches its own files below it; the executable and the plug-in are copied
        // there for the same reason.
        QVERIFY(setMode(root(), 0755));
        const QString bin = root() + QStringLiteral("/bin");
        QDir().mkpath(bin + QStringLiteral("/plugins/generic"));
        QVERIFY(QFile::copy(g_executable, bin + QStringLiteral("/MoravelUpdater")));
        QVERIFY(QFile::copy(g_pluginDir + QStringLiteral("/generic/libzrdialoganswer.so"),
                            bin + QStringLiteral("/plugins/generic/libzrdialoganswer.so")));
        QVERIFY(setMode(bin + QStringLiteral("/MoravelUpdater"), 0755));
        setUpCase(bin + QStringLiteral("/MoravelUpdater"), bin + QStringLiteral("/plugins"));
        m_tmp = QDir::tempPath();
    }

    void init()
    {
        m_server.clearRoutes();
        m_server.clearRequests();
        for (const QString& name : QDir(m_tmp).entryList(QStringList() << QStringLiteral("MoravelCorvina*"),
                                                         QDir::AllEntries | QDir::System | QDir::Hidden)) {
            const QString path = m_tmp + QLatin1Char('/') + name;
            if (QFileInfo(path).isSymLink() || !QFileInfo(path).isDir())
                QFile::remove(path);
            else
                QDir(path).removeRecursively();
        }
        QDir(readerData()).removeRecursively();
        QDir().mkpath(root() + QStringLiteral("/markers"));
        QFile::remove(m_marker);
        m_reader = ReaderInstall::create();
        QFile::remove(m_reader.installLog);
        QFile::remove(m_reader.countLog);
        writeRunSettings(m_reader, QStringLiteral("Manual"));
        m_runner.tempDir.clear();
        m_runner.home.clear();
        m_runner.answers.clear();
        m_runner.hook.clear();
        m_runner.asNobody = false;
    }

    // ---- links and other users' folders where the working folder belongs ----

    void linkAtTheWorkingFolderIsNotFollowed()
    {
        const QString victim = makeVictim(QStringLiteral("victim"));
        QVERIFY(makeLink(victim, working()));
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), readerPackage() } });
        const auto before = snapshot(root(), allowedChanges());

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        // The link and everything behind it are as they were; the run used a private
        // folder of its own.
        QVERIFY(isLinkTo(working(), victim));
        VERIFY_UNCHANGED(before, snapshot(root(), allowedChanges()));
        QCOMPARE(modeOf(ownWorking()) & 07777, mode_t(0700));
        QVERIFY(QFileInfo(ownWorking() + QStringLiteral("/Reader.pkg")).isFile());
    }

    void linkAtTheUnpackFolderIsNotFollowed()
    {
        // The updater's own private folder, with a link where the unpack folder
        // belongs (left by anything at all): it goes as a link.
        const QString victim = makeVictim(QStringLiteral("victim"));
        QVERIFY(QDir().mkpath(working()));
        QVERIFY(setMode(working(), 0700));
        QVERIFY(makeLink(victim, working() + QStringLiteral("/uncompress")));
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), readerPackage() } });
        const auto before = snapshot(root(), QStringList(allowedChanges()) << working());

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        VERIFY_UNCHANGED(before, snapshot(root(), QStringList(allowedChanges()) << working()));
        QVERIFY(!QFileInfo(working() + QStringLiteral("/uncompress")).isSymLink());
    }

    void openOwnFolderIsNotUsed()
    {
        // A folder of this user's that anybody may write to may hold anything: a
        // complete package someone else put there (of the very size the reply declares)
        // is not taken.
        QVERIFY(QDir().mkpath(working()));
        QVERIFY(setMode(working(), 0777));
        const QByteArray genuine = readerPackage();
        const QByteArray planted = readerPackage(QStringLiteral("rogue1.run"));
        QCOMPARE(planted.size(), genuine.size());
        writeFile(working() + QStringLiteral("/Reader.pkg"), planted);
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), genuine } });

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(m_server.requests().size(), 2);
        QCOMPARE(m_server.requests().at(1).path(), QByteArray("/pkg/Reader.pkg"));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(readFile(working() + QStringLiteral("/Reader.pkg")), planted);
        QCOMPARE(readFile(ownWorking() + QStringLiteral("/Reader.pkg")), genuine);
    }

    void anotherUsersFolderIsNotUsed()
    {
        if (!isRoot())
            QSKIP("needs root to plant files as another user");
        // Another user (nobody) made the working folder first and planted a complete
        // package with its own installer, a plug-in, and a link where the unpack folder
        // belongs.
        const QString victim = makeVictim(QStringLiteral("victim"));
        QVERIFY(QDir().mkpath(working()));
        const QByteArray genuine = readerPackage();
        // Of the very size the reply declares: it would pass as complete.
        writeFile(working() + QStringLiteral("/Reader.pkg"), readerPackage(QStringLiteral("rogue1.run")));
        writeFile(working() + QStringLiteral("/JSPlanted.js"), "planted();");
        QVERIFY(makeLink(victim, working() + QStringLiteral("/uncompress")));
        QVERIFY(chownTree(working(), kNobody));
        QVERIFY(setMode(working(), 0755));

        QCOMPARE(QFileInfo(working() + QStringLiteral("/Reader.pkg")).size(), qint64(genuine.size()));
        serve({ { module(QStringLiteral("JSPlanted"), QStringLiteral("JSPlanted.js")), QByteArray("genuine();") },
                { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), genuine } });

        // While the Install prompt is up, the other user swaps the unpack folder for one
        // with an installer of its own, in its folder and, if it could, in ours.
        const QString evilDir = root() + QStringLiteral("/evil");
        writeFile(evilDir + QStringLiteral("/uncompress/evil.run"),
                  "#!/bin/sh\necho evil.run >> '" + m_marker.toUtf8() + "'\n");
        QVERIFY(chownTree(evilDir, kNobody));
        const QString hook = root() + QStringLiteral("/swap.sh");
        writeFile(hook,
                  "#!/bin/sh\n[ \"$2\" = DlgMessage ] || exit 0\n"
                  "for w in '" + working().toUtf8() + "' '" + ownWorking().toUtf8() + "'; do\n"
                  "  setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c "
                  "\"rm -rf '$w/uncompress' && cp -R '" + evilDir.toUtf8() + "/uncompress' '$w/uncompress'\" 2>/dev/null\n"
                  "done\nexit 0\n",
                  true);
        m_runner.hook = hook;
        const auto foreign = snapshot(working(), {});
        const auto before = snapshot(root(), QStringList(allowedChanges()) << working() << evilDir << m_marker);

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(result.exitCode, 0);
        // The package came from the server, its installer ran and nothing else.
        QCOMPARE(m_server.requests().size(), 3);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(readFile(pluginFolder() + QStringLiteral("/JSPlanted.js")),
                 QByteArray("genuine();"));
        QCOMPARE(modeOf(ownWorking()) & 07777, mode_t(0700));
        VERIFY_UNCHANGED(before, snapshot(root(), QStringList(allowedChanges()) << working() << evilDir << m_marker));
        // The other user did swap the unpack folder of its own folder (so the swap was
        // real), but could not reach this user's.
        QVERIFY(QFileInfo(working() + QStringLiteral("/uncompress/evil.run")).isFile());
        QVERIFY(!QFileInfo::exists(ownWorking() + QStringLiteral("/uncompress/evil.run")));
        // The other user's folder is theirs: only what they did themselves changed it.
        QStringList foreignChanges = changes(foreign, snapshot(working(), {}));
        foreignChanges = foreignChanges.filter(QRegularExpression(QStringLiteral("^(?!.*/uncompress)")));
        QCOMPARE(foreignChanges, QStringList());
    }

    void stickyFolderWithPlantedLinks()
    {
        if (!isRoot())
            QSKIP("needs root to run the updater as another user");
        // A sticky world-writable temporary folder, as /tmp is. Root plays the other
        // user here and plants links to the victim's files; the victim (nobody) runs the
        // updater. Such links cannot be removed by the victim.
        const QString sticky = root() + QStringLiteral("/sticky");
        QVERIFY(QDir().mkpath(sticky));
        QVERIFY(setMode(sticky, 01777));
        const QString home = root() + QStringLiteral("/victim-home");
        const QString victimFile = home + QStringLiteral("/notes.txt");
        writeFile(victimFile, "the victim's notes");
        writeFile(home + QStringLiteral("/documents/report.txt"), "report");
        const QString shared = sticky + QStringLiteral("/MoravelCorvina");
        QVERIFY(QDir().mkpath(shared));
        QVERIFY(setMode(shared, 01777));
        QVERIFY(makeLink(victimFile, shared + QStringLiteral("/update_tmpfile.xml")));
        QVERIFY(makeLink(victimFile, shared + QStringLiteral("/Reader.pkg")));
        QVERIFY(makeLink(home + QStringLiteral("/documents"), shared + QStringLiteral("/uncompress")));

        // The victim's reader, settings and logs.
        const QString reader = home + QStringLiteral("/reader");
        writeFile(reader + QStringLiteral("/installUpdate"), "#!/bin/sh\necho installUpdate >> \"$HOME/installed.log\"\n", true);
        writeFile(reader + QStringLiteral("/countinstalltion"), "#!/bin/sh\n", true);
        const QString marker = home + QStringLiteral("/installers.log");
        QVERIFY(writeFile(home + QStringLiteral("/.config/Moravel Software/Moravel Reader.conf"),
                          "[General]\nCorvina_UpdateParam=\"type:\\\"Update List\\\",updater:\\\"Manual\\\",corvinapath:\\\""
                              + reader.toUtf8() + "\\\"\"\nCorvina_UpdateOldPath=" + reader.toUtf8() + "\n"));
        QDir().mkpath(home + QStringLiteral("/run"));
        QVERIFY(chownTree(home, kNobody));
        QVERIFY(setMode(home + QStringLiteral("/run"), 0700));

        const QByteArray package = buildPackage(PackageTree()
                                                    .file(QStringLiteral("Setup.xml"), "<setup/>")
                                                    .installer(QStringLiteral("reader.run"), marker));
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), package } });
        m_runner.tempDir = sticky;
        m_runner.home = home;
        m_runner.asNobody = true;
        const QString victimWorking = shared + QStringLiteral("-65534");
        const QStringList allowed { victimWorking, marker, root() + QStringLiteral("/dialogs"),
                                    home + QStringLiteral("/.cache") };
        const auto before = snapshot(root(), allowed);

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(result.exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(marker)), QStringLiteral("reader.run\n"), 20000);
        QCOMPARE(readFile(victimFile), QByteArray("the victim's notes"));
        QVERIFY(isPrivateDirAt(victimWorking));

        // With the fallback name taken by a link as well, and a link where the working
        // folder in the cache belongs, there is nowhere safe to work: the check fails
        // (never "up to date") and nothing is requested or written.
        QVERIFY(Comm_deleteTree(victimWorking));
        QVERIFY(makeLink(home + QStringLiteral("/documents"), victimWorking));
        QVERIFY(QDir().mkpath(home + QStringLiteral("/.cache")));
        // (What the runs before kept there, the bases among it, goes first.)
        QVERIFY(Comm_deleteTree(home + QStringLiteral("/.cache/moravel-updater")));
        QVERIFY(makeLink(home + QStringLiteral("/documents"), home + QStringLiteral("/.cache/moravel-updater")));
        m_server.clearRequests();
        const Result blocked = m_runner.run();
        QVERIFY2(blocked.ended, blocked.output.constData());
        QCOMPARE(blocked.exitCode, 0);
        QCOMPARE(blocked.texts(), QStringList() << kNoConnection);
        QCOMPARE(m_server.requestCount(), 0);
        QVERIFY(QFileInfo(victimWorking).isSymLink());
        VERIFY_UNCHANGED(before, snapshot(root(), allowed));
    }

    void cacheFolderWhenBothTemporaryNamesAreTaken_data()
    {
        QTest::addColumn<QString>("plant");  // at <cache>/moravel-updater/work
        QTest::newRow("nothing: made and used") << QString();
        QTest::newRow("link") << QStringLiteral("link");
        QTest::newRow("folder writable by the group") << QStringLiteral("open");
        QTest::newRow("cache folder writable by others") << QStringLiteral("open cache");
    }

    void cacheFolderWhenBothTemporaryNamesAreTaken()
    {
        QFETCH(QString, plant);
        // Another user holds both names below the temporary folder (without root: both
        // are open to everybody, which refuses them as well).
        for (const QString& taken : { working(), ownWorking() })
            QVERIFY(QDir().mkpath(taken) && (isRoot() ? chownTree(taken, kNobody) : setMode(taken, 0777)));
        const QString work = root() + QStringLiteral("/cache/moravel-updater/work");
        const QString victim = makeVictim(QStringLiteral("victim"));
        QDir(QFileInfo(work).path()).removeRecursively();
        QVERIFY(plant != QLatin1String("link") || (QDir().mkpath(QFileInfo(work).path()) && makeLink(victim, work)));
        QVERIFY(plant != QLatin1String("open") || (QDir().mkpath(work) && setMode(work, 0770)));
        const mode_t cacheMode = modeOf(root() + QStringLiteral("/cache")) & 07777;
        QVERIFY(plant != QLatin1String("open cache") || setMode(root() + QStringLiteral("/cache"), 0757));
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), readerPackage() } });
        const QStringList allowed = QStringList(allowedChanges()) << working();
        const auto before = snapshot(root(), allowed);

        const Result result = m_runner.run();
        QVERIFY(setMode(root() + QStringLiteral("/cache"), cacheMode));
        QVERIFY2(result.ended, result.output.constData());
        VERIFY_UNCHANGED(before, snapshot(root(), allowed));
        if (!plant.isEmpty()) {
            // Refused as well: nowhere safe to work.
            QCOMPARE(result.texts(), QStringList() << kNoConnection);
            QCOMPARE(m_server.requestCount(), 0);
            return;
        }
        QVERIFY(result.logged("both folders below the temporary directory are refused; using"));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QVERIFY(QFileInfo(work + QStringLiteral("/installer-1/reader.run")).isFile());
        QCOMPARE(modeOf(work) & 07777, mode_t(0700));
        QCOMPARE(modeOf(QFileInfo(work).path()) & 07777, mode_t(0700));
    }

    // ---- what the updater keeps in its own folder ----

    void installerKeepsItsFilesWhileTheNextPackageIsUnpacked()
    {
        // Served at full speed: the second package's step follows at once, while the
        // first package's installer still reads the files unpacked beside it.
        const QByteArray slowInstaller = buildPackage(
            PackageTree()
                .file(QStringLiteral("Setup.xml"), "<setup/>")
                .file(QStringLiteral("payload.txt"), "payload of the reader")
                .file(QStringLiteral("install.run"),
                      "#!/bin/sh\nsleep 1\ncat \"$(dirname \"$0\")/payload.txt\" >> '" + m_marker.toUtf8()
                          + "' && echo >> '" + m_marker.toUtf8() + "'\n"));
        const QByteArray second = buildPackage(PackageTree()
                                                   .file(QStringLiteral("Setup.xml"), "<setup/>")
                                                   .file(QStringLiteral("dictionary.dic"), "words"));
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), slowInstaller },
                { module(QStringLiteral("Dictionaries"), QStringLiteral("Dictionaries.pkg")), second } });

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("payload of the reader"));
        // installUpdate found the second package in the unpack folder.
        QCOMPARE(m_reader.installRuns().size(), 1);
        QCOMPARE(readFile(working() + QStringLiteral("/uncompress/dictionary.dic")), QByteArray("words"));
        QVERIFY(QFileInfo(working() + QStringLiteral("/installer-1/install.run")).isFile());

        // The next run clears the installer folders of this one.
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(replyXml({})));
        const Result next = m_runner.run();
        QVERIFY2(next.ended, next.output.constData());
        QCOMPARE(next.texts(), QStringList() << kUpToDate);
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/installer-1")));
    }

    void leftoverThatCannotBeRemovedStopsThePackage()
    {
        // An old installer the updater cannot remove from the unpack folder: nothing is
        // unpacked beside it and it is never started. Root, whom no permission stops,
        // owns the folder (sticky, writable by all) and runs the updater as nobody;
        // another user makes the folder read-only.
        const QString tmp = root() + QStringLiteral("/leftover-tmp");
        const QString work = tmp + QStringLiteral("/MoravelCorvina");
        const QString unpack = work + QStringLiteral("/uncompress");
        QVERIFY(writeFile(unpack + QStringLiteral("/a.run"), "#!/bin/sh\necho a.run >> '" + m_marker.toUtf8() + "'\n"));
        QVERIFY(setMode(unpack + QStringLiteral("/a.run"), 0755) && writeFile(m_marker, "") && setMode(m_marker, 0666));
        QVERIFY(setMode(tmp, 0755) && setMode(work, 0700) && setMode(unpack, isRoot() ? 01777 : 0555));
        QVERIFY(!isRoot() || ::chown(QFile::encodeName(work).constData(), kNobody, kNobody) == 0);
        m_runner.asNobody = isRoot();
        m_runner.tempDir = tmp;
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), readerPackage() } });

        const Result result = m_runner.run();
        setMode(unpack, 0755);
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kNotInstalled);
        QVERIFY(result.logged("the unpack folder cannot be emptied"));
        QCOMPARE(installersRun(m_marker, 0), QStringList());
        QCOMPARE(QDir(unpack).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList() << QStringLiteral("a.run"));
    }

    void corruptCachedPackageIsDownloadedAgain()
    {
        const QByteArray package = readerPackage();
        QByteArray corrupt = package;
        corrupt[corrupt.size() / 2] = static_cast<char>(corrupt.at(corrupt.size() / 2) ^ 0x55);
        QVERIFY(QDir().mkpath(working()));
        QVERIFY(setMode(working(), 0700));
        writeFile(working() + QStringLiteral("/Reader.pkg"), corrupt);
        serve({ { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), package } });

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(m_server.requests().size(), 2);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(readFile(working() + QStringLiteral("/Reader.pkg")), package);
        // No warning: the fresh copy installed.
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList());
    }

    void moduleNamedLikeTheUnpackFolder()
    {
        // A package whose file name is the unpack folder's or the run lock's cannot be
        // kept; each fails alone, the lock stays as it is, and the packages after them
        // install.
        serve({ { module(QStringLiteral("Odd"), QStringLiteral("uncompress")), readerPackage(QStringLiteral("odd.run")) },
                { module(QStringLiteral("Lock"), QStringLiteral(".moravel-run.lock")), readerPackage(QStringLiteral("lock.run")) },
                { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), readerPackage() } });
        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed << kDownloadFailed);
        const QFileInfo lock(working() + QStringLiteral("/.moravel-run.lock"));
        QVERIFY(lock.isFile() && lock.size() == 0);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));

        // Left over from an older updater: a file where the unpack folder belongs.
        m_server.clearRequests();
        QFile::remove(m_marker);
        QDir(working()).removeRecursively();
        QVERIFY(QDir().mkpath(working()));
        QVERIFY(setMode(working(), 0700));
        writeFile(working() + QStringLiteral("/uncompress"), "a file in the way");
        const Result again = m_runner.run();
        QVERIFY2(again.ended, again.output.constData());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
    }

    void onlyThisRunsPluginsAreCopied()
    {
        const QString jsFolder = pluginFolder();
        QVERIFY(QDir().mkpath(working()));
        QVERIFY(setMode(working(), 0700));
        writeFile(working() + QStringLiteral("/JSStale.js"), "left from another run");
        writeFile(jsFolder + QStringLiteral("/JSWordCount.js"), "version 1");
        // The plug-in comes before an ordinary package: it is installed all the same.
        serve({ { module(QStringLiteral("JSWordCount"), QStringLiteral("JSWordCount.js")), QByteArray("version 2") },
                { module(QStringLiteral("Reader"), QStringLiteral("Reader.pkg")), readerPackage() } });

        const Result result = m_runner.run();
        QVERIFY2(result.ended, result.output.constData());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(readFile(jsFolder + QStringLiteral("/JSWordCount.js")), QByteArray("version 2"));
        QVERIFY(!QFileInfo::exists(jsFolder + QStringLiteral("/JSStale.js")));
        QVERIFY(QFileInfo::exists(working() + QStringLiteral("/JSStale.js")));
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/JSWordCount.js")));
        // Replaced by a rename: no temporary file is left beside it.
        QCOMPARE(QDir(jsFolder).entryList(QDir::Files | QDir::Hidden), QStringList() << QStringLiteral("JSWordCount.js"));
    }

private:
    static bool isPrivateDirAt(const QString& path)
    {
        struct stat st;
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode)
               && st.st_uid == (isRoot() && path.endsWith(QLatin1String("-65534")) ? kNobody : geteuid())
               && (st.st_mode & 022) == 0;
    }
    static bool Comm_deleteTree(const QString& path) { return QDir(path).removeRecursively(); }
};

EXE_TEST_MAIN(TestWorkingFolder, g_executable, g_pluginDir)

#include "tst_workingfolder.moc"
