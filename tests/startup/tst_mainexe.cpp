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

    // Tests shorten three timers through the environment; nothing there lengthens one
    // or takes a value that is no number.
    void timersAreOnlyShortened_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("logged");   // empty: the timer is left as it is
        const QString watchdog = QStringLiteral("MORAVEL_UPDATER_WATCHDOG_MS");
        const QString window = QStringLiteral("MORAVEL_UPDATER_SLOW_WINDOW_MS");
        const QString delay = QStringLiteral("MORAVEL_UPDATER_RETRY_DELAY_MS");
        QTest::newRow("watchdog shorter") << watchdog << "3000" << QByteArray("watchdog interval shortened to 3000 ms");
        QTest::newRow("watchdog longer") << watchdog << "20000" << QByteArray();
        QTest::newRow("watchdog not a number") << watchdog << "3s" << QByteArray();
        QTest::newRow("watchdog negative") << watchdog << "-5" << QByteArray();
        QTest::newRow("window shorter") << window << "8000" << QByteArray("slow-transfer window shortened to 8000 ms");
        QTest::newRow("window longer") << window << "90000" << QByteArray();
        QTest::newRow("delay shorter") << delay << "200" << QByteArray("first retry delay shortened to 200 ms");
        QTest::newRow("delay longer") << delay << "5000" << QByteArray();
    }

    void timersAreOnlyShortened()
    {
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(QByteArray, logged);
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(variable, value);
        updater.setProcessEnvironment(env);
        updater.start(g_executable, QStringList());
        QVERIFY(updater.waitForStarted(10000));
        QVERIFY(updater.waitForFinished(60000));
        const QByteArray log = updater.readAllStandardError();
        QVERIFY2(log.contains("Updater Param: "), log.constData());
        if (logged.isEmpty())
            QVERIFY2(!log.contains(" shortened to "), log.constData());
        else
            QVERIFY2(log.contains(logged), log.constData());
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
