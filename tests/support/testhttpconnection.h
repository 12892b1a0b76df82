#ifndef TESTHTTPCONNECTION_H
#define TESTHTTPCONNECTION_H

#include "testhttpserver.h"

#include <QByteArray>
#include <QObject>

class QFile;
class QTcpSocket;
class QTimer;

// One accepted client connection of TestHttpServer: reads requests one after another
// and plays the reply the server picks for each, faults and pacing included.
class TestHttpConnection : public QObject
{
    Q_OBJECT

public:
    TestHttpConnection(TestHttpServer* server, QTcpSocket* socket);
    ~TestHttpConnection() override;

    // Closes the connection at once.
    void drop();

private:
    enum class State { ReadingHead, ReadingBody, Responding, Stalled, Closed };

    void onReadyRead();
    void processInput();
    bool parseHead(const QByteArray& head);
    void dispatch();
    void prepare(const TestHttpServer::Reply& reply);
    void begin();
    void pump();
    void bodyDone();
    void applyFault();
    void resetConnection();
    void finishReply();
    void onClosed();
    void badRequest();
    QByteArray readBody(qint64 maxBytes);

    TestHttpServer* m_server;
    QTcpSocket* m_socket;
    QTimer* m_timer;
    State m_state = State::ReadingHead;
    QByteArray m_input;
    TestHttpServer::Request m_request;
    qint64 m_requestBodyLength = 0;

    // The reply being played.
    TestHttpServer::Reply m_reply;
    QByteArray m_head;
    QFile* m_bodyFile = nullptr;
    qint64 m_bodyStart = 0;      // first byte of the body source to send
    qint64 m_bodyLength = 0;     // bytes of body to send in total
    qint64 m_bodySent = 0;
    bool m_headOnly = false;     // HEAD request
    bool m_closeAfter = false;   // close once this reply is complete
    bool m_waitingForTrickle = false;
};

#endif // TESTHTTPCONNECTION_H
