#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

// A small HTTP/1.1 server for tests. It listens on 127.0.0.1 with an ephemeral port,
// speaks real HTTP over real sockets and answers each path the way it is told,
// including the ways real servers misbehave. It records every request.
//
//     TestHttpServer server;                       // listens at once
//     server.route("/pkg.bin", TestHttpServer::Reply::ok(body));
//     server.route("/slow",    TestHttpServer::Reply::ok(body).trickle(512, 20));
//     server.route("/slower",  TestHttpServer::Reply::ok(body).trickle(16, 100).trickleAfter(65536));
//     server.route("/stall",   TestHttpServer::Reply::ok(body).stallAfter(1000));
//     server.route("/part",    TestHttpServer::Reply::ok(body).ranges());   // honours Range
//     server.route("/gone",    TestHttpServer::Reply::status(404, "not here"));
//     server.route("/dead",    TestHttpServer::Reply::silent());
//     server.setFallback(TestHttpServer::Reply::status(500));
//
//     QUrl url = server.url("/pkg.bin");           // http://127.0.0.1:<port>/pkg.bin
//     ... run the code under test ...
//     QCOMPARE(server.requests().size(), 1);
//     QCOMPARE(server.requests().at(0).header("Range"), QByteArray("bytes=0-"));
//
// With setTls() the server speaks HTTPS instead: every connection is a TLS server
// socket with the given certificate, and url() gives https addresses. A handshake
// fault makes it stop in the middle of the TLS handshake instead (reading the
// client's first message, then either nothing more or a close):
//
//     server.setTls(certificate, key);             // e.g. from tests/support/testpki
//     server.setHandshakeFault(TestHttpServer::HandshakeFault::Stall);
//
// Routes match the request path with its query first, then the path alone, then the
// fallback (by default 404). handle() installs a function that builds the reply from
// the request instead. Replies keep the connection alive unless told otherwise; a
// reply without a length closes the connection to end its body.
//
// The server works in the thread it lives in; its routes and records may be read and
// changed from any thread.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <functional>

class QTcpServer;
class QTcpSocket;
class TestHttpConnection;

class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    using Header = QPair<QByteArray, QByteArray>;

    struct Request
    {
        QByteArray method;
        QByteArray target;          // path with query, as sent
        QByteArray version;         // "HTTP/1.1"
        QList<Header> headers;      // in the order sent, names as sent
        QByteArray body;            // with Content-Length only
        quint16 peerPort = 0;       // tells connections apart

        QByteArray path() const;    // target without the query
        QByteArray query() const;   // after "?", empty if none
        bool hasHeader(const QByteArray& name) const;
        // Value of the first header of that name (case-insensitive); null if absent.
        QByteArray header(const QByteArray& name) const;
    };

    enum class Framing {
        ContentLength,   // "Content-Length: n"
        CloseDelimited,  // no length; the body ends when the connection closes
        Chunked          // "Transfer-Encoding: chunked"
    };

    enum class Fault {
        None,
        Stall,   // send what was promised so far, then nothing; keep the connection open
        Reset,   // abort the connection with a TCP reset
        Close    // close the connection cleanly (FIN) mid-reply
    };

    struct Reply
    {
        int statusCode = 200;
        QByteArray reasonPhrase;            // empty: the usual phrase for the code
        QByteArray body;
        QString bodyFile;                   // when set, the body is streamed from this file
        QList<Header> extraHeaders;
        Framing framing = Framing::ContentLength;
        bool honourRange = false;           // answer "Range: bytes=..." with 206 / 416
        bool keepAlive = true;
        int delayMs = 0;                    // wait before sending anything
        int trickleBytes = 0;               // > 0: send the body in pieces of this size...
        int trickleIntervalMs = 0;          // ...one piece every this many ms
        qint64 trickleFrom = 0;             // body bytes sent at full speed before the trickle
        Fault fault = Fault::None;
        qint64 faultAfter = -1;             // body bytes sent before the fault; -1: before the headers

        static Reply ok(const QByteArray& body = QByteArray());
        static Reply status(int code, const QByteArray& body = QByteArray());
        static Reply file(const QString& path);
        // Accept the request and never answer.
        static Reply silent();

        Reply& header(const QByteArray& name, const QByteArray& value);
        Reply& reason(const QByteArray& phrase);
        Reply& noLength();                  // Framing::CloseDelimited
        Reply& chunked();                   // Framing::Chunked
        Reply& ranges(bool honour = true);
        Reply& closeConnection();           // "Connection: close" after this reply
        Reply& delay(int ms);
        Reply& trickle(int bytes, int everyMs);
        Reply& trickleAfter(qint64 bodyBytes);  // a burst of that many bytes first
        Reply& stallAfter(qint64 bodyBytes);
        Reply& resetAfter(qint64 bodyBytes);   // -1: reset without answering
        Reply& closeAfter(qint64 bodyBytes);   // -1: close without answering
    };

    using Handler = std::function<Reply(const Request&)>;

    enum class HandshakeFault {
        None,
        Stall,   // read the client's first handshake message, then send nothing
        Close    // read it, then close the connection
    };

    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    // Serves every later connection over TLS with this certificate and key.
    void setTls(const QSslCertificate& certificate, const QSslKey& key);
    bool isTls() const;
    void setHandshakeFault(HandshakeFault fault);

    bool isListening() const;
    quint16 port() const;
    // http://127.0.0.1:<port>..., or https:// with TLS on.
    QUrl url(const QString& pathAndQuery = QStringLiteral("/")) const;

    void route(const QString& pathOrTarget, const Reply& reply);
    void handle(const QString& pathOrTarget, const Handler& handler);
    void setFallback(const Reply& reply);
    void clearRoutes();

    QList<Request> requests() const;
    int requestCount() const;
    Request lastRequest() const;
    void clearRequests();
    int connectionCount() const;        // connections accepted so far
    int openConnectionCount() const;    // connections still open (server thread)

    // Closes every open connection at once (a server going away).
    void dropConnections();

signals:
    void requestReceived(const TestHttpServer::Request& request);
    void connectionClosed();            // a client connection has gone (either side)

private:
    friend class TestHttpConnection;
    Reply replyFor(const Request& request);
    void record(const Request& request);
    void onNewConnection();
    // Called for each accepted socket before it is handed out: TLS and faults.
    QTcpSocket* wrapAccepted(qintptr descriptor);

    class Listener;
    Listener* m_server;
    QSslCertificate m_tlsCertificate;
    QSslKey m_tlsKey;
    HandshakeFault m_handshakeFault = HandshakeFault::None;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QHash<QString, Handler> m_routes;
    Handler m_fallback;
    QList<Request> m_requests;
    int m_connections = 0;
    QList<TestHttpConnection*> m_open;
};

Q_DECLARE_METATYPE(TestHttpServer::Request)

#endif // TESTHTTPSERVER_H
