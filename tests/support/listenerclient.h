// A reader asking whether the updater runs: a connection to its listener (127.0.0.1:8999
// unless told otherwise) that collects everything sent until the listener closes it.
// The waiting turns the event loop, so a listener in the test's own thread answers too.
#ifndef LISTENERCLIENT_H
#define LISTENERCLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtTest>

struct ListenerAnswer
{
    bool connected = false;
    bool closedByPeer = false;
    QByteArray data;
};

// Waits up to 5 s for the connection and up to 5 s more for the listener to close it.
inline ListenerAnswer askListener(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost),
                                  quint16 port = 8999)
{
    ListenerAnswer answer;
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

#endif // LISTENERCLIENT_H
