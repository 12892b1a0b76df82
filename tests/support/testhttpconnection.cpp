#include "testhttpconnection.h"

#include <QFile>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

const int kMaxHeadBytes = 64 * 1024;
const qint64 kPieceBytes = 256 * 1024;
const qint64 kMaxQueuedBytes = 1024 * 1024;

QByteArray reasonFor(int code)
{
    switch (code) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool hasExtraHeader(const QList<TestHttpServer::Header>& headers, const QByteArray& name)
{
    for (const TestHttpServer::Header& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Parses a non-negative decimal number made only of digits.
bool parseCount(const QByteArray& text, qint64* value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    *value = text.toLongLong();
    return true;
}

} // namespace

TestHttpConnection::TestHttpConnection(TestHttpServer* server, QTcpSocket* socket)
    : QObject(server)
    , m_server(server)
    , m_socket(socket)
    , m_timer(new QTimer(this))
{
    m_socket->setParent(this);
    m_timer->setSingleShot(true);
    // Pacing never runs ahead of the interval a test asked for (a coarse timer may
    // fire up to 5% early).
    m_timer->setTimerType(Qt::PreciseTimer);
    m_request.peerPort = m_socket->peerPort();
    connect(m_timer, &QTimer::timeout, this, [this]() {
        m_waitingForTrickle = false;
        pump();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &TestHttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this]() { pump(); });
    connect(m_socket, &QTcpSocket::disconnected, this, &TestHttpConnection::onClosed);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onClosed();
    });
    // Data may have arrived before the signals were connected.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &TestHttpConnection::onReadyRead);
}

TestHttpConnection::~TestHttpConnection()
{
    delete m_bodyFile;
}

void TestHttpConnection::drop()
{
    if (m_state == State::Closed)
        return;
    m_socket->abort();
    onClosed();
}

void TestHttpConnection::onClosed()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_timer->stop();
    m_server->m_mutex.lock();
    m_server->m_open.removeOne(this);
    m_server->m_mutex.unlock();
    emit m_server->connectionClosed();
    deleteLater();
}

void TestHttpConnection::onReadyRead()
{
    if (m_state == State::Closed)
        return;
    m_input.append(m_socket->readAll());
    processInput();
}

void TestHttpConnection::processInput()
{
    if (m_state == State::ReadingHead) {
        // Empty lines before a request line are allowed.
        while (m_input.startsWith("\r\n"))
            m_input.remove(0, 2);
        // A request starts with its method, a word of letters. Anything else (a TLS
        // greeting sent to a plain port, say) is answered at once, as real servers do,
        // instead of waiting for a line that never comes.
        const char first = m_input.isEmpty() ? 'A' : m_input.at(0);
        if (!((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'))) {
            badRequest();
            return;
        }
        const int end = m_input.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_input.size() > kMaxHeadBytes)
                badRequest();
            return;
        }
        const QByteArray head = m_input.left(end);
        m_input.remove(0, end + 4);
        if (!parseHead(head)) {
            badRequest();
            return;
        }
        m_state = State::ReadingBody;
    }
    if (m_state == State::ReadingBody) {
        if (m_input.size() < m_requestBodyLength)
            return;
        m_request.body = m_input.left(static_cast<int>(m_requestBodyLength));
        m_input.remove(0, static_cast<int>(m_requestBodyLength));
        m_state = State::Responding;
        dispatch();
    }
}

bool TestHttpConnection::parseHead(const QByteArray& head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0).isEmpty() || !requestLine.at(1).startsWith('/')
        || !requestLine.at(2).startsWith("HTTP/1.")) {
        return false;
    }
    const quint16 peerPort = m_request.peerPort;
    m_request = TestHttpServer::Request();
    m_request.peerPort = peerPort;
    m_request.method = requestLine.at(0);
    m_request.target = requestLine.at(1);
    m_request.version = requestLine.at(2);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        m_request.headers.append(qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
    }
    m_requestBodyLength = 0;
    const QByteArray length = m_request.header("Content-Length");
    if (!length.isNull() && !parseCount(length, &m_requestBodyLength))
        return false;
    return m_requestBodyLength <= 64 * 1024 * 1024;
}

void TestHttpConnection::dispatch()
{
    m_server->record(m_request);
    prepare(m_server->replyFor(m_request));
    if (m_reply.delayMs > 0)
        QTimer::singleShot(m_reply.delayMs, Qt::PreciseTimer, this, &TestHttpConnection::begin);
    else
        begin();
}

void TestHttpConnection::prepare(const TestHttpServer::Reply& reply)
{
    m_reply = reply;
    m_bodySent = 0;
    m_bodyStart = 0;
    m_waitingForTrickle = false;
    m_headOnly = m_request.method == "HEAD";
    delete m_bodyFile;
    m_bodyFile = nullptr;

    qint64 size = m_reply.body.size();
    if (!m_reply.bodyFile.isEmpty()) {
        m_bodyFile = new QFile(m_reply.bodyFile);
        if (m_bodyFile->open(QIODevice::ReadOnly)) {
            size = m_bodyFile->size();
        } else {
            delete m_bodyFile;
            m_bodyFile = nullptr;
            m_reply.statusCode = 500;
            m_reply.body = "cannot open " + m_reply.bodyFile.toUtf8();
            m_reply.bodyFile.clear();
            size = m_reply.body.size();
        }
    }
    m_bodyLength = size;

    QList<TestHttpServer::Header> headers;
    if (m_reply.honourRange && m_reply.statusCode == 200) {
        headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
        const QByteArray range = m_request.header("Range");
        // One range only; anything else is ignored and the whole body served.
        if (range.startsWith("bytes=") && !range.contains(',')) {
            const QByteArray rangeSet = range.mid(6).trimmed();
            const int dash = rangeSet.indexOf('-');
            qint64 first = 0;
            qint64 last = 0;
            bool valid = false;
            bool satisfiable = false;
            if (dash == 0) {
                qint64 suffix = 0;
                if (parseCount(rangeSet.mid(1), &suffix)) {
                    valid = true;
                    satisfiable = suffix > 0 && size > 0;
                    first = qMax<qint64>(0, size - suffix);
                    last = size - 1;
                }
            } else if (dash > 0 && parseCount(rangeSet.left(dash), &first)) {
                const QByteArray tail = rangeSet.mid(dash + 1);
                if (tail.isEmpty()) {
                    valid = true;
                    last = size - 1;
                } else if (parseCount(tail, &last) && last >= first) {
                    valid = true;
                    last = qMin(last, size - 1);
                }
                satisfiable = valid && first < size;
            }
            if (valid && satisfiable) {
                m_reply.statusCode = 206;
                m_bodyStart = first;
                m_bodyLength = last - first + 1;
                headers.append(qMakePair(QByteArray("Content-Range"),
                                         QByteArray("bytes ") + QByteArray::number(first) + '-'
                                             + QByteArray::number(last) + '/' + QByteArray::number(size)));
            } else if (valid) {
                m_reply.statusCode = 416;
                m_bodyLength = 0;
                headers.append(qMakePair(QByteArray("Content-Range"),
                                         QByteArray("bytes */") + QByteArray::number(size)));
            }
        }
    }
    if (m_bodyFile && m_bodyStart > 0)
        m_bodyFile->seek(m_bodyStart);

    m_closeAfter = !m_reply.keepAlive
        || m_request.header("Connection").compare("close", Qt::CaseInsensitive) == 0
        || m_request.version == "HTTP/1.0";
    switch (m_reply.framing) {
    case TestHttpServer::Framing::ContentLength:
        headers.append(qMakePair(QByteArray("Content-Length"), QByteArray::number(m_bodyLength)));
        break;
    case TestHttpServer::Framing::Chunked:
        headers.append(qMakePair(QByteArray("Transfer-Encoding"), QByteArray("chunked")));
        break;
    case TestHttpServer::Framing::CloseDelimited:
        m_closeAfter = true;
        break;
    }
    if (m_closeAfter)
        headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
    if (!hasExtraHeader(m_reply.extraHeaders, "Content-Type"))
        headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/octet-stream")));
    headers.append(m_reply.extraHeaders);

    const QByteArray reason = m_reply.reasonPhrase.isEmpty() ? reasonFor(m_reply.statusCode) : m_reply.reasonPhrase;
    m_head = "HTTP/1.1 " + QByteArray::number(m_reply.statusCode) + ' ' + reason + "\r\n";
    for (const TestHttpServer::Header& h : headers)
        m_head += h.first + ": " + h.second + "\r\n";
    m_head += "\r\n";
    if (m_headOnly)
        m_bodyLength = 0;
}

void TestHttpConnection::begin()
{
    if (m_state != State::Responding)
        return;
    if (m_reply.fault != TestHttpServer::Fault::None && m_reply.faultAfter < 0) {
        applyFault();
        return;
    }
    m_socket->write(m_head);
    pump();
}

QByteArray TestHttpConnection::readBody(qint64 maxBytes)
{
    if (m_bodyFile)
        return m_bodyFile->read(maxBytes);
    return m_reply.body.mid(static_cast<int>(m_bodyStart + m_bodySent), static_cast<int>(maxBytes));
}

void TestHttpConnection::pump()
{
    if (m_state != State::Responding || m_waitingForTrickle)
        return;
    const bool faulty = m_reply.fault != TestHttpServer::Fault::None;
    const qint64 allowed = faulty ? qMin(m_bodyLength, m_reply.faultAfter) : m_bodyLength;

    while (m_bodySent < allowed) {
        if (m_socket->bytesToWrite() > kMaxQueuedBytes)
            return; // bytesWritten brings us back
        // A chunk is announced with the size it would have had without the fault,
        // so a fault inside the body cuts a chunk in the middle.
        qint64 piece = qMin(m_bodyLength - m_bodySent, kPieceBytes);
        const bool trickling = m_reply.trickleBytes > 0 && m_bodySent >= m_reply.trickleFrom;
        if (trickling)
            piece = qMin<qint64>(piece, m_reply.trickleBytes);
        else if (m_reply.trickleBytes > 0)
            piece = qMin(piece, m_reply.trickleFrom - m_bodySent); // the burst before it
        const qint64 sendable = qMin(piece, allowed - m_bodySent);
        const QByteArray data = readBody(sendable);
        if (data.isEmpty()) {
            // The body source ran dry (file shrank): end like a broken server.
            resetConnection();
            return;
        }
        if (m_reply.framing == TestHttpServer::Framing::Chunked) {
            QByteArray chunk = QByteArray::number(piece, 16) + "\r\n" + data;
            if (data.size() == piece)
                chunk += "\r\n";
            m_socket->write(chunk);
        } else {
            m_socket->write(data);
        }
        m_bodySent += data.size();
        if (trickling && m_bodySent < allowed) {
            m_waitingForTrickle = true;
            m_timer->start(qMax(0, m_reply.trickleIntervalMs));
            return;
        }
    }

    if (faulty) {
        // Whatever was promised so far goes out before the fault.
        if (m_socket->bytesToWrite() > 0)
            return;
        applyFault();
        return;
    }
    bodyDone();
}

void TestHttpConnection::applyFault()
{
    switch (m_reply.fault) {
    case TestHttpServer::Fault::None:
        break;
    case TestHttpServer::Fault::Stall:
        m_state = State::Stalled;
        break;
    case TestHttpServer::Fault::Reset:
        resetConnection();
        break;
    case TestHttpServer::Fault::Close:
        m_state = State::Stalled;
        m_socket->disconnectFromHost();
        break;
    }
}

void TestHttpConnection::resetConnection()
{
    // A zero linger time makes close() send a reset instead of a clean shutdown.
    const qintptr fd = m_socket->socketDescriptor();
    if (fd != -1) {
        struct linger lingerOff;
        lingerOff.l_onoff = 1;
        lingerOff.l_linger = 0;
        ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &lingerOff, sizeof(lingerOff));
    }
    m_socket->abort();
    onClosed();
}

void TestHttpConnection::bodyDone()
{
    if (m_reply.framing == TestHttpServer::Framing::Chunked && !m_headOnly)
        m_socket->write("0\r\n\r\n");
    finishReply();
}

void TestHttpConnection::finishReply()
{
    delete m_bodyFile;
    m_bodyFile = nullptr;
    if (m_closeAfter) {
        m_state = State::Stalled;
        m_socket->disconnectFromHost(); // sends what is queued, then closes
        return;
    }
    m_state = State::ReadingHead;
    if (!m_input.isEmpty())
        processInput();
}

void TestHttpConnection::badRequest()
{
    m_state = State::Stalled;
    m_socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    m_socket->disconnectFromHost();
}
