// The "Checking for Updates..." dialog running a real query against the in-process test
// server: it closes with 1 when the query got an answer, with -1 at once when the query
// failed, with 0 on Cancel, and with -1 when its time-out runs out (shortened here).
#include "creadermodulemanager.h"
#include "dlgupdatechecking.h"
#include "envguard.h"
#include "logcapture.h"
#include "qhttpdownloads.h"
#include "runtestsupport.h"
#include "updaterapp.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

using namespace RunTest;

namespace {

const QByteArray kReply = replyXml({ { QStringLiteral("Reader"), QStringLiteral("7.2"),
                                       QStringLiteral("http://127.0.0.1:9/r.pkg"), QStringLiteral("10B"),
                                       QStringLiteral("new"), false, QString() } });

} // namespace

class TestCheckingDialog : public QObject
{
    Q_OBJECT

private:
    TestHttpServer m_server;
    std::unique_ptr<UpdaterApp> m_app;
    std::unique_ptr<CReaderModuleManager> m_manager;

    // Runs the dialog as the driver does; gives up (exit code 99) after a minute.
    int runDialog(DlgUpdateChecking& dialog)
    {
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, &dialog, [&dialog] { dialog.done(99); });
        guard.start(60000);
        dialog.setModuleManager(m_manager.get());
        dialog.startUpdateCheck();
        return dialog.exec();
    }

    QProgressBar* bar(DlgUpdateChecking& dialog) { return dialog.findChild<QProgressBar*>(QStringLiteral("progressBar")); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.isListening());
        pointUpdaterAt(m_server);
        // Only the dialog's own time-out is under test; the downloader's watchdogs stay out of the way.
        QHttpDownLoadS::setDefaultWatchdogInterval(3600 * 1000);
    }

    void init()
    {
        m_server.clearRoutes();
        m_server.clearRequests();
        m_app.reset(new UpdaterApp(nullptr));
        m_manager.reset(new CReaderModuleManager(QStringLiteral("Update List"), m_app.get(), nullptr));
        DlgUpdateChecking::setTimeoutInterval(60000);
    }

    void cleanup()
    {
        m_manager.reset();
        m_app.reset();
    }

    void formAsBuilt()
    {
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        QCOMPARE(dialog.objectName(), QStringLiteral("DlgUpdateChecking"));
        QCOMPARE(dialog.size(), QSize(400, 91));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Moravel Updater"));
        QVERIFY(!dialog.windowIcon().isNull());
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label"))->text(), QStringLiteral("Checking for Updates..."));
        QCOMPARE(bar(dialog)->value(), 0);
        QVERIFY(!bar(dialog)->isTextVisible());
        QCOMPARE(dialog.findChild<QPushButton*>(QStringLiteral("cancelButton"))->text(), QStringLiteral("&Cancel"));
        auto* layout = dialog.findChild<QVBoxLayout*>(QStringLiteral("verticalLayout"));
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(dialog.m_nResult, -1);
        QVERIFY(!dialog.m_pTimer);
        QVERIFY(!dialog.m_pModuleManager);
        QVERIFY(!dialog.m_bWait);
        QCOMPARE(dialog.m_strType, QStringLiteral("Update List"));
        QCOMPARE(DlgUpdateChecking::timeoutInterval(), 60000);

        const QMetaObject* meta = dialog.metaObject();
        QStringList own;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            own << QString::fromLatin1(meta->method(i).methodSignature());
        QCOMPARE(own, QStringList() << "checkFinsh()" << "on_cancelButton_clicked()" << "timeOut()");
    }

    void answeredQueryFinishes_data()
    {
        QTest::addColumn<bool>("withLength");
        QTest::newRow("reply with a length") << true;
        // The bar never moves without a length; the answer counts all the same.
        QTest::newRow("reply without a length") << false;
    }

    void answeredQueryFinishes()
    {
        QFETCH(bool, withLength);
        TestHttpServer::Reply reply = TestHttpServer::Reply::ok(kReply);
        if (!withLength)
            reply.noLength();
        m_server.route(kRequestPath, reply);
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        LogCapture log(LogCapture::Quiet);
        const int code = runDialog(dialog);
        QCOMPARE(code, int(QDialog::Rejected));
        QCOMPARE(dialog.m_nResult, 1);
        QVERIFY(!dialog.m_pTimer);
        QCOMPARE(bar(dialog)->value(), 100);
        QCOMPARE(m_manager->m_vecUpdateModules.size(), 1);
        QVERIFY(!log.lines().contains(QStringLiteral("Update Time out")));
    }

    void failedQueryClosesAtOnce_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("server error") << 500 << QByteArray("oops");
        QTest::newRow("not found") << 404 << QByteArray();
        QTest::newRow("reply is no XML") << 200 << QByteArray("no markup here");
    }

    void failedQueryClosesAtOnce()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        m_server.route(kRequestPath, TestHttpServer::Reply::status(status, body));
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        runDialog(dialog);
        QCOMPARE(dialog.m_nResult, -1);
        QVERIFY(!dialog.m_pTimer);
        QVERIFY(!m_manager->isQuerySucceeded());
    }

    void unreachableServerClosesAtOnce()
    {
        EnvGuard env{{"MORAVEL_UPDATE_SERVER_US", "http://127.0.0.1:1/addons/get_addons.php"},
                     {"MORAVEL_UPDATE_SERVER_CN", "http://127.0.0.1:1/addons/get_addons.php"}};
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        runDialog(dialog);
        QCOMPARE(dialog.m_nResult, -1);
    }

    void cancel()
    {
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        DialogDriver dialogs;
        dialogs.answerChecking(DialogDriver::Cancel);
        DlgUpdateChecking::setTimeoutInterval(300);
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        LogCapture log(LogCapture::Quiet);
        runDialog(dialog);
        QCOMPARE(dialog.m_nResult, 0);
        QVERIFY(dialog.isFinished());
        QVERIFY(!dialog.m_pTimer);
        // The time-out never fires afterwards.
        QTest::qWait(600);
        QCOMPARE(dialog.m_nResult, 0);
        QVERIFY(!log.lines().contains(QStringLiteral("Update Time out")));
    }

    void timeOut()
    {
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        DlgUpdateChecking::setTimeoutInterval(200);
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        DialogDriver dialogs;
        LogCapture log(LogCapture::Quiet);
        runDialog(dialog);
        QCOMPARE(dialog.m_nResult, -1);
        QVERIFY(!dialog.m_pTimer);
        QCOMPARE(log.lines().count(QStringLiteral("Update Time out")), 1);
        // Without m_bWait no message.
        QVERIFY(dialogs.seen.isEmpty());
    }

    void timeOutWhenWaitingShowsTheNetworkMessage()
    {
        writeSettings({ { QStringLiteral("Window Position"), QPoint(100, 50) },
                        { QStringLiteral("Window Size"), QSize(800, 600) } });
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        // The query waits for its transfer, which the downloader's watchdog ends.
        QHttpDownLoadS::setDefaultWatchdogInterval(1500);
        DlgUpdateChecking::setTimeoutInterval(200);
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        dialog.m_bWait = true;
        DialogDriver dialogs;
        dialogs.answer(DialogDriver::Ok);
        const int code = runDialog(dialog);
        QHttpDownLoadS::setDefaultWatchdogInterval(3600 * 1000);
        writeSettings({});

        QVERIFY2(code != 99, "the dialog did not close");
        QCOMPARE(dialog.m_nResult, -1);
        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(dialogs.seen.first().kind, QStringLiteral("DlgMessage"));
        QCOMPARE(dialogs.seen.first().text, kNoConnection);
        QVERIFY(dialogs.seen.first().cancelVisible);
        QCOMPARE(dialogs.seen.first().pos, QPoint(499 - 404 / 2, 349 - 139 / 2));
    }

    void waitingQueryThatEndsBeforeTheDialogRuns()
    {
        // With m_bWait the answer is in before exec(); the dialog must not stay open.
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(kReply));
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        dialog.m_bWait = true;
        QCOMPARE(runDialog(dialog), int(QDialog::Rejected));
        QCOMPARE(dialog.m_nResult, 1);
    }

    void endWithoutFullBarAndWithoutManager()
    {
        // Without a manager nothing starts, and only a full bar counts as finished.
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        dialog.startUpdateCheck();
        QVERIFY(!dialog.m_pTimer);
        dialog.show();
        bar(dialog)->setValue(40);
        dialog.checkFinsh();
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.m_nResult, -1);
        bar(dialog)->setValue(100);
        dialog.checkFinsh();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.m_nResult, 1);
    }

    void startTimerRestartsTheSameTimer()
    {
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        dialog.startTimer(5000);
        QTimer* first = dialog.m_pTimer;
        QVERIFY(first && first->isActive());
        dialog.startTimer(7000);
        QCOMPARE(dialog.m_pTimer, first);
        QCOMPARE(first->interval(), 7000);
        QCOMPARE(dialog.findChildren<QTimer*>().count(first), 1);
    }

    void closedByTheTitleBarKeepsMinusOne()
    {
        m_server.route(kRequestPath, TestHttpServer::Reply::silent());
        DialogDriver dialogs;
        dialogs.answerChecking(DialogDriver::Close);
        DlgUpdateChecking dialog(QStringLiteral("Update List"), nullptr);
        runDialog(dialog);
        QCOMPARE(dialog.m_nResult, -1);
        QVERIFY(!dialog.isFinished());
    }
};

QTEST_MAIN(TestCheckingDialog)
#include "tst_checkingdialog.moc"
