// The HTTP downloader against a real HTTP server on 127.0.0.1 (TestHttpServer).
// The watchdogs run with a short interval here; waits only go through QSignalSpy.
//
// Tests with a "scheme" column run once over http and once over https: the server
// then speaks TLS with a certificate of a throw-away authority that this process
// trusts (TestCertificates), and the same behaviour must hold over both.

#include "logcapture.h"
#include "qhttpdownloads.h"
#include "syncprobe.h"
#include "testcertificates.h"
#include "testhttpserver.h"
#include "testutil.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestUtil;

namespace {

// The watchdogs' interval where a test waits for one to fire; every other transfer
// runs with the product's, so a slow machine's handshake never trips them.
const int kWatchdogMs = 400;
// The slow-transfer rule's window where a test shortens it.
const int kSlowWindowMs = 1500;
// Long enough for any transfer of these tests, short enough to fail fast.
const int kEndTimeoutMs = 20000;

QByteArray patternBody(int size)
{
    QByteArray body(size, Qt::Uninitialized);
    quint32 x = 0x12345678u + static_cast<quint32>(size);
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        body[i] = static_cast<char>(x >> 24);
    }
    return body;
}

// What stands at path, without following a link: 'f' a regular file with the given
// number of names, 'l' a link, 'd' a directory, '-' nothing.
char entryKind(const QString& path, nlink_t* links = nullptr)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return '-';
    if (links)
        *links = st.st_nlink;
    if (S_ISLNK(st.st_mode))
        return 'l';
    if (S_ISDIR(st.st_mode))
        return 'd';
    return S_ISREG(st.st_mode) ? 'f' : '?';
}

// What readFile gives for a file that is not there: never an empty file's contents.
const QByteArray kMissing("<missing>");

// A downloader whose clock the test sets.
class ClockedDownloader : public QHttpDownLoadS
{
public:
    using QHttpDownLoadS::QHttpDownLoadS;
    qint64 now = 0;

protected:
    qint64 currentMSecsSinceEpoch() const override { return now; }
};

// Both result signals of one downloader.
struct Outcome
{
    explicit Outcome(QHttpDownLoadS* d)
        : ok(d, &QHttpDownLoadS::oneDownLoadFinish)
        , error(d, &QHttpDownLoadS::errorfinish)
    {
    }
    int total() const { return ok.count() + error.count(); }
    // Waits for either signal (the error spy records while the ok spy waits).
    bool waitForEnd(int timeoutMs = kEndTimeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (total() == 0 && clock.elapsed() < timeoutMs)
            ok.wait(50);
        return total() > 0;
    }
    // Runs the event loop for a few watchdog intervals; true if another signal came.
    bool anotherSignalWithin(int intervals)
    {
        const int before = total();
        QElapsedTimer clock;
        clock.start();
        while (total() == before && clock.elapsed() < intervals * kWatchdogMs)
            ok.wait(50);
        return total() != before;
    }
    QSignalSpy ok;
    QSignalSpy error;
};

const char* const kSchemes[] = {"http", "https"};

// The scheme column alone, for tests that have no other data.
void addSchemeRows()
{
    QTest::addColumn<QString>("scheme");
    for (const char* scheme : kSchemes)
        QTest::newRow(scheme) << QString::fromLatin1(scheme);
}

} // namespace

class TestQHttpDownLoadS : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void targetValidation_data();
    void targetValidation();
    void refusedTargetKeepsPreviousTarget();
    void acceptedTargetDeletesExistingFile_data();
    void acceptedTargetDeletesExistingFile();
    void startFailsWhenFileCannotBeOpened();
    void entryPlantedAtTargetIsReplaced_data();
    void entryPlantedAtTargetIsReplaced();
    void directoryAtTargetIsRefused();
    void partialFileIsContinuedOnlyWhenItsOwn_data();
    void partialFileIsContinuedOnlyWhenItsOwn();

    void completeBodyIsReportedOnce_data();
    void completeBodyIsReportedOnce();
    void counterSendsRangeAndReceivesCount_data();
    void counterSendsRangeAndReceivesCount();
    void rangeAnswers_data();
    void rangeAnswers();
    void bodyWithoutAnnouncedSize_data();
    void bodyWithoutAnnouncedSize();
    void slowSteadyTransferSucceeds_data();
    void slowSteadyTransferSucceeds();
    void bodyLongerThanDeclared_data();
    void bodyLongerThanDeclared();

    void contentCoding_data();
    void contentCoding();
    void bodyLimit_data();
    void bodyLimit();
    void announcedSizeOverLimitFailsAtOnce_data();
    void announcedSizeOverLimitFailsAtOnce();

    void failuresEndWithErrorfinish_data();
    void failuresEndWithErrorfinish();
    void silentServerFailsAtResponseCheck_data();
    void silentServerFailsAtResponseCheck();
    void stalledTransferIsAbortedAndReportedOnce_data();
    void stalledTransferIsAbortedAndReportedOnce();
    void slowTransferFails_data();
    void slowTransferFails();
    void slowTransferRuleSparesSteadyTransfer_data();
    void slowTransferRuleSparesSteadyTransfer();
    void failedWriteIsReported();
    void completeFileIsSyncedBeforeItCounts_data();
    void completeFileIsSyncedBeforeItCounts();
    void removedFileIsReported_data();
    void removedFileIsReported();

    void certificateRefused_data();
    void certificateRefused();
    void plainPortGivenAsHttps();
    void handshakeStopsHalfWay_data();
    void handshakeStopsHalfWay();
    void redirectFromHttpsToHttpIsRefused();

    void waitingStartReturnsAfterEnd_data();
    void waitingStartReturnsAfterEnd();
    void stopEndsWithoutSignal_data();
    void stopEndsWithoutSignal();
    void stopEndsWaitingStart_data();
    void stopEndsWaitingStart();
    void destroyingRunningDownloader();
    void deleteLaterEndsWaitingStart();

    void receiverDeletesLaterInsideNestedLoop_data();
    void receiverDeletesLaterInsideNestedLoop();
    void receiverDeletesLaterDuringWaitingStart();
    void chainedWaitingDownloads();

    void secondStartWhileRunningIsRefused();
    void restartAfterEndCountsAfresh();
    void progressBarDestroyedDuringTransfer();

    void progressDisplay_data();
    void progressDisplay();
    void progressWithUnknownSizeShowsNothing();
    void firstPositiveTotalIsKept();
    void counterBaseCountsAsReceived();
    void progressLogLine();

private:
    QString target(const QString& name) const { return m_dir + QLatin1Char('/') + name; }
    // Makes server speak the scheme of the running row (column "scheme").
    void serveOverRowScheme(TestHttpServer& server) const;
    // Makes server speak TLS with one of the test certificates.
    void serveTls(TestHttpServer& server, const QString& certificate = QStringLiteral("server")) const;
    QString outside(const QString& name) const { return m_outsideDir + QLatin1Char('/') + name; }
    QString m_dir;
    QString m_outsideDir;   // files a planted link points at
    QTemporaryDir m_pkiDir;
    std::unique_ptr<TestCertificates> m_pki;
};

void TestQHttpDownLoadS::initTestCase()
{
    m_dir = QDir::tempPath() + QStringLiteral("/downloads");
    m_outsideDir = QDir::tempPath() + QStringLiteral("/outside");

    QVERIFY(m_pkiDir.isValid());
    m_pki.reset(new TestCertificates(m_pkiDir.filePath(QStringLiteral("pki"))));
    QVERIFY2(m_pki->isValid(), qPrintable(m_pki->errorString()));
    // The authority is trusted like one of the system's (the product has no such switch).
    m_pki->trustInThisProcess();
}

void TestQHttpDownLoadS::serveOverRowScheme(TestHttpServer& server) const
{
    QFETCH(QString, scheme);
    if (scheme == QLatin1String("https"))
        serveTls(server);
    QCOMPARE(server.url().scheme(), scheme);
}

void TestQHttpDownLoadS::serveTls(TestHttpServer& server, const QString& certificate) const
{
    server.setTls(m_pki->certificate(certificate), m_pki->key(certificate));
}

void TestQHttpDownLoadS::init()
{
    // Links, folders and FIFOs planted by a test go too (links are not followed).
    for (const QString& dir : {m_dir, m_outsideDir}) {
        QVERIFY(QDir(dir).removeRecursively());
        QVERIFY(QDir().mkpath(dir));
    }
}

// ---- target ----

void TestQHttpDownLoadS::targetValidation_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("http with path") << "http://127.0.0.1/a/b.bin" << "f" << true;
    QTest::newRow("root path") << "http://127.0.0.1/" << "f" << true;
    QTest::newRow("scheme in capitals") << "HTTP://127.0.0.1/x" << "f" << true;
    QTest::newRow("https") << "https://127.0.0.1/x" << "f" << true;
    QTest::newRow("https in capitals") << "HTTPS://127.0.0.1/x" << "f" << true;
    QTest::newRow("https with empty path") << "https://127.0.0.1" << "f" << false;
    QTest::newRow("ftp") << "ftp://127.0.0.1/x" << "f" << false;
    QTest::newRow("empty path") << "http://127.0.0.1" << "f" << false;
    QTest::newRow("invalid url") << "http://[::1/x" << "f" << false;
    QTest::newRow("no scheme") << "/just/a/path" << "f" << false;
    QTest::newRow("empty file path") << "http://127.0.0.1/x" << "" << false;
}

void TestQHttpDownLoadS::targetValidation()
{
    QFETCH(QString, url);
    QFETCH(QString, file);
    QFETCH(bool, accepted);

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    const QString path = file.isEmpty() ? QString() : target(file);
    QCOMPARE(d.setUrlAndFilePath(QUrl(url), path), accepted);
}

void TestQHttpDownLoadS::refusedTargetKeepsPreviousTarget()
{
    TestHttpServer server;
    server.route("/good.bin", TestHttpServer::Reply::ok("good"));
    const QString kept = target("other.bin");
    QVERIFY(writeFile(kept, "keep me"));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/good.bin"), target("good.bin")));
    QVERIFY(!d.setUrlAndFilePath(QUrl("ftp://127.0.0.1/other.bin"), kept));
    QCOMPARE(readFile(kept, kMissing), QByteArray("keep me"));

    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(outcome.ok.at(0).at(0).toString(), target("good.bin"));
    QCOMPARE(readFile(target("good.bin"), kMissing), QByteArray("good"));
    QCOMPARE(server.lastRequest().target, QByteArray("/good.bin"));
}

void TestQHttpDownLoadS::acceptedTargetDeletesExistingFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file") << "file";
    QTest::newRow("link to a file") << "link";
    QTest::newRow("dangling link") << "dangling";
}

void TestQHttpDownLoadS::acceptedTargetDeletesExistingFile()
{
    QFETCH(QString, kind);
    const QString path = target("stale.bin");
    const QString victim = outside("victim.txt");
    writeFile(victim, "precious");
    if (kind == QLatin1String("file"))
        writeFile(path, "stale contents");
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(victim, path));
    else
        QVERIFY(QFile::link(outside("absent.txt"), path));
    QVERIFY(entryKind(path) != '-');

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    QVERIFY(d.setUrlAndFilePath(QUrl("http://127.0.0.1/stale.bin"), path));
    QCOMPARE(entryKind(path), '-');
    // A link goes as a link: what it points at stays.
    QCOMPARE(readFile(victim, kMissing), QByteArray("precious"));
}

void TestQHttpDownLoadS::startFailsWhenFileCannotBeOpened()
{
    TestHttpServer server;
    server.route("/x.bin", TestHttpServer::Reply::ok("data"));
    QSignalSpy requests(&server, &TestHttpServer::requestReceived);

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/x.bin"), m_dir + QStringLiteral("/no/such/dir/x.bin")));
    QTest::ignoreMessage(QtDebugMsg, "Error:Cannot open file.");
    QVERIFY(!d.startDownLoads(false));
    QVERIFY(!d.isRunning());
    // Nothing goes out and nothing is reported, not even after the watchdogs' time.
    QVERIFY(!requests.wait(2 * kWatchdogMs));
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(outcome.total(), 0);

    // Without any target at all the start fails the same way.
    QHttpDownLoadS empty(nullptr, nullptr, nullptr, nullptr);
    QTest::ignoreMessage(QtDebugMsg, "Error:Cannot open file.");
    QVERIFY(!empty.startDownLoads(false));
}

void TestQHttpDownLoadS::entryPlantedAtTargetIsReplaced_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("withCounter");   // a byte counter at 0 instead of none
    QTest::newRow("symbolic link") << "symlink" << false;
    QTest::newRow("symbolic link, counter 0") << "symlink" << true;
    QTest::newRow("dangling symbolic link") << "dangling" << false;
    QTest::newRow("hard link") << "hardlink" << false;
    QTest::newRow("hard link, counter 0") << "hardlink" << true;
    QTest::newRow("planted file") << "file" << false;
}

void TestQHttpDownLoadS::entryPlantedAtTargetIsReplaced()
{
    // Something appears at the target between setUrlAndFilePath and the start.
    QFETCH(QString, kind);
    QFETCH(bool, withCounter);
    const QByteArray body = patternBody(40000);
    TestHttpServer server;
    server.route("/pkg.bin", TestHttpServer::Reply::ok(body));
    const QString path = target("pkg.bin");
    const QString victim = outside("victim.txt");
    writeFile(victim, "precious");

    qint64 counter = 0;
    QHttpDownLoadS d(nullptr, nullptr, nullptr, withCounter ? &counter : nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/pkg.bin"), path));
    if (kind == QLatin1String("symlink"))
        QVERIFY(QFile::link(victim, path));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(outside("created.txt"), path));
    else if (kind == QLatin1String("hardlink"))
        QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(path).constData()), 0);
    else
        writeFile(path, "planted contents that are longer than nothing");

    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(outcome.error.count(), 0);

    // The download landed in a new regular file of its own at the target...
    nlink_t links = 0;
    QCOMPARE(entryKind(path, &links), 'f');
    QCOMPARE(links, nlink_t(1));
    QCOMPARE(readFile(path, kMissing), body);
    // ...and nothing was written through the link.
    QCOMPARE(readFile(victim, kMissing), QByteArray("precious"));
    QCOMPARE(entryKind(outside("created.txt")), '-');
}

void TestQHttpDownLoadS::directoryAtTargetIsRefused()
{
    TestHttpServer server;
    server.route("/x.bin", TestHttpServer::Reply::ok("data"));
    const QString path = target("x.bin");

    for (qint64 start : {qint64(-1), qint64(0), qint64(10)}) {
        QVERIFY(QDir().mkpath(path));
        writeFile(path + QStringLiteral("/inside.txt"), "inside");
        qint64 counter = start;
        QHttpDownLoadS d(nullptr, nullptr, nullptr, start >= 0 ? &counter : nullptr);
        Outcome outcome(&d);
        QVERIFY(d.setUrlAndFilePath(server.url("/x.bin"), path));
        QTest::ignoreMessage(QtDebugMsg, "Error:Cannot open file.");
        QVERIFY(!d.startDownLoads(false));
        QVERIFY(!d.isRunning());
        QCOMPARE(server.requestCount(), 0);
        QCOMPARE(outcome.total(), 0);
        // The directory and what it holds are left alone.
        QCOMPARE(entryKind(path), 'd');
        QCOMPARE(readFile(path + QStringLiteral("/inside.txt"), kMissing), QByteArray("inside"));
    }
}

void TestQHttpDownLoadS::partialFileIsContinuedOnlyWhenItsOwn_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("continued");
    QTest::newRow("holding the bytes counted") << "partial" << true;
    QTest::newRow("holding more than counted") << "longer" << true;
    QTest::newRow("holding less than counted") << "shorter" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("symbolic link") << "symlink" << false;
    QTest::newRow("hard link") << "hardlink" << false;
    QTest::newRow("FIFO") << "fifo" << false;
}

void TestQHttpDownLoadS::partialFileIsContinuedOnlyWhenItsOwn()
{
    QFETCH(QString, kind);
    QFETCH(bool, continued);
    const QByteArray body = patternBody(70000);
    const qint64 counted = 30000;
    TestHttpServer server;
    server.route("/part.bin", TestHttpServer::Reply::ok(body).ranges());
    const QString path = target("part.bin");
    const QString victim = outside("victim.bin");
    const QByteArray victimBytes = body.left(static_cast<int>(counted));
    writeFile(victim, victimBytes);

    qint64 counter = counted;
    QHttpDownLoadS d(nullptr, nullptr, nullptr, &counter);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/part.bin"), path));
    if (kind == QLatin1String("partial"))
        writeFile(path, body.left(static_cast<int>(counted)));
    else if (kind == QLatin1String("longer"))
        writeFile(path, body.left(static_cast<int>(counted)) + QByteArray(60000, 'x'));
    else if (kind == QLatin1String("shorter"))
        writeFile(path, body.left(static_cast<int>(counted) - 1));
    else if (kind == QLatin1String("symlink"))
        QVERIFY(QFile::link(victim, path));
    else if (kind == QLatin1String("hardlink"))
        QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(path).constData()), 0);
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

    if (!continued) {
        // Refused at once (a FIFO without a reader does not hold the start either).
        QTest::ignoreMessage(QtDebugMsg, "Error:Cannot open file.");
        QVERIFY(!d.startDownLoads(false));
        QVERIFY(!d.isRunning());
        QCOMPARE(server.requestCount(), 0);
        QCOMPARE(outcome.total(), 0);
        QCOMPARE(counter, counted);
        QCOMPARE(readFile(victim, kMissing), victimBytes);
        return;
    }

    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    // One signal ends it (which one follows the size checks, not the file's opening).
    QCOMPARE(outcome.total(), 1);
    QCOMPARE(server.lastRequest().header("Range"), QByteArray("bytes=30000-"));
    // The rest follows the bytes counted; nothing of an older, longer file is left.
    QCOMPARE(readFile(path, kMissing), body);
}

// ---- successful transfers ----

void TestQHttpDownLoadS::completeBodyIsReportedOnce_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::completeBodyIsReportedOnce()
{
    const QByteArray body = patternBody(300 * 1024 + 17);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/pkg.bin", TestHttpServer::Reply::ok(body));

    QProgressBar bar;
    QLabel label;
    QHttpDownLoadS d(nullptr, &bar, &label, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/pkg.bin?v=1"), target("pkg.bin")));
    LogCapture log;
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(outcome.error.count(), 0);
    QCOMPARE(outcome.ok.at(0).at(0).toString(), target("pkg.bin"));
    QCOMPARE(readFile(target("pkg.bin"), kMissing), body);
    QCOMPARE(bar.value(), 100);
    QVERIFY(label.text().startsWith(QStringLiteral("Time Remaining: ")));
    QVERIFY(label.text().endsWith(QStringLiteral("( 0.29/0.29 MB)")));
    // The log follows the transfer up to the whole body.
    QVERIFY2(!log.find(QStringLiteral("^Downloading pkg\\.bin:\\d+ of 307217 = ")).isEmpty(), qPrintable(log.all()));
    QVERIFY2(!log.find(QStringLiteral("^Downloading pkg\\.bin:307217 of 307217 = 100%$")).isEmpty(),
             qPrintable(log.all()));

    const TestHttpServer::Request request = server.lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/pkg.bin?v=1"));
    QVERIFY(!request.hasHeader("Range")); // no counter, no range
    // The body is asked for as it is, once, with nothing the toolkit would unpack.
    int codingHeaders = 0;
    for (const TestHttpServer::Header& h : request.headers)
        codingHeaders += h.first.compare("Accept-Encoding", Qt::CaseInsensitive) == 0 ? 1 : 0;
    QCOMPARE(codingHeaders, 1);
    QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));

    // The watchdogs are off after the end: nothing follows.
    QVERIFY(!outcome.anotherSignalWithin(4));
    QVERIFY(!d.isRunning());
}

void TestQHttpDownLoadS::counterSendsRangeAndReceivesCount_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::counterSendsRangeAndReceivesCount()
{
    const QByteArray body = patternBody(70000);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/ranged.bin", TestHttpServer::Reply::ok(body).ranges());
    server.route("/plain.bin", TestHttpServer::Reply::ok(body));

    for (const char* path : {"/ranged.bin", "/plain.bin"}) {
        qint64 counter = 0;
        QHttpDownLoadS d(nullptr, nullptr, nullptr, &counter);
        Outcome outcome(&d);
        QVERIFY(d.setUrlAndFilePath(server.url(QLatin1String(path)), target("c.bin")));
        QVERIFY(d.startDownLoads(false));
        QVERIFY(outcome.waitForEnd());
        QCOMPARE(server.lastRequest().header("Range"), QByteArray("bytes=0-"));
        QCOMPARE(server.lastRequest().header("Accept-Encoding"), QByteArray("identity"));
        // A server that honours the range answers 206, which is as good as 200.
        QCOMPARE(outcome.ok.count(), 1);
        QCOMPARE(outcome.error.count(), 0);
        QCOMPARE(counter, qint64(body.size()));
        QCOMPARE(readFile(target("c.bin"), kMissing), body);
    }
}

void TestQHttpDownLoadS::rangeAnswers_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");    // "%1" the counted bytes, "%2" the total
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QByteArray>("validator");       // after the transfer

    const QByteArray cr("bytes %1-69999/70000");
    const int none = QHttpDownLoadS::NoFailure;
    const int range = QHttpDownLoadS::RangeFailure;
    for (const char* scheme : kSchemes) {
        const QString s = QString::fromLatin1(scheme);
        QTest::addRow("%s: 206 of the rest completes", scheme) << s << 206 << cr << QByteArray() << none << QByteArray("\"v1\"");
        QTest::addRow("%s: 200 starts over", scheme) << s << 200 << QByteArray() << QByteArray("\"v2\"") << none
                                                     << QByteArray("\"v2\"");
        QTest::addRow("%s: 200 with a weak tag", scheme) << s << 200 << QByteArray() << QByteArray("W/\"v2\"") << none
                                                         << QByteArray("Tue, 01 Dec 2026 10:00:00 GMT");
        QTest::addRow("%s: 206 elsewhere", scheme) << s << 206 << QByteArray("bytes 0-69999/70000") << QByteArray()
                                                   << range << QByteArray("\"v1\"");
        QTest::addRow("%s: 206 of another total", scheme) << s << 206 << QByteArray("bytes %1-70000/70001")
                                                          << QByteArray() << range << QByteArray("\"v1\"");
        QTest::addRow("%s: 206 without Content-Range", scheme) << s << 206 << QByteArray() << QByteArray() << range
                                                               << QByteArray("\"v1\"");
        QTest::addRow("%s: 206 malformed", scheme) << s << 206 << QByteArray("bytes %1-/70000") << QByteArray() << range
                                                   << QByteArray("\"v1\"");
        QTest::addRow("%s: 416", scheme) << s << 416 << QByteArray("bytes */70000") << QByteArray() << range
                                         << QByteArray("\"v1\"");
        QTest::addRow("%s: 404", scheme) << s << 404 << QByteArray() << QByteArray() << int(QHttpDownLoadS::FinalFailure)
                                         << QByteArray("\"v1\"");
    }
}

void TestQHttpDownLoadS::rangeAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, etag);
    QFETCH(int, failure);
    QFETCH(QByteArray, validator);
    const QByteArray body = patternBody(70000);
    const qint64 counted = 63000;   // a transfer cut off at 90%
    TestHttpServer server;
    serveOverRowScheme(server);
    server.handle("/r.bin", [&](const TestHttpServer::Request&) {
        const QByteArray sent = status == 206 ? body.mid(static_cast<int>(counted)) : status == 200 ? body : "no";
        TestHttpServer::Reply reply = TestHttpServer::Reply::status(status, sent);
        if (!contentRange.isEmpty())
            reply.header("Content-Range", QString::fromLatin1(contentRange).arg(counted).toLatin1());
        if (!etag.isEmpty())
            reply.header("ETag", etag).header("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
        return reply;
    });

    QProgressBar bar;
    qint64 counter = counted;
    QHttpDownLoadS d(nullptr, &bar, nullptr, &counter);
    d.setResumeValidator("\"v1\"", body.size());
    d.setMaxBodyBytes(body.size());
    Outcome outcome(&d);
    QVERIFY(writeFile(target("r.bin"), body.left(static_cast<int>(counted))));
    QVERIFY(d.setUrlAndFilePath(server.url("/r.bin"), target("r.bin")));
    LogCapture log;
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(server.lastRequest().header("Range"), QByteArray("bytes=63000-"));
    QCOMPARE(server.lastRequest().header("If-Range"), QByteArray("\"v1\""));
    QCOMPARE(int(d.failure()), failure);
    QCOMPARE(outcome.ok.count(), failure == QHttpDownLoadS::NoFailure ? 1 : 0);
    QCOMPARE(d.resumeValidator(), validator);
    QCOMPARE(log.find(QStringLiteral("^server ignored the range: starting over r\\.bin$")).isEmpty(), status != 200);
    if (failure == QHttpDownLoadS::NoFailure) {
        // The whole file, counted whole: the bar ends full, not past it.
        QCOMPARE(readFile(target("r.bin"), kMissing), body);
        QCOMPARE(counter, qint64(body.size()));
        QCOMPARE(d.resumeTotal(), qint64(body.size()));
        QCOMPARE(bar.value(), 100);
    } else if (failure == QHttpDownLoadS::RangeFailure) {
        // Nothing of an answer that does not fit reaches the file.
        QVERIFY2(!log.find(QStringLiteral("^the answer to the range does not continue r\\.bin at byte 63000")).isEmpty(),
                 qPrintable(log.all()));
        QCOMPARE(readFile(target("r.bin"), kMissing), body.left(static_cast<int>(counted)));
    }
}

void TestQHttpDownLoadS::bodyWithoutAnnouncedSize_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("chunked");

    for (const char* scheme : kSchemes) {
        QTest::addRow("%s: length by closing", scheme) << QString::fromLatin1(scheme) << false;
        QTest::addRow("%s: chunked", scheme) << QString::fromLatin1(scheme) << true;
    }
}

void TestQHttpDownLoadS::bodyWithoutAnnouncedSize()
{
    QFETCH(bool, chunked);
    const QByteArray body = patternBody(150000);
    TestHttpServer server;
    serveOverRowScheme(server);
    TestHttpServer::Reply reply = TestHttpServer::Reply::ok(body);
    if (chunked)
        reply.chunked().trickle(40000, 1);
    else
        reply.noLength();
    server.route("/nolength.bin", reply);

    qint64 counter = 0;
    QHttpDownLoadS d(nullptr, nullptr, nullptr, &counter);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/nolength.bin"), target("n.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(outcome.error.count(), 0);
    QCOMPARE(readFile(target("n.bin"), kMissing), body);
}

void TestQHttpDownLoadS::slowSteadyTransferSucceeds_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::slowSteadyTransferSucceeds()
{
    // Pieces come far more often than the stall check looks, for several intervals.
    const QByteArray body = patternBody(60 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/slow.bin", TestHttpServer::Reply::ok(body).trickle(1024, kWatchdogMs / 20));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/slow.bin"), target("slow.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd(60000));
    QCOMPARE(outcome.error.count(), 0);
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(readFile(target("slow.bin"), kMissing), body);
}

void TestQHttpDownLoadS::bodyLongerThanDeclared_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::bodyLongerThanDeclared()
{
    // The head announces 50000 bytes, the server sends 80000 and closes: the body is
    // what was announced, and nothing past it reaches the file.
    const QByteArray body = patternBody(80000);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/longer.bin", TestHttpServer::Reply::ok(body).noLength().header("Content-Length", "50000"));

    qint64 counter = 0;
    QHttpDownLoadS d(nullptr, nullptr, nullptr, &counter);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/longer.bin"), target("longer.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.total(), 1);
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(counter, qint64(50000));
    QCOMPARE(readFile(target("longer.bin"), kMissing), body.left(50000));
    QVERIFY(!outcome.anotherSignalWithin(3));
}

// ---- what the server may send ----

void TestQHttpDownLoadS::contentCoding_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QList<QByteArray>>("codings");   // one Content-Encoding header each
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<bool>("wait");

    using L = QList<QByteArray>;
    for (const char* scheme : kSchemes) {
        QTest::addRow("%s: gzip", scheme) << QString::fromLatin1(scheme) << L{"gzip"} << true << false << false;
        QTest::addRow("%s: gzip, chunked", scheme) << QString::fromLatin1(scheme) << L{"gzip"} << true << true << false;
        QTest::addRow("%s: gzip, waiting start", scheme) << QString::fromLatin1(scheme) << L{"gzip"} << true << false << true;
        QTest::addRow("%s: gzip in capitals, padded", scheme) << QString::fromLatin1(scheme) << L{"  GZip "} << true << false << false;
        QTest::addRow("%s: deflate", scheme) << QString::fromLatin1(scheme) << L{"deflate"} << true << false << false;
        QTest::addRow("%s: unknown coding", scheme) << QString::fromLatin1(scheme) << L{"br"} << true << true << false;
        QTest::addRow("%s: identity and gzip in one header", scheme) << QString::fromLatin1(scheme) << L{"identity, gzip"} << true << false << false;
        QTest::addRow("%s: identity and gzip in two headers", scheme) << QString::fromLatin1(scheme) << L{"identity", "gzip"} << true << false << false;
        QTest::addRow("%s: no coding", scheme) << QString::fromLatin1(scheme) << L{} << false << false << false;
        QTest::addRow("%s: identity", scheme) << QString::fromLatin1(scheme) << L{"identity"} << false << false << false;
        QTest::addRow("%s: identity in capitals, padded", scheme) << QString::fromLatin1(scheme) << L{" IDENTITY "} << false << true << false;
        QTest::addRow("%s: empty coding", scheme) << QString::fromLatin1(scheme) << L{""} << false << false << true;
    }
}

void TestQHttpDownLoadS::contentCoding()
{
    QFETCH(QList<QByteArray>, codings);
    QFETCH(bool, refused);
    QFETCH(bool, chunked);
    QFETCH(bool, wait);

    // Real gzip bytes: unpacked by mistake, they would turn into something else.
    const QByteArray body = gzipped(patternBody(150000));
    TestHttpServer::Reply reply = TestHttpServer::Reply::ok(body);
    for (const QByteArray& coding : codings)
        reply.header("Content-Encoding", coding);
    if (chunked)
        reply.chunked().trickle(16384, 1);
    if (refused) {
        // The server holds the rest back: only a look at the head can end this.
        reply.stallAfter(20000);
    }
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/coded.bin", reply);

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    d.setWatchdogInterval(600000);
    QTimer::singleShot(kEndTimeoutMs, &d, &QHttpDownLoadS::stopDownLoads); // no endless wait
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/coded.bin"), target("coded.bin")));
    if (refused)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("content coding, which is refused"));
    QVERIFY(d.startDownLoads(wait));
    if (!wait)
        QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.error.count(), refused ? 1 : 0);
    QCOMPARE(outcome.ok.count(), refused ? 0 : 1);
    QVERIFY(!d.isRunning());
    // Refused: nothing of the coded body reached the file. Accepted: the bytes as sent.
    QCOMPARE(readFile(target("coded.bin"), kMissing), refused ? QByteArray() : body);
}

void TestQHttpDownLoadS::bodyLimit_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("framing");
    QTest::addColumn<bool>("over");
    QTest::addColumn<bool>("wait");

    const QList<QPair<const char*, TestHttpServer::Framing>> framings = {
        {"Content-Length", TestHttpServer::Framing::ContentLength},
        {"chunked", TestHttpServer::Framing::Chunked},
        {"close-delimited", TestHttpServer::Framing::CloseDelimited}};
    for (const char* scheme : kSchemes) {
        for (const auto& f : framings) {
            for (bool wait : {false, true}) {
                const char* mode = wait ? "waiting start" : "plain start";
                QTest::addRow("%s: %s, one byte over, %s", scheme, f.first, mode)
                    << QString::fromLatin1(scheme) << static_cast<int>(f.second) << true << wait;
                QTest::addRow("%s: %s, at the limit, %s", scheme, f.first, mode)
                    << QString::fromLatin1(scheme) << static_cast<int>(f.second) << false << wait;
            }
        }
    }
}

void TestQHttpDownLoadS::bodyLimit()
{
    QFETCH(int, framing);
    QFETCH(bool, over);
    QFETCH(bool, wait);
    const qint64 limit = 100000;

    const QByteArray body = patternBody(static_cast<int>(limit) + (over ? 1 : 0));
    TestHttpServer::Reply reply = TestHttpServer::Reply::ok(body).trickle(8192, 1);
    reply.framing = static_cast<TestHttpServer::Framing>(framing);
    if (over) {
        // Every byte goes out, but the body never ends: the limit alone can end it.
        reply.stallAfter(body.size());
    }
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/limited.bin", reply);

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    QCOMPARE(d.maxBodyBytes(), qint64(0));
    d.setMaxBodyBytes(limit);
    QCOMPARE(d.maxBodyBytes(), limit);
    d.setWatchdogInterval(600000);
    QTimer::singleShot(kEndTimeoutMs, &d, &QHttpDownLoadS::stopDownLoads); // no endless wait
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/limited.bin"), target("limited.bin")));
    if (over)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("larger than allowed"));
    QVERIFY(d.startDownLoads(wait));
    if (!wait)
        QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.error.count(), over ? 1 : 0);
    QCOMPARE(outcome.ok.count(), over ? 0 : 1);
    const QByteArray file = readFile(target("limited.bin"), kMissing);
    if (over) {
        // Nothing past the limit was written; what was written is the body's start.
        QVERIFY(file.size() <= limit);
        QCOMPARE(file, body.left(file.size()));
    } else {
        QCOMPARE(file, body);
    }
}

void TestQHttpDownLoadS::announcedSizeOverLimitFailsAtOnce_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::announcedSizeOverLimitFailsAtOnce()
{
    // 1 GiB announced and sent a piece at a time: the announcement alone fails it.
    const QString huge = outside("huge.bin");
    {
        QFile f(huge);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(1) << 30)); // sparse
    }
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/huge.bin", TestHttpServer::Reply::file(huge).trickle(1024, 100));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    d.setMaxBodyBytes(8 * 1024 * 1024);
    d.setWatchdogInterval(600000);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/huge.bin"), target("huge.bin")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("announced is larger than allowed: 1073741824"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(outcome.ok.count(), 0);
    QCOMPARE(readFile(target("huge.bin"), kMissing), QByteArray());
    // The transfer was given up: the server stops sending.
    QVERIFY(closed.count() > 0 || closed.wait(5000));
}

// ---- failures ----

void TestQHttpDownLoadS::failuresEndWithErrorfinish_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("path");
    // Whether another try may mend it.
    QTest::addColumn<int>("failure");

    const int network = QHttpDownLoadS::NetworkFailure;
    const int final = QHttpDownLoadS::FinalFailure;
    for (const char* scheme : kSchemes) {
        const QString s = QString::fromLatin1(scheme);
        QTest::addRow("%s: 404 with body", scheme) << s << "/e404" << final;
        QTest::addRow("%s: 500 with body", scheme) << s << "/e500" << network;
        QTest::addRow("%s: redirect not followed", scheme) << s << "/moved" << final;
        QTest::addRow("%s: reset before answer", scheme) << s << "/reset0" << network;
        QTest::addRow("%s: reset mid-body", scheme) << s << "/reset" << network;
        QTest::addRow("%s: closed before end of announced body", scheme) << s << "/short" << network;
        QTest::addRow("%s: closed without answer", scheme) << s << "/close0" << network;
        QTest::addRow("%s: range not satisfiable", scheme) << s << "/ranged" << int(QHttpDownLoadS::RangeFailure);
        QTest::addRow("%s: connection refused", scheme) << s << "refused" << network;
        QTest::addRow("%s: host not found", scheme) << s << "nohost" << network;
    }
}

void TestQHttpDownLoadS::failuresEndWithErrorfinish()
{
    QFETCH(QString, scheme);
    QFETCH(QString, path);
    const QByteArray body = patternBody(100000);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/e404", TestHttpServer::Reply::status(404, "<html>not found</html>"));
    server.route("/e500", TestHttpServer::Reply::status(500, "oops"));
    server.route("/moved", TestHttpServer::Reply::status(301, "moved").header("Location", "/elsewhere"));
    server.route("/reset0", TestHttpServer::Reply::ok(body).resetAfter(-1));
    server.route("/reset", TestHttpServer::Reply::ok(body).resetAfter(20000));
    server.route("/short", TestHttpServer::Reply::ok(body).closeAfter(30000));
    server.route("/close0", TestHttpServer::Reply::ok(body).closeAfter(-1));
    server.route("/ranged", TestHttpServer::Reply::ok(body).ranges());

    QUrl url = server.url(path);
    qint64 counter = 0;
    qint64* counterPtr = nullptr;
    if (path == QLatin1String("refused")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QUrl(QStringLiteral("%1://127.0.0.1:%2/x.bin").arg(scheme).arg(probe.serverPort()));
        probe.close();
    } else if (path == QLatin1String("nohost")) {
        url = QUrl(QStringLiteral("%1://no-such-host.invalid/x.bin").arg(scheme));
    } else if (path == QLatin1String("/ranged")) {
        counter = body.size() + 10; // asks for bytes past the end
        counterPtr = &counter;
    }

    QHttpDownLoadS d(nullptr, nullptr, nullptr, counterPtr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(url, target("fail.bin")));
    if (counterPtr) {
        // Continuing needs the partial file holding the bytes counted.
        QVERIFY(writeFile(target("fail.bin"), QByteArray(static_cast<int>(counter), 'p')));
    }
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd(30000));
    QCOMPARE(outcome.ok.count(), 0);
    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(outcome.error.at(0).at(0).toString(), target("fail.bin"));
    QVERIFY(!d.isRunning());
    QFETCH(int, failure);
    QCOMPARE(int(d.failure()), failure);
}

void TestQHttpDownLoadS::silentServerFailsAtResponseCheck_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::silentServerFailsAtResponseCheck()
{
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/silent", TestHttpServer::Reply::silent());
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    QProgressBar bar;
    QHttpDownLoadS d(nullptr, &bar, nullptr, nullptr);
    d.setWatchdogInterval(kWatchdogMs);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/silent"), target("silent.bin")));
    QTest::ignoreMessage(QtDebugMsg, "slotsHasHttpReponse: false");
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.ok.count(), 0);
    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(bar.value(), 100);
    QCOMPARE(readFile(target("silent.bin"), kMissing), QByteArray());
    // The request was given up: the connection goes away.
    QVERIFY(closed.count() > 0 || closed.wait(5000));
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(!outcome.anotherSignalWithin(4));
}

void TestQHttpDownLoadS::stalledTransferIsAbortedAndReportedOnce_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::stalledTransferIsAbortedAndReportedOnce()
{
    const QByteArray body = patternBody(256 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/stall", TestHttpServer::Reply::ok(body).stallAfter(64 * 1024));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    qint64 counter = 0;
    QHttpDownLoadS d(nullptr, nullptr, nullptr, &counter);
    d.setWatchdogInterval(kWatchdogMs);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/stall"), target("stall.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.ok.count(), 0);
    QCOMPARE(outcome.error.count(), 1);
    QVERIFY(!d.isRunning());
    // The downloader gave up the transfer itself.
    QVERIFY(closed.count() > 0 || closed.wait(5000));
    QCOMPARE(readFile(target("stall.bin"), kMissing), body.left(64 * 1024));
    QVERIFY(!outcome.anotherSignalWithin(4));
}

void TestQHttpDownLoadS::slowTransferFails_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<qint64>("burst");   // body bytes sent at full speed first
    QTest::addColumn<bool>("wait");

    QTest::newRow("http: trickle") << QStringLiteral("http") << qint64(0) << false;
    QTest::newRow("http: trickle, waiting start") << QStringLiteral("http") << qint64(0) << true;
    QTest::newRow("http: burst, then trickle") << QStringLiteral("http") << qint64(64 * 1024) << false;
    QTest::newRow("https: burst, then trickle") << QStringLiteral("https") << qint64(64 * 1024) << false;
}

void TestQHttpDownLoadS::slowTransferFails()
{
    // A few bytes every 100 ms: far too often for the stall check to fire, far too
    // little for the slow-transfer rule. After a burst, the windows that follow it
    // count, not the average since the start.
    QFETCH(qint64, burst);
    QFETCH(bool, wait);
    const QByteArray body = patternBody(256 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/trickle", TestHttpServer::Reply::ok(body).trickle(16, 100).trickleAfter(burst));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    struct RestoreDefault
    {
        const int saved = QHttpDownLoadS::defaultSlowTransferWindow();
        ~RestoreDefault() { QHttpDownLoadS::setDefaultSlowTransferWindow(saved); }
    } restore;
    QCOMPARE(restore.saved, 60000);
    if (wait)
        QHttpDownLoadS::setDefaultSlowTransferWindow(kSlowWindowMs);
    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    if (!wait)
        d.setSlowTransferWindow(kSlowWindowMs);
    QCOMPARE(d.slowTransferWindow(), kSlowWindowMs);
    QTimer::singleShot(kEndTimeoutMs, &d, &QHttpDownLoadS::stopDownLoads); // no endless wait
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/trickle"), target("trickle.bin")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Error:Less than 1024 bytes of body came in"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(d.startDownLoads(wait));
    if (!wait)
        QVERIFY(outcome.waitForEnd());
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(outcome.ok.count(), 0);
    QVERIFY(!d.isRunning());
    // Not before a whole window, and within about one or two.
    QVERIFY2(elapsed >= kSlowWindowMs, QByteArray::number(elapsed).constData());
    QVERIFY2(elapsed < 3 * kSlowWindowMs, QByteArray::number(elapsed).constData());
    // The transfer was given up; what came is in the file.
    QVERIFY(closed.count() > 0 || closed.wait(5000));
    const QByteArray file = readFile(target("trickle.bin"), kMissing);
    QVERIFY(file.size() >= burst && file.size() < body.size());
    QCOMPARE(file, body.left(file.size()));
    QVERIFY(!outcome.anotherSignalWithin(4));
}

void TestQHttpDownLoadS::slowTransferRuleSparesSteadyTransfer_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::slowTransferRuleSparesSteadyTransfer()
{
    // About 2.3 KiB a window, for more than three windows.
    const QByteArray body = patternBody(8 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/steady", TestHttpServer::Reply::ok(body).trickle(160, 100));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    d.setSlowTransferWindow(kSlowWindowMs);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/steady"), target("steady.bin")));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.error.count(), 0);
    QCOMPARE(outcome.ok.count(), 1);
    QVERIFY(clock.elapsed() > 3 * kSlowWindowMs);
    QCOMPARE(readFile(target("steady.bin"), kMissing), body);
}

void TestQHttpDownLoadS::failedWriteIsReported()
{
    // A file size limit makes writes fail like a full disk does.
    const QByteArray body = patternBody(512 * 1024);
    TestHttpServer server;
    server.route("/big.bin", TestHttpServer::Reply::ok(body));

    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    bool started = false;
    bool ended = false;
    if (d.setUrlAndFilePath(server.url("/big.bin"), target("big.bin"))) {
        started = d.startDownLoads(false);
        ended = started && outcome.waitForEnd();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    QVERIFY(started);
    QVERIFY(ended);
    QCOMPARE(outcome.ok.count(), 0);
    QCOMPARE(outcome.error.count(), 1);
    QVERIFY(QFileInfo(target("big.bin")).size() <= 64 * 1024);
    QVERIFY(!outcome.anotherSignalWithin(3));
}

void TestQHttpDownLoadS::completeFileIsSyncedBeforeItCounts_data()
{
    QTest::addColumn<int>("failing"); // SyncProbe::Failing
    QTest::newRow("synced") << int(SyncProbe::Nothing);
    QTest::newRow("sync fails") << int(SyncProbe::Files);
}

void TestQHttpDownLoadS::completeFileIsSyncedBeforeItCounts()
{
    // Synced once, when the whole body is in (never per write); a failed sync fails it.
    QFETCH(int, failing);
    const bool finished = failing == SyncProbe::Nothing;
    const QByteArray body = patternBody(200 * 1024);
    TestHttpServer server;
    server.route("/pkg.bin", TestHttpServer::Reply::ok(body).trickle(16 * 1024, 5));
    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/pkg.bin"), target("pkg.bin")));
    LogCapture log;
    SyncProbe probe{SyncProbe::Failing(failing)};
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), finished ? 1 : 0);
    QCOMPARE(outcome.error.count(), finished ? 0 : 1);
    QCOMPARE(probe.synced(), QStringList() << SyncProbe::named(target("pkg.bin")));
    QCOMPARE(readFile(target("pkg.bin"), kMissing), body);
    QCOMPARE(log.find(QStringLiteral("^cannot sync to disk: ")),
             finished ? QString() : QStringLiteral("cannot sync to disk: \"%1\" Input/output error").arg(target("pkg.bin")));
}

void TestQHttpDownLoadS::removedFileIsReported_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::newRow("removed") << false;
    // Another file at the path, even of the very size and contents expected, is not
    // the file the transfer wrote.
    QTest::newRow("replaced by a full-size file") << true;
}

void TestQHttpDownLoadS::removedFileIsReported()
{
    QFETCH(bool, replaced);
    const QByteArray body = patternBody(40 * 1024);
    TestHttpServer server;
    server.route("/slow.bin", TestHttpServer::Reply::ok(body).trickle(4096, 10));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/slow.bin"), target("gone.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(QFile::remove(target("gone.bin")));
    if (replaced)
        writeFile(target("gone.bin"), body);
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), 0);
    QCOMPARE(outcome.error.count(), 1);
}

// ---- TLS ----

void TestQHttpDownLoadS::certificateRefused_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("error");   // what the "TLS error:" line names
    QTest::newRow("expired") << "expired" << "The certificate has expired";
    QTest::newRow("for another host") << "otherhost" << "The host name did not match";
    QTest::newRow("self-signed, untrusted") << "selfsigned" << "self-signed";
}

void TestQHttpDownLoadS::certificateRefused()
{
    QFETCH(QString, certificate);
    QFETCH(QString, error);
    TestHttpServer server;
    serveTls(server, certificate);
    server.route("/pkg.bin", TestHttpServer::Reply::ok(patternBody(10000)));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/pkg.bin"), target("tls.bin")));
    LogCapture log;
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(outcome.ok.count(), 0);
    QVERIFY(!d.isRunning());
    // The log names the certificate and what is wrong with it, and the failed request.
    const QString tlsLine = log.find(QStringLiteral("^TLS error: .*") + QRegularExpression::escape(error)
                                     + QStringLiteral(".* certificate: "));
    QVERIFY2(!tlsLine.isEmpty(), qPrintable(log.all()));
    QVERIFY2(!log.find(QStringLiteral("^error text: ")).isEmpty(), qPrintable(log.all()));
    // The handshake ended it, not the response check.
    QVERIFY2(log.find(QStringLiteral("^slotsHasHttpReponse:")).isEmpty(), qPrintable(log.all()));
    // No request went over the refused connection, and no byte reached the file.
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(readFile(target("tls.bin"), kMissing), QByteArray());
    QVERIFY(!outcome.anotherSignalWithin(3));
}

void TestQHttpDownLoadS::plainPortGivenAsHttps()
{
    TestHttpServer server;
    server.route("/pkg.bin", TestHttpServer::Reply::ok(patternBody(10000)));
    QUrl url = server.url("/pkg.bin");
    url.setScheme(QStringLiteral("https"));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(url, target("plain.bin")));
    LogCapture log;
    QVERIFY(d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(outcome.ok.count(), 0);
    // The plain server's answer to a TLS greeting is no response to a request: the
    // handshake fails on it, before the response check.
    QVERIFY2(!log.find(QStringLiteral("^error text: .*SSL handshake failed")).isEmpty(), qPrintable(log.all()));
    QVERIFY2(log.find(QStringLiteral("^slotsHasHttpReponse:")).isEmpty(), qPrintable(log.all()));
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(readFile(target("plain.bin"), kMissing), QByteArray());
    QVERIFY(!outcome.anotherSignalWithin(3));
}

void TestQHttpDownLoadS::handshakeStopsHalfWay_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("wait");
    QTest::newRow("stalled") << static_cast<int>(TestHttpServer::HandshakeFault::Stall) << false;
    QTest::newRow("stalled, waiting start") << static_cast<int>(TestHttpServer::HandshakeFault::Stall) << true;
    QTest::newRow("closed") << static_cast<int>(TestHttpServer::HandshakeFault::Close) << false;
    QTest::newRow("closed, waiting start") << static_cast<int>(TestHttpServer::HandshakeFault::Close) << true;
}

void TestQHttpDownLoadS::handshakeStopsHalfWay()
{
    QFETCH(int, fault);
    QFETCH(bool, wait);
    const bool stalled = fault == static_cast<int>(TestHttpServer::HandshakeFault::Stall);
    TestHttpServer server;
    serveTls(server);
    server.setHandshakeFault(static_cast<TestHttpServer::HandshakeFault>(fault));
    server.route("/pkg.bin", TestHttpServer::Reply::ok(patternBody(10000)));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    QProgressBar bar;
    QHttpDownLoadS d(nullptr, &bar, nullptr, nullptr);
    d.setWatchdogInterval(kWatchdogMs);
    // A stalled handshake is a server that says nothing: the response check ends it.
    // A closed one ends at once, before the response check.
    QTimer::singleShot(kEndTimeoutMs, &d, &QHttpDownLoadS::stopDownLoads); // no endless wait
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/pkg.bin"), target("handshake.bin")));
    LogCapture log;
    QVERIFY(d.startDownLoads(wait));
    if (!wait)
        QVERIFY(outcome.waitForEnd());

    QCOMPARE(outcome.error.count(), 1);
    QCOMPARE(outcome.ok.count(), 0);
    QVERIFY(!d.isRunning());
    if (stalled) {
        QVERIFY2(!log.find(QStringLiteral("^slotsHasHttpReponse: false$")).isEmpty(), qPrintable(log.all()));
        QCOMPARE(bar.value(), 100);
        // The downloader gave the connection up.
        QVERIFY(closed.count() > 0 || closed.wait(5000));
    } else {
        QVERIFY2(log.find(QStringLiteral("^slotsHasHttpReponse:")).isEmpty(), qPrintable(log.all()));
    }
    QVERIFY2(!log.find(QStringLiteral("^error text: ")).isEmpty(), qPrintable(log.all()));
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(readFile(target("handshake.bin"), kMissing), QByteArray());
    QVERIFY(!outcome.anotherSignalWithin(3));
}

void TestQHttpDownLoadS::redirectFromHttpsToHttpIsRefused()
{
    const QByteArray body = patternBody(10000);
    TestHttpServer plain;
    plain.route("/pkg.bin", TestHttpServer::Reply::ok(body));
    TestHttpServer secure;
    serveTls(secure);
    QSignalSpy plainRequests(&plain, &TestHttpServer::requestReceived);

    const QList<int> statuses = {301, 302, 307, 308};
    for (int status : statuses) {
        const QString path = QStringLiteral("/moved%1.bin").arg(status);
        secure.route(path, TestHttpServer::Reply::status(status, "moved")
                               .header("Location", plain.url("/pkg.bin").toEncoded()));
        qint64 counter = 0;
        QHttpDownLoadS d(nullptr, nullptr, nullptr, &counter);
        Outcome outcome(&d);
        QVERIFY(d.setUrlAndFilePath(secure.url(path), target("moved.bin")));
        QVERIFY(d.startDownLoads(true));
        QCOMPARE(outcome.error.count(), 1);
        QCOMPARE(outcome.ok.count(), 0);
        QCOMPARE(secure.lastRequest().target, path.toUtf8());
        QVERIFY(readFile(target("moved.bin"), kMissing) != body);
        // The http address was never asked, not even a while after the end.
        if (status == statuses.last())
            QVERIFY(!outcome.anotherSignalWithin(3));
        QCOMPARE(plainRequests.count(), 0);
        QCOMPARE(plain.connectionCount(), 0);
    }
    QCOMPARE(secure.requestCount(), statuses.size());
}

// ---- waiting, stopping, destroying ----

void TestQHttpDownLoadS::waitingStartReturnsAfterEnd_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("success");

    for (const char* scheme : kSchemes) {
        QTest::addRow("%s: complete", scheme) << QString::fromLatin1(scheme) << "/ok" << true;
        QTest::addRow("%s: silent server", scheme) << QString::fromLatin1(scheme) << "/silent" << false;
        QTest::addRow("%s: stalled server", scheme) << QString::fromLatin1(scheme) << "/stall" << false;
        QTest::addRow("%s: not found", scheme) << QString::fromLatin1(scheme) << "/missing" << false;
    }
}

void TestQHttpDownLoadS::waitingStartReturnsAfterEnd()
{
    QFETCH(QString, path);
    QFETCH(bool, success);
    const QByteArray body = patternBody(200 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/ok", TestHttpServer::Reply::ok(body));
    server.route("/silent", TestHttpServer::Reply::silent());
    server.route("/stall", TestHttpServer::Reply::ok(body).stallAfter(50000));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    d.setWatchdogInterval(kWatchdogMs);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url(path), target("w.bin")));
    // Returns only once the transfer has ended, with its signal already delivered.
    QVERIFY(d.startDownLoads(true));
    QVERIFY(!d.isRunning());
    QCOMPARE(outcome.ok.count(), success ? 1 : 0);
    QCOMPARE(outcome.error.count(), success ? 0 : 1);
    if (success)
        QCOMPARE(readFile(target("w.bin"), kMissing), body);
}

void TestQHttpDownLoadS::stopEndsWithoutSignal_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::stopEndsWithoutSignal()
{
    const QByteArray body = patternBody(200 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/slow.bin", TestHttpServer::Reply::ok(body).trickle(2048, 20));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    qint64 counter = 0;
    QProgressBar bar;
    QHttpDownLoadS d(nullptr, &bar, nullptr, &counter);
    Outcome outcome(&d);
    QSignalSpy progress(&bar, &QProgressBar::valueChanged);
    QVERIFY(d.setUrlAndFilePath(server.url("/slow.bin"), target("stop.bin")));
    QVERIFY(d.startDownLoads(false));
    while (bar.value() <= 0)
        QVERIFY(progress.wait(10000));
    d.stopDownLoads();
    QVERIFY(!d.isRunning());
    QVERIFY(closed.count() > 0 || closed.wait(5000));
    QVERIFY(counter > 0 && counter < body.size());
    // Neither the end of the reply nor the watchdogs report anything.
    QVERIFY(!outcome.anotherSignalWithin(4));
    QCOMPARE(outcome.total(), 0);
    d.stopDownLoads(); // nothing left to stop
    QCOMPARE(outcome.total(), 0);
}

void TestQHttpDownLoadS::stopEndsWaitingStart_data()
{
    addSchemeRows();
}

void TestQHttpDownLoadS::stopEndsWaitingStart()
{
    // Stopped from inside its own wait (as a Cancel button would), the waiting call
    // returns at once and nothing is reported.
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/silent", TestHttpServer::Reply::silent());
    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    d.setWatchdogInterval(600000);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/silent"), target("stopped.bin")));
    connect(&server, &TestHttpServer::requestReceived, &d, &QHttpDownLoadS::stopDownLoads);
    QVERIFY(d.startDownLoads(true));
    QVERIFY(!d.isRunning());
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(outcome.total(), 0);
}

void TestQHttpDownLoadS::destroyingRunningDownloader()
{
    const QByteArray body = patternBody(200 * 1024);
    TestHttpServer server;
    server.route("/slow.bin", TestHttpServer::Reply::ok(body).trickle(2048, 20));
    QSignalSpy closed(&server, &TestHttpServer::connectionClosed);

    QProgressBar bar;
    auto* d = new QHttpDownLoadS(nullptr, &bar, nullptr, nullptr);
    QSignalSpy ok(d, &QHttpDownLoadS::oneDownLoadFinish);
    QSignalSpy error(d, &QHttpDownLoadS::errorfinish);
    QSignalSpy progress(&bar, &QProgressBar::valueChanged);
    QVERIFY(d->setUrlAndFilePath(server.url("/slow.bin"), target("destroyed.bin")));
    QVERIFY(d->startDownLoads(false));
    QVERIFY(progress.wait(10000));
    delete d;
    QVERIFY(closed.count() > 0 || closed.wait(5000));
    QCOMPARE(ok.count() + error.count(), 0);
}

void TestQHttpDownLoadS::deleteLaterEndsWaitingStart()
{
    // A waiting start on a silent server with long watchdogs: the owner gives up
    // and releases the downloader; the waiting call must come back.
    TestHttpServer server;
    server.route("/silent", TestHttpServer::Reply::silent());
    QPointer<QHttpDownLoadS> d = new QHttpDownLoadS(nullptr, nullptr, nullptr, nullptr);
    d->setWatchdogInterval(600000);
    QVERIFY(d->setUrlAndFilePath(server.url("/silent"), target("silent.bin")));
    QSignalSpy requests(&server, &TestHttpServer::requestReceived);
    connect(&server, &TestHttpServer::requestReceived, d.data(), &QObject::deleteLater);
    QVERIFY(d->startDownLoads(true));
    QVERIFY(d.isNull());
    QCOMPARE(requests.count(), 1);
}

void TestQHttpDownLoadS::receiverDeletesLaterInsideNestedLoop_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("success");

    for (const char* scheme : kSchemes) {
        QTest::addRow("%s: complete", scheme) << QString::fromLatin1(scheme) << "/ok" << true;
        QTest::addRow("%s: stalled", scheme) << QString::fromLatin1(scheme) << "/stall" << false;
        QTest::addRow("%s: reset", scheme) << QString::fromLatin1(scheme) << "/reset" << false;
    }
    // The response check's end over https is the one of silentServerFailsAtResponseCheck.
    QTest::newRow("http: silent") << QStringLiteral("http") << "/silent" << false;
}

void TestQHttpDownLoadS::receiverDeletesLaterInsideNestedLoop()
{
    QFETCH(QString, path);
    QFETCH(bool, success);
    const QByteArray body = patternBody(100 * 1024);
    TestHttpServer server;
    serveOverRowScheme(server);
    server.route("/ok", TestHttpServer::Reply::ok(body));
    server.route("/stall", TestHttpServer::Reply::ok(body).stallAfter(1000));
    server.route("/silent", TestHttpServer::Reply::silent());
    server.route("/reset", TestHttpServer::Reply::ok(body).resetAfter(1000));

    QPointer<QHttpDownLoadS> d = new QHttpDownLoadS(nullptr, nullptr, nullptr, nullptr);
    d->setWatchdogInterval(kWatchdogMs);
    int calls = 0;
    int signalsDuringNestedLoop = 0;
    bool aliveDuringNestedLoop = false;
    auto receiver = [&]() {
        ++calls;
        d->deleteLater();
        // Like a modal message box: several watchdog intervals of a nested loop.
        QEventLoop nested;
        QTimer::singleShot(4 * kWatchdogMs, &nested, &QEventLoop::quit);
        const int before = calls;
        nested.exec();
        signalsDuringNestedLoop = calls - before;
        aliveDuringNestedLoop = !d.isNull();
    };
    connect(d.data(), &QHttpDownLoadS::oneDownLoadFinish, this, receiver);
    connect(d.data(), &QHttpDownLoadS::errorfinish, this, receiver);
    QSignalSpy ok(d.data(), &QHttpDownLoadS::oneDownLoadFinish);
    QSignalSpy error(d.data(), &QHttpDownLoadS::errorfinish);
    QSignalSpy destroyed(d.data(), &QObject::destroyed);

    QVERIFY(d->setUrlAndFilePath(server.url(path), target("nested.bin")));
    QVERIFY(d->startDownLoads(false));
    QVERIFY(destroyed.wait(kEndTimeoutMs));
    QVERIFY(d.isNull());
    QCOMPARE(calls, 1);
    QCOMPARE(signalsDuringNestedLoop, 0);
    QVERIFY(aliveDuringNestedLoop);
    QCOMPARE(ok.count(), success ? 1 : 0);
    QCOMPARE(error.count(), success ? 0 : 1);
}

void TestQHttpDownLoadS::receiverDeletesLaterDuringWaitingStart()
{
    const QByteArray body = patternBody(100 * 1024);
    TestHttpServer server;
    server.route("/ok", TestHttpServer::Reply::ok(body));
    server.route("/stall", TestHttpServer::Reply::ok(body).stallAfter(1000));

    for (const char* path : {"/ok", "/stall"}) {
        QPointer<QHttpDownLoadS> d = new QHttpDownLoadS(nullptr, nullptr, nullptr, nullptr);
        d->setWatchdogInterval(kWatchdogMs);
        int calls = 0;
        auto receiver = [&]() {
            ++calls;
            d->deleteLater();
            QEventLoop nested;
            QTimer::singleShot(2 * kWatchdogMs, &nested, &QEventLoop::quit);
            nested.exec();
        };
        connect(d.data(), &QHttpDownLoadS::oneDownLoadFinish, this, receiver);
        connect(d.data(), &QHttpDownLoadS::errorfinish, this, receiver);
        QVERIFY(d->setUrlAndFilePath(server.url(QLatin1String(path)), target("wd.bin")));
        // The deletion happens inside the waiting call; the call must return cleanly.
        QVERIFY(d->startDownLoads(true));
        QCOMPARE(calls, 1);
        QTRY_VERIFY(d.isNull());
    }
}

void TestQHttpDownLoadS::chainedWaitingDownloads()
{
    // Each download's receiver releases it and starts the next one, waiting, from
    // inside the signal: the way silent modules follow one another.
    const QByteArray body = patternBody(30 * 1024);
    TestHttpServer server;
    server.route("/m0", TestHttpServer::Reply::ok(body));
    server.route("/m1", TestHttpServer::Reply::status(404, "no"));
    server.route("/m2", TestHttpServer::Reply::ok(body));

    QStringList results;
    std::function<void(int)> next = [&](int index) {
        if (index > 2)
            return;
        auto* d = new QHttpDownLoadS(nullptr, nullptr, nullptr, nullptr);
        auto done = [&, d, index](bool good) {
            results << QStringLiteral("%1:%2").arg(index).arg(good ? "ok" : "error");
            d->deleteLater();
            next(index + 1);
        };
        connect(d, &QHttpDownLoadS::oneDownLoadFinish, this, [done]() { done(true); });
        connect(d, &QHttpDownLoadS::errorfinish, this, [done]() { done(false); });
        QVERIFY(d->setUrlAndFilePath(server.url(QStringLiteral("/m%1").arg(index)),
                                     target(QStringLiteral("m%1").arg(index))));
        QVERIFY(d->startDownLoads(true));
    };
    next(0);
    QCOMPARE(results, QStringList({"0:ok", "1:error", "2:ok"}));
    QCOMPARE(readFile(target("m2"), kMissing), body);
}

// ---- restarts and display objects ----

void TestQHttpDownLoadS::secondStartWhileRunningIsRefused()
{
    const QByteArray body = patternBody(50 * 1024);
    TestHttpServer server;
    server.route("/slow.bin", TestHttpServer::Reply::ok(body).trickle(8192, 20));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/slow.bin"), target("twice.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(!d.startDownLoads(false));
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(outcome.error.count(), 0);
    QCOMPARE(readFile(target("twice.bin"), kMissing), body);
    QCOMPARE(server.requestCount(), 1);
}

void TestQHttpDownLoadS::restartAfterEndCountsAfresh()
{
    const QByteArray big = patternBody(80 * 1024);
    const QByteArray small = patternBody(5000);
    TestHttpServer server;
    server.route("/big.bin", TestHttpServer::Reply::ok(big));
    server.route("/small.bin", TestHttpServer::Reply::ok(small));

    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    Outcome outcome(&d);
    QVERIFY(d.setUrlAndFilePath(server.url("/big.bin"), target("a.bin")));
    QVERIFY(d.startDownLoads(true));
    QCOMPARE(outcome.ok.count(), 1);
    // A second transfer is measured against its own size, not the first one's.
    QVERIFY(d.setUrlAndFilePath(server.url("/small.bin"), target("b.bin")));
    QVERIFY(d.startDownLoads(true));
    QCOMPARE(outcome.ok.count(), 2);
    QCOMPARE(outcome.error.count(), 0);
    QCOMPARE(readFile(target("b.bin"), kMissing), small);
}

void TestQHttpDownLoadS::progressBarDestroyedDuringTransfer()
{
    const QByteArray body = patternBody(100 * 1024);
    TestHttpServer server;
    server.route("/slow.bin", TestHttpServer::Reply::ok(body).trickle(8192, 10));

    auto* bar = new QProgressBar;
    auto* label = new QLabel;
    QHttpDownLoadS d(nullptr, bar, label, nullptr);
    Outcome outcome(&d);
    QSignalSpy progress(bar, &QProgressBar::valueChanged);
    QVERIFY(d.setUrlAndFilePath(server.url("/slow.bin"), target("bar.bin")));
    QVERIFY(d.startDownLoads(false));
    QVERIFY(progress.wait(10000));
    delete bar;
    delete label;
    QVERIFY(outcome.waitForEnd());
    QCOMPARE(outcome.ok.count(), 1);
    QCOMPARE(readFile(target("bar.bin"), kMissing), body);
}

// ---- progress display (no network) ----

void TestQHttpDownLoadS::progressDisplay_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<int>("barValue");
    QTest::addColumn<QString>("labelText");

    QTest::newRow("half of 1 MB after 2 s") << qint64(524288) << qint64(1048576) << qint64(2000) << 50
                                            << "Time Remaining: 2 seconds ( 0.50/1.00 MB)";
    QTest::newRow("3.5 of 10 MB after 7 s") << qint64(3670016) << qint64(10485760) << qint64(7000) << 35
                                            << "Time Remaining: 13 seconds ( 3.50/10.00 MB)";
    QTest::newRow("percent is truncated") << qint64(2) << qint64(3) << qint64(1000) << 66
                                          << "Time Remaining: 0 seconds ( 0.00/0.00 MB)";
    QTest::newRow("complete") << qint64(1048576) << qint64(1048576) << qint64(500) << 100
                              << "Time Remaining: 0 seconds ( 1.00/1.00 MB)";
    QTest::newRow("no time elapsed") << qint64(1000) << qint64(1048576) << qint64(0) << 0
                                     << "Time Remaining: - seconds ( 0.00/1.00 MB)";
    QTest::newRow("nothing received yet") << qint64(0) << qint64(1048576) << qint64(3000) << 0
                                          << "Time Remaining: - seconds ( 0.00/1.00 MB)";
    QTest::newRow("over 2^31 bytes") << qint64(3221225472LL) << qint64(6442450944LL) << qint64(100000) << 50
                                     << "Time Remaining: 100 seconds ( 3072.00/6144.00 MB)";
}

void TestQHttpDownLoadS::progressDisplay()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(int, barValue);
    QFETCH(QString, labelText);

    QProgressBar bar;
    bar.setValue(7);
    QLabel label;
    ClockedDownloader d(nullptr, &bar, &label, nullptr);
    d.now = elapsedMs; // never started: the start time is 0
    d.downloadProgress(received, total);
    QCOMPARE(bar.value(), barValue);
    QCOMPARE(label.text(), labelText);
}

void TestQHttpDownLoadS::progressWithUnknownSizeShowsNothing()
{
    QProgressBar bar;
    bar.setValue(7);
    QLabel label(QStringLiteral("before"));
    qint64 counter = 0;
    ClockedDownloader d(nullptr, &bar, &label, &counter);
    d.now = 5000;
    d.downloadProgress(4096, -1);
    d.downloadProgress(8192, 0);
    QCOMPARE(bar.value(), 7);
    QCOMPARE(label.text(), QStringLiteral("before"));
}

void TestQHttpDownLoadS::firstPositiveTotalIsKept()
{
    QProgressBar bar;
    ClockedDownloader d(nullptr, &bar, nullptr, nullptr);
    d.now = 1000;
    d.downloadProgress(10, 100);
    QCOMPARE(bar.value(), 10);
    d.downloadProgress(50, 200); // a later total does not count
    QCOMPARE(bar.value(), 50);
}

void TestQHttpDownLoadS::counterBaseCountsAsReceived()
{
    QProgressBar bar;
    QLabel label;
    qint64 counter = 262144;
    ClockedDownloader d(nullptr, &bar, &label, &counter);
    d.now = 1000;
    d.downloadProgress(262144, 1048576);
    QCOMPARE(bar.value(), 50);
    QCOMPARE(label.text(), QStringLiteral("Time Remaining: 1 seconds ( 0.50/1.00 MB)"));
    QCOMPARE(counter, qint64(262144)); // written only at the end of a transfer
}

void TestQHttpDownLoadS::progressLogLine()
{
    QHttpDownLoadS d(nullptr, nullptr, nullptr, nullptr);
    QVERIFY(d.setUrlAndFilePath(QUrl("http://127.0.0.1/dir/pkg.bin"), target("pkg.bin")));
    QTest::ignoreMessage(QtDebugMsg, "Downloading pkg.bin:262144 of 1048576 = 25%");
    d.downloadProgress(262144, 1048576);
    QTest::ignoreMessage(QtDebugMsg, "Downloading pkg.bin:1 of 3 = 33.3333%");
    QHttpDownLoadS e(nullptr, nullptr, nullptr, nullptr);
    QVERIFY(e.setUrlAndFilePath(QUrl("http://127.0.0.1/pkg.bin"), target("pkg.bin")));
    e.downloadProgress(1, 3);
}

QTEST_MAIN(TestQHttpDownLoadS)
#include "tst_qhttpdownloads.moc"
