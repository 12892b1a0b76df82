// The update driver: one run's start, its end, and where dialogs are placed.
#include "csetup_commandline.h"
#include "dlgmessage.h"
#include "listenerclient.h"
#include "readersettings.h"
#include "updaterapp.h"
#include "updatelistener.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTcpServer>
#include <QtTest>

namespace {

QStringList g_messages;

void collect(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    g_messages << QString::fromLatin1(context.function ? context.function : "") + QLatin1String(" | ") + message;
}

QPoint screenCentre()
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    return QPoint((area.left() + area.right()) / 2, (area.top() + area.bottom()) / 2);
}

QTcpServer* listenerServer(UpdaterApp& app)
{
    return app.m_pListener ? app.m_pListener->findChild<QTcpServer*>() : nullptr;
}

} // namespace

class TestUpdaterApp : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(ReaderSettings::remove());
        g_messages.clear();
    }

    void cleanup()
    {
        qInstallMessageHandler(nullptr);
    }

    void freshDriver()
    {
        UpdaterApp app(nullptr);
        QVERIFY(app.m_pCommandLine);
        QVERIFY(app.m_pCommandLine->m_hashParams.isEmpty());
        QVERIFY(!app.m_pModuleManager);
        QVERIFY(app.m_strReaderVersion.isEmpty());
        QVERIFY(app.m_pListener);
        QVERIFY(listenerServer(app));
        QVERIFY(!listenerServer(app)->isListening());
        QVERIFY(!app.m_bQuit);
    }

    void runWithoutUpdateListEnds_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("no settings at all") << QByteArray();
        QTest::newRow("no parameter string") << QByteArray("[General]\nCorvina_UpdateOldPath=/opt/moravel\n");
        QTest::newRow("empty parameter string") << QByteArray("[General]\nCorvina_UpdateParam=\n");
        QTest::newRow("no type") << QByteArray("[General]\nCorvina_UpdateParam=\"updater:\\\"Manual\\\"\"\n");
        QTest::newRow("type in other case")
            << QByteArray("[General]\nCorvina_UpdateParam=\"type:\\\"update list\\\",updater:\\\"Manual\\\"\"\n");
        QTest::newRow("type with a blank") << QByteArray("[General]\nCorvina_UpdateParam=\"type:\\\"Update List \\\"\"\n");
        QTest::newRow("malformed") << QByteArray("[General]\nCorvina_UpdateParam=type:Update List\n");
    }

    void runWithoutUpdateListEnds()
    {
        // Nothing to check: the run ends and start-up leaves without an event loop, so
        // no idle updater keeps answering on the listener port.
        QFETCH(QByteArray, ini);
        if (!ini.isEmpty())
            QVERIFY(ReaderSettings::write(ini));
        UpdaterApp app(nullptr);
        app.runUpdate(QLocale::English, QLocale::UnitedStates);
        QVERIFY(app.m_bQuit);
        QVERIFY(!app.m_pModuleManager);
        // The listener was started before the decision, as in every run.
        QVERIFY(listenerServer(app)->isListening());
    }

    void runReadsTheReadersParameterString()
    {
        // Quotes and commas in the value, stored the way Qt writes such text. The type
        // asks for no check, so the run reads, logs and answers, then ends.
        QVERIFY(ReaderSettings::write("[General]\nCorvina_UpdateParam=\"type:\\\"Plugin List\\\",updater:\\\"Manual\\\","
                                      "version:\\\"7.0.5\\\"\"\n"));
        qInstallMessageHandler(collect);
        UpdaterApp app(nullptr);
        app.runUpdate(QLocale::English, QLocale::UnitedStates);
        qInstallMessageHandler(nullptr);

        QCOMPARE(app.m_pCommandLine->getValue(QStringLiteral("type")), QStringLiteral("Plugin List"));
        QCOMPARE(app.m_pCommandLine->getValue(QStringLiteral("updater")), QStringLiteral("Manual"));
        QCOMPARE(app.m_pCommandLine->getValue(QStringLiteral("version")), QStringLiteral("7.0.5"));
        QVERIFY(app.m_bQuit);
        // The listener answers for as long as the driver lives.
        QCOMPARE(askListener().data, QByteArray("UpdaterRuning"));

        const QStringList param = g_messages.filter(QStringLiteral("Updater Param: "));
        QCOMPARE(param.size(), 1);
        QVERIFY2(param.first().contains(QStringLiteral("runUpdate")), qPrintable(param.first()));
        QVERIFY2(param.first().contains(QStringLiteral("\"type:")), qPrintable(param.first()));
    }

    void destroyingTheDriverFreesThePort()
    {
        {
            UpdaterApp app(nullptr);
            app.runUpdate(0, 0);
            QVERIFY(listenerServer(app)->isListening());
        }
        QTcpServer next;
        QVERIFY(next.listen(QHostAddress(QHostAddress::LocalHost), 8999));
    }

    void centreOfTheReaderWindow_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("onScreenCentre");
        QTest::addColumn<QPoint>("centre");
        QTest::addColumn<QSize>("dialog");
        QTest::addColumn<QPoint>("topLeft");

        QTest::newRow("reader window") << QByteArray("[General]\nWindow%20Position=@Point(100 50)\n"
                                                     "Window%20Size=@Size(800 600)\n")
                                       << false << QPoint(499, 349) << QSize(404, 139) << QPoint(297, 280);
        QTest::newRow("odd dialog size") << QByteArray("[General]\nWindow%20Position=@Point(100 50)\n"
                                                       "Window%20Size=@Size(800 600)\n")
                                         << false << QPoint(499, 349) << QSize(405, 141) << QPoint(297, 279);
        // Halves truncate toward zero on a monitor left of the primary one.
        QTest::newRow("negative position") << QByteArray("[General]\nWindow%20Position=@Point(-1000 -20)\n"
                                                         "Window%20Size=@Size(800 600)\n")
                                           << false << QPoint(-600, 279) << QSize(404, 139) << QPoint(-802, 210);
        QTest::newRow("centre computes to the corner")
            << QByteArray("[General]\nWindow%20Position=@Point(0 0)\nWindow%20Size=@Size(1 1)\n") << true << QPoint()
            << QSize(404, 139) << QPoint();
        QTest::newRow("no reader window stored") << QByteArray() << true << QPoint() << QSize(404, 139) << QPoint();
        QTest::newRow("position without size") << QByteArray("[General]\nWindow%20Position=@Point(300 200)\n") << true
                                               << QPoint() << QSize(404, 139) << QPoint();
        QTest::newRow("size without position") << QByteArray("[General]\nWindow%20Size=@Size(1024 768)\n") << false
                                               << QPoint(511, 383) << QSize(404, 139) << QPoint(309, 314);
    }

    void centreOfTheReaderWindow()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, onScreenCentre);
        QFETCH(QPoint, centre);
        QFETCH(QSize, dialog);
        QFETCH(QPoint, topLeft);
        if (!ini.isEmpty())
            QVERIFY(ReaderSettings::write(ini));
        if (onScreenCentre) {
            centre = screenCentre();
            topLeft = centre - QPoint(dialog.width() / 2, dialog.height() / 2);
        }

        QCOMPARE(UpdaterApp::GetMainAppCenterPos(), centre);

        QWidget widget;
        widget.resize(dialog);
        UpdaterApp::PlaceDialog(&widget);
        QCOMPARE(widget.pos(), topLeft);
    }

    void placesTheMessageDialog()
    {
        QVERIFY(ReaderSettings::write("[General]\nWindow%20Position=@Point(100 50)\nWindow%20Size=@Size(800 600)\n"));
        DlgMessage dlg(nullptr);
        UpdaterApp::PlaceDialog(&dlg);
        QCOMPARE(dlg.pos(), QPoint(297, 280));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.pos(), QPoint(297, 280));
        UpdaterApp::PlaceDialog(nullptr);
    }

    void centreIsLogged()
    {
        QVERIFY(ReaderSettings::write("[General]\nWindow%20Position=@Point(100 50)\nWindow%20Size=@Size(800 600)\n"));
        qInstallMessageHandler(collect);
        UpdaterApp::GetMainAppCenterPos();
        qInstallMessageHandler(nullptr);
        const QStringList position = g_messages.filter(QStringLiteral("UpdaterApp::GetMainAppCenterPos()---position:"));
        QCOMPARE(position.size(), 1);
        QVERIFY2(position.first().contains(QStringLiteral("QPoint(100,50)")), qPrintable(position.first()));
        QVERIFY2(position.first().contains(QStringLiteral(" size:")), qPrintable(position.first()));
        QVERIFY2(position.first().contains(QStringLiteral("QSize(800, 600)")), qPrintable(position.first()));
        const QStringList centre = g_messages.filter(QStringLiteral("UpdaterApp::GetMainAppCenterPos()---centerPos:"));
        QCOMPARE(centre.size(), 1);
        QVERIFY2(centre.first().contains(QStringLiteral("QPoint(499,349)")), qPrintable(centre.first()));
    }
};

QTEST_MAIN(TestUpdaterApp)
#include "tst_updaterapp.moc"
