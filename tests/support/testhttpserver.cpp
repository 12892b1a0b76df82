#include "testhttpserver.h"
#include "testhttpconnection.h"

#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

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

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
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
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(pathAndQuery));
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
