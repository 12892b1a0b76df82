// The real MoravelUpdater over https. With the test's certificate authority in the
// machine's certificate store (tests/support/with-trusted-ca) an https update site
// installs as a plain one does, signed or not. A certificate that has expired, names
// another host or is signed by itself, a server that stops in the middle of the
// handshake and a plain-HTTP port given as https fail the request (the network message
// on a manual check, silence on an automatic one) or the package (the failed-download
// warning, the other modules installed), each run ending by itself with the cause in
// the log. A redirect, to http or to https, is not followed, the environment adds no
// trust, and a machine without a usable TLS library fails the same clean way. Unsigned,
// a reply over https offers a package over plain http only with its hash.
#include "signedsite.h"
#include "testcertificates.h"
#include "wholerunfixture.h"

#include <QtTest>

#include <memory>

using namespace RunTest;
using namespace ExeRun;

namespace {

QString g_executable;
QString g_pluginDir;

// Runs a command with every libssl of the machine hidden (tests/support).
QString withoutTlsScript()
{
    return QFileInfo(TestCertificates::trustScript()).absolutePath() + QStringLiteral("/without-tls-library");
}

// Whether program can run through the wrapper here (root, or user namespaces).
bool wrapperWorks(const QStringList& wrapper)
{
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(wrapper.first(), wrapper.mid(1) << QStringLiteral("true"));
    return probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

// The address of path on server, always with the https scheme (a plain server's port
// given as https).
QUrl httpsUrl(const TestHttpServer& server, const QString& path)
{
    QUrl url = server.url(path);
    url.setScheme(QStringLiteral("https"));
    return url;
}

} // namespace

class TestHttps : public WholeRunFixture
{
    Q_OBJECT

private:
    std::unique_ptr<TestCertificates> m_pki;
    TestHttpServer& m_site = m_server;  // the update site over https, certificate "server"
    TestHttpServer m_plain;             // a plain HTTP server
    QString m_keyed;                // the updater with update-keys.pub beside it
    SignedSite::Key m_key = SignedSite::Key::make();
    bool m_canHideTls = false;

    QByteArray package(const QString& installer) const
    {
        return WholeRunFixture::package(installer, installer.toUtf8().repeated(200));
    }

    // A module whose package is served at /pkg/<name>.pkg by server and offered at url
    // (default: the server's own address of it).
    Module serve(TestHttpServer& server, const QString& name, const QByteArray& bytes, QUrl url = QUrl())
    {
        const QString path = QStringLiteral("/pkg/") + name + QStringLiteral(".pkg");
        server.route(path, TestHttpServer::Reply::ok(bytes));
        Module m;
        m.name = name;
        m.version = QStringLiteral("7.2.0.1");
        m.url = (url.isEmpty() ? server.url(path) : url).toString();
        m.size = QString::number(bytes.size()) + QStringLiteral("B");
        m.description = QStringLiteral("About ") + name;
        m.sha256 = SignedSite::sha256Hex(bytes);
        return m;
    }

    Module installer(TestHttpServer& server, const QString& name)
    {
        return serve(server, name, package(name.toLower() + QStringLiteral(".run")));
    }

    void offer(TestHttpServer& server, const QByteArray& reply)
    {
        server.route(kRequestPath, TestHttpServer::Reply::ok(reply));
        m_runner.serverScript = server.url(kServerScript);
    }

    // The executable runs on a machine that trusts the test's authority.
    void trusting()
    {
        m_runner.wrap = [this](QString* program, QStringList* args) { m_pki->wrapTrusting(program, args); };
    }

    // A server on which TLS fails the way kind says: "expired", "otherhost" or
    // "selfsigned" certificates, a handshake that stops ("stall") or is closed
    // ("close"), or "plain" HTTP.
    std::unique_ptr<TestHttpServer> faultyServer(const QString& kind)
    {
        auto server = std::make_unique<TestHttpServer>();
        if (kind == QLatin1String("stall") || kind == QLatin1String("close")) {
            server->setTls(m_pki->certificate(QStringLiteral("server")), m_pki->key(QStringLiteral("server")));
            server->setHandshakeFault(kind == QLatin1String("stall") ? TestHttpServer::HandshakeFault::Stall
                                                                     : TestHttpServer::HandshakeFault::Close);
        } else if (kind != QLatin1String("plain")) {
            server->setTls(m_pki->certificate(kind), m_pki->key(kind));
        }
        return server;
    }

    QStringList nothingMoreInstalled() { return installersRun(m_marker, 0); }

    // Runs the updater (the plain one, or the one with keys); nothing outside its
    // folders may change.
    Result run(bool keyed = false)
    {
        m_runner.executable = keyed ? m_keyed + QStringLiteral("/MoravelUpdater") : g_executable;
        return m_runner.runChangingOnly(updaterPlaces(working(), m_reader, m_marker));
    }

    // The dialogs a run showed, as kind and text, without the download windows (a
    // package fetched from this machine may be in before its window is seen).
    static QStringList dialogs(const Result& result)
    {
        QStringList list;
        for (const Shown& s : result.shown)
            if (s.kind != QLatin1String("DlgDownload"))
                list << s.kind + QStringLiteral(": ") + s.text;
        return list;
    }

    // The ways TLS fails, as test data.
    static void tlsFaults()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("cause");   // what the log names
        QTest::newRow("expired certificate") << "expired" << "TLS error: \"The certificate has expired\"";
        QTest::newRow("certificate for another host")
            << "otherhost" << "TLS error: \"The host name did not match any of the valid hosts for this certificate\"";
        QTest::newRow("self-signed certificate")
            << "selfsigned" << "TLS error: \"The certificate is self-signed, and untrusted\"";
        QTest::newRow("handshake stops") << "stall" << "TLS handshake with \"127.0.0.1\" did not complete";
        QTest::newRow("handshake closed") << "close" << "TLS handshake with \"127.0.0.1\" did not complete";
        QTest::newRow("plain HTTP port") << "plain" << "TLS handshake with \"127.0.0.1\" did not complete";
    }

private slots:
    void initTestCase()
    {
        m_pki = std::make_unique<TestCertificates>(root() + QStringLiteral("/pki"));
        QVERIFY2(m_pki->isValid(), qPrintable(m_pki->errorString()));
        if (!wrapperWorks({ TestCertificates::trustScript(), m_pki->storePath() }))
            QSKIP("no private mount namespace can be made here (needs root or user namespaces): the test "
                  "authority cannot be put into a certificate store for the executable");
        m_canHideTls = wrapperWorks({ withoutTlsScript() });
        m_site.setTls(m_pki->certificate(QStringLiteral("server")), m_pki->key(QStringLiteral("server")));
        setUpCase(g_executable, g_pluginDir);
        QVERIFY(m_plain.isListening());
        QCOMPARE(m_site.url().scheme(), QStringLiteral("https"));

        m_keyed = root() + QStringLiteral("/keyed");
        QVERIFY(copyExecutable(g_executable, m_keyed));
        QVERIFY(writeFile(m_keyed + QStringLiteral("/update-keys.pub"), m_key.publicBase64().toLatin1() + "\n"));
    }

    void init()
    {
        setUpRun();
        m_plain.clearRoutes();
        m_plain.clearRequests();
        m_runner.extraEnvironment.clear();
        // Failed transfers are what these runs are about: their retries wait less, and a
        // handshake that stops is given up after 3 s instead of 10 s.
        m_runner.extraEnvironment.insert(QStringLiteral("MORAVEL_UPDATER_RETRY_DELAY_MS"), QStringLiteral("200"));
        m_runner.extraEnvironment.insert(QStringLiteral("MORAVEL_UPDATER_WATCHDOG_MS"), QStringLiteral("3000"));
        trusting();
    }

    // ---- a trusted site ----

    void httpsSiteInstallsAsHttpDoes()
    {
        // The same two modules over http, then over https: the same dialogs, the same
        // installers, every request on the site that was named.
        QList<Result> results;
        for (TestHttpServer* server : { &m_plain, &m_site }) {
            QFile::remove(m_marker);
            QDir(working()).removeRecursively();
            offer(*server, replyXml({ installer(*server, QStringLiteral("Reader")),
                                      installer(*server, QStringLiteral("Good")) }));
            const Result result = run();
            QVERIFY(result.ended);
            QCOMPARE(result.exitCode, 0);
            QStringList installed = installersRun(m_marker, 2);
            installed.sort();
            QCOMPARE(installed, QStringList() << QStringLiteral("good.run") << QStringLiteral("reader.run"));
            QCOMPARE(server->requestCount(), 3);
            QCOMPARE(packageRequests(*server), 2);
            results << result;
        }
        QCOMPARE(m_site.requests().first().path(), kRequestPath.toUtf8());
        QCOMPARE(dialogs(results.at(1)), dialogs(results.at(0)));
        QCOMPARE(dialogs(results.at(1)).size(), 3);   // the question, then each package's "completed"
        QVERIFY(!results.at(1).logged("TLS error"));
        QVERIFY(!results.at(1).logged("TLS is not available"));
    }

    void signedHttpsSiteInstalls()
    {
        const Module reader = installer(m_site, QStringLiteral("Reader"));
        offer(m_site, SignedSite::sign(replyXml({ reader }, SignedSite::times()), m_key));
        const Result result = run(true);
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QVERIFY(result.logged("update reply verified"));
        QVERIFY(result.logged("package verified: \"Reader.pkg\""));
    }

    void unsignedHttpsReplyVouchesForHttpPackagesOnlyByHash()
    {
        // Without keys, what came over https may send a package over plain http only
        // with its hash; a package over https needs none.
        Module unhashed = installer(m_plain, QStringLiteral("Unhashed"));
        unhashed.sha256.clear();
        const Module hashed = installer(m_plain, QStringLiteral("Hashed"));
        Module secure = installer(m_site, QStringLiteral("Secure"));
        secure.sha256.clear();
        offer(m_site, replyXml({ unhashed, hashed, secure }));
        const Result result = run();
        QVERIFY(result.ended);
        QStringList installed = installersRun(m_marker, 2);
        installed.sort();
        QCOMPARE(installed, QStringList() << QStringLiteral("hashed.run") << QStringLiteral("secure.run"));
        QCOMPARE(packageRequests(m_plain), 1);
        QVERIFY(result.logged("module with an http url and no well-formed sha256 is not offered (the reply came over "
                              "https): \"Unhashed\""));
    }

    // ---- TLS that fails ----

    void brokenTlsAtRequestServer_data() { tlsFaults(); }

    void brokenTlsAtRequestServer()
    {
        QFETCH(QString, kind);
        QFETCH(QString, cause);
        const std::unique_ptr<TestHttpServer> faulty = faultyServer(kind);
        faulty->route(kRequestPath, TestHttpServer::Reply::ok(replyXml({ installer(m_site, QStringLiteral("Reader")) })));
        m_runner.serverScript = httpsUrl(*faulty, kServerScript);

        const Result manual = run();
        QVERIFY(manual.ended);
        QCOMPARE(manual.exitCode, 0);
        QCOMPARE(manual.texts(), QStringList() << kNoConnection);
        QVERIFY2(manual.logged(cause.toUtf8()), manual.output.constData());
        QCOMPARE(m_site.requestCount(), 0);

        settings(QStringLiteral("Auto"));
        const Result automatic = run();
        QVERIFY(automatic.ended);
        QCOMPARE(automatic.exitCode, 0);
        QCOMPARE(automatic.shown.size(), 0);
        QVERIFY2(automatic.logged(cause.toUtf8()), automatic.output.constData());
        QCOMPARE(m_site.requestCount(), 0);
        QCOMPARE(nothingMoreInstalled(), QStringList());
        // Nothing was asked over a connection that did not become a trusted one.
        if (kind != QLatin1String("plain"))
            QCOMPARE(faulty->requestCount(), 0);
    }

    void brokenTlsAtPackage_data() { tlsFaults(); }

    void brokenTlsAtPackage()
    {
        QFETCH(QString, kind);
        QFETCH(QString, cause);
        const std::unique_ptr<TestHttpServer> faulty = faultyServer(kind);
        const QByteArray bytes = package(QStringLiteral("bad.run"));
        const Module bad = serve(*faulty, QStringLiteral("Bad"), bytes, httpsUrl(*faulty, QStringLiteral("/pkg/Bad.pkg")));
        offer(m_site, replyXml({ bad, installer(m_site, QStringLiteral("Good")) }));

        const Result result = run();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed);
        QVERIFY2(result.logged(cause.toUtf8()), result.output.constData());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Bad.pkg")));
        if (kind != QLatin1String("plain"))
            QCOMPARE(faulty->requestCount(), 0);
    }

    // ---- a redirect ----

    void redirectIsNotFollowed_data()
    {
        QTest::addColumn<bool>("ofRequest");
        QTest::addColumn<bool>("toHttp");
        QTest::newRow("the request, to http") << true << true;
        QTest::newRow("the request, to https") << true << false;
        QTest::newRow("a package, to http") << false << true;
        QTest::newRow("a package, to https") << false << false;
    }

    void redirectIsNotFollowed()
    {
        // The target below /moved would answer: a followed redirect would show there.
        QFETCH(bool, ofRequest);
        QFETCH(bool, toHttp);
        TestHttpServer& target = toHttp ? m_plain : m_site;
        const int plainConnections = m_plain.connectionCount();
        const QString movedRequest = QStringLiteral("/moved") + kRequestPath;
        const QString movedPackage = QStringLiteral("/moved/pkg/Reader.pkg");
        if (ofRequest) {
            target.route(movedRequest, TestHttpServer::Reply::ok(replyXml({ installer(target, QStringLiteral("Reader")) })));
            m_site.route(kRequestPath, TestHttpServer::Reply::status(301).header(
                                           "Location", target.url(movedRequest).toEncoded()));
            m_runner.serverScript = m_site.url(kServerScript);
        } else {
            const QByteArray bytes = package(QStringLiteral("reader.run"));
            const Module reader = serve(m_site, QStringLiteral("Reader"), bytes);
            target.route(movedPackage, TestHttpServer::Reply::ok(bytes));
            m_site.route(QStringLiteral("/pkg/Reader.pkg"), TestHttpServer::Reply::status(301).header(
                                                             "Location", target.url(movedPackage).toEncoded()));
            offer(m_site, replyXml({ reader, installer(m_site, QStringLiteral("Good")) }));
        }

        const Result result = run();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        if (ofRequest) {
            QCOMPARE(result.texts(), QStringList() << kNoConnection);
            QCOMPARE(nothingMoreInstalled(), QStringList());
        } else {
            QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed);
            QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
            QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Reader.pkg")));
        }
        for (const TestHttpServer::Request& request : target.requests())
            QVERIFY2(!request.path().startsWith("/moved"), request.target.constData());
        if (toHttp)
            QCOMPARE(m_plain.connectionCount(), plainConnections);
    }

    // ---- trust ----

    void environmentAddsNoTrust()
    {
        // The authority named by the variables OpenSSL reads, but not in the store.
        m_runner.wrap = nullptr;
        m_runner.extraEnvironment.insert(QStringLiteral("SSL_CERT_FILE"), m_pki->pemPath(QStringLiteral("ca")));
        m_runner.extraEnvironment.insert(QStringLiteral("SSL_CERT_DIR"), m_pki->storePath());
        offer(m_site, replyXml({ installer(m_site, QStringLiteral("Reader")) }));

        const Result result = run();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.texts(), QStringList() << kNoConnection);
        QVERIFY2(result.logged("TLS error:"), result.output.constData());
        QCOMPARE(m_site.requestCount(), 0);
        QCOMPARE(nothingMoreInstalled(), QStringList());
    }

    // ---- no TLS library ----

    void withoutTlsLibraryHttpsFails()
    {
        if (!m_canHideTls)
            QSKIP("no private mount namespace can be made here (needs root or user namespaces): the TLS "
                  "library cannot be hidden from the executable");
        // The authority is trusted; only the library is missing.
        m_runner.wrap = [this](QString* program, QStringList* args) {
            m_pki->wrapTrusting(program, args);
            args->prepend(*program);
            *program = withoutTlsScript();
        };
        offer(m_site, replyXml({ installer(m_site, QStringLiteral("Reader")) }));
        const int siteConnections = m_site.connectionCount();

        const Result manual = run();
        QVERIFY(manual.ended);
        QCOMPARE(manual.exitCode, 0);
        QCOMPARE(manual.texts(), QStringList() << kNoConnection);
        QVERIFY2(manual.logged("TLS is not available"), manual.output.constData());

        settings(QStringLiteral("Auto"));
        const Result automatic = run();
        QVERIFY(automatic.ended);
        QCOMPARE(automatic.shown.size(), 0);
        QVERIFY(automatic.logged("TLS is not available"));
        QCOMPARE(nothingMoreInstalled(), QStringList());

        // A plain site offering one https package: that package fails, the other installs.
        settings(QStringLiteral("Manual"));
        offer(m_plain, replyXml({ installer(m_site, QStringLiteral("Reader")), installer(m_plain, QStringLiteral("Good")) }));
        const Result mixed = run();
        QVERIFY(mixed.ended);
        QCOMPARE(mixed.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed);
        QVERIFY(mixed.logged("TLS is not available"));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
        // Without TLS nothing reached the https site at all.
        QCOMPARE(m_site.connectionCount(), siteConnections);
    }
};

EXE_TEST_MAIN(TestHttps, g_executable, g_pluginDir)

#include "tst_https.moc"
