// The built MoravelUpdater as the reader starts it, against the in-process test server:
// the runs that show no dialog end by themselves with exit code 0 instead of idling in
// the event loop (and answering on port 8999 for ever). Runs with dialogs are covered
// in-process by tst_decision, which answers them.
#include "exetestmain.h"
#include "listenerclient.h"
#include "wholerunfixture.h"

#include <QtTest>

using namespace RunTest;

namespace {

QString g_executable;
QString g_pluginDir;

} // namespace

class TestUpdaterExe : public WholeRunFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(g_executable).isExecutable(), qPrintable(g_executable));
        setUpCase(g_executable, g_pluginDir);
        m_runner.timeoutMs = 60000;
    }

    void init()
    {
        setUpRun();
        settings(QStringLiteral("Auto"));
    }

    void automaticCheckWithNothingToUpdateEnds()
    {
        offer(replyXml({}));
        const ExeRun::Result run = m_runner.run();
        QVERIFY2(run.ended, "the updater did not end");
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(m_server.lastRequest().path(), kRequestPath.toUtf8());
    }

    void automaticCheckAgainstAFailingServerEnds()
    {
        m_server.route(kRequestPath, TestHttpServer::Reply::status(503, "busy"));
        const ExeRun::Result run = m_runner.run();
        QVERIFY2(run.ended, "the updater did not end");
        QCOMPARE(run.exitCode, 0);
    }

    void answersWhileCheckingThenEnds()
    {
        // A server that never answers: the updater says it is running while it checks,
        // and once the downloader's watchdog has given up, the automatic check ends.
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        ExeRun::Runner runner = m_runner;
        runner.timeoutMs = 90000;
        QByteArray answer;
        runner.whileRunning = [&](QProcess&) {
            if (answer.isEmpty() && m_server.requestCount() == 1)
                answer = askListener().data;
        };
        const ExeRun::Result run = runner.run();
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(answer, QByteArray("UpdaterRuning"));
        QVERIFY2(run.ended, "the updater did not end");
        QCOMPARE(run.exitCode, 0);
    }
};

EXE_TEST_MAIN(TestUpdaterExe, g_executable, g_pluginDir)

#include "tst_updaterexe.moc"
