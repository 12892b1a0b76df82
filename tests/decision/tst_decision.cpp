// The update decision, run in-process the way start-up runs it: runUpdate with the
// reader's settings, then UpdaterApp::exec() (which returns 0 at once for a run that has
// ended). The update server is the in-process test server; packages are real and carry a
// "*.run" installer that leaves a marker line; dialogs are answered as a user would.
// Every row of the outcome table, the failed query, and the rule that a run with nothing
// left to do ends.
#include "creadermodulemanager.h"
#include "dlgdownload.h"
#include "dlgupdatechecking.h"
#include "logcapture.h"
#include "qhttpdownloads.h"
#include "runtestsupport.h"
#include "updaterapp.h"

#include <QLocale>
#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace RunTest;

namespace {

// The installers of one run start side by side: the order of their lines is not fixed.
QStringList sortedMarkerLines()
{
    QStringList lines = markerLines();
    lines.sort();
    return lines;
}

QString question(const QString& version)
{
    return QStringLiteral("A new version (") + version
           + QStringLiteral(") of Moravel Reader is available. Do you want to download it?");
}

// The dialogs' placement rule with the reader window at (100, 50), 800 x 600.
QPoint centredAt499x349(const QSize& size)
{
    return QPoint(499 - size.width() / 2, 349 - size.height() / 2);
}

} // namespace

class TestDecision : public QObject
{
    Q_OBJECT

private:
    TestHttpServer m_server;
    std::unique_ptr<UpdaterApp> m_app;
    QHash<QString, QByteArray> m_lastPackage;

    // Serves a package whose installer is <tag>.run and returns its module.
    Module served(const QString& tag, const QString& version, bool silent)
    {
        const QByteArray package = buildPackage(PackageTree()
                                                    .file(QStringLiteral("Setup.xml"), "<setup/>")
                                                    .file(QStringLiteral("payload"), tag.toUtf8())
                                                    .installer(tag + QStringLiteral(".run"), markerPath()));
        m_lastPackage.insert(tag, package);
        const QString path = QStringLiteral("/pkg/") + tag + QStringLiteral(".pkg");
        // At full speed: each installer keeps its files in a folder of its own while
        // the next package is unpacked.
        m_server.route(path, TestHttpServer::Reply::ok(package));
        return Module { tag, version, m_server.url(path).toString(), QString::number(package.size()) + QStringLiteral("B"),
                        QStringLiteral("About ") + tag, silent, QString() };
    }

    void offer(const QList<Module>& modules)
    {
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(replyXml(modules)));
    }

    void settings(const QString& updater)
    {
        writeSettings({ { QStringLiteral("Corvina_UpdateParam"),
                          QStringLiteral("type:\"Update List\",updater:\"") + updater
                              + QStringLiteral("\",product:\"Reader\",version:\"7.1.0.9\"") },
                        { QStringLiteral("Window Position"), QPoint(100, 50) },
                        { QStringLiteral("Window Size"), QSize(800, 600) } });
    }

    // runUpdate, then the event loop as start-up runs it; 99 when it did not end in time.
    int runAsStartUp()
    {
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(60000);
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        return m_app->exec();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.isListening());
        pointUpdaterAt(m_server);
    }

    void init()
    {
        QDir(QDir::tempPath() + QStringLiteral("/MoravelCorvina")).removeRecursively();
        // No version skipped by an earlier case.
        QDir(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/moravel-updater")).removeRecursively();
        QDir().mkpath(root() + QStringLiteral("/markers"));
        m_server.clearRoutes();
        m_server.clearRequests();
        DlgUpdateChecking::setTimeoutInterval(60000);
        m_app.reset(new UpdaterApp(nullptr));
    }

    void cleanup()
    {
        m_app.reset();
    }

    // ---- offered list empty ----

    void manualWithNothingToUpdate()
    {
        settings(QStringLiteral("Manual"));
        offer({});
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        QCOMPARE(runAsStartUp(), 0);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(dialogs.texts(), QStringList() << kUpToDate);
        QVERIFY(!dialogs.seen.first().cancelVisible);
        QCOMPARE(dialogs.seen.first().okText, QStringLiteral("OK"));
        QCOMPARE(dialogs.seen.first().pos, centredAt499x349(dialogs.seen.first().size));
        QCOMPARE(m_server.requestCount(), 1);
    }

    void automaticWithNothingToUpdateEnds()
    {
        // Nothing shown and nothing to do: the run ends instead of idling in the loop.
        settings(QStringLiteral("Auto"));
        offer({});
        ShowCounter shows(m_app->m_pDlgDownload);
        DialogDriver dialogs;
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(m_app->exec(), 0);
        QVERIFY(dialogs.seen.isEmpty());
        QCOMPARE(shows.shows, 0);
    }

    // ---- all silent ----

    void allSilentIsUpToDateAndInstalls_data()
    {
        QTest::addColumn<QString>("updater");
        QTest::newRow("manual") << QStringLiteral("Manual");
        QTest::newRow("automatic") << QStringLiteral("Auto");
    }

    void allSilentIsUpToDateAndInstalls()
    {
        QFETCH(QString, updater);
        settings(updater);
        offer({ served(QStringLiteral("fonts"), QStringLiteral("1.1"), true),
                served(QStringLiteral("stamps"), QStringLiteral("2.0"), true) });
        ShowCounter shows(m_app->m_pDlgDownload);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        // The silent downloads have run to their end inside the run.
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(m_app->exec(), 0);
        QCOMPARE(dialogs.texts(), QStringList() << kUpToDate << kInstallPrompt << kInstallPrompt);
        QCOMPARE(shows.shows, 0);
        QCOMPARE(packageRequests(m_server), 2);
        QTRY_COMPARE_WITH_TIMEOUT(sortedMarkerLines(), QStringList() << QStringLiteral("fonts.run")
                                                                     << QStringLiteral("stamps.run"),
                                  20000);
    }

    // ---- not all silent ----

    void manualQuestionAnsweredOk()
    {
        settings(QStringLiteral("Manual"));
        offer({ served(QStringLiteral("reader"), QStringLiteral("7.2.0.5"), false),
                served(QStringLiteral("fonts"), QStringLiteral("1.1"), true) });
        DialogDriver dialogs;
        dialogs.watchWindow(m_app->m_pDlgDownload);
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        // The download window carries on in the event loop.
        QVERIFY(!m_app->m_bQuit);
        QVERIFY(m_app->m_pDlgDownload->isVisible());
        QCOMPARE(m_app->exec(), 0);
        QVERIFY(m_app->m_bQuit);
        QVERIFY(!m_app->m_pDlgDownload->isVisible());

        QCOMPARE(dialogs.texts(), QStringList() << question(QStringLiteral("7.2.0.5")) << kInstallPrompt
                                                << kInstallPrompt);
        QVERIFY(dialogs.seen.first().cancelVisible);
        QCOMPARE(dialogs.seen.first().okText, QStringLiteral("OK"));
        QCOMPARE(dialogs.seen.first().pos, centredAt499x349(dialogs.seen.first().size));
        QCOMPARE(dialogs.unexpected, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sortedMarkerLines(), QStringList() << QStringLiteral("fonts.run")
                                                                     << QStringLiteral("reader.run"),
                                  20000);
    }

    void manualQuestionDeclined_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("Cancel") << int(DialogDriver::Cancel);
        QTest::newRow("window closed") << int(DialogDriver::Close);
    }

    void manualQuestionDeclined()
    {
        QFETCH(int, answer);
        settings(QStringLiteral("Manual"));
        offer({ served(QStringLiteral("fonts"), QStringLiteral("1.1"), true),
                served(QStringLiteral("reader"), QStringLiteral("7.2.0.5"), false) });
        ShowCounter shows(m_app->m_pDlgDownload);
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Answer(answer));
        QCOMPARE(runAsStartUp(), 0);
        QVERIFY(m_app->m_bQuit);
        // The version named is the first offered record's, silent or not.
        QCOMPARE(dialogs.texts(), QStringList() << question(QStringLiteral("1.1")));
        QCOMPARE(shows.shows, 0);
        QCOMPARE(packageRequests(m_server), 0);
    }

    void automaticGoesStraightToTheWindow()
    {
        settings(QStringLiteral("Auto"));
        offer({ served(QStringLiteral("reader"), QStringLiteral("7.2.0.5"), false) });
        DialogDriver dialogs;
        dialogs.watchWindow(m_app->m_pDlgDownload);
        dialogs.answer(DialogDriver::Ok);
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        QVERIFY(dialogs.seen.isEmpty());
        QVERIFY(!m_app->m_bQuit);
        QVERIFY(m_app->m_pDlgDownload->isVisible());
        QCOMPARE(m_app->exec(), 0);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt);
        QTRY_COMPARE_WITH_TIMEOUT(sortedMarkerLines(), QStringList() << QStringLiteral("reader.run"), 20000);
    }

    void skipThisVersion_data()
    {
        QTest::addColumn<bool>("critical");
        QTest::newRow("skipped") << false;
        QTest::newRow("critical: no skip") << true;
    }

    void skipThisVersion()
    {
        // An automatic check's window offers "Skip This Version" unless the update is
        // critical; pressed, the run ends as with Cancel and later automatic checks do
        // not offer that version again, manual ones do (and say when it is critical).
        QFETCH(bool, critical);
        settings(QStringLiteral("Auto"));
        const Module reader = served(QStringLiteral("reader"), QStringLiteral("7.2.0.5"), false);
        const QString path = QUrl(reader.url).path();
        m_server.route(path, TestHttpServer::Reply::ok(m_lastPackage.value(QStringLiteral("reader"))).stallAfter(100));
        QByteArray xml = replyXml({ reader });
        if (critical)
            xml.replace("result=\"true\"", "result=\"true\" critical=\"true\"");
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(xml));
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        QPushButton* skip = m_app->m_pDlgDownload->findChild<QPushButton*>(QStringLiteral("skipButton"));
        QVERIFY(skip && m_app->m_pDlgDownload->isVisible());
        QCOMPARE(skip->isVisible(), !critical);
        QCOMPARE(skip->text(), QStringLiteral("Skip This Version"));
        if (critical)
            return;
        QCOMPARE(skip->width(), m_app->m_pDlgDownload->findChild<QPushButton*>(QStringLiteral("cancelButton"))->width());
        LogCapture log(LogCapture::Quiet);
        QTimer::singleShot(0, skip, &QPushButton::click);
        QCOMPARE(m_app->exec(), 0);
        QVERIFY(log.contains("the user skipped reader 7.2.0.5"));
        QVERIFY(sortedMarkerLines().isEmpty());

        // The next automatic check does not offer it; a manual one does.
        m_app.reset(new UpdaterApp(nullptr));
        ShowCounter shows(m_app->m_pDlgDownload);
        QCOMPARE(runAsStartUp(), 0);
        QCOMPARE(shows.shows, 0);
        settings(QStringLiteral("Manual"));
        m_app.reset(new UpdaterApp(nullptr));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Cancel);
        QCOMPARE(runAsStartUp(), 0);
        QCOMPARE(dialogs.texts(), QStringList() << question(QStringLiteral("7.2.0.5")));
    }

    void criticalUpdateIsSaidSo()
    {
        settings(QStringLiteral("Manual"));
        QByteArray xml = replyXml({ served(QStringLiteral("reader"), QStringLiteral("7.2.0.5"), false) });
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(xml.replace("result=\"true\"", "result=\"true\" critical=\"true\"")));
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Cancel);
        QCOMPARE(runAsStartUp(), 0);
        QCOMPARE(dialogs.texts(), QStringList() << question(QStringLiteral("7.2.0.5")) + QStringLiteral("\nThis is an important update."));
    }

    void packageAlreadyOnDiskThenADownload()
    {
        // A complete file for the first module must not end the run before the second
        // module, which needs the event loop, is done.
        settings(QStringLiteral("Auto"));
        const Module first = served(QStringLiteral("first"), QStringLiteral("1"), false);
        const Module second = served(QStringLiteral("second"), QStringLiteral("1"), false);
        offer({ first, second });
        QVERIFY(writeFile(downloadDir() + QStringLiteral("first.pkg"), m_lastPackage.value(QStringLiteral("first"))));

        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        dialogs.answer(DialogDriver::Ok);
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        QVERIFY(!m_app->m_bQuit);
        QCOMPARE(m_app->exec(), 0);
        QCOMPARE(dialogs.texts(), QStringList() << kInstallPrompt << kInstallPrompt);
        QCOMPARE(packageRequests(m_server), 1);
        QTRY_COMPARE_WITH_TIMEOUT(sortedMarkerLines(), QStringList() << QStringLiteral("first.run")
                                                                     << QStringLiteral("second.run"),
                                  20000);
    }

    // ---- the check does not finish ----

    void checkingCancelled_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("Cancel") << int(DialogDriver::Cancel);
        QTest::newRow("window closed") << int(DialogDriver::Close);
    }

    void checkingCancelled()
    {
        QFETCH(int, answer);
        settings(QStringLiteral("Manual"));
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        DialogDriver dialogs;
        dialogs.answerChecking(DialogDriver::Answer(answer));
        QCOMPARE(runAsStartUp(), 0);
        QVERIFY(m_app->m_bQuit);
        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(dialogs.seen.first().kind, QStringLiteral("DlgUpdateChecking"));
        QCOMPARE(dialogs.seen.first().pos, centredAt499x349(dialogs.seen.first().size));
        QCOMPARE(dialogs.unexpected, 0);
    }

    void failedQueryIsNeverUpToDate_data()
    {
        QTest::addColumn<QString>("updater");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("silentServer");
        QTest::newRow("manual, server error") << QStringLiteral("Manual") << 500 << false;
        QTest::newRow("manual, not found") << QStringLiteral("Manual") << 404 << false;
        QTest::newRow("manual, time-out") << QStringLiteral("Manual") << 0 << true;
        QTest::newRow("automatic, server error") << QStringLiteral("Auto") << 500 << false;
        QTest::newRow("automatic, time-out") << QStringLiteral("Auto") << 0 << true;
    }

    void failedQueryIsNeverUpToDate()
    {
        QFETCH(QString, updater);
        QFETCH(int, status);
        QFETCH(bool, silentServer);
        settings(updater);
        if (silentServer) {
            m_server.route(kRequestPath, TestHttpServer::Reply::silent());
            QHttpDownLoadS::setDefaultWatchdogInterval(3600 * 1000);
            DlgUpdateChecking::setTimeoutInterval(300);
        } else {
            m_server.route(kRequestPath, TestHttpServer::Reply::status(status, "<addons/>"));
        }
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        const int result = runAsStartUp();
        QHttpDownLoadS::setDefaultWatchdogInterval(10000);
        QCOMPARE(result, 0);
        QVERIFY(m_app->m_bQuit);
        if (updater == QLatin1String("Manual")) {
            QCOMPARE(dialogs.texts(), QStringList() << kNoConnection);
            QVERIFY(!dialogs.seen.first().cancelVisible);
            QCOMPARE(dialogs.seen.first().pos, centredAt499x349(dialogs.seen.first().size));
        } else {
            QVERIFY(dialogs.seen.isEmpty());
        }
    }

    void withoutUpdateListNothingHappens()
    {
        writeSettings({ { QStringLiteral("Corvina_UpdateParam"), QStringLiteral("updater:\"Manual\"") } });
        DialogDriver dialogs;
        m_app->runUpdate(QLocale::English, QLocale::UnitedStates);
        QVERIFY(m_app->m_bQuit);
        QVERIFY(!m_app->m_pModuleManager);
        QCOMPARE(m_app->exec(), 0);
        QVERIFY(dialogs.seen.isEmpty());
        QCOMPARE(m_server.requestCount(), 0);
    }
};

QTEST_MAIN(TestDecision)
#include "tst_decision.moc"
