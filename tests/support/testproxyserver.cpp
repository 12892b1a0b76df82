#include "testproxyserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

struct TestProxyServer::Connection
{
    QTcpSocket* client = nullptr;
    QTcpSocket* upstream = nullptr;
    QByteArray input;               // from the client, before the tunnel or forward
    QByteArray pending;             // for the upstream, until it is connected
    bool tunnel = false;
    bool headForwarded = false;     // a forwarded response's head has gone to the client
    QByteArray response;            // a forwarded response's head as it comes in
    qint64 bodyBytes = 0;           // body (or tunnel) bytes sent to the client
    bool done = false;
};

TestProxyServer::TestProxyServer(QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestProxyServer::onNewConnection);
    m_server->listen(QHostAddress::LocalHost, 0);
}

TestProxyServer::~TestProxyServer()
{
    for (Connection* c : qAsConst(m_connections)) {
        if (c->upstream)
            c->upstream->disconnect(this);
        c->client->disconnect(this);
        delete c;
    }
}

quint16 TestProxyServer::port() const
{
    return m_server->serverPort();
}

QString TestProxyServer::address(const QString& user, const QString& password) const
{
    QString credentials;
    if (!user.isEmpty())
        credentials = QString::fromUtf8(QUrl::toPercentEncoding(user) + ':' + QUrl::toPercentEncoding(password))
                      + QLatin1Char('@');
    return QStringLiteral("http://") + credentials + QStringLiteral("127.0.0.1:") + QString::number(port());
}

void TestProxyServer::map(const QString& host)
{
    m_hosts.insert(host.toLower());
}

void TestProxyServer::requireBasic(const QString& user, const QString& password)
{
    m_expected = user.isEmpty() ? QByteArray() : "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

void TestProxyServer::setFault(Fault fault, qint64 afterBytes)
{
    m_fault = fault;
    m_faultAfter = afterBytes;
}

int TestProxyServer::challenges() const
{
    int n = 0;
    for (const Request& r : m_requests)
        n += r.status == 407 ? 1 : 0;
    return n;
}

void TestProxyServer::clear()
{
    m_requests.clear();
}

void TestProxyServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto* c = new Connection;
        c->client = socket;
        socket->setParent(this);
        m_connections.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c]() { onClientData(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c]() { finish(c); });
    }
}

void TestProxyServer::onClientData(Connection* c)
{
    const QByteArray data = c->client->readAll();
    if (c->done)
        return;
    if (c->upstream) {
        if (c->upstream->state() == QAbstractSocket::ConnectedState)
            c->upstream->write(data);
        else
            c->pending += data;
        return;
    }
    c->input += data;
    // Requests answered by the proxy itself (407) may follow each other on one connection.
    while (!c->upstream && !c->done) {
        const int end = c->input.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = c->input.left(end + 4);
        c->input.remove(0, end + 4);
        if (!handleHead(c, head))
            return;
    }
}

bool TestProxyServer::handleHead(Connection* c, const QByteArray& head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    QByteArray forwardedHead;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        if (name == "proxy-authorization")
            request.authorization = line.mid(colon + 1).trimmed();
        else if (name != "proxy-connection" && name != "connection")
            forwardedHead += line + "\r\n";
    }
    m_requests.append(request);
    Request& recorded = m_requests.last();

    if (!m_expected.isEmpty() && request.authorization != m_expected) {
        recorded.status = 407;
        answer(c, 407, "Proxy Authentication Required", false);
        return true;
    }
    QString host;
    quint16 port = 80;
    QByteArray originForm;
    const bool connectMethod = request.method == "CONNECT";
    if (connectMethod) {
        const int colon = request.target.lastIndexOf(':');
        host = QString::fromUtf8(request.target.left(colon));
        port = static_cast<quint16>(request.target.mid(colon + 1).toUInt());
    } else {
        const QUrl url(QString::fromUtf8(request.target));
        host = url.host();
        port = static_cast<quint16>(url.port(80));
        originForm = url.path(QUrl::FullyEncoded).toUtf8();
        if (url.hasQuery())
            originForm += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    }
    if (connectMethod && m_fault == Fault::RefuseConnect) {
        recorded.status = 403;
        answer(c, 403, "Forbidden", true);
        return false;
    }
    if (!m_hosts.contains(host.toLower())) {
        recorded.status = 502;
        answer(c, 502, "Bad Gateway", true);
        return false;
    }

    c->upstream = new QTcpSocket(this);
    c->tunnel = connectMethod;
    if (!connectMethod)
        c->pending = request.method + ' ' + originForm + ' ' + requestLine.value(2) + "\r\n" + forwardedHead
                     + "Connection: close\r\n\r\n";
    c->pending += c->input;
    c->input.clear();
    connect(c->upstream, &QTcpSocket::connected, this, [this, c]() {
        if (c->tunnel)
            c->client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        c->upstream->write(c->pending);
        c->pending.clear();
    });
    connect(c->upstream, &QTcpSocket::readyRead, this, [this, c]() { onUpstreamData(c); });
    connect(c->upstream, &QTcpSocket::disconnected, this, [this, c]() { finish(c); });
    connect(c->upstream, &QTcpSocket::errorOccurred, this, [this, c](QAbstractSocket::SocketError) {
        if (c->upstream->state() != QAbstractSocket::ConnectedState)
            finish(c);
    });
    c->upstream->connectToHost(QHostAddress::LocalHost, port);
    return false;
}

void TestProxyServer::onUpstreamData(Connection* c)
{
    QByteArray data = c->upstream->readAll();
    if (c->done)
        return;
    if (!c->tunnel && !c->headForwarded) {
        c->response += data;
        const int end = c->response.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        // The connection ends with this response.
        QByteArray head = c->response.left(end);
        data = c->response.mid(end + 4);
        QByteArray kept;
        for (const QByteArray& line : head.split('\n'))
            if (!line.trimmed().toLower().startsWith("connection:"))
                kept += line.trimmed() + "\r\n";
        c->client->write(kept + "Connection: close\r\n\r\n");
        c->headForwarded = true;
    }
    sendToClient(c, data);
}

void TestProxyServer::sendToClient(Connection* c, const QByteArray& data)
{
    if (m_fault == Fault::CloseMidBody && c->bodyBytes + data.size() > m_faultAfter) {
        c->client->write(data.left(qMax<qint64>(0, m_faultAfter - c->bodyBytes)));
        c->client->flush();
        finish(c);
        return;
    }
    c->bodyBytes += data.size();
    c->client->write(data);
}

void TestProxyServer::answer(Connection* c, int status, const QByteArray& reason, bool close)
{
    QByteArray reply = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Length: 0\r\n";
    if (status == 407)
        reply += "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n";
    reply += close ? "Connection: close\r\n\r\n" : "\r\n";
    c->client->write(reply);
    if (close)
        finish(c);
}

void TestProxyServer::finish(Connection* c)
{
    if (c->done)
        return;
    c->done = true;
    // What the upstream still had goes to the client before both are closed.
    if (c->upstream && c->upstream->bytesAvailable() > 0 && c->client->state() == QAbstractSocket::ConnectedState) {
        const QByteArray rest = c->upstream->readAll();
        if (!(m_fault == Fault::CloseMidBody))
            c->client->write(rest);
    }
    c->client->disconnectFromHost();
    if (c->upstream)
        c->upstream->disconnectFromHost();
}
