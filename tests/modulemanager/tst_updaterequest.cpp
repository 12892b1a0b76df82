// The update query against a real HTTP server on 127.0.0.1 (TestHttpServer, also over
// TLS with a throw-away authority this process trusts): the request exactly as sent,
// the choice of server by the clock's offset from UTC, the reply turned into the
// offered list, and every way a query can fail. A failed query must never look like
// "nothing to update": it ends with sQueryModuleInfoFinish at once and
// isQuerySucceeded() false.
//
// The downloader's watchdogs run with an interval of an hour here (except where a test
// needs them), so a signal that arrives can only come from the failure under test.

#include "envguard.h"
#include "creadermodulemanager.h"
#include "mmtestsupport.h"
#include "qhttpdownloads.h"
#include "cissuedrecord.h"
#include "cserverwaits.h"
#include "csignedreply.h"
#include "logcapture.h"
#include "signedsite.h"
#include "testcertificates.h"
#include "testhttpserver.h"

#include <QPointer>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace TestUtil;

namespace {

const QString kList = QStringLiteral("Update List");
const int kQuietWatchdogMs = 3600 * 1000;
const int kWaitMs = 30000;
const int kChina = 8 * 3600;

const QString kUsScript = QStringLiteral("/addons/get_addons.php");
const QString kCnScript = QStringLiteral("/cn/addons/get_addons.php");
const QString kUsTarget = QStringLiteral("/addons/get_addons.php/get_addons.php");
const QString kCnTarget = QStringLiteral("/cn/addons/get_addons.php/get_addons.php");

const QString kParams = QStringLiteral("type:\"Update List\",product:\"P\",version:\"7.1.0.1234\"");

const QByteArray kThreeModules =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<addons majorUpdate=\"TRUE\">\n"
    "  <addon name=\"Reader\" version=\"7.2.0.1\" size=\"1024\" description=\"New reader\"\n"
    "         url=\"http://dl.example.invalid/reader.bin\" result=\"true\"/>\n"
    "  <addon name=\"Spell\" version=\"2.0\" result=\"false\"/>\n"
    "  <addon name=\"Stamps\" version=\"1.1\" url=\"http://dl.example.invalid/stamps.bin\"\n"
    "         result=\"TRUE\" SilentInstall=\"TRUE\"/>\n"
    "</addons>\n";

// The time the checks of the servers' waits go by.
const qint64 kNow = 1796692200;

// An HTTP date (IMF-fixdate) of t.
QByteArray httpDate(qint64 t)
{
    return QLocale::c().toString(QDateTime::fromSecsSinceEpoch(t, Qt::UTC), "ddd, dd MMM yyyy hh:mm:ss 'GMT'").toLatin1();
}

// A port on 127.0.0.1 that nothing listens on.
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

class TestUpdateRequest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void requestAsSent_data();
    void requestAsSent();
    void serverAddresses();
    void localClockChoosesTheServerByDefault();

    void replyBecomesTheOfferedList();
    void answerWithoutOfferedModulesIsASuccess();
    void failedTransfers_data();
    void failedTransfers();
    void otherRequestServer_data();
    void otherRequestServer();
    void silentServerFailsThroughTheWatchdog();
    void waitingQuery();
    void serverAskedToWait_data();
    void serverAskedToWait();
    void bothServersWait();

    void startFailures_data();
    void startFailures();
    void replyFileCannotBeOpened();
    void replyDirectoryCannotBeMade();
    void replyOfExactlyTheLimitIsRead();
    void replyFileLivesInAPrivateFolder();
    void signedReplyWithTrustedKeys();
    void queryOverHttps();
    void certificateErrorIsAFailedCheck_data();
    void certificateErrorIsAFailedCheck();
    void failedStartThenNewQueryReportsOnce();

    void newQueryReplacesARunningOne();
    void newQueryFromInsideTheFinishSignal();
    void managerDestroyedFromItsFinishSignal();
    void finishWithoutAQueryIsNoSuccess();

private:
    std::unique_ptr<CReaderModuleManager> makeManager(const QString& params = kParams, int offset = 0,
                                                      int language = 0, int country = 0);
    // Starts a query without waiting and waits for its signal; false if it never came.
    bool runQuery(CReaderModuleManager& manager, QProgressBar* bar = nullptr);

    // The test authority, trusted in this process from the first https test on.
    const TestCertificates& pki();

    QTemporaryDir m_workDir;
    TestHttpServer m_server;
    std::unique_ptr<EnvGuard> m_caseEnv;  // the request servers of the whole test case
    std::unique_ptr<TestCertificates> m_pki;
    std::unique_ptr<UpdaterApp> m_app;
};

void TestUpdateRequest::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
    QVERIFY(m_server.isListening());
    QHttpDownLoadS::setDefaultWatchdogInterval(kQuietWatchdogMs);
    m_caseEnv = std::make_unique<EnvGuard>();
    m_caseEnv->set("MORAVEL_UPDATE_SERVER_US", m_server.url(kUsScript).toString().toUtf8());
    m_caseEnv->set("MORAVEL_UPDATE_SERVER_CN", m_server.url(kCnScript).toString().toUtf8());
}

void TestUpdateRequest::init()
{
    m_server.clearRoutes();
    m_server.clearRequests();
    m_server.setFallback(TestHttpServer::Reply::status(404, "no such path"));
    m_app.reset();
}

void TestUpdateRequest::cleanupTestCase()
{
    QHttpDownLoadS::setDefaultWatchdogInterval(10000);
    m_caseEnv.reset();
}

std::unique_ptr<CReaderModuleManager> TestUpdateRequest::makeManager(const QString& params, int offset, int language,
                                                                     int country)
{
    m_app = makeApp(params);
    std::unique_ptr<CReaderModuleManager> manager(new CReaderModuleManager(kList, m_app.get(), nullptr));
    manager->setLangParm(language, country);
    manager->setClockOffsetFromUtc(offset);
    return manager;
}

bool TestUpdateRequest::runQuery(CReaderModuleManager& manager, QProgressBar* bar)
{
    QSignalSpy finished(&manager, &CReaderModuleManager::sQueryModuleInfoFinish);
    if (manager.QueryModuleInfo(bar, false) != 0)
        return false;
    if (finished.isEmpty() && !finished.wait(kWaitMs))
        return false;
    // Exactly one report per query.
    QCoreApplication::processEvents();
    return finished.count() == 1;
}

void TestUpdateRequest::requestAsSent_data()
{
    QTest::addColumn<QString>("params");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("country");
    QTest::addColumn<QString>("target");

    const QString query = QStringLiteral("?addon=Update%20List&product=P&version=7.1&build=0.1234&platform=x86");
    QTest::newRow("UTC, Japanese") << kParams << 0 << 59 << 108
                                   << kUsTarget + query + "&EmbededLanguage=ja-JP";
    QTest::newRow("UTC+8, Chinese") << kParams << kChina << 25 << 44
                                    << kCnTarget + query + "&EmbededLanguage=zh-CN";
    QTest::newRow("UTC+8:30") << kParams << kChina + 1800 << 25 << 208
                              << kCnTarget + query + "&EmbededLanguage=en-US";
    QTest::newRow("UTC+8:59:59") << kParams << kChina + 3599 << 0 << 0
                                 << kCnTarget + query + "&EmbededLanguage=en-US";
    QTest::newRow("UTC+9") << kParams << kChina + 3600 << 25 << 44
                           << kUsTarget + query + "&EmbededLanguage=zh-CN";
    QTest::newRow("UTC+7:59:59") << kParams << kChina - 1 << 0 << 0
                                 << kUsTarget + query + "&EmbededLanguage=en-US";
    QTest::newRow("UTC+5:30") << kParams << 19800 << 0 << 0 << kUsTarget + query + "&EmbededLanguage=en-US";
    QTest::newRow("UTC-5") << kParams << -18000 << 0 << 0 << kUsTarget + query + "&EmbededLanguage=en-US";
    QTest::newRow("version without dots")
        << "type:\"Update List\",product:\"P\",version:\"7\"" << 0 << 0 << 0
        << kUsTarget + "?addon=Update%20List&product=P&version=7&build=7&platform=x86&EmbededLanguage=en-US";
    QTest::newRow("version with one dot")
        << "type:\"Update List\",product:\"P\",version:\"7.1\"" << 0 << 0 << 0
        << kUsTarget + "?addon=Update%20List&product=P&version=7.1&build=7.1&platform=x86&EmbededLanguage=en-US";
    QTest::newRow("long version")
        << "type:\"Update List\",product:\"P\",version:\"7.1.0.1234.5\"" << 0 << 0 << 0
        << kUsTarget + "?addon=Update%20List&product=P&version=7.1&build=0.1234.5&platform=x86&EmbededLanguage=en-US";
    QTest::newRow("no version")
        << "type:\"Update List\",product:\"P\"" << 0 << 0 << 0
        << kUsTarget + "?addon=Update%20List&product=P&platform=x86&EmbededLanguage=en-US";
    QTest::newRow("no parameters") << "" << 0 << 0 << 0
                                   << kUsTarget + "?addon=Update%20List&product=&platform=x86&EmbededLanguage=en-US";
}

void TestUpdateRequest::requestAsSent()
{
    QFETCH(QString, params);
    QFETCH(int, offset);
    QFETCH(int, language);
    QFETCH(int, country);
    QFETCH(QString, target);

    m_server.setFallback(TestHttpServer::Reply::ok("<addons/>"));
    std::unique_ptr<CReaderModuleManager> manager = makeManager(params, offset, language, country);
    // The path and query appended to the server's address.
    QCOMPARE(manager->GetHttpURL(kList), "/get_addons.php" + target.mid(target.indexOf(QLatin1Char('?'))));

    QVERIFY(runQuery(*manager));
    QCOMPARE(m_server.requestCount(), 1);
    const TestHttpServer::Request request = m_server.lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(QString::fromUtf8(request.target), target);
    QVERIFY(manager->isQuerySucceeded());
}

void TestUpdateRequest::serverAddresses()
{
    {
        EnvGuard us("MORAVEL_UPDATE_SERVER_US", "http://us.example.test/addons/get_addons.php");
        EnvGuard cn("MORAVEL_UPDATE_SERVER_CN", "http://cn.example.test/addons/get_addons.php");
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(kChina), QStringLiteral("http://cn.example.test/addons/get_addons.php"));
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(kChina + 3599), QStringLiteral("http://cn.example.test/addons/get_addons.php"));
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(kChina - 1), QStringLiteral("http://us.example.test/addons/get_addons.php"));
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(kChina + 3600), QStringLiteral("http://us.example.test/addons/get_addons.php"));
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(0), QStringLiteral("http://us.example.test/addons/get_addons.php"));
    }
    {
        // Unset or empty: the addresses the build was configured with.
        EnvGuard us("MORAVEL_UPDATE_SERVER_US", "");
        EnvGuard cn("MORAVEL_UPDATE_SERVER_CN", "");
        cn.unset("MORAVEL_UPDATE_SERVER_CN");
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(0), QStringLiteral(MORAVEL_UPDATE_SERVER_US_DEFAULT));
        QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(kChina), QStringLiteral(MORAVEL_UPDATE_SERVER_CN_DEFAULT));
        QVERIFY(QStringLiteral(MORAVEL_UPDATE_SERVER_US_DEFAULT).endsWith(QLatin1String("/addons/get_addons.php")));
        QVERIFY(QStringLiteral(MORAVEL_UPDATE_SERVER_CN_DEFAULT).endsWith(QLatin1String("/addons/get_addons.php")));
    }
    QCOMPARE(CReaderModuleManager::RequestServerForUtcOffset(kChina), m_server.url(kCnScript).toString());
}

void TestUpdateRequest::localClockChoosesTheServerByDefault()
{
    m_server.setFallback(TestHttpServer::Reply::ok("<addons/>"));
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    manager->resetClockOffsetFromUtc();
    const int offset = QDateTime::currentDateTime().offsetFromUtc();
    QVERIFY(runQuery(*manager));
    const QString expected = offset >= kChina && offset < kChina + 3600 ? kCnTarget : kUsTarget;
    QCOMPARE(QString::fromUtf8(m_server.lastRequest().path()), expected);
}

void TestUpdateRequest::replyBecomesTheOfferedList()
{
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QProgressBar bar;
    QVERIFY(runQuery(*manager, &bar));
    QVERIFY(manager->isQuerySucceeded());
    QCOMPARE(offeredNames(*manager), QStringList({ "Reader", "Stamps" }));
    QCOMPARE(manager->m_vecUpdateModules.at(0)->strUrl, QStringLiteral("http://dl.example.invalid/reader.bin"));
    QCOMPARE(manager->m_vecUpdateModules.at(0)->strAddon, kList);
    QVERIFY(manager->m_vecUpdateModules.at(1)->bSilentInstall);
    QVERIFY(!manager->isSilentUpdate());
    QCOMPARE(bar.value(), 100);

    // The reply stays in the working directory below the temporary directory.
    QCOMPARE(manager->m_strReplyFile, QDir::tempPath() + "/MoravelCorvina/update_tmpfile.xml");
    QFile reply(manager->m_strReplyFile);
    QVERIFY(reply.open(QIODevice::ReadOnly));
    QCOMPARE(reply.readAll(), kThreeModules);
}

void TestUpdateRequest::answerWithoutOfferedModulesIsASuccess()
{
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    QVERIFY(runQuery(*manager));
    QCOMPARE(manager->m_vecUpdateModules.size(), 2);

    m_server.route(kUsTarget, TestHttpServer::Reply::ok("<addons majorUpdate=\"true\"/>"));
    QVERIFY(runQuery(*manager));
    QVERIFY(manager->isQuerySucceeded());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());

    // Chunked, without a length, and with nothing marked as an update.
    m_server.route(kUsTarget, TestHttpServer::Reply::ok("<addons><a name=\"A\" result=\"false\"/></addons>").chunked());
    QVERIFY(runQuery(*manager));
    QVERIFY(manager->isQuerySucceeded());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());
}

void TestUpdateRequest::failedTransfers_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("connection refused") << "refused";
    QTest::newRow("404 with a module list as body") << "404";
    QTest::newRow("500") << "500";
    QTest::newRow("body cut short") << "short";
    QTest::newRow("connection reset mid-body") << "reset";
    QTest::newRow("closed before answering") << "closed";
    QTest::newRow("not XML") << "text";
    QTest::newRow("empty body") << "empty";
    QTest::newRow("end tag first") << "endtag";
    QTest::newRow("web page") << "html";
    QTest::newRow("web page, other case, prefix") << "HTML";
    QTest::newRow("gzip-encoded") << "gzip";
    QTest::newRow("over 8 MiB") << "huge";
    QTest::newRow("over 8 MiB, chunked") << "hugechunked";
}

void TestUpdateRequest::failedTransfers()
{
    QFETCH(QString, kind);
    using Reply = TestHttpServer::Reply;
    std::unique_ptr<EnvGuard> redirect;
    if (kind == "refused") {
        const quint16 port = closedPort();
        QVERIFY(port != 0);
        redirect.reset(new EnvGuard("MORAVEL_UPDATE_SERVER_US",
                                    QByteArray("http://127.0.0.1:") + QByteArray::number(port) + kUsScript.toUtf8()));
    } else if (kind == "404") {
        m_server.route(kUsTarget, Reply::status(404, kThreeModules));
    } else if (kind == "500") {
        m_server.route(kUsTarget, Reply::status(500, "<error/>"));
    } else if (kind == "short") {
        m_server.route(kUsTarget, Reply::ok(kThreeModules).closeAfter(40));
    } else if (kind == "reset") {
        m_server.route(kUsTarget, Reply::ok(kThreeModules).resetAfter(40));
    } else if (kind == "closed") {
        m_server.route(kUsTarget, Reply::ok(kThreeModules).closeAfter(-1));
    } else if (kind == "text") {
        m_server.route(kUsTarget, Reply::ok("Service temporarily unavailable"));
    } else if (kind == "empty") {
        m_server.route(kUsTarget, Reply::ok(QByteArray()));
    } else if (kind == "endtag") {
        m_server.route(kUsTarget, Reply::ok("</addons><addon name=\"Reader\" result=\"true\"/>"));
    } else if (kind == "html") {
        // A captive portal's login page, with a 200.
        m_server.route(kUsTarget, Reply::ok("<!DOCTYPE html><html><body><form><input name=\"result\"/></form>"
                                            "</body></html>"));
    } else if (kind == "HTML") {
        m_server.route(kUsTarget, Reply::ok("<h:HTML xmlns:h=\"http://www.w3.org/1999/xhtml\">"
                                            "<addon name=\"Reader\" result=\"true\"/></h:HTML>"));
    } else if (kind == "gzip") {
        // Real gzip bytes would not be taken either; these need not be real.
        m_server.route(kUsTarget, Reply::ok(kThreeModules).header("Content-Encoding", "gzip"));
    } else if (kind == "huge" || kind == "hugechunked") {
        QByteArray huge = kThreeModules;
        huge.replace("New reader", QByteArray(CReaderModuleManager::kMaxReplyBytes, 'x'));
        m_server.route(kUsTarget, kind == "huge" ? Reply::ok(huge) : Reply::ok(huge).chunked());
    }

    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    // What an earlier answer offered does not survive a failed query.
    MODULEINFO* earlier = manager->AddModule(kList);
    earlier->strName = QStringLiteral("Earlier");
    manager->m_vecUpdateModules.append(earlier);

    QVERIFY(runQuery(*manager));
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());
    // Nothing past the limit was kept.
    QVERIFY(QFileInfo(manager->m_strReplyFile).size() <= CReaderModuleManager::kMaxReplyBytes);
    // The other region's server (404 here) is asked too, with the same request, only
    // when the clock's gave no whole answer or a 5xx.
    const bool otherAsked = QStringList({ "refused", "500", "short", "reset", "closed" }).contains(kind);
    QCOMPARE(m_server.requests().last().target == kCnScript + manager->GetHttpURL(kList), otherAsked);
}

void TestUpdateRequest::otherRequestServer_data()
{
    QTest::addColumn<QString>("fault");   // of the server the clock chooses
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("wait");
    QTest::addColumn<bool>("asked");      // the other region's server, which answers
    QTest::newRow("down") << "down" << 0 << false << true;
    QTest::newRow("China's down, the US one answers") << "down" << kChina << false << true;
    QTest::newRow("503") << "503" << 0 << false << true;
    QTest::newRow("502, waiting query") << "502" << 0 << true << true;
    QTest::newRow("silent past the watchdog") << "silent" << 0 << false << true;
    QTest::newRow("404: not retried") << "404" << 0 << false << false;
    QTest::newRow("signature refused: not retried") << "unsigned" << 0 << false << false;
    QTest::newRow("one address for both regions: asked once") << "same" << 0 << false << false;
}

void TestUpdateRequest::otherRequestServer()
{
    QFETCH(QString, fault);
    QFETCH(int, offset);
    QFETCH(bool, wait);
    QFETCH(bool, asked);
    using Reply = TestHttpServer::Reply;
    const QMap<QString, Reply> replies = { { "silent", Reply::silent() }, { "404", Reply::status(404, kThreeModules) },
                                           { "unsigned", Reply::ok(kThreeModules) }, { "same", Reply::status(503) } };
    m_server.route(kUsTarget, replies.value(fault, Reply::status(fault.toInt())));
    TestHttpServer other;
    other.route(kUsTarget, Reply::ok(kThreeModules));
    const QByteArray chosen = fault == "down"
                                  ? "http://127.0.0.1:" + QByteArray::number(closedPort()) + kUsScript.toUtf8()
                                  : m_server.url(kUsScript).toEncoded();
    const bool china = offset == kChina;
    EnvGuard clockServer(china ? "MORAVEL_UPDATE_SERVER_CN" : "MORAVEL_UPDATE_SERVER_US", chosen);
    EnvGuard otherServer(china ? "MORAVEL_UPDATE_SERVER_US" : "MORAVEL_UPDATE_SERVER_CN",
                         fault == "same" ? chosen : other.url(kUsScript).toEncoded());
    std::unique_ptr<CReaderModuleManager> manager = makeManager(kParams, offset);
    if (fault == "unsigned")
        manager->setTrustedKeys({ SignedSite::Key::make().publicKey });

    QHttpDownLoadS::setDefaultWatchdogInterval(fault == "silent" ? 200 : kQuietWatchdogMs);
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    // Waiting, both tries are over and reported once when the call returns.
    const bool ended = wait ? manager->QueryModuleInfo(nullptr, true) == 0 && finished.count() == 1 : runQuery(*manager);
    QHttpDownLoadS::setDefaultWatchdogInterval(kQuietWatchdogMs);
    QVERIFY(ended);
    QCOMPARE(manager->isQuerySucceeded(), asked);
    QCOMPARE(offeredNames(*manager), asked ? QStringList({ "Reader", "Stamps" }) : QStringList());
    QCOMPARE(manager->isVerificationFailed(), fault == "unsigned");
    // Each server once at most, the other with the same request.
    QCOMPARE(other.requestCount(), asked ? 1 : 0);
    if (asked)
        QCOMPARE(QString::fromUtf8(other.lastRequest().target), kUsScript + manager->GetHttpURL(kList));
    QCOMPARE(m_server.requestCount(), fault == "down" ? 0 : 1);
}

void TestUpdateRequest::serverAskedToWait_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<qint64>("wait");   // seconds from the answer; -1: none kept
    QTest::newRow("503, seconds") << 503 << QByteArray("120") << qint64(120);
    QTest::newRow("429, an HTTP date") << 429 << httpDate(kNow + 3600) << qint64(3600);
    QTest::newRow("503, two days: one") << 503 << QByteArray(" 172800 ") << qint64(86400);
    QTest::newRow("503, a date two days ahead: one") << 503 << httpDate(kNow + 2 * 86400) << qint64(86400);
    QTest::newRow("503, more digits than a number holds: a day") << 503 << QByteArray(40, '9') << qint64(86400);
    QTest::newRow("503, a date in the past") << 503 << httpDate(kNow - 60) << qint64(-1);
    QTest::newRow("503, zero seconds") << 503 << QByteArray("0") << qint64(-1);
    QTest::newRow("503, unparsable") << 503 << QByteArray("soon") << qint64(-1);
    QTest::newRow("503, negative") << 503 << QByteArray("-120") << qint64(-1);
    QTest::newRow("503, a date in another zone") << 503 << httpDate(kNow + 3600).replace("GMT", "UTC") << qint64(-1);
    QTest::newRow("503, the obsolete date form") << 503 << QByteArray("Sunday, 06-Nov-44 08:49:37 GMT") << qint64(-1);
    QTest::newRow("503, no Retry-After") << 503 << QByteArray() << qint64(-1);
}

void TestUpdateRequest::serverAskedToWait()
{
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(qint64, wait);
    QFile::remove(CServerWaits::path());
    TestHttpServer::Reply busy = TestHttpServer::Reply::status(status, "busy");
    if (!retryAfter.isEmpty())
        busy.header("Retry-After", retryAfter);
    m_server.route(kUsTarget, busy);
    TestHttpServer other;
    other.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    EnvGuard cn("MORAVEL_UPDATE_SERVER_CN", other.url(kUsScript).toEncoded());
    const QString asked = QStringLiteral("request server %1 asked to wait until %2")
                              .arg(m_server.url(kUsScript).authority(), CSignedReply::formatUtcTime(kNow + wait));
    LogCapture log(LogCapture::Quiet);
    // Each manager is a run of its own; what one keeps, the next reads.
    auto check = [this](const QString& params, qint64 at, int busyAsked) {
        std::unique_ptr<CReaderModuleManager> manager = makeManager(params);
        manager->setCurrentTime(at);
        return runQuery(*manager) && manager->isQuerySucceeded() && m_server.requestCount() == busyAsked;
    };
    // The busy server's answer sends the check to the other region's server at once.
    QVERIFY(check(kParams, kNow, 1));
    QCOMPARE(other.requestCount(), 1);
    QCOMPARE(log.lines().contains(asked), wait > 0);
    // A later run: while the wait lasts, an automatic check asks the other server only.
    const bool waits = wait > 10;
    QVERIFY(check(kParams, kNow + 10, waits ? 1 : 2));
    QCOMPARE(other.requestCount(), 2);
    QCOMPARE(log.lines().contains(asked + ": asking " + other.url(kUsScript).authority()), waits);
    // A manual check asks anyway (and its answer asks for the wait again).
    QVERIFY(check(kParams + ",updater:\"Manual\"", kNow + 10, waits ? 2 : 3));
    QCOMPARE(other.requestCount(), 3);
    // Once the wait is over, the server is asked again.
    if (waits)
        QVERIFY(check(kParams, kNow + 10 + wait, 3));
}

void TestUpdateRequest::bothServersWait()
{
    // Both regions' servers asked to wait: an automatic check asks neither and fails at
    // once; a manual check asks anyway.
    QFile::remove(CServerWaits::path());
    m_server.route(kUsTarget, TestHttpServer::Reply::status(503).header("Retry-After", "600"));
    TestHttpServer other;
    other.route(kUsTarget, TestHttpServer::Reply::status(429).header("Retry-After", "900"));
    EnvGuard cn("MORAVEL_UPDATE_SERVER_CN", other.url(kUsScript).toEncoded());
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    manager->setCurrentTime(kNow);
    QVERIFY(runQuery(*manager));
    QVERIFY(!manager->isQuerySucceeded());
    QCOMPARE(m_server.requestCount() + other.requestCount(), 2);

    manager.reset();
    manager = makeManager();
    manager->setCurrentTime(kNow + 300);
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 3);
    QVERIFY(finished.wait(kWaitMs));
    QVERIFY(!manager->isQuerySucceeded());
    QCOMPARE(m_server.requestCount() + other.requestCount(), 2);

    manager.reset();
    manager = makeManager(kParams + ",updater:\"Manual\"");
    manager->setCurrentTime(kNow + 300);
    QVERIFY(runQuery(*manager));
    QCOMPARE(m_server.requestCount() + other.requestCount(), 4);
}

void TestUpdateRequest::replyOfExactlyTheLimitIsRead()
{
    QByteArray reply = kThreeModules;
    reply.replace("New reader", QByteArray(CReaderModuleManager::kMaxReplyBytes - kThreeModules.size() + 10, 'x'));
    QCOMPARE(reply.size(), int(CReaderModuleManager::kMaxReplyBytes));
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(reply));
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QVERIFY(runQuery(*manager));
    QVERIFY(manager->isQuerySucceeded());
    QCOMPARE(offeredNames(*manager), QStringList() << "Reader" << "Stamps");
    QCOMPARE(m_server.lastRequest().header("Accept-Encoding"), QByteArray("identity"));
}

void TestUpdateRequest::replyFileLivesInAPrivateFolder()
{
    // Somebody's link where the working folder belongs, then a folder anybody may write
    // to: neither is used, the reply goes to the folder of this user's id.
    const QString shared = QDir::tempPath() + "/MoravelCorvina";
    const QString own = shared + "-" + QString::number(geteuid());
    const QString elsewhere = m_workDir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    for (int round = 0; round < 2; ++round) {
        QDir(shared).removeRecursively();
        QFile::remove(shared);
        QDir(own).removeRecursively();
        if (round == 0) {
            QVERIFY(QFile::link(elsewhere, shared));
        } else {
            QVERIFY(QDir().mkpath(shared));
            QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
        }
        std::unique_ptr<CReaderModuleManager> manager = makeManager();
        QVERIFY(runQuery(*manager));
        QVERIFY(manager->isQuerySucceeded());
        QCOMPARE(manager->m_strReplyFile, own + "/update_tmpfile.xml");
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(own).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
        QVERIFY(QDir(elsewhere).isEmpty());
    }
    QFile::remove(shared);
    QDir(shared).removeRecursively();
    QDir(own).removeRecursively();
}

void TestUpdateRequest::signedReplyWithTrustedKeys()
{
    // The manager's clock is fixed: the reply's times are judged against it.
    const SignedSite::Key key = SignedSite::Key::make();
    const qint64 now = 1796692200;
    const QByteArray hashed =
        "<addons " + SignedSite::times(now - 3600, 30 * 86400, "P") + ">\n"
        "  <addon name=\"Reader\" version=\"7.2\" url=\"http://dl.example.invalid/r.pkg\" result=\"true\"\n"
        "         sha256=\"" + SignedSite::sha256Hex("r").toLatin1() + "\"/>\n"
        "  <addon name=\"Notes\" version=\"1.0\" result=\"true\"/>\n"
        "</addons>\n";
    QCOMPARE(CIssuedRecord::path(), qEnvironmentVariable("XDG_STATE_HOME") + "/moravel-updater/newest-issued");
    QFile::remove(CIssuedRecord::path());

    m_server.route(kUsTarget, TestHttpServer::Reply::ok(SignedSite::sign(hashed, key)));
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    manager->setTrustedKeys({ key.publicKey });
    manager->setCurrentTime(now);
    QVERIFY(runQuery(*manager));
    QVERIFY(manager->isQuerySucceeded());
    QVERIFY(!manager->isVerificationFailed());
    // A module without a package needs no hash.
    QCOMPARE(offeredNames(*manager), QStringList() << "Reader" << "Notes");
    QCOMPARE(manager->m_vecUpdateModules.at(0)->strSha256, SignedSite::sha256Hex("r"));
    qint64 kept = 0;
    QVERIFY(CIssuedRecord::read(QStringLiteral("P"), &kept));
    QCOMPARE(kept, now - 3600);

    // A month later the same reply has expired: a failed check, and one of its own kind.
    manager->setCurrentTime(now + 31 * 86400);
    QVERIFY(runQuery(*manager));
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(manager->isVerificationFailed());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());

    // A failed transfer is no failed verification.
    m_server.route(kUsTarget, TestHttpServer::Reply::status(500));
    QVERIFY(runQuery(*manager));
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(!manager->isVerificationFailed());

    // Without keys the same reply is read as it always was; its hashes are still kept
    // for the download window to check.
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(SignedSite::sign(hashed, key)));
    manager->setTrustedKeys({});
    QVERIFY(runQuery(*manager));
    QVERIFY(manager->isQuerySucceeded());
    QCOMPARE(offeredNames(*manager), QStringList() << "Reader" << "Notes");
    QCOMPARE(manager->m_vecUpdateModules.at(0)->strSha256, SignedSite::sha256Hex("r"));

    // A key source that gave no valid key refuses every reply, signed or not.
    manager->setTrustedKeys({}, true);
    QVERIFY(runQuery(*manager));
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(manager->isVerificationFailed());
}

const TestCertificates& TestUpdateRequest::pki()
{
    if (!m_pki) {
        m_pki.reset(new TestCertificates(m_workDir.filePath(QStringLiteral("pki"))));
        if (m_pki->isValid())
            m_pki->trustInThisProcess();
    }
    return *m_pki;
}

void TestUpdateRequest::queryOverHttps()
{
    QVERIFY2(pki().isValid(), qPrintable(pki().errorString()));
    TestHttpServer secure;
    secure.setTls(pki().certificate(QStringLiteral("server")), pki().key(QStringLiteral("server")));
    // Unsigned, what came over https offers a package over plain http only with its hash.
    QByteArray reply = kThreeModules;
    reply.replace("url=\"http://dl.example.invalid/reader.bin\"", "url=\"https://dl.example.invalid/reader.bin\"");
    secure.route(kUsTarget, TestHttpServer::Reply::ok(reply));
    EnvGuard us("MORAVEL_UPDATE_SERVER_US", secure.url(kUsScript).toEncoded());
    QVERIFY(secure.url(kUsScript).toString().startsWith(QLatin1String("https://127.0.0.1:")));

    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QProgressBar bar;
    QVERIFY(runQuery(*manager, &bar));
    QVERIFY(manager->isQuerySucceeded());
    QVERIFY(!manager->isVerificationFailed());
    QCOMPARE(offeredNames(*manager), QStringList({ "Reader" }));
    QCOMPARE(bar.value(), 100);
    QCOMPARE(secure.requestCount(), 1);
    QVERIFY(secure.lastRequest().target.startsWith(kUsTarget.toUtf8() + "?addon=Update%20List&"));
    // The plain server was not asked.
    QCOMPARE(m_server.requestCount(), 0);
}

void TestUpdateRequest::certificateErrorIsAFailedCheck_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("withKeys");
    QTest::addColumn<bool>("otherOverHttps");   // the other region's server, else over http
    QTest::newRow("expired") << "expired" << false << false;
    QTest::newRow("expired, trusted keys set") << "expired" << true << false;
    QTest::newRow("for another host") << "otherhost" << false << false;
    QTest::newRow("self-signed") << "selfsigned" << true << false;
    QTest::newRow("expired, the other over https") << "expired" << false << true;
}

void TestUpdateRequest::certificateErrorIsAFailedCheck()
{
    QFETCH(QString, certificate);
    QFETCH(bool, withKeys);
    QFETCH(bool, otherOverHttps);
    QVERIFY2(pki().isValid(), qPrintable(pki().errorString()));
    TestHttpServer secure;
    secure.setTls(pki().certificate(certificate), pki().key(certificate));
    // The other region's: over http a reply whose package has no hash, which an unsigned
    // check would offer; over https a 404.
    m_server.route(kCnTarget, TestHttpServer::Reply::ok(kThreeModules));
    TestHttpServer secureOther;
    secureOther.setTls(pki().certificate(QStringLiteral("server")), pki().key(QStringLiteral("server")));
    EnvGuard cn("MORAVEL_UPDATE_SERVER_CN",
                (otherOverHttps ? secureOther.url(kCnScript) : m_server.url(kCnScript)).toEncoded());
    // Taken, this reply would be a success without keys and a failed verification with
    // them: neither may happen.
    const SignedSite::Key key = SignedSite::Key::make();
    secure.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    EnvGuard us("MORAVEL_UPDATE_SERVER_US", secure.url(kUsScript).toEncoded());

    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    if (withKeys)
        manager->setTrustedKeys({ key.publicKey });
    // What an earlier answer offered does not survive the failed query either.
    MODULEINFO* earlier = manager->AddModule(kList);
    earlier->strName = QStringLiteral("Earlier");
    manager->m_vecUpdateModules.append(earlier);

    // Exactly one report (runQuery checks that), and it is a failed check: a transfer
    // that failed, not a reply that failed its verification.
    QVERIFY(runQuery(*manager));
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(!manager->isVerificationFailed());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());
    QCOMPARE(secure.requestCount(), 0);
    // A failed handshake is a server that is down, but after https the other region's is
    // asked only over https.
    QCOMPARE(m_server.requestCount(), 0);
    QCOMPARE(secureOther.requestCount(), otherOverHttps ? 1 : 0);
}

void TestUpdateRequest::silentServerFailsThroughTheWatchdog()
{
    m_server.route(kUsTarget, TestHttpServer::Reply::silent());
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QHttpDownLoadS::setDefaultWatchdogInterval(200);
    const bool ended = runQuery(*manager);
    QHttpDownLoadS::setDefaultWatchdogInterval(kQuietWatchdogMs);
    QVERIFY(ended);
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());
    // The clock's server, then the other region's (which has nothing).
    QCOMPARE(m_server.requestCount(), 2);

    // A server that sends part of the reply and then nothing more fails the same way.
    // (It trickles for a while first, so that the downloader sees progress reports.)
    const QByteArray padded = kThreeModules + QByteArray(4000, ' ');
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(padded).trickle(100, 30).stallAfter(2000));
    QHttpDownLoadS::setDefaultWatchdogInterval(200);
    const bool stalledEnded = runQuery(*manager);
    QHttpDownLoadS::setDefaultWatchdogInterval(kQuietWatchdogMs);
    QVERIFY(stalledEnded);
    QVERIFY(!manager->isQuerySucceeded());

    // And so does one that stalls right after a first quick burst.
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules).stallAfter(40));
    QHttpDownLoadS::setDefaultWatchdogInterval(200);
    const bool burstEnded = runQuery(*manager);
    QHttpDownLoadS::setDefaultWatchdogInterval(kQuietWatchdogMs);
    QVERIFY(burstEnded);
    QVERIFY(!manager->isQuerySucceeded());
}

void TestUpdateRequest::waitingQuery()
{
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);

    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules).trickle(64, 5));
    QCOMPARE(manager->QueryModuleInfo(nullptr, true), 0);
    // The transfer has ended and been reported before the call returns.
    QCOMPARE(finished.count(), 1);
    QVERIFY(manager->isQuerySucceeded());
    QCOMPARE(offeredNames(*manager), QStringList({ "Reader", "Stamps" }));

    m_server.route(kUsTarget, TestHttpServer::Reply::status(503));
    QCOMPARE(manager->QueryModuleInfo(nullptr, true), 0);
    QCOMPARE(finished.count(), 2);
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());
}

void TestUpdateRequest::startFailures_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::newRow("ftp") << QByteArray("ftp://127.0.0.1/addons/get_addons.php");
    QTest::newRow("file") << QByteArray("file:///etc/passwd");
    QTest::newRow("no scheme") << QByteArray("127.0.0.1/addons/get_addons.php");
    QTest::newRow("bad port") << QByteArray("http://127.0.0.1:99999/addons/get_addons.php");
}

void TestUpdateRequest::startFailures()
{
    QFETCH(QByteArray, address);
    EnvGuard us("MORAVEL_UPDATE_SERVER_US", address);
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    MODULEINFO* earlier = manager->AddModule(kList);
    manager->m_vecUpdateModules.append(earlier);

    QSignalSpy before(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 2);
    // Reported from the event loop, so a receiver connected after the call hears it too.
    QSignalSpy after(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    QCOMPARE(before.count(), 0);
    QVERIFY(after.wait(kWaitMs));
    QCOMPARE(before.count(), 1);
    QCOMPARE(after.count(), 1);
    QVERIFY(!manager->isQuerySucceeded());
    QVERIFY(manager->m_vecUpdateModules.isEmpty());
    QCOMPARE(m_server.requestCount(), 0);
}

void TestUpdateRequest::replyFileCannotBeOpened()
{
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    const QString replyFile = QDir::tempPath() + "/MoravelCorvina/update_tmpfile.xml";
    // A directory where the reply file should go: it can neither be removed nor opened.
    QFile::remove(replyFile);
    QVERIFY(QDir().mkpath(replyFile + "/blocked"));
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));

    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    QTest::ignoreMessage(QtDebugMsg, "Error:Cannot open file.");
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 2);
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!manager->isQuerySucceeded());
    QCOMPARE(m_server.requestCount(), 0);

    QVERIFY(QDir(replyFile).removeRecursively());
    QVERIFY(runQuery(*manager));
    QVERIFY(manager->isQuerySucceeded());
}

void TestUpdateRequest::replyDirectoryCannotBeMade()
{
    const QString notADirectory = m_workDir.filePath(QStringLiteral("plain-file"));
    QVERIFY(writeFile(notADirectory, "x"));
    EnvGuard tmp("TMPDIR", notADirectory.toUtf8());
    // The working folder in the cache cannot be made either.
    EnvGuard cache("XDG_CACHE_HOME", (notADirectory + QStringLiteral("/cache")).toUtf8());
    QCOMPARE(QDir::tempPath(), notADirectory);

    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("can not make path: \"%1/MoravelCorvina\"").arg(notADirectory)));
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 1);
    QCOMPARE(finished.count(), 0);
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!manager->isQuerySucceeded());
    QCOMPARE(m_server.requestCount(), 0);
}

void TestUpdateRequest::failedStartThenNewQueryReportsOnce()
{
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    {
        EnvGuard us("MORAVEL_UPDATE_SERVER_US", "ftp://127.0.0.1/addons/get_addons.php");
        QCOMPARE(manager->QueryModuleInfo(nullptr, false), 2);
    }
    // Started again before the event loop ran: the first failure is not reported on top
    // of the second query's answer.
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 0);
    QVERIFY(finished.wait(kWaitMs));
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
    QVERIFY(manager->isQuerySucceeded());
    QCOMPARE(manager->m_vecUpdateModules.size(), 2);
}

void TestUpdateRequest::newQueryReplacesARunningOne()
{
    m_server.route(kUsTarget, TestHttpServer::Reply::silent());
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 0);
    QTRY_COMPARE(m_server.requestCount(), 1);
    QPointer<QHttpDownLoadS> first(manager->m_pDownloader);

    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 0);
    QVERIFY(first.isNull());
    QVERIFY(finished.wait(kWaitMs));
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
    QVERIFY(manager->isQuerySucceeded());
    QCOMPARE(m_server.requestCount(), 2);
}

void TestUpdateRequest::newQueryFromInsideTheFinishSignal()
{
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    m_server.route(kUsTarget, TestHttpServer::Reply::status(500));

    int reports = 0;
    bool deferred = false;
    QList<bool> outcomes;
    connect(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish, this, [&]() {
        outcomes << manager->isQuerySucceeded();
        if (++reports > 1)
            return;
        // Try again from inside the report: the finished downloader is still emitting
        // and must outlive this slot.
        QPointer<QHttpDownLoadS> previous(manager->m_pDownloader);
        m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
        QCOMPARE(manager->QueryModuleInfo(nullptr, false), 0);
        deferred = !previous.isNull() && previous != manager->m_pDownloader;
    });

    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 0);
    QTRY_COMPARE_WITH_TIMEOUT(reports, 2, kWaitMs);
    QVERIFY(deferred);
    QCOMPARE(outcomes, QList<bool>({ false, true }));
    QCOMPARE(offeredNames(*manager), QStringList({ "Reader", "Stamps" }));
}

void TestUpdateRequest::managerDestroyedFromItsFinishSignal()
{
    std::unique_ptr<CReaderModuleManager> owned = makeManager();
    CReaderModuleManager* manager = owned.release();
    QPointer<CReaderModuleManager> watch(manager);
    m_server.route(kUsTarget, TestHttpServer::Reply::ok(kThreeModules));
    connect(manager, &CReaderModuleManager::sQueryModuleInfoFinish, this, [manager]() { delete manager; });
    QCOMPARE(manager->QueryModuleInfo(nullptr, false), 0);
    QTRY_VERIFY_WITH_TIMEOUT(watch.isNull(), kWaitMs);
    // Let the deferred release of the downloader run.
    QTest::qWait(20);
}

void TestUpdateRequest::finishWithoutAQueryIsNoSuccess()
{
    std::unique_ptr<CReaderModuleManager> manager = makeManager();
    QSignalSpy finished(manager.get(), &CReaderModuleManager::sQueryModuleInfoFinish);
    manager->slotQueryModuleInfoFinish(QString());
    QCOMPARE(finished.count(), 1);
    QVERIFY(!manager->isQuerySucceeded());
}

QTEST_MAIN(TestUpdateRequest)
#include "tst_updaterequest.moc"
