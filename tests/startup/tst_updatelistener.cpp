// The presence answer on 127.0.0.1:8999, over real sockets.
#include "updatelistener.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>


namespace {

// Connects to the listener, collects everything it sends and waits until it closes
// the connection. The listener and this client share the test's thread, so the
// waiting turns the event loop.
struct Answer
{
    bool connected = false;
    bool closedByPeer = false;
    QByteArray data;
};

Answer ask(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost), quint16 port = 8999)
{
    Answer answer;
    QTcpSocket socket;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer.data += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::connected, [&] { answer.connected = true; });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { answer.closedByPeer = true; });
    socket.connectToHost(address, port);
    for (int i = 0; i < 500 && !answer.connected && socket.state() != QAbstractSocket::UnconnectedState; ++i)
        QTest::qWait(10);
    if (!answer.connected)
        return answer;
    for (int i = 0; i < 500 && !answer.closedByPeer; ++i)
        QTest::qWait(10);
    answer.data += socket.readAll();
    return answer;
}

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

        const Answer answer = ask();
        QVERIFY(answer.connected);
        QCOMPARE(answer.data, QByteArray("UpdaterRuning"));
        QVERIFY(answer.closedByPeer);
    }

    void answersEveryClientInTurn()
    {
        UpdateListener listener(nullptr);
        listener.startListener();
        for (int i = 0; i < 3; ++i) {
            const Answer answer = ask();
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
        const Answer answer = ask();
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
            QCOMPARE(ask().data, QByteArray("UpdaterRuning"));
        }
        // The first one keeps answering after the second is gone.
        QCOMPARE(ask().data, QByteArray("UpdaterRuning"));
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
        const Answer other = ask(QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(!other.connected);
        QVERIFY(other.data.isEmpty());
        const Answer ipv6 = ask(QHostAddress(QHostAddress::LocalHostIPv6));
        QVERIFY(!ipv6.connected);
        QCOMPARE(ask().data, QByteArray("UpdaterRuning"));
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
