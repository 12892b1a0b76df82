// The built MoravelUpdater as the reader starts it: settings written, no arguments.
#include "exetestmain.h"
#include "listenerclient.h"
#include "readersettings.h"

#include <QProcess>
#include <QTcpServer>
#include <QtTest>

namespace {

QString g_executable;

} // namespace

class TestMainExe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(g_executable).isExecutable(), qPrintable(g_executable));
    }

    void init()
    {
        QVERIFY(ReaderSettings::remove());
    }

    void endsWithoutUpdateList_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("no settings") << QByteArray();
        QTest::newRow("parameters without type")
            << QByteArray("[General]\nCorvina_UpdateParam=\"updater:\\\"Manual\\\",version:\\\"7.0.5\\\"\"\n"
                          "Window%20Position=@Point(100 50)\nWindow%20Size=@Size(800 600)\n\n"
                          "[Preferences]\nLanguages\\nChooseLanType=1\nLanguages\\nChooseLan=25\n"
                          "Languages\\nChooseCountry=44\n");
        QTest::newRow("empty parameter string") << QByteArray("[General]\nCorvina_UpdateParam=\n");
    }

    void endsWithoutUpdateList()
    {
        QFETCH(QByteArray, ini);
        if (!ini.isEmpty())
            QVERIFY(ReaderSettings::write(ini));

        QProcess updater;
        updater.start(g_executable, QStringList());
        QVERIFY(updater.waitForStarted(10000));
        const bool finished = updater.waitForFinished(60000);
        if (!finished) {
            updater.kill();
            updater.waitForFinished(5000);
        }
        QVERIFY2(finished, "the updater stayed in its event loop");
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 0);
        const QByteArray log = updater.readAllStandardError();
        QVERIFY2(log.contains("Updater Param: "), log.constData());
    }

    void answersWhileChecking()
    {
        // An update server that takes the connection and never answers keeps the
        // automatic check going (for the downloader's 10 s response check), and all
        // that time the updater tells a reader that it runs.
        QTcpServer silentServer;
        QVERIFY(silentServer.listen(QHostAddress(QHostAddress::LocalHost), 0));
        const QString address = QStringLiteral("http://127.0.0.1:%1/addons/get_addons.php").arg(silentServer.serverPort());
        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateParam=\"type:\\\"Update List\\\",updater:\\\"Auto\\\"\"\n"));
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_CN"), address);
        env.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_US"), address);
        updater.setProcessEnvironment(env);
        updater.start(g_executable, QStringList());
        QVERIFY(updater.waitForStarted(10000));

        // Ask as a reader would until the updater has come up.
        QByteArray answer;
        for (int attempt = 0; attempt < 200 && answer.isEmpty() && updater.state() == QProcess::Running; ++attempt) {
            answer = askListener().data;
            if (answer.isEmpty())
                QTest::qWait(100);
        }
        const bool running = updater.state() == QProcess::Running;
        updater.kill();
        updater.waitForFinished(10000);
        QVERIFY2(running, updater.readAllStandardError().constData());
        QCOMPARE(answer, QByteArray("UpdaterRuning"));
    }
};

EXE_TEST_MAIN(TestMainExe, g_executable)

#include "tst_mainexe.moc"
