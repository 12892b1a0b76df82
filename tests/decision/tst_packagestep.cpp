// The package step of the download window: unpacking, the "Install" prompt, the
// package's own installer or the reader's installUpdate and countinstalltion programs,
// JavaScript plug-in packages and Setup.xml. Packages are real (mkpackage) and already
// complete in the download directory, so no network is involved; installers are real
// shell scripts that leave marker lines.
#include "cinstallerlock.h"
#include "cworkingfolder.h"
#include "cmoduledownload.h"
#include "cpackagestep.h"
#include "creadermodulemanager.h"
#include "csetup_commandline.h"
#include "dlgdownload.h"
#include "logcapture.h"
#include "runtestsupport.h"
#include "updaterapp.h"

#include <QProgressBar>
#include <QtTest>

#include <memory>

using namespace RunTest;

class TestPackageStep : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<UpdaterApp> m_app;
    std::vector<std::unique_ptr<MODULEINFO>> m_records;
    ReaderInstall m_reader;

    DlgDownload* window() { return m_app->m_pDlgDownload; }

    // A module whose package is already complete in the download directory.
    MODULEINFO* onDisk(const QString& fileName, const QByteArray& package)
    {
        writeFile(downloadDir() + fileName, package);
        m_records.emplace_back(new MODULEINFO);
        MODULEINFO* info = m_records.back().get();
        info->strName = fileName;
        info->strVersion = QStringLiteral("7.2.0.5");
        // Never contacted: the file is complete.
        info->strUrl = QStringLiteral("http://127.0.0.1:9/packages/") + fileName;
        info->strSize = QString::number(package.size()) + QStringLiteral("B");
        info->strDescription = QStringLiteral("About ") + fileName;
        return info;
    }

    QByteArray packageWithInstaller(const QString& installerName, const QByteArray& payload = "payload")
    {
        QString error;
        const QByteArray package = buildPackage(PackageTree()
                                                    .file(QStringLiteral("Setup.xml"),
                                                          "<setup><file name=\"bin/reader\"/></setup>")
                                                    .file(QStringLiteral("bin/reader"), payload)
                                                    .installer(installerName, markerPath()),
                                                &error);
        if (package.isEmpty())
            qWarning() << "mkpackage:" << error;
        return package;
    }

    QByteArray packageWithoutInstaller()
    {
        return buildPackage(PackageTree()
                                .file(QStringLiteral("Setup.xml"), "<setup><file name=\"bin/reader\"/></setup>")
                                .file(QStringLiteral("bin/reader"), "new reader"));
    }

    void run(const QVector<MODULEINFO*>& modules)
    {
        window()->setSelectUpdates(modules);
        window()->startShowDownload();
    }

private slots:
    void initTestCase()
    {
        // A package that fails its check is fetched again from a server that does not
        // answer here: its retries need not wait seconds.
        CModuleDownload::setDefaultRetryDelay(50);
    }

    void init()
    {
        QDir(root() + QStringLiteral("/packages")).removeRecursively();
        QDir(QDir::tempPath() + QStringLiteral("/MoravelCorvina")).removeRecursively();
        QDir(CPackageStep::javaScriptFolder()).removeRecursively();
        QDir().mkpath(root() + QStringLiteral("/markers"));
        m_reader = ReaderInstall::create();
        QFile::remove(m_reader.installLog);
        QFile::remove(m_reader.countLog);
        writeSettings({ { QStringLiteral("Corvina_UpdateOldPath"), m_reader.readerDir },
                        { QStringLiteral("Window Position"), QPoint(100, 50) },
                        { QStringLiteral("Window Size"), QSize(800, 600) } });
        m_app.reset(new UpdaterApp(nullptr));
        m_app->m_pCommandLine->parserParam(QStringLiteral("type:\"Update List\",version:\"7.1.0.9\",corvinapath:\"")
                                           + m_reader.corvinaDir + QStringLiteral("\""));
        m_app->m_pModuleManager = new CReaderModuleManager(QStringLiteral("Update List"), m_app.get(), nullptr);
        m_app->m_pModuleManager->m_strOldVersion = QStringLiteral("7.0.1");
    }

    void cleanup()
    {
        m_app.reset();
        m_records.clear();
    }

    // ---- Setup.xml ----

    void parseSetupInfo()
    {
        const QString dir = root() + QStringLiteral("/setup");
        writeFile(dir + QStringLiteral("/Setup.xml"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<setup>\n"
                  "  <file name=\"bin/reader\" parameter=\"-q\" iscommon=\"TRUE\"/>\n"
                  "  text between entries\n"
                  "  <file name=\"lib/a.so\" iscommon=\"yes\" name=\"lib/b.so\"/>\n"
                  "  <readme name=\"ignored\" parameter=\"p\" iscommon=\"true\"/>\n"
                  "  <x:file xmlns:x=\"urn:x\" name=\"caf\xc3\xa9.txt\" iscommon=\"tRuE\"><deeper name=\"no\"/></x:file>\n"
                  "  <file parameter=\"only\" iscommon=\"1\"/>\n"
                  "</setup>\n");
        QVector<_SetupInfo*> list;
        CPackageStep::ParseSetupInfo(dir, list);
        QCOMPARE(list.size(), 5);
        QCOMPARE(list.at(0)->strFilePath, dir + QStringLiteral("/bin/reader"));
        QCOMPARE(list.at(0)->strParameter, QStringLiteral("-q"));
        QVERIFY(list.at(0)->bIsCommon);
        // A later attribute of the same name wins; "yes" is not true.
        QCOMPARE(list.at(1)->strFilePath, dir + QStringLiteral("/lib/b.so"));
        QVERIFY(!list.at(1)->bIsCommon);
        // Another tag gives an empty record.
        QVERIFY(list.at(2)->strFilePath.isEmpty());
        QVERIFY(list.at(2)->strParameter.isEmpty());
        QVERIFY(!list.at(2)->bIsCommon);
        // The tag is compared without its prefix; values are decoded text.
        QCOMPARE(list.at(3)->strFilePath, dir + QStringLiteral("/caf\u00e9.txt"));
        QVERIFY(list.at(3)->bIsCommon);
        // Without a name the path is the directory itself.
        QCOMPARE(list.at(4)->strFilePath, dir + QLatin1Char('/'));
        QCOMPARE(list.at(4)->strParameter, QStringLiteral("only"));
        QVERIFY(!list.at(4)->bIsCommon);
        qDeleteAll(list);
    }

    void parseSetupInfoWithoutUsableFile()
    {
        _SetupInfo stale;
        QVector<_SetupInfo*> list { &stale };

        // No directory given: the list is not touched.
        CPackageStep::ParseSetupInfo(QString(), list);
        QCOMPARE(list.size(), 1);

        // A missing directory is created (one level) and gives no records.
        const QString missing = root() + QStringLiteral("/fresh");
        CPackageStep::ParseSetupInfo(missing, list);
        QVERIFY(list.isEmpty());
        QVERIFY(QFileInfo(missing).isDir());

        const QString dir = root() + QStringLiteral("/broken");
        for (const QByteArray& contents : { QByteArray(), QByteArray("no markup at all"), QByteArray("</setup>") }) {
            writeFile(dir + QStringLiteral("/Setup.xml"), contents);
            list = { &stale };
            CPackageStep::ParseSetupInfo(dir, list);
            QVERIFY2(list.isEmpty(), contents.constData());
        }
    }

    // ---- installUpdate ----

    void installUpdatesRunsTheReadersProgram()
    {
        m_reader = ReaderInstall::create(3);
        QFile::setPermissions(m_reader.readerDir + QStringLiteral("/installUpdate"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(CPackageStep::installUpdates(QString()), 3);
        QCOMPARE(CPackageStep::installUpdates(QStringLiteral("--quiet \"two words\"")), 3);
        QCOMPARE(m_reader.installRuns(), QStringList() << QStringLiteral("0")
                                                       << QStringLiteral("2 [--quiet] [two words]"));
        // Made runnable for everybody, writable for nobody else.
        const QFileDevice::Permissions mode = QFile::permissions(m_reader.readerDir + QStringLiteral("/installUpdate"));
        QVERIFY(mode & QFileDevice::ExeOwner);
        QVERIFY(mode & QFileDevice::ExeOther);
        QVERIFY(!(mode & QFileDevice::WriteOther));
        QVERIFY(!(mode & QFileDevice::WriteGroup));
    }

    void installUpdatesWithoutTheProgram()
    {
        QFile::remove(m_reader.readerDir + QStringLiteral("/installUpdate"));
        QCOMPARE(CPackageStep::installUpdates(QString()), 0);
        // Without the settings value the updater's own directory is the reader's; the
        // test program's directory has no installUpdate.
        writeSettings({});
        QCOMPARE(CPackageStep::installUpdates(QString()), 0);
        QVERIFY(m_reader.installRuns().isEmpty());
    }

    void installUpdatesThatCannotStart()
    {
        writeFile(m_reader.readerDir + QStringLiteral("/installUpdate"), "#!/nonexistent/interpreter\n", true);
        QCOMPARE(CPackageStep::installUpdates(QString()), -2);
    }

    void installUpdatesWhileTheUnpackFolderIsHeld()
    {
        // A lock file someone holds is taken neither away nor over: nothing runs.
        const QString unpackDir = CWorkingFolder::unpackDirectory();
        CInstallerLock held;
        QVERIFY(QDir().mkpath(unpackDir) && held.acquire(unpackDir));
        QCOMPARE(CPackageStep::installUpdates(QString()), -2);
        QVERIFY(m_reader.installRuns().isEmpty());
        QVERIFY(CInstallerLock::isHeld(unpackDir));
        held.release();
        CPackageStep::installUpdates(QString());
        QCOMPARE(m_reader.installRuns().size(), 1);
    }

    // ---- the package step ----

    void installPromptStartsTheFirstInstaller()
    {
        const QByteArray package = buildPackage(PackageTree()
                                                    .file(QStringLiteral("Setup.xml"), "<setup/>")
                                                    .installer(QStringLiteral("b-second.run"), markerPath())
                                                    .installer(QStringLiteral("A-first.RUN"), markerPath())
                                                    .installer(QStringLiteral("sub/0-nested.run"), markerPath())
                                                    // A directory cannot be started; it is passed over.
                                                    .file(QStringLiteral("0-folder.run/readme"), "not an installer"));
        QVERIFY(!package.isEmpty());
        MODULEINFO* reader = onDisk(QStringLiteral("Reader.pkg"), package);

        DialogDriver dialogs;
        dialogs.watchWindow(window());
        dialogs.answer(DialogDriver::Ok);
        run({ reader });

        QCOMPARE(dialogs.seen.size(), 1);
        const DialogDriver::Seen& prompt = dialogs.seen.first();
        QCOMPARE(prompt.kind, QStringLiteral("DlgMessage"));
        QCOMPARE(prompt.text, kInstallPrompt);
        QCOMPARE(prompt.okText, QStringLiteral("Install"));
        QVERIFY(prompt.cancelVisible);
        QVERIFY(!prompt.windowVisible);
        // Centred on the reader's window: centre (499, 349).
        QCOMPARE(prompt.pos, QPoint(499 - prompt.size.width() / 2, 349 - prompt.size.height() / 2));

        QTRY_VERIFY_WITH_TIMEOUT(!markerLines().isEmpty(), 20000);
        QTest::qWait(300);
        QCOMPARE(markerLines(), QStringList() << QStringLiteral("A-first.RUN"));
        // It was started from a folder of its own, where its files stay for it.
        QVERIFY(QFileInfo(downloadDir() + QStringLiteral("installer-1/A-first.RUN")).isExecutable());
        QVERIFY(QFileInfo::exists(downloadDir() + QStringLiteral("installer-1/sub/0-nested.run")));
        QVERIFY(!QFileInfo::exists(unpackDir()));
        QVERIFY(m_reader.installRuns().isEmpty());
        QVERIFY(m_reader.countRuns().isEmpty());
        // The package stays in the download directory; the run is over.
        QVERIFY(QFileInfo::exists(downloadDir() + QStringLiteral("Reader.pkg")));
        QVERIFY(m_app->m_bQuit);
        QVERIFY(!window()->isVisible());
    }

    void withoutInstallerTheReaderInstalls()
    {
        const QByteArray package = packageWithoutInstaller();
        QVERIFY(!package.isEmpty());
        MODULEINFO* reader = onDisk(QStringLiteral("Reader.pkg"), package);

        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        LogCapture log(LogCapture::Quiet);
        run({ reader });

        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(m_reader.installRuns(), QStringList() << QStringLiteral("0"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_reader.countRuns().isEmpty(), 20000);
        QCOMPARE(m_reader.countRuns(),
                 QStringList() << QStringLiteral("4 [/version] [7.0.1] [/oldversion] [7.1.0.9]"));
        QCOMPARE(log.lines().filter(QStringLiteral("excute result:")), QStringList() << QStringLiteral("excute result: 0"));
        QCOMPARE(log.lines().filter(QStringLiteral("countinstallpath: ")),
                 QStringList() << QStringLiteral("countinstallpath:  \"") + m_reader.corvinaDir
                                      + QStringLiteral("/countinstalltion\""));
        // The package's files are unpacked.
        QCOMPARE(readFile(unpackDir() + QStringLiteral("bin/reader")), QByteArray("new reader"));
    }

    void installCounterWithoutParameters()
    {
        m_app.reset(new UpdaterApp(nullptr));
        const QByteArray package = packageWithoutInstaller();
        MODULEINFO* reader = onDisk(QStringLiteral("Reader.pkg"), package);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        LogCapture log(LogCapture::Quiet);
        run({ reader });
        QCOMPARE(m_reader.installRuns(), QStringList() << QStringLiteral("0"));
        QCOMPARE(log.lines().filter(QStringLiteral("countinstallpath: ")),
                 QStringList() << QStringLiteral("countinstallpath:  \"/countinstalltion\""));
    }

    void cancelInPromptInstallsNothingAndGoesOn()
    {
        MODULEINFO* first = onDisk(QStringLiteral("First.pkg"), packageWithInstaller(QStringLiteral("first.run")));
        MODULEINFO* second = onDisk(QStringLiteral("Second.pkg"), packageWithInstaller(QStringLiteral("second.run")));
        MODULEINFO* third = onDisk(QStringLiteral("Third.pkg"), packageWithInstaller(QStringLiteral("third.run")));

        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Cancel);
        dialogs.answer(DialogDriver::Close);  // the title-bar button is no "Install" either
        dialogs.answer(DialogDriver::Ok);
        run({ first, second, third });

        QCOMPARE(dialogs.seen.size(), 3);
        QCOMPARE(dialogs.unexpected, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!markerLines().isEmpty(), 20000);
        QTest::qWait(300);
        QCOMPARE(markerLines(), QStringList() << QStringLiteral("third.run"));
        // Only the installed package got a folder for its installer.
        QVERIFY(QFileInfo::exists(downloadDir() + QStringLiteral("installer-1/third.run")));
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("installer-2")));
        QVERIFY(!QFileInfo::exists(unpackDir()));
        QVERIFY(m_reader.installRuns().isEmpty());
        QVERIFY(m_app->m_bQuit);
    }

    void javaScriptPluginsAreCopiedAtTheEnd()
    {
        const QByteArray scriptA = "// plug-in A";
        const QByteArray scriptB = "// plug-in B";
        const QByteArray lower = packageWithInstaller(QStringLiteral("lower.run"));
        MODULEINFO* jsA = onDisk(QStringLiteral("JS_a.js"), scriptA);
        // "js" in lower case is an ordinary package.
        MODULEINFO* jsLower = onDisk(QStringLiteral("js_lower.pkg"), lower);
        MODULEINFO* jsB = onDisk(QStringLiteral("JS_b.js"), scriptB);
        // Not one of this run's modules: it stays where it is.
        writeFile(downloadDir() + QStringLiteral("JS_old.js"), "left from before");

        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        run({ jsA, jsLower, jsB });

        // One prompt: the lower-case package's; none for the plug-ins.
        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(dialogs.unexpected, 0);
        QTRY_VERIFY_WITH_TIMEOUT(markerLines() == QStringList() << QStringLiteral("lower.run"), 20000);

        const QString folder = CPackageStep::javaScriptFolder();
        QCOMPARE(folder, qEnvironmentVariable("XDG_DATA_HOME")
                             + QStringLiteral("/Moravel Software/Moravel Reader/SilentInstall/JavaScripts"));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                 QStringList() << QStringLiteral("JS_a.js") << QStringLiteral("JS_b.js"));
        QCOMPARE(readFile(folder + QStringLiteral("/JS_a.js")), scriptA);
        QCOMPARE(readFile(folder + QStringLiteral("/JS_b.js")), scriptB);
        QCOMPARE(QDir(downloadDir()).entryList(QStringList() << QStringLiteral("JS*"), QDir::Files | QDir::CaseSensitive),
                 QStringList() << QStringLiteral("JS_old.js"));
        QVERIFY(m_app->m_bQuit);
        QVERIFY(!window()->isVisible());
    }

    void javaScriptPluginBeforeAnOrdinaryPackageIsCopied()
    {
        MODULEINFO* js = onDisk(QStringLiteral("JS_mid.js"), "// mid");
        MODULEINFO* reader = onDisk(QStringLiteral("Reader.pkg"), packageWithInstaller(QStringLiteral("r.run")));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        run({ js, reader });
        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(readFile(CPackageStep::javaScriptFolder() + QStringLiteral("/JS_mid.js")), QByteArray("// mid"));
        QVERIFY(!QFileInfo::exists(downloadDir() + QStringLiteral("JS_mid.js")));
        QVERIFY(m_app->m_bQuit);
    }

    void javaScriptPluginReplacesTheInstalledOne()
    {
        // The installed plug-in is replaced in one step: a link standing at its name is
        // replaced too, never written through.
        const QString folder = CPackageStep::javaScriptFolder();
        writeFile(folder + QStringLiteral("/JS_x.js"), "old x");
        const QString elsewhere = root() + QStringLiteral("/elsewhere.js");
        writeFile(elsewhere, "not a plug-in");
        QVERIFY(QFile::link(elsewhere, folder + QStringLiteral("/JS_y.js")));
        MODULEINFO* x = onDisk(QStringLiteral("JS_x.js"), "new x");
        MODULEINFO* y = onDisk(QStringLiteral("JS_y.js"), "new y");
        run({ x, y });
        QCOMPARE(readFile(folder + QStringLiteral("/JS_x.js")), QByteArray("new x"));
        QVERIFY(!QFileInfo(folder + QStringLiteral("/JS_y.js")).isSymLink());
        QCOMPARE(readFile(folder + QStringLiteral("/JS_y.js")), QByteArray("new y"));
        QCOMPARE(readFile(elsewhere), QByteArray("not a plug-in"));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList() << QStringLiteral("JS_x.js") << QStringLiteral("JS_y.js"));
    }

    void failedPluginCopyKeepsTheDownload()
    {
        // A file where the reader's data folder belongs: the JavaScript folder cannot
        // be made, and the downloaded plug-in waits for a later run.
        const QString data = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Moravel Software");
        QDir(data).removeRecursively();
        writeFile(data, "in the way");
        MODULEINFO* js = onDisk(QStringLiteral("JS_z.js"), "z");
        run({ js });
        QCOMPARE(readFile(downloadDir() + QStringLiteral("JS_z.js")), QByteArray("z"));
        QVERIFY(!QFileInfo::exists(CPackageStep::javaScriptFolder()));
        QFile::remove(data);
    }

    // ---- the step on its own, without a window ----

    void stepWithoutAWindow_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("install");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("prompts");
        QTest::addColumn<QStringList>("markers");
        QTest::addColumn<bool>("fileKept");
        const QStringList started { QStringLiteral("step.run") };
        QTest::newRow("installed") << "installer" << true << int(CPackageStep::Done) << 1 << started << true;
        QTest::newRow("Install not pressed") << "installer" << false << int(CPackageStep::Done) << 1 << QStringList() << true;
        QTest::newRow("plug-in kept for the end") << "plugin" << true << int(CPackageStep::Done) << 0 << QStringList() << true;
        QTest::newRow("does not unpack") << "broken" << true << int(CPackageStep::Rejected) << 0 << QStringList() << false;
        QTest::newRow("not the reply's sha256") << "otherhash" << true << int(CPackageStep::Stopped) << 0 << QStringList() << false;
        QTest::newRow("no file") << "nofile" << true << int(CPackageStep::Stopped) << 0 << QStringList() << true;
        QTest::newRow("unpack folder held by an installer")
            << "held" << true << int(CPackageStep::Stopped) << 0 << QStringList() << true;
    }

    void stepWithoutAWindow()
    {
        QFETCH(QString, kind);
        QFETCH(bool, install);
        QFETCH(int, outcome);
        QFETCH(int, prompts);
        QFETCH(QStringList, markers);
        QFETCH(bool, fileKept);
        QByteArray package = packageWithInstaller(QStringLiteral("step.run"));
        QVERIFY(!package.isEmpty());
        if (kind == QLatin1String("broken"))
            package[package.size() - 1] = static_cast<char>(package.at(package.size() - 1) ^ 0x55);
        MODULEINFO* info = onDisk(kind == QLatin1String("plugin") ? QStringLiteral("JS_step.js") : QStringLiteral("Step.pkg"),
                                  package);
        info->strSha256 = kind == QLatin1String("otherhash") ? QString(64, QLatin1Char('0')) : QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
        CModuleDownload module(info);
        const QString file = kind == QLatin1String("nofile") ? QString() : module.packageFile();
        CInstallerLock held;
        if (kind == QLatin1String("held"))
            QVERIFY(QDir().mkpath(unpackDir()) && held.acquire(unpackDir()));

        CPackageStep step;
        int asked = 0;
        step.setInstallPrompt([&] { ++asked; return install; });
        LogCapture log(LogCapture::Quiet);
        QCOMPARE(int(step.run(file, &module)), outcome);
        QCOMPARE(asked, prompts);
        QCOMPARE(QFileInfo::exists(module.packageFile()), fileKept);
        QCOMPARE(step.hasJSPlugins(), kind == QLatin1String("plugin"));
        QTRY_COMPARE_WITH_TIMEOUT(markerLines(), markers, 20000);
        if (markers.isEmpty()) {
            QTest::qWait(300);
            QVERIFY(markerLines().isEmpty());
        }
        // The installer got a folder of its own.
        QCOMPARE(QFileInfo::exists(downloadDir() + QStringLiteral("installer-1/step.run")), !markers.isEmpty());
    }

    // ---- a package step that cannot go on ----

    void brokenPackageIsReportedAndTheNextFollows()
    {
        QByteArray broken = packageWithInstaller(QStringLiteral("broken.run"));
        broken[broken.size() - 1] = static_cast<char>(broken.at(broken.size() - 1) ^ 0x55);  // CRC mismatch
        MODULEINFO* bad = onDisk(QStringLiteral("Bad.pkg"), broken);
        MODULEINFO* good = onDisk(QStringLiteral("Good.pkg"), packageWithInstaller(QStringLiteral("good.run")));

        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);  // the warning
        dialogs.answer(DialogDriver::Ok);  // the next package's prompt
        LogCapture log(LogCapture::Quiet);
        run({ bad, good });

        // The broken file is deleted and fetched again at once, from a server that does
        // not answer here: the download's warning, then the next package.
        QTRY_COMPARE_WITH_TIMEOUT(dialogs.seen.size(), 2, 20000);
        QCOMPARE(dialogs.seen.at(0).kind, QStringLiteral("QMessageBox"));
        QCOMPARE(dialogs.seen.at(0).title, QStringLiteral("Moravel Reader"));
        QCOMPARE(dialogs.seen.at(0).text, kDownloadFailed);
        QCOMPARE(dialogs.seen.at(1).text, kInstallPrompt);
        QVERIFY(log.lines().contains(QStringLiteral("Uncompress Failed")));
        QVERIFY(QFileInfo(downloadDir() + QStringLiteral("Bad.pkg")).size() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(markerLines() == QStringList() << QStringLiteral("good.run"), 20000);
        QVERIFY(m_app->m_bQuit);
    }

    void emptyPathIsReportedAndTheNextFollows()
    {
        MODULEINFO* good = onDisk(QStringLiteral("Good.pkg"), packageWithInstaller(QStringLiteral("good.run")));
        window()->setSelectUpdates({ good, good });
        window()->m_nDownloadIndex = 0;
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        window()->oneDownloadFinish(QString());
        QCOMPARE(dialogs.texts(), QStringList() << kNotInstalled << kInstallPrompt);
        QCOMPARE(window()->m_nDownloadIndex, 2);
        QVERIFY(m_app->m_bQuit);
    }

    void whatStandsWhereTheUnpackFolderBelongsGoes()
    {
        // A file, or a link to somebody's folder, where the unpack folder belongs.
        const QString outside = root() + QStringLiteral("/outside the unpack folder");
        writeFile(outside + QStringLiteral("/keep.txt"), "keep");
        for (int round = 0; round < 2; ++round) {
            m_app.reset(new UpdaterApp(nullptr));
            m_app->m_pCommandLine->parserParam(QStringLiteral("type:\"Update List\""));
            QFile::remove(markerPath());
            QDir(unpackDir()).removeRecursively();
            if (round == 0)
                writeFile(QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress"), "in the way");
            else
                QVERIFY(QFile::link(outside, QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress")));
            MODULEINFO* good = onDisk(QStringLiteral("Good.pkg"), packageWithInstaller(QStringLiteral("good.run")));
            DialogDriver dialogs;
            dialogs.answer(DialogDriver::Ok);
            run({ good });
            QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
            QTRY_VERIFY_WITH_TIMEOUT(markerLines() == QStringList() << QStringLiteral("good.run"), 20000);
            QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                     QStringList() << QStringLiteral("keep.txt"));
        }
    }

    void oversizedSetupXmlStopsTheStep()
    {
        QByteArray setup = "<setup>";
        while (setup.size() <= CPackageStep::kMaxSetupXmlBytes)
            setup += "<file name=\"data\" parameter=\"p\"/>";
        setup += "</setup>";
        const QByteArray package = buildPackage(PackageTree()
                                                    .file(QStringLiteral("Setup.xml"), setup)
                                                    .installer(QStringLiteral("never.run"), markerPath()));
        MODULEINFO* bomb = onDisk(QStringLiteral("Bomb.pkg"), package);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        run({ bomb });
        // Found on disk: deleted, fetched again (from nowhere here), reported.
        QTRY_COMPARE_WITH_TIMEOUT(dialogs.texts(), QStringList() << kDownloadFailed, 20000);
        QVERIFY(QFileInfo(downloadDir() + QStringLiteral("Bomb.pkg")).size() == 0);
        QTest::qWait(300);
        QVERIFY(markerLines().isEmpty());

        // ParseSetupInfo itself does not read it either.
        const QString dir = root() + QStringLiteral("/big");
        writeFile(dir + QStringLiteral("/Setup.xml"), setup);
        QVector<_SetupInfo*> list;
        CPackageStep::ParseSetupInfo(dir, list);
        QVERIFY(list.isEmpty());
    }
};

QTEST_MAIN(TestPackageStep)
#include "tst_packagestep.moc"
