#include "testhttpserver.h"
#include "testhttpconnection.h"

#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSslSocket>

// ---- Request ----

QByteArray TestHttpServer::Request::path() const
{
    const int q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

QByteArray TestHttpServer::Request::query() const
{
    const int q = target.indexOf('?');
    return q < 0 ? QByteArray() : target.mid(q + 1);
}

bool TestHttpServer::Request::hasHeader(const QByteArray& name) const
{
    return !header(name).isNull();
}

QByteArray TestHttpServer::Request::header(const QByteArray& name) const
{
    for (const Header& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second.isNull() ? QByteArray("") : h.second;
    }
    return QByteArray();
}

// ---- Reply ----

TestHttpServer::Reply TestHttpServer::Reply::ok(const QByteArray& body)
{
    Reply r;
    r.body = body;
    return r;
}

TestHttpServer::Reply TestHttpServer::Reply::status(int code, const QByteArray& body)
{
    Reply r;
    r.statusCode = code;
    r.body = body;
    return r;
}

TestHttpServer::Reply TestHttpServer::Reply::file(const QString& path)
{
    Reply r;
    r.bodyFile = path;
    return r;
}

TestHttpServer::Reply TestHttpServer::Reply::silent()
{
    Reply r;
    r.fault = Fault::Stall;
    r.faultAfter = -1;
    return r;
}

TestHttpServer::Reply& TestHttpServer::Reply::header(const QByteArray& name, const QByteArray& value)
{
    extraHeaders.append(qMakePair(name, value));
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::reason(const QByteArray& phrase)
{
    reasonPhrase = phrase;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::noLength()
{
    framing = Framing::CloseDelimited;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::chunked()
{
    framing = Framing::Chunked;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::ranges(bool honour)
{
    honourRange = honour;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::closeConnection()
{
    keepAlive = false;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::delay(int ms)
{
    delayMs = ms;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::trickle(int bytes, int everyMs)
{
    trickleBytes = bytes;
    trickleIntervalMs = everyMs;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::trickleAfter(qint64 bodyBytes)
{
    trickleFrom = bodyBytes;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::stallAfter(qint64 bodyBytes)
{
    fault = Fault::Stall;
    faultAfter = bodyBytes;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::resetAfter(qint64 bodyBytes)
{
    fault = Fault::Reset;
    faultAfter = bodyBytes;
    return *this;
}

TestHttpServer::Reply& TestHttpServer::Reply::closeAfter(qint64 bodyBytes)
{
    fault = Fault::Close;
    faultAfter = bodyBytes;
    return *this;
}

// ---- TestHttpServer ----

// Accepts connections through the owning server, so that each one can be made a TLS
// socket (or a handshake that goes nowhere) before it is handed out.
class TestHttpServer::Listener : public QTcpServer
{
public:
    explicit Listener(TestHttpServer* owner)
        : QTcpServer(owner)
        , m_owner(owner)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (QTcpSocket* socket = m_owner->wrapAccepted(descriptor))
            addPendingConnection(socket);
    }

private:
    TestHttpServer* m_owner;
};

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
    , m_server(new Listener(this))
{
    qRegisterMetaType<TestHttpServer::Request>();
    setFallback(Reply::status(404, "Not Found"));
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
    if (m_server->listen(QHostAddress::LocalHost, 0))
        m_port = m_server->serverPort();
    else
        qWarning("TestHttpServer: cannot listen: %s", qPrintable(m_server->errorString()));
}

TestHttpServer::~TestHttpServer()
{
    m_server->close();
    // Open connections go first, while the records they report to still exist.
    m_mutex.lock();
    const QList<TestHttpConnection*> open = m_open;
    m_open.clear();
    m_mutex.unlock();
    qDeleteAll(open);
}

bool TestHttpServer::isListening() const
{
    return m_port != 0;
}

quint16 TestHttpServer::port() const
{
    return m_port;
}

QUrl TestHttpServer::url(const QString& pathAndQuery) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                    .arg(isTls() ? QStringLiteral("https") : QStringLiteral("http"))
                    .arg(m_port)
                    .arg(pathAndQuery));
}

void TestHttpServer::setTls(const QSslCertificate& certificate, const QSslKey& key)
{
    QMutexLocker lock(&m_mutex);
    m_tlsCertificate = certificate;
    m_tlsKey = key;
}

bool TestHttpServer::isTls() const
{
    QMutexLocker lock(&m_mutex);
    return !m_tlsCertificate.isNull();
}

void TestHttpServer::setHandshakeFault(HandshakeFault fault)
{
    QMutexLocker lock(&m_mutex);
    m_handshakeFault = fault;
}

QTcpSocket* TestHttpServer::wrapAccepted(qintptr descriptor)
{
    m_mutex.lock();
    const HandshakeFault fault = m_handshakeFault;
    const QSslCertificate certificate = m_tlsCertificate;
    const QSslKey key = m_tlsKey;
    m_mutex.unlock();

    if (fault != HandshakeFault::None) {
        // The client's hello is read and answered with nothing, or with a close. The
        // socket stays with the server and never becomes a connection.
        QTcpSocket* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return nullptr;
        }
        connect(socket, &QTcpSocket::readyRead, socket, [socket, fault]() {
            socket->readAll();
            if (fault == HandshakeFault::Close)
                socket->abort();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::disconnected, this, &TestHttpServer::connectionClosed);
        QMutexLocker lock(&m_mutex);
        ++m_connections;
        return nullptr;
    }
    if (certificate.isNull()) {
        QTcpSocket* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return nullptr;
        }
        return socket;
    }
    QSslSocket* socket = new QSslSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return nullptr;
    }
    socket->setLocalCertificate(certificate);
    socket->setPrivateKey(key);
    socket->setProtocol(QSsl::TlsV1_2OrLater);
    socket->startServerEncryption();
    return socket;
}

void TestHttpServer::route(const QString& pathOrTarget, const Reply& reply)
{
    handle(pathOrTarget, [reply](const Request&) { return reply; });
}

void TestHttpServer::handle(const QString& pathOrTarget, const Handler& handler)
{
    QMutexLocker lock(&m_mutex);
    m_routes.insert(pathOrTarget, handler);
}

void TestHttpServer::setFallback(const Reply& reply)
{
    QMutexLocker lock(&m_mutex);
    m_fallback = [reply](const Request&) { return reply; };
}

void TestHttpServer::clearRoutes()
{
    QMutexLocker lock(&m_mutex);
    m_routes.clear();
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int TestHttpServer::requestCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests.size();
}

TestHttpServer::Request TestHttpServer::lastRequest() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests.isEmpty() ? Request() : m_requests.last();
}

void TestHttpServer::clearRequests()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

int TestHttpServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

int TestHttpServer::openConnectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_open.size();
}

void TestHttpServer::dropConnections()
{
    m_mutex.lock();
    const QList<TestHttpConnection*> open = m_open;
    m_mutex.unlock();
    for (TestHttpConnection* c : open)
        c->drop();
}

TestHttpServer::Reply TestHttpServer::replyFor(const Request& request)
{
    Handler handler;
    {
        QMutexLocker lock(&m_mutex);
        handler = m_routes.value(QString::fromLatin1(request.target));
        if (!handler)
            handler = m_routes.value(QString::fromLatin1(request.path()));
        if (!handler)
            handler = m_fallback;
    }
    // Outside the lock: a handler may use the server.
    return handler(request);
}

void TestHttpServer::record(const Request& request)
{
    {
        QMutexLocker lock(&m_mutex);
        m_requests.append(request);
    }
    emit requestReceived(request);
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        TestHttpConnection* connection = new TestHttpConnection(this, socket);
        QMutexLocker lock(&m_mutex);
        ++m_connections;
        m_open.append(connection);
    }
}
