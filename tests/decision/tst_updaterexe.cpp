// The built MoravelUpdater as the reader starts it, against the in-process test server:
// the runs that show no dialog end by themselves with exit code 0 instead of idling in
// the event loop (and answering on port 8999 for ever). Runs with dialogs are covered
// in-process by tst_decision, which answers them.
#include "exetestmain.h"
#include "listenerclient.h"
#include "runtestsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

using namespace RunTest;

namespace {

QString g_executable;

} // namespace

class TestUpdaterExe : public QObject
{
    Q_OBJECT

private:
    TestHttpServer m_server;

    // Starts the updater with the test server as its update server and waits for it to
    // end; the test's event loop keeps running meanwhile, so the in-process server can
    // answer. False when it did not end in time (it is killed then).
    bool runUpdater(QProcess& updater, int timeoutMs)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_US"), m_server.url(kServerScript).toString());
        environment.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_CN"), m_server.url(kServerScript).toString());
        updater.setProcessEnvironment(environment);
        updater.start(g_executable, QStringList());
        if (!updater.waitForStarted(10000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (updater.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs)
            QTest::qWait(20);
        if (updater.state() == QProcess::NotRunning)
            return true;
        updater.kill();
        updater.waitForFinished(5000);
        return false;
    }

    void settings(const QString& updater)
    {
        writeSettings({ { QStringLiteral("Corvina_UpdateParam"),
                          QStringLiteral("type:\"Update List\",updater:\"") + updater + QStringLiteral("\"") } });
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(g_executable).isExecutable(), qPrintable(g_executable));
        QVERIFY(m_server.isListening());
    }

    void init()
    {
        m_server.clearRoutes();
        m_server.clearRequests();
    }

    void automaticCheckWithNothingToUpdateEnds()
    {
        settings(QStringLiteral("Auto"));
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(replyXml({})));
        QProcess updater;
        QVERIFY2(runUpdater(updater, 60000), "the updater did not end");
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(m_server.lastRequest().path(), kRequestPath.toUtf8());
    }

    void automaticCheckAgainstAFailingServerEnds()
    {
        settings(QStringLiteral("Auto"));
        m_server.route(kRequestPath, TestHttpServer::Reply::status(503, "busy"));
        QProcess updater;
        QVERIFY2(runUpdater(updater, 60000), "the updater did not end");
        QCOMPARE(updater.exitCode(), 0);
    }

    void answersWhileCheckingThenEnds()
    {
        // A server that never answers: the updater says it is running while it checks,
        // and once the downloader's watchdog has given up, the automatic check ends.
        settings(QStringLiteral("Auto"));
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_US"), m_server.url(kServerScript).toString());
        environment.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_CN"), m_server.url(kServerScript).toString());
        QProcess updater;
        updater.setProcessEnvironment(environment);
        updater.start(g_executable, QStringList());
        QVERIFY(updater.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(m_server.requestCount() == 1, 30000);
        QCOMPARE(askListener().data, QByteArray("UpdaterRuning"));
        QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 90000);
        QCOMPARE(updater.exitCode(), 0);
    }
};

EXE_TEST_MAIN(TestUpdaterExe, g_executable)

#include "tst_updaterexe.moc"
