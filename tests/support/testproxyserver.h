#ifndef TESTPROXYSERVER_H
#define TESTPROXYSERVER_H

// A small HTTP proxy for tests on 127.0.0.1 with an ephemeral port, over real sockets:
// requests in absolute form ("GET http://host:port/path") are forwarded, CONNECT opens
// a tunnel (for https). Only the host names it is told are reached, each on 127.0.0.1,
// so a test names its site by a name that only the proxy resolves (the toolkit would
// send a loop-back address past any proxy):
//
//     TestProxyServer proxy;
//     proxy.map("updates.moravel.test");          // -> 127.0.0.1, same port
//     proxy.requireBasic("alice", "secret");      // else 407 with a Basic challenge
//     proxy.setFault(TestProxyServer::Fault::CloseMidBody, 1000);
//     qputenv("http_proxy", proxy.address().toUtf8());
//
// Faults: RefuseConnect answers every CONNECT with 403; CloseMidBody closes the client's
// connection after that many bytes of the response body (forwarded) or of the tunnel's
// answer (CONNECT). Other hosts get 502. Forwarded responses end the connection
// ("Connection: close"). Every request the proxy reads is recorded, refused ones too.
//
// The proxy works in the thread it lives in.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class QTcpServer;
class QTcpSocket;

class TestProxyServer : public QObject
{
    Q_OBJECT

public:
    enum class Fault { None, RefuseConnect, CloseMidBody };

    struct Request
    {
        QByteArray method;          // "GET", "CONNECT", ...
        QByteArray target;          // as sent: absolute URL or host:port
        QByteArray authorization;   // the Proxy-Authorization header, null if none
        int status = 0;             // what the proxy answered itself (407, 403, 502), or 0
    };

    explicit TestProxyServer(QObject* parent = nullptr);
    ~TestProxyServer() override;

    quint16 port() const;
    // http://[user:password@]127.0.0.1:<port>, user and password percent-encoded.
    QString address(const QString& user = QString(), const QString& password = QString()) const;

    void map(const QString& host);
    // Requires "Proxy-Authorization: Basic" with these; an empty user: an open proxy.
    void requireBasic(const QString& user, const QString& password);
    void setFault(Fault fault, qint64 afterBytes = 0);

    QList<Request> requests() const { return m_requests; }
    // Requests answered with 407.
    int challenges() const;
    void clear();

private:
    struct Connection;
    void onNewConnection();
    void onClientData(Connection* c);
    void onUpstreamData(Connection* c);
    bool handleHead(Connection* c, const QByteArray& head);
    void answer(Connection* c, int status, const QByteArray& reason, bool close);
    void sendToClient(Connection* c, const QByteArray& data);
    void finish(Connection* c);

    QTcpServer* m_server;
    QSet<QString> m_hosts;
    QByteArray m_expected;          // "Basic ..." or empty
    Fault m_fault = Fault::None;
    qint64 m_faultAfter = 0;
    QList<Request> m_requests;
    QList<Connection*> m_connections;
};

#endif // TESTPROXYSERVER_H
