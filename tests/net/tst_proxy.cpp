// The downloader through a proxy (TestProxyServer) over real sockets, the update site
// named "updates.moravel.test", a name only the proxy resolves: http forwarded, https
// through CONNECT with the certificate checks intact, redirects refused, the watchdogs
// and the body limit as without a proxy; a proxy that wants a user name and password
// (407) answered from its address, from the proxy dialog (in this process) or not at
// all on an automatic check; a CONNECT refused and a proxy that closes mid-body; a 407
// from anyone but the proxy refused, and credentials kept to their own proxy. With no
// proxy in the environment, the desktop's settings (GNOME's, in a keyfile of this test,
// outside a GNOME session, where GIO's default resolver is libproxy's).
#include "cproxyauthenticator.h"
#include "cproxyfactory.h"
#include "desktopproxysettings.h"
#include "dlgproxyauth.h"
#include "envguard.h"
#include "logcapture.h"
#include "qhttpdownloads.h"
#include "testcertificates.h"
#include "testhttpserver.h"
#include "testproxyserver.h"
#include "testutil.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace TestUtil;

namespace {

const char* const kSiteName = "updates.moravel.test";
const int kWatchdogMs = 500;
const int kEndTimeoutMs = 20000;
const qint64 kBodyBytes = 64 * 1024;

enum class Route { Ok, OtherHost, Redirect, Stall, TooBig };

} // namespace

Q_DECLARE_METATYPE(Route)
Q_DECLARE_METATYPE(TestProxyServer::Fault)

class TestProxy : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestCertificates> m_pki;
    TestHttpServer m_plain;
    TestHttpServer m_tls;          // certificate for updates.moravel.test
    TestHttpServer m_otherHost;    // certificate for another name
    std::unique_ptr<TestProxyServer> m_proxy;
    EnvGuard m_caseEnv;               // the variables of the whole test case
    std::unique_ptr<EnvGuard> m_env;  // those of one test function
    QByteArray m_body = randomBytes(static_cast<int>(kBodyBytes), 20);
    QStringList m_answers;         // "cancel" or "user:password", in turn
    QStringList m_asked;           // the texts the proxy dialog showed
    QTimer m_answerer;

    QUrl siteUrl(const TestHttpServer& server, const QString& path) const
    {
        QUrl url = server.url(path);
        url.setHost(QString::fromLatin1(kSiteName));
        return url;
    }

    void setProxyEnvironment(const QString& address)
    {
        m_env->set("http_proxy", address.toUtf8());
        m_env->set("https_proxy", address.toUtf8());
    }

    // Answers the proxy dialog the way a person would: types the user name and the
    // password, or presses Cancel.
    void answerDialog()
    {
        auto* dialog = qobject_cast<DlgProxyAuth*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        m_asked << dialog->findChild<QLabel*>(QStringLiteral("label"))->text();
        const QString answer = m_answers.isEmpty() ? QStringLiteral("cancel") : m_answers.takeFirst();
        if (answer == QLatin1String("cancel")) {
            dialog->findChild<QPushButton*>(QStringLiteral("pushButton_cancel"))->click();
            return;
        }
        QTest::keyClicks(dialog->findChild<QLineEdit*>(QStringLiteral("lineEdit_user")), answer.section(':', 0, 0));
        QTest::keyClicks(dialog->findChild<QLineEdit*>(QStringLiteral("lineEdit_password")), answer.section(':', 1));
        dialog->findChild<QPushButton*>(QStringLiteral("pushButton_ok"))->click();
    }

    // One transfer of url; true when it ended with oneDownLoadFinish and the file holds
    // the body.
    bool fetch(const QUrl& url, qint64 maxBody = 0)
    {
        const QString path = root() + QStringLiteral("/download.bin");
        QHttpDownLoadS downloader(nullptr, nullptr, nullptr, nullptr);
        downloader.setMaxBodyBytes(maxBody);
        if (!downloader.setUrlAndFilePath(url, path))
            return false;
        QSignalSpy finished(&downloader, &QHttpDownLoadS::oneDownLoadFinish);
        QSignalSpy failed(&downloader, &QHttpDownLoadS::errorfinish);
        if (!downloader.startDownLoads(false))
            return false;
        if (!QTest::qWaitFor([&]() { return finished.size() + failed.size() > 0; }, kEndTimeoutMs))
            QTest::qFail("the transfer did not end", __FILE__, __LINE__);
        return finished.size() == 1 && failed.isEmpty() && readFile(path) == m_body;
    }

private slots:
    void initTestCase()
    {
        m_pki = std::make_unique<TestCertificates>(root() + QStringLiteral("/pki"));
        QVERIFY2(m_pki->isValid(), qPrintable(m_pki->errorString()));
        m_pki->trustInThisProcess();
        m_tls.setTls(m_pki->certificate(QStringLiteral("server")), m_pki->key(QStringLiteral("server")));
        m_otherHost.setTls(m_pki->certificate(QStringLiteral("otherhost")), m_pki->key(QStringLiteral("otherhost")));
        QHttpDownLoadS::setDefaultWatchdogInterval(kWatchdogMs);
        for (const char* name : { "all_proxy", "ALL_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY" })
            m_caseEnv.unset(name);
        connect(&m_answerer, &QTimer::timeout, this, &TestProxy::answerDialog);
        m_answerer.start(20);
    }

    void init()
    {
        m_proxy = std::make_unique<TestProxyServer>();
        m_proxy->map(QString::fromLatin1(kSiteName));
        m_proxy->map(QStringLiteral("::1"));
        for (TestHttpServer* server : { &m_plain, &m_tls, &m_otherHost }) {
            server->clearRoutes();
            server->clearRequests();
            server->route(QStringLiteral("/pkg.bin"), TestHttpServer::Reply::ok(m_body));
            server->route(QStringLiteral("/challenge"), TestHttpServer::Reply::status(407).header(
                                                            "Proxy-Authenticate", "Basic realm=\"origin\""));
            server->route(QStringLiteral("/moved"), TestHttpServer::Reply::status(301).header(
                                                        "Location", siteUrl(*server, QStringLiteral("/pkg.bin")).toEncoded()));
            server->route(QStringLiteral("/stall"), TestHttpServer::Reply::ok(m_body).stallAfter(1000));
        }
        m_answers.clear();
        m_asked.clear();
        CProxyAuthenticator::forgetAnswers();
        CProxyAuthenticator::setAsker(&DlgProxyAuth::ask);
        m_env = std::make_unique<EnvGuard>();
        m_env->unset("HTTP_PROXY");
    }

    void cleanup() { m_env.reset(); }

    void logNamesTheProxyOncePerScheme()
    {
        // The log names the proxy of each scheme once, with its user but not its password.
        setProxyEnvironment(m_proxy->address(QStringLiteral("alice"), QStringLiteral("secret")));
        LogCapture log(LogCapture::Quiet);
        QVERIFY(fetch(siteUrl(m_plain, QStringLiteral("/pkg.bin"))));
        QVERIFY(fetch(siteUrl(m_plain, QStringLiteral("/pkg.bin"))));
        QVERIFY(fetch(siteUrl(m_tls, QStringLiteral("/pkg.bin"))));
        const QString proxy = QStringLiteral("http://alice@127.0.0.1:%1").arg(m_proxy->port());
        QCOMPARE(log.lines().filter(QStringLiteral("proxy for ")),
                 QStringList() << QStringLiteral("proxy for http: %1 (environment: http_proxy)").arg(proxy)
                               << QStringLiteral("proxy for https: %1 (environment: https_proxy)").arg(proxy));
        QVERIFY(log.lines().filter(QStringLiteral("secret")).isEmpty());
        QCOMPARE(m_plain.requestCount(), 2);
        QCOMPARE(m_proxy->requests().size(), 3);
    }

    void throughProxy_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<Route>("route");
        QTest::addColumn<bool>("needsLogin");       // the proxy wants alice:secret
        QTest::addColumn<QString>("inAddress");     // user:password in the proxy's address
        QTest::addColumn<bool>("manual");           // the run may ask
        QTest::addColumn<QStringList>("answers");   // the dialog's answers
        QTest::addColumn<TestProxyServer::Fault>("fault");
        QTest::addColumn<int>("transfers");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("dialogs");
        QTest::addColumn<QString>("logged");        // %1: the proxy's name

        using F = TestProxyServer::Fault;
        const QStringList none;
        for (const bool tls : { false, true }) {
            const char* s = tls ? "https" : "http";
            auto row = [s](const char* name) -> QTestData& { return QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(s, name))); };
            row("open proxy") << tls << Route::Ok << false << "" << true << none << F::None << 2 << true << 0 << "";
            row("redirect not followed") << tls << Route::Redirect << false << "" << true << none << F::None << 1
                                         << false << 0 << "";
            row("stall caught by the watchdog")
                << tls << Route::Stall << false << "" << true << none << F::None << 1 << false << 0 << "";
            row("body over the limit") << tls << Route::TooBig << false << "" << true << none << F::None << 1 << false
                                       << 0 << "The body announced is larger than allowed";
            row("407 on an automatic check") << tls << Route::Ok << true << "" << false << none << F::None << 1
                                             << false << 0 << "proxy %1 requires authentication";
            row("407 cancelled") << tls << Route::Ok << true << "" << true << QStringList { "cancel" } << F::None << 1
                                 << false << 1 << "the user gave none";
            row("407 answered, the answer kept for the run")
                << tls << Route::Ok << true << "" << true << QStringList { "alice:secret" } << F::None << 3 << true << 1
                << "";
            row("wrong credentials twice") << tls << Route::Ok << true << "" << true
                                           << QStringList { "alice:wrong", "bob:secret" } << F::None << 1 << false << 2
                                           << "proxy %1 refused the user name and password 2 times";
            row("wrong, then right") << tls << Route::Ok << true << "" << true
                                     << QStringList { "alice:wrong", "alice:secret" } << F::None << 1 << true << 2 << "";
            row("credentials of the address") << tls << Route::Ok << true << "alice:secret" << false << none << F::None
                                              << 2 << true << 0 << "";
            row("wrong credentials of the address, then asked")
                << tls << Route::Ok << true << "alice:old" << true << QStringList { "alice:secret" } << F::None << 1
                << true << 1 << "";
            row("closes mid-body") << tls << Route::Ok << false << "" << true << none << F::CloseMidBody << 1 << false
                                   << 0 << "";
        }
        QTest::newRow("https, certificate of another host through CONNECT")
            << true << Route::OtherHost << false << "" << true << none << F::None << 1 << false << 0
            << "TLS error: \"The host name did not match";
        QTest::newRow("https, CONNECT refused")
            << true << Route::Ok << false << "" << true << none << F::RefuseConnect << 1 << false << 0 << "";
    }

    void throughProxy()
    {
        QFETCH(bool, tls);
        QFETCH(Route, route);
        QFETCH(bool, needsLogin);
        QFETCH(QString, inAddress);
        QFETCH(bool, manual);
        QFETCH(QStringList, answers);
        QFETCH(TestProxyServer::Fault, fault);
        QFETCH(int, transfers);
        QFETCH(bool, ok);
        QFETCH(int, dialogs);
        QFETCH(QString, logged);

        if (needsLogin)
            m_proxy->requireBasic(QStringLiteral("alice"), QStringLiteral("secret"));
        m_proxy->setFault(fault, kBodyBytes / 2);
        setProxyEnvironment(m_proxy->address(inAddress.section(':', 0, 0), inAddress.section(':', 1)));
        if (!manual)
            CProxyAuthenticator::setAsker(CProxyAuthenticator::Asker());
        m_answers = answers;

        TestHttpServer& site = route == Route::OtherHost ? m_otherHost : tls ? m_tls : m_plain;
        const QString path = route == Route::Redirect ? QStringLiteral("/moved")
                             : route == Route::Stall  ? QStringLiteral("/stall")
                                                      : QStringLiteral("/pkg.bin");
        LogCapture log(LogCapture::Quiet);
        for (int i = 0; i < transfers; ++i)
            QVERIFY2(fetch(siteUrl(site, path), route == Route::TooBig ? kBodyBytes / 2 : 0) == ok,
                     qPrintable(log.lines().join(QLatin1Char('\n'))));

        QCOMPARE(m_asked.size(), dialogs);
        const QString name = QStringLiteral("127.0.0.1:%1").arg(m_proxy->port());
        for (const QString& text : qAsConst(m_asked))
            QCOMPARE(text, QStringLiteral("The proxy server %1 requires a user name and password.").arg(name));
        if (!logged.isEmpty())
            QVERIFY2(!log.lines().filter(logged.contains(QLatin1String("%1")) ? logged.arg(name) : logged).isEmpty(),
                     qPrintable(log.lines().join(QLatin1Char('\n'))));
        // Every request went through the proxy; the site saw only what the proxy let
        // through, and never the proxy's credentials.
        const QByteArray method = tls ? "CONNECT" : "GET";
        QVERIFY(!m_proxy->requests().isEmpty());
        for (const TestProxyServer::Request& request : m_proxy->requests())
            QCOMPARE(request.method, method);
        int passed = 0;
        for (const TestProxyServer::Request& request : m_proxy->requests())
            passed += request.status == 0 ? 1 : 0;
        if (fault == TestProxyServer::Fault::RefuseConnect || (needsLogin && !ok && dialogs < 2 && inAddress.isEmpty()))
            QCOMPARE(passed, 0);
        if (route != Route::OtherHost)
            QCOMPARE(site.requestCount(), fault == TestProxyServer::Fault::RefuseConnect ? 0 : passed);
        for (const TestHttpServer::Request& request : site.requests()) {
            QVERIFY(!request.hasHeader("Proxy-Authorization"));
            QCOMPARE(request.path(), path.toUtf8());   // a redirect is not followed
        }
        if (route == Route::OtherHost)
            QCOMPARE(site.requestCount(), 0);
    }

    void challengeFromTheOrigin_data()
    {
        // The site answers 407 with a Basic challenge on a manual check.
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("proxied");
        QTest::addColumn<bool>("refused");      // else the proxy's: asked, sent only to it
        QTest::newRow("no proxy") << false << false << true;
        QTest::newRow("https, inside the proxy's tunnel") << true << true << true;
        QTest::newRow("plain http through the proxy: the proxy's answer") << false << true << false;
    }

    void challengeFromTheOrigin()
    {
        QFETCH(bool, tls);
        QFETCH(bool, proxied);
        QFETCH(bool, refused);
        TestHttpServer& site = tls ? m_tls : m_plain;
        setProxyEnvironment(proxied ? m_proxy->address() : QString());
        m_answers = QStringList { "alice:secret" };
        LogCapture log(LogCapture::Quiet);
        QVERIFY(!fetch(proxied ? siteUrl(site, QStringLiteral("/challenge")) : site.url(QStringLiteral("/challenge"))));
        QCOMPARE(m_asked.size(), refused ? 0 : 2);
        QCOMPARE(log.lines().count(QStringLiteral("proxy authentication asked by a server that is not the proxy: refused")),
                 refused ? 1 : 0);
        QVERIFY(site.requestCount() >= 1);
        for (const TestHttpServer::Request& request : site.requests())
            QVERIFY(!request.hasHeader("Proxy-Authorization"));
        QByteArrayList sent;   // the answer went to the proxy alone
        for (const TestProxyServer::Request& request : m_proxy->requests())
            sent << request.authorization;
        sent.removeAll(QByteArray());
        QCOMPARE(sent, refused ? QByteArrayList() : QByteArrayList { "Basic " + QByteArray("alice:secret").toBase64() });
    }

    void credentialsStayWithTheirProxy()
    {
        // Proxy A wants alice:secret, proxy B its own: the user's answer for A is never
        // offered to B, which is asked for on its own.
        TestProxyServer other;
        other.map(QString::fromLatin1(kSiteName));
        other.requireBasic(QStringLiteral("bob"), QStringLiteral("other"));
        m_proxy->requireBasic(QStringLiteral("alice"), QStringLiteral("secret"));
        m_answers = QStringList { "alice:secret" };
        setProxyEnvironment(m_proxy->address());
        QVERIFY(fetch(siteUrl(m_tls, QStringLiteral("/pkg.bin"))));
        setProxyEnvironment(other.address());
        QVERIFY(!fetch(siteUrl(m_tls, QStringLiteral("/pkg.bin"))));
        QCOMPARE(m_asked.last(), QStringLiteral("The proxy server 127.0.0.1:%1 requires a user name and password.")
                                     .arg(other.port()));
        for (const TestProxyServer::Request& request : other.requests())
            QVERIFY(request.authorization.isNull());
    }

    void desktopSettings_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QStringList>("ignoreHosts");
        QTest::addColumn<bool>("viaProxy");         // else direct, where the site's name fails
        QTest::addColumn<QString>("logged");        // %1: the proxy's address
        QTest::addColumn<QString>("variable");      // set to the proxy: one curl ignores here
        QTest::addColumn<QString>("host");          // of the site; empty: its name
        const QString site = QString::fromLatin1(kSiteName);
        const QString manual = QStringLiteral("proxy for %2: %1 (desktop: %1)");
        const QString direct = QStringLiteral("proxy for %1: no proxy (desktop: direct://)");
        QTest::newRow("manual, http") << false << "manual" << QStringList() << true << manual.arg("%1", "http") << ""
                                      << "";
        QTest::newRow("manual, https") << true << "manual" << QStringList() << true << manual.arg("%1", "https") << ""
                                       << "";
        QTest::newRow("manual, an IPv6 address")
            << false << "manual" << QStringList() << true << manual.arg("%1", "http") << "" << "::1";
        QTest::newRow("none: direct") << false << "none" << QStringList() << false << direct.arg("http") << "" << "";
        QTest::newRow("manual, the site's name ignored: direct")
            << false << "manual" << QStringList { "localhost", site } << false << direct.arg("http") << "" << "";
        QTest::newRow("manual, the site's domain ignored: direct")
            << false << "manual" << QStringList { "*.moravel.test" } << false << direct.arg("http") << "" << "";
        QTest::newRow("none, only HTTP_PROXY, http: direct")
            << false << "none" << QStringList() << false << direct.arg("http") << "HTTP_PROXY" << "";
        QTest::newRow("none, only http_proxy, https: direct")
            << true << "none" << QStringList() << false << direct.arg("https") << "http_proxy" << "";
    }

    void desktopSettings()
    {
        // No proxy in the environment: GNOME's settings choose (the test runs with the
        // keyfile settings backend and a GNOME desktop named).
        QFETCH(bool, tls);
        QFETCH(QString, mode);
        QFETCH(QStringList, ignoreHosts);
        QFETCH(bool, viaProxy);
        QFETCH(QString, logged);
        QFETCH(QString, variable);
        QFETCH(QString, host);
        // Outside GNOME: GIO's default resolver here would read the proxy variables.
        QCOMPARE(DesktopProxySettings::defaultResolver(), QStringLiteral("GLibproxyResolver"));
        m_env->unset("http_proxy");
        m_env->unset("https_proxy");
        if (!variable.isEmpty())
            m_env->set(variable.toLatin1().constData(), m_proxy->address().toUtf8());
        DesktopProxySettings::set(mode, QStringLiteral("127.0.0.1"), m_proxy->port(), ignoreHosts);
        CProxyFactory::forgetDesktopAnswers();

        TestHttpServer& server = tls ? m_tls : m_plain;
        QUrl url = siteUrl(server, QStringLiteral("/pkg.bin"));
        if (!host.isEmpty())
            url.setHost(host);
        LogCapture log(LogCapture::Quiet);
        const bool fetched = fetch(url);
        m_env->unset("http_proxy");
        const QString all = log.all();
        QVERIFY2(fetched == viaProxy, qPrintable(all));
        QVERIFY2(log.lines().contains(logged.contains(QLatin1String("%1")) ? logged.arg(m_proxy->address()) : logged),
                 qPrintable(all));
        QCOMPARE(m_proxy->requests().size(), viaProxy ? 1 : 0);
        if (viaProxy)
            QCOMPARE(m_proxy->requests().first().method, QByteArray(tls ? "CONNECT" : "GET"));
        QCOMPARE(server.requestCount(), viaProxy ? 1 : 0);
    }

    void unusableProxyFailsClosed_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("why");
        QTest::newRow("a TLS proxy") << "https://127.0.0.1:3128" << "the scheme \"https\" is not supported";
        QTest::newRow("socks4") << "socks4://127.0.0.1:1080" << "the scheme \"socks4\" is not supported";
        QTest::newRow("a port out of range") << "http://127.0.0.1:70000" << "the address does not parse";
    }

    void unusableProxyFailsClosed()
    {
        // The site would answer directly (localhost); a proxy named but unusable must not
        // turn into a direct connection.
        QFETCH(QString, address);
        QFETCH(QString, why);
        setProxyEnvironment(address);
        const int connections = m_plain.connectionCount();
        LogCapture log(LogCapture::Quiet);
        QUrl url = m_plain.url(QStringLiteral("/pkg.bin"));
        url.setHost(QStringLiteral("localhost"));
        QVERIFY(!fetch(url));
        QCOMPARE(m_plain.connectionCount(), connections);
        QVERIFY2(log.lines().contains(QStringLiteral("proxy for http: unusable proxy (environment: http_proxy): %1; transfers "
                                               "fail rather than go direct").arg(why)),
                 qPrintable(log.lines().join(QLatin1Char('\n'))));
        QVERIFY(log.lines().contains(QStringLiteral("error text: \"No suitable proxy found\"")));
    }
};

QTEST_MAIN(TestProxy)

#include "tst_proxy.moc"
