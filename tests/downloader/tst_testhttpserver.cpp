// The test server itself, seen from a raw socket: what it puts on the wire for each
// kind of reply, and what it records. Other test areas build on these behaviours.

#include "testcertificates.h"
#include "testhttpserver.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Response
{
    bool complete = false;
    int status = 0;
    QList<TestHttpServer::Header> headers;
    QByteArray body;
    qint64 consumed = 0; // bytes of the buffer this response took

    QByteArray header(const QByteArray& name) const
    {
        for (const auto& h : headers) {
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        }
        return QByteArray();
    }
};

// Parses one response from the start of buf; bodies framed by Content-Length or
// chunked are complete once fully present, others once closed is true.
Response parseResponse(const QByteArray& buf, bool closed, bool headRequest = false)
{
    Response r;
    const int headEnd = buf.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return r;
    const QList<QByteArray> lines = buf.left(headEnd).split('\n');
    r.status = lines.value(0).split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        r.headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
    }
    int pos = headEnd + 4;
    if (headRequest) {
        r.complete = true;
    } else if (r.header("Transfer-Encoding") == "chunked") {
        for (;;) {
            const int lineEnd = buf.indexOf("\r\n", pos);
            if (lineEnd < 0)
                return r;
            bool ok = false;
            const int size = buf.mid(pos, lineEnd - pos).toInt(&ok, 16);
            if (!ok || buf.size() < lineEnd + 2 + size + 2)
                return r;
            if (size == 0) {
                pos = lineEnd + 4;
                r.complete = true;
                break;
            }
            r.body += buf.mid(lineEnd + 2, size);
            pos = lineEnd + 2 + size + 2;
        }
    } else if (!r.header("Content-Length").isNull()) {
        const int length = r.header("Content-Length").toInt();
        r.body = buf.mid(pos, length);
        r.complete = r.body.size() == length;
        pos += r.body.size();
    } else {
        r.body = buf.mid(pos);
        r.complete = closed;
        pos = buf.size();
    }
    r.consumed = pos;
    return r;
}

// A client socket driven by the event loop (the server runs in this thread too).
class Client
{
public:
    explicit Client(quint16 port)
        : m_readSpy(&m_socket, &QTcpSocket::readyRead)
        , m_closedSpy(&m_socket, &QTcpSocket::disconnected)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray& data) { m_socket.write(data); }
    // Runs the loop until pred(buffer) holds, the peer closes, or the time is up.
    bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            m_buffer += m_socket.readAll();
            if (pred())
                return true;
            if (isClosed() || clock.elapsed() > timeoutMs)
                return false;
            m_readSpy.wait(50);
        }
    }
    Response response(bool headRequest = false)
    {
        waitUntil([&]() { return parseResponse(m_buffer, isClosed(), headRequest).complete; });
        m_buffer += m_socket.readAll();
        const Response r = parseResponse(m_buffer, isClosed(), headRequest);
        m_buffer.remove(0, static_cast<int>(r.consumed));
        return r;
    }
    bool waitForClose(int timeoutMs = 10000)
    {
        waitUntil([&]() { return false; }, timeoutMs);
        return isClosed();
    }
    bool isClosed() const
    {
        return m_closedSpy.count() > 0 || m_socket.state() == QAbstractSocket::UnconnectedState;
    }
    QByteArray& buffer() { return m_buffer; }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QSignalSpy m_readSpy;
    QSignalSpy m_closedSpy;
    QByteArray m_buffer;
};

QByteArray get(const QByteArray& target, const QByteArray& extra = QByteArray())
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

} // namespace

class TestTestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void routesAndFallback();
    void recordsRequests();
    void keepsConnectionAlive();
    void ranges_data();
    void ranges();
    void framing();
    void servesFileBodies();
    void headRequestGetsNoBody();
    void faults();
    void silentAndStalledKeepConnectionOpen();
    void tlsAndHandshakeFaults();
    void nonRequestIsAnsweredAtOnce();
};

void TestTestHttpServer::routesAndFallback()
{
    TestHttpServer server;
    QVERIFY(server.isListening());
    QVERIFY(server.port() != 0);
    QCOMPARE(server.url("/a?b=1").toString(), QStringLiteral("http://127.0.0.1:%1/a?b=1").arg(server.port()));

    server.route("/file", TestHttpServer::Reply::ok("by path"));
    server.route("/file?v=2", TestHttpServer::Reply::ok("by target"));
    server.handle("/echo", [](const TestHttpServer::Request& r) {
        return TestHttpServer::Reply::status(201, r.query()).header("X-Method", r.method);
    });

    Client c(server.port());
    c.send(get("/file?v=1"));
    Response r = c.response();
    QCOMPARE(r.status, 200);
    QCOMPARE(r.body, QByteArray("by path"));

    c.send(get("/file?v=2"));
    QCOMPARE(c.response().body, QByteArray("by target"));

    c.send(get("/echo?x=y"));
    r = c.response();
    QCOMPARE(r.status, 201);
    QCOMPARE(r.body, QByteArray("x=y"));
    QCOMPARE(r.header("X-Method"), QByteArray("GET"));

    c.send(get("/nothing"));
    QCOMPARE(c.response().status, 404);

    server.setFallback(TestHttpServer::Reply::status(503, "busy"));
    c.send(get("/nothing"));
    r = c.response();
    QCOMPARE(r.status, 503);
    QCOMPARE(r.body, QByteArray("busy"));

    server.clearRoutes();
    c.send(get("/file"));
    QCOMPARE(c.response().status, 503);
}

void TestTestHttpServer::recordsRequests()
{
    TestHttpServer server;
    server.setFallback(TestHttpServer::Reply::ok());
    QSignalSpy received(&server, &TestHttpServer::requestReceived);

    Client c(server.port());
    c.send("POST /up?k=v HTTP/1.1\r\nHost: here\r\nX-One: 1\r\nrange: bytes=5-\r\nContent-Length: 4\r\n\r\nbody");
    QCOMPARE(c.response().status, 200);

    QCOMPARE(server.requestCount(), 1);
    const TestHttpServer::Request r = server.lastRequest();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray("/up?k=v"));
    QCOMPARE(r.path(), QByteArray("/up"));
    QCOMPARE(r.query(), QByteArray("k=v"));
    QCOMPARE(r.version, QByteArray("HTTP/1.1"));
    QCOMPARE(r.body, QByteArray("body"));
    QCOMPARE(r.headers.size(), 4);
    QCOMPARE(r.headers.at(1), qMakePair(QByteArray("X-One"), QByteArray("1")));
    QCOMPARE(r.header("Range"), QByteArray("bytes=5-")); // names compare without case
    QVERIFY(!r.hasHeader("Cookie"));
    QVERIFY(r.header("Cookie").isNull());
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).value<TestHttpServer::Request>().target, QByteArray("/up?k=v"));

    server.clearRequests();
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(server.lastRequest().method, QByteArray());
}

void TestTestHttpServer::keepsConnectionAlive()
{
    TestHttpServer server;
    server.route("/a", TestHttpServer::Reply::ok("first"));
    server.route("/b", TestHttpServer::Reply::ok("second"));
    server.route("/last", TestHttpServer::Reply::ok("bye").closeConnection());

    Client c(server.port());
    // Two requests sent back to back are answered in order on the same connection.
    c.send(get("/a") + get("/b"));
    QCOMPARE(c.response().body, QByteArray("first"));
    QCOMPARE(c.response().body, QByteArray("second"));
    c.send(get("/last"));
    const Response r = c.response();
    QCOMPARE(r.body, QByteArray("bye"));
    QCOMPARE(r.header("Connection"), QByteArray("close"));
    QVERIFY(c.waitForClose());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.requests().at(0).peerPort, server.requests().at(2).peerPort);
}

void TestTestHttpServer::ranges_data()
{
    QTest::addColumn<bool>("honour");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentRange");

    QTest::newRow("from offset") << true << QByteArray("bytes=4-") << 206 << QByteArray("456789") << QByteArray("bytes 4-9/10");
    QTest::newRow("closed range") << true << QByteArray("bytes=2-4") << 206 << QByteArray("234") << QByteArray("bytes 2-4/10");
    QTest::newRow("end past size") << true << QByteArray("bytes=8-100") << 206 << QByteArray("89") << QByteArray("bytes 8-9/10");
    QTest::newRow("suffix") << true << QByteArray("bytes=-3") << 206 << QByteArray("789") << QByteArray("bytes 7-9/10");
    QTest::newRow("from zero") << true << QByteArray("bytes=0-") << 206 << QByteArray("0123456789") << QByteArray("bytes 0-9/10");
    QTest::newRow("start past end") << true << QByteArray("bytes=10-") << 416 << QByteArray() << QByteArray("bytes */10");
    QTest::newRow("malformed is ignored") << true << QByteArray("bytes=x-") << 200 << QByteArray("0123456789") << QByteArray();
    QTest::newRow("several ranges are ignored") << true << QByteArray("bytes=0-1,3-4") << 200 << QByteArray("0123456789") << QByteArray();
    QTest::newRow("not honoured") << false << QByteArray("bytes=4-") << 200 << QByteArray("0123456789") << QByteArray();
}

void TestTestHttpServer::ranges()
{
    QFETCH(bool, honour);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentRange);

    TestHttpServer server;
    server.route("/r", TestHttpServer::Reply::ok("0123456789").ranges(honour));
    Client c(server.port());
    c.send(get("/r", "Range: " + range + "\r\n"));
    const Response r = c.response();
    QCOMPARE(r.status, status);
    QCOMPARE(r.body, body);
    QCOMPARE(r.header("Content-Range"), contentRange);
    QCOMPARE(r.header("Accept-Ranges").isNull(), !honour);
}

void TestTestHttpServer::framing()
{
    const QByteArray body = QByteArray("abcdefghij").repeated(100);
    TestHttpServer server;
    server.route("/chunked", TestHttpServer::Reply::ok(body).chunked().trickle(300, 1));
    server.route("/close", TestHttpServer::Reply::ok(body).noLength());
    server.route("/slow", TestHttpServer::Reply::ok(body).trickle(100, 5).delay(10));
    server.route("/burst", TestHttpServer::Reply::ok(body).trickle(25, 300).trickleAfter(950));

    {
        Client c(server.port());
        c.send(get("/chunked"));
        const Response r = c.response();
        QVERIFY(r.complete);
        QCOMPARE(r.body, body);
        QVERIFY(r.header("Content-Length").isNull());
        // Nothing follows the last chunk.
        QVERIFY(c.buffer().isEmpty());
    }
    {
        Client c(server.port());
        c.send(get("/close"));
        QVERIFY(c.waitForClose());
        const Response r = c.response();
        QVERIFY(r.header("Content-Length").isNull());
        QCOMPARE(r.body, body);
    }
    {
        Client c(server.port());
        c.send(get("/slow"));
        const Response r = c.response();
        QCOMPARE(r.header("Content-Length"), QByteArray("1000"));
        QCOMPARE(r.body, body);
    }
    {
        // The burst comes at once; the rest only a piece per interval after it.
        Client c(server.port());
        QElapsedTimer clock;
        clock.start();
        c.send(get("/burst"));
        QVERIFY(c.waitUntil([&]() { return parseResponse(c.buffer(), false).body.size() >= 950; }));
        QVERIFY(!parseResponse(c.buffer(), false).complete);
        const Response r = c.response();
        // The two pieces after the burst are paced: the second one cannot come before
        // a whole interval has passed.
        QVERIFY(clock.elapsed() >= 300);
        QCOMPARE(r.body, body);
    }
}

void TestTestHttpServer::servesFileBodies()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray content;
    for (int i = 0; i < 200000; ++i)
        content += char('a' + i % 26);
    const QString body = dir.filePath("body.bin");
    QVERIFY(TestUtil::writeFile(body, content));

    TestHttpServer server;
    server.route("/f", TestHttpServer::Reply::file(body).ranges());
    server.route("/missing", TestHttpServer::Reply::file(dir.filePath("nope")));
    Client c(server.port());
    c.send(get("/f"));
    QCOMPARE(c.response().body, content);
    c.send(get("/f", "Range: bytes=199990-\r\n"));
    Response r = c.response();
    QCOMPARE(r.status, 206);
    QCOMPARE(r.body, content.mid(199990));
    c.send(get("/missing"));
    QCOMPARE(c.response().status, 500);
}

void TestTestHttpServer::headRequestGetsNoBody()
{
    TestHttpServer server;
    server.route("/h", TestHttpServer::Reply::ok("twelve bytes"));
    Client c(server.port());
    c.send("HEAD /h HTTP/1.1\r\nHost: x\r\n\r\n");
    const Response r = c.response(true);
    QCOMPARE(r.status, 200);
    QCOMPARE(r.header("Content-Length"), QByteArray("12"));
    // The next answer on the connection follows the head directly.
    c.send(get("/h"));
    QCOMPARE(c.response().body, QByteArray("twelve bytes"));
}

void TestTestHttpServer::faults()
{
    const QByteArray body = QByteArray("0123456789").repeated(1000);
    TestHttpServer server;
    server.route("/close", TestHttpServer::Reply::ok(body).closeAfter(1234));
    server.route("/close0", TestHttpServer::Reply::ok(body).closeAfter(-1));
    server.route("/reset0", TestHttpServer::Reply::ok(body).resetAfter(-1));
    server.route("/chunkcut", TestHttpServer::Reply::ok(body).chunked().closeAfter(500));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    {
        // Headers and exactly the promised part of the body, then a clean close.
        Client c(server.port());
        c.send(get("/close"));
        QVERIFY(c.waitForClose());
        const Response r = parseResponse(c.buffer(), true);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.header("Content-Length"), QByteArray("10000"));
        QVERIFY(!r.complete);
        QCOMPARE(c.buffer().mid(c.buffer().indexOf("\r\n\r\n") + 4), body.left(1234));
    }
    {
        // A chunk announced in full and cut inside.
        Client c(server.port());
        c.send(get("/chunkcut"));
        QVERIFY(c.waitForClose());
        const QByteArray rest = c.buffer().mid(c.buffer().indexOf("\r\n\r\n") + 4);
        QCOMPARE(rest, QByteArray("2710\r\n") + body.left(500));
    }
    for (const char* path : {"/close0", "/reset0"}) {
        Client c(server.port());
        c.send(get(path));
        QVERIFY(c.waitForClose());
        QCOMPARE(c.buffer(), QByteArray());
    }
    QCOMPARE(server.requestCount(), 4);
    while (closed.count() < 4)
        QVERIFY(closed.wait(5000));
    QCOMPARE(server.openConnectionCount(), 0);
}

void TestTestHttpServer::silentAndStalledKeepConnectionOpen()
{
    const QByteArray body = QByteArray("x").repeated(5000);
    TestHttpServer server;
    server.route("/silent", TestHttpServer::Reply::silent());
    server.route("/stall", TestHttpServer::Reply::ok(body).stallAfter(100));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    Client silent(server.port());
    silent.send(get("/silent"));
    Client stalled(server.port());
    stalled.send(get("/stall"));
    QVERIFY(stalled.waitUntil([&]() { return parseResponse(stalled.buffer(), false).body.size() == 100; }));
    QVERIFY(!silent.waitForClose(300));
    QVERIFY(!stalled.waitForClose(300));
    QCOMPARE(silent.buffer(), QByteArray());
    QCOMPARE(parseResponse(stalled.buffer(), false).body, body.left(100));
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(server.openConnectionCount(), 2);

    // The server can still drop them.
    server.dropConnections();
    QVERIFY(silent.waitForClose());
    QVERIFY(stalled.waitForClose());
    QCOMPARE(server.openConnectionCount(), 0);
    QCOMPARE(closed.count(), 2);
}

void TestTestHttpServer::tlsAndHandshakeFaults()
{
    QTemporaryDir dir;
    TestCertificates pki(dir.filePath(QStringLiteral("pki")));
    QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
    TestHttpServer server;
    server.setTls(pki.certificate(QStringLiteral("server")), pki.key(QStringLiteral("server")));
    server.route("/a", TestHttpServer::Reply::ok("over tls"));
    QCOMPARE(server.url("/a").scheme(), QStringLiteral("https"));

    // The server runs in this thread: every wait runs the event loop.
    const auto connectTls = [&](QSslSocket* socket) {
        QSslConfiguration tls = socket->sslConfiguration();
        tls.setCaCertificates({ pki.authority() });
        socket->setSslConfiguration(tls);
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    };
    {
        QSslSocket socket;
        QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
        connectTls(&socket);
        QVERIFY2(encrypted.wait(10000), qPrintable(socket.errorString()));
        QCOMPARE(socket.peerCertificate(), pki.certificate(QStringLiteral("server")));
        socket.write(get("/a"));
        QByteArray buf;
        QSignalSpy readable(&socket, &QSslSocket::readyRead);
        QElapsedTimer clock;
        clock.start();
        while (!parseResponse(buf, false).complete && clock.elapsed() < 10000) {
            readable.wait(100);
            buf += socket.readAll();
        }
        const Response r = parseResponse(buf, false);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.body, QByteArray("over tls"));
        QCOMPARE(server.lastRequest().path(), QByteArray("/a"));
    }
    {
        // Stall: the hello is taken, then nothing; the connection stays open until
        // the client gives up, which the server reports.
        server.setHandshakeFault(TestHttpServer::HandshakeFault::Stall);
        QSignalSpy closed(&server, &TestHttpServer::connectionClosed);
        QSslSocket socket;
        QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
        connectTls(&socket);
        QVERIFY(!encrypted.wait(500));
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
        QVERIFY(!socket.isEncrypted());
        // (The connection of the block before has normally gone by now; if it goes
        // only now, it cannot make up for this one alone, as each counts once.)
        const int open = server.openConnectionCount();
        const int before = closed.count();
        socket.abort();
        QTRY_VERIFY_WITH_TIMEOUT(closed.count() >= before + 1 + open, 10000);
    }
    {
        // Close: the hello is taken, then the connection goes.
        server.setHandshakeFault(TestHttpServer::HandshakeFault::Close);
        QSslSocket socket;
        QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
        connectTls(&socket);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(encrypted.count(), 0);
    }
    QCOMPARE(server.requestCount(), 1);
}

void TestTestHttpServer::nonRequestIsAnsweredAtOnce()
{
    // A TLS greeting (a handshake record) at a plain port: 400 and a close at once,
    // without waiting for a line end that would never come.
    TestHttpServer server;
    server.setFallback(TestHttpServer::Reply::ok("served"));
    Client c(server.port());
    c.send(QByteArray("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11));
    const Response r = c.response();
    QCOMPARE(r.status, 400);
    QVERIFY(c.waitForClose());
    QCOMPARE(server.requestCount(), 0);

    // Leading empty lines before a request are still allowed.
    Client ok(server.port());
    ok.send("\r\n" + get("/a"));
    QCOMPARE(ok.response().body, QByteArray("served"));
    QCOMPARE(server.requestCount(), 1);
}

QTEST_GUILESS_MAIN(TestTestHttpServer)
#include "tst_testhttpserver.moc"
