// The presence answer on 127.0.0.1:8999, over real sockets.
#include "listenerclient.h"
#include "updatelistener.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

QTcpServer* serverOf(UpdateListener& listener)
{
    return listener.findChild<QTcpServer*>();
}

} // namespace

class TestUpdateListener : public QObject
{
    Q_OBJECT

private slots:
    void answersAndCloses()
    {
        UpdateListener listener(nullptr);
        QVERIFY(!serverOf(listener)->isListening());
        listener.startListener();
        QVERIFY(serverOf(listener)->isListening());
        QCOMPARE(serverOf(listener)->serverAddress(), QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(serverOf(listener)->serverPort(), quint16(8999));

        const ListenerAnswer answer = askListener();
        QVERIFY(answer.connected);
        QCOMPARE(answer.data, QByteArray("UpdaterRuning"));
        QVERIFY(answer.closedByPeer);
    }

    void answersEveryClientInTurn()
    {
        UpdateListener listener(nullptr);
        listener.startListener();
        for (int i = 0; i < 3; ++i) {
            const ListenerAnswer answer = askListener();
            QCOMPARE(answer.data, QByteArray("UpdaterRuning"));
            QVERIFY(answer.closedByPeer);
        }
    }

    void clientGoneBeforeAnsweredDoesNoHarm()
    {
        UpdateListener listener(nullptr);
        listener.startListener();
        {
            QTcpSocket early;
            early.connectToHost(QHostAddress(QHostAddress::LocalHost), 8999);
            QVERIFY(early.waitForConnected(5000));
            early.abort();
        }
        QTest::qWait(50);
        const ListenerAnswer answer = askListener();
        QCOMPARE(answer.data, QByteArray("UpdaterRuning"));
    }

    void secondListenerStaysSilent()
    {
        UpdateListener first(nullptr);
        first.startListener();
        QVERIFY(serverOf(first)->isListening());
        {
            UpdateListener second(nullptr);
            second.startListener();
            QVERIFY(!serverOf(second)->isListening());
            QCOMPARE(askListener().data, QByteArray("UpdaterRuning"));
        }
        // The first one keeps answering after the second is gone.
        QCOMPARE(askListener().data, QByteArray("UpdaterRuning"));
    }

    void portTakenByAnotherProgram()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress(QHostAddress::LocalHost), 8999));
        UpdateListener listener(nullptr);
        listener.startListener();
        QVERIFY(!serverOf(listener)->isListening());
    }

    void onlyTheLoopbackAddressListens()
    {
        UpdateListener listener(nullptr);
        listener.startListener();
        // Another address of the loop-back range reaches this machine but not the
        // listener, which is bound to 127.0.0.1 alone.
        const ListenerAnswer other = askListener(QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(!other.connected);
        QVERIFY(other.data.isEmpty());
        const ListenerAnswer ipv6 = askListener(QHostAddress(QHostAddress::LocalHostIPv6));
        QVERIFY(!ipv6.connected);
        QCOMPARE(askListener().data, QByteArray("UpdaterRuning"));
    }

    void portIsFreeAfterDestruction()
    {
        {
            UpdateListener listener(nullptr);
            listener.startListener();
            QVERIFY(serverOf(listener)->isListening());
        }
        QTcpServer next;
        QVERIFY(next.listen(QHostAddress(QHostAddress::LocalHost), 8999));
    }
};

QTEST_GUILESS_MAIN(TestUpdateListener)
#include "tst_updatelistener.moc"
