// The real MoravelUpdater with trusted publisher keys (update-keys.pub beside it)
// against the test server: signed replies and packages install, with either line end; a
// reply changed after signing (a carriage return will do), signed by a stranger,
// unsigned, for another product or platform, expired, issued in the future or older
// than one accepted before is a failed check ("The update information could not be
// verified." on a manual check, silence on an automatic one), and so is every reply when
// the key file gives no valid key; a package or plug-in whose hash differs is refused
// and nothing of it runs; a module without a hash, or older than the installed one, is
// not offered; a cached file with the right size and the wrong hash is fetched again. An
// updater without keys checks no signature, but checks the hashes a reply gives. A
// request server that is down is followed by the other region's; a 404 is not.
#include "cissuedrecord.h"
#include "signedsite.h"
#include "wholerunfixture.h"

#include <QtTest>

using namespace RunTest;
using namespace ExeRun;

namespace {

QString g_executable;
QString g_pluginDir;

const QString kNotVerified = QStringLiteral("The update information could not be verified.");

} // namespace

class TestSignedUpdates : public WholeRunFixture
{
    Q_OBJECT

private:
    QString m_keyed;                  // the updater with update-keys.pub beside it
    SignedSite::Key m_key = SignedSite::Key::make();
    SignedSite::Key m_nextKey = SignedSite::Key::make();   // the publisher's next key, trusted too
    SignedSite::Key m_stranger = SignedSite::Key::make();

    QByteArray package(const QString& installer) const
    {
        return WholeRunFixture::package(installer, installer.toUtf8().repeated(200));
    }

    // A module served at /pkg/<file> with the hash of hashed (default: what is served).
    Module serve(const QString& name, const QString& file, const QByteArray& served, const QByteArray& hashed = QByteArray())
    {
        m_server.route(QStringLiteral("/pkg/") + file, TestHttpServer::Reply::ok(served));
        Module m;
        m.name = name;
        m.version = QStringLiteral("7.2.0.1");
        m.url = m_server.url(QStringLiteral("/pkg/") + file).toString();
        m.size = QString::number(served.size()) + QStringLiteral("B");
        m.description = QStringLiteral("About ") + name;
        m.sha256 = SignedSite::sha256Hex(hashed.isEmpty() ? served : hashed);
        return m;
    }

    // Runs the keyed (or the plain) updater; nothing outside its folders may change.
    Result run(bool keyed = true)
    {
        m_runner.executable = keyed ? m_keyed + QStringLiteral("/MoravelUpdater") : g_executable;
        return m_runner.runChangingOnly(updaterPlaces(working(), m_reader, m_marker));
    }

private slots:
    void initTestCase()
    {
        setUpCase(g_executable, g_pluginDir);
        m_keyed = root() + QStringLiteral("/keyed");
        QVERIFY(copyExecutable(g_executable, m_keyed));
        QVERIFY(writeFile(m_keyed + QStringLiteral("/update-keys.pub"),
                          "# the publisher's key and the next one\n" + m_key.publicBase64().toLatin1() + "\n\n"
                              + m_nextKey.publicBase64().toLatin1() + "\n"));
    }

    void init() { setUpRun(); }

    void signedSiteInstalls_data()
    {
        QTest::addColumn<bool>("nextKey");
        QTest::addColumn<bool>("crlf");
        QTest::newRow("the publisher's key") << false << false;
        QTest::newRow("the next key") << true << false;
        QTest::newRow("CRLF line ends") << false << true;
    }

    void signedSiteInstalls()
    {
        QFETCH(bool, nextKey);
        QFETCH(bool, crlf);
        const qint64 issued = QDateTime::currentSecsSinceEpoch() - 60;
        const Module plugin = serve(QStringLiteral("JSWordCount"), QStringLiteral("JSWordCount.js"), "count();");
        const Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), package(QStringLiteral("reader.run")));
        QByteArray xml = replyXml({ plugin, reader }, SignedSite::times(issued));
        if (crlf)
            xml.replace("\n", "\r\n");
        offer(SignedSite::sign(xml, nextKey ? m_nextKey : m_key));

        const Result result = run();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.texts(QStringLiteral("DlgMessage")).size(), 2);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(readFile(pluginFolder() + QStringLiteral("/JSWordCount.js")), QByteArray("count();"));
        QVERIFY(result.logged("update reply verified"));
        QVERIFY(result.logged("package verified: \"JSWordCount.js\""));
        QVERIFY(result.logged("package verified: \"Reader.pkg\""));
        // The reply's time is kept: an older one will not be taken.
        qint64 kept = 0;
        QVERIFY(CIssuedRecord::read(QString::fromLatin1(SignedSite::kProduct), &kept));
        QCOMPARE(kept, issued);
    }

    void refusedReplies_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("rule");   // what the log names
        QTest::newRow("changed after signing") << "changed" << "none of the trusted keys";
        QTest::newRow("signed by a stranger") << "stranger" << "none of the trusted keys";
        QTest::newRow("not signed") << "unsigned" << "signature comment";
        QTest::newRow("expired") << "expired" << "expired";
        QTest::newRow("issued tomorrow and more") << "future" << "ahead";
        QTest::newRow("older than one accepted") << "older" << "older than one accepted";
        QTest::newRow("without times") << "notimes" << "no \"expires\"";
        QTest::newRow("carriage returns inserted") << "crlf" << "none of the trusted keys";
        QTest::newRow("for another product") << "product" << "the reply is for product \"Other Product\"";
        QTest::newRow("without product") << "noproduct" << "the reply names no product";
        QTest::newRow("for another platform") << "platform" << "the reply is for platform \"x64\"";
    }

    void refusedReplies()
    {
        QFETCH(QString, kind);
        QFETCH(QString, rule);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), package(QStringLiteral("reader.run")));
        QByteArray times = SignedSite::times(now - 60);
        if (kind == QLatin1String("expired"))
            times = SignedSite::times(now - 40 * 86400, 30 * 86400);
        else if (kind == QLatin1String("future"))
            times = SignedSite::times(now + 86400 + 3600);
        else if (kind == QLatin1String("notimes"))
            times = "product=\"" + SignedSite::kProduct + "\" platform=\"x86\"";
        else if (kind == QLatin1String("product"))
            times = SignedSite::times(now - 60, 30 * 86400, "Other Product");
        else if (kind == QLatin1String("noproduct"))
            times.replace("product=\"" + SignedSite::kProduct + "\"", "");
        else if (kind == QLatin1String("platform"))
            times.replace("platform=\"x86\"", "platform=\"x64\"");
        else if (kind == QLatin1String("older"))
            QVERIFY(writeFile(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/moravel-updater/newest-issued"),
                              CSignedReply::formatUtcTime(now).toLatin1() + "\n"));
        const QByteArray xml = replyXml({ reader }, times);
        QByteArray reply = SignedSite::sign(xml, kind == QLatin1String("stranger") ? m_stranger : m_key);
        if (kind == QLatin1String("changed"))
            reply.replace("7.2.0.1", "7.2.0.9");
        else if (kind == QLatin1String("unsigned"))
            reply = xml;
        else if (kind == QLatin1String("crlf"))
            reply.replace("\n", "\r\n");
        offer(reply);

        const Result manual = run();
        QVERIFY(manual.ended);
        QCOMPARE(manual.exitCode, 0);
        QCOMPARE(manual.texts(), QStringList() << kNotVerified);
        QVERIFY2(manual.logged("update reply refused: ") && manual.logged(rule.toUtf8()), manual.output.constData());
        QCOMPARE(packageRequests(m_server), 0);

        settings(QStringLiteral("Auto"));
        const Result automatic = run();
        QVERIFY(automatic.ended);
        QCOMPARE(automatic.exitCode, 0);
        QCOMPARE(automatic.shown.size(), 0);
        QCOMPARE(packageRequests(m_server), 0);
        QTest::qWait(200);
        QVERIFY(markerLines(m_marker).isEmpty());
    }

    void changedPackageOrPluginIsRefused()
    {
        // Changed by one byte after signing, the size unchanged: refused before anything
        // of it is unpacked, copied or run; the other modules install.
        const QByteArray genuine = package(QStringLiteral("reader.run"));
        QByteArray changed = genuine;
        changed[changed.size() - 3] = char(changed.at(changed.size() - 3) ^ 0x20);
        const Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), changed, genuine);
        const Module plugin = serve(QStringLiteral("JSEvil"), QStringLiteral("JSEvil.js"), "evil();", "good();");
        const Module good = serve(QStringLiteral("Good"), QStringLiteral("Good.pkg"), package(QStringLiteral("good.run")));
        offer(SignedSite::sign(replyXml({ reader, plugin, good }, SignedSite::times()), m_key));

        const Result result = run();
        QVERIFY(result.ended);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kNotInstalled << kNotInstalled);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Reader.pkg")));
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/JSEvil.js")));
        QVERIFY(!QFileInfo::exists(pluginFolder() + QStringLiteral("/JSEvil.js")));
        QVERIFY(result.logged("package refused"));
        // Only the good package was unpacked.
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/installer-2")));
    }

    void moduleWithoutHashIsNotOffered()
    {
        Module unhashed = serve(QStringLiteral("Unhashed"), QStringLiteral("Unhashed.pkg"), package(QStringLiteral("unhashed.run")));
        unhashed.sha256.clear();
        unhashed.version = QStringLiteral("9.9");
        Module malformed = serve(QStringLiteral("Malformed"), QStringLiteral("Malformed.pkg"), package(QStringLiteral("malformed.run")));
        malformed.sha256 = malformed.sha256.toUpper();
        const Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), package(QStringLiteral("reader.run")));
        offer(SignedSite::sign(replyXml({ unhashed, malformed, reader }, SignedSite::times()), m_key));

        const Result result = run();
        QVERIFY(result.ended);
        // The question names the first module offered: the hashed one.
        QVERIFY(result.texts().first().contains(QLatin1String("(7.2.0.1)")));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(packageRequests(m_server), 1);
        QVERIFY(result.logged("module without a well-formed sha256 is not offered: \"Unhashed\""));
        QVERIFY(result.logged("module without a well-formed sha256 is not offered: \"Malformed\""));
    }

    void cachedFileWithAnotherHashIsFetchedAgain()
    {
        // The size the reply declares, other bytes.
        const QByteArray genuine = package(QStringLiteral("reader.run"));
        QByteArray impostor = genuine;
        impostor[impostor.size() / 2] = char(impostor.at(impostor.size() / 2) ^ 0x10);
        QVERIFY(QDir().mkpath(working()));
        QVERIFY(QFile::setPermissions(working(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QVERIFY(writeFile(working() + QStringLiteral("/Reader.pkg"), impostor));
        offer(SignedSite::sign(replyXml({ serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), genuine) },
                                        SignedSite::times()),
                               m_key));
        const Result result = run();
        QVERIFY(result.ended);
        QCOMPARE(packageRequests(m_server), 1);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        QCOMPARE(readFile(working() + QStringLiteral("/Reader.pkg")), genuine);

        // The file now on disk has the right hash: the next run takes it as it is.
        m_server.clearRequests();
        QFile::remove(m_marker);
        const Result again = run();
        QVERIFY(again.ended);
        QCOMPARE(packageRequests(m_server), 0);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
    }

    void keyFiles_data()
    {
        QTest::addColumn<QByteArray>("keyFile");   // empty: a folder stands at its name
        QTest::addColumn<bool>("forged");          // the reply signed with the neutral point's forgery
        QTest::addColumn<bool>("installs");
        const QByteArray key = m_key.publicBase64().toLatin1();
        QTest::newRow("a key with a trailing comment") << key + "   # release key\n" << false << true;
        QTest::newRow("only a malformed line") << QByteArray(key.left(43) + "\n") << false << false;
        QTest::newRow("unreadable (a folder)") << QByteArray() << false << false;
        QTest::newRow("the neutral point, a forged signature")
            << QByteArray("AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n") << true << false;
    }

    void keyFiles()
    {
        // A key source that gives no valid key checks every reply all the same and
        // refuses it; it never turns the checks off.
        QFETCH(QByteArray, keyFile);
        QFETCH(bool, forged);
        QFETCH(bool, installs);
        static int rows = 0;
        const QString folder = root() + QStringLiteral("/keyfile-%1").arg(++rows);
        QVERIFY(copyExecutable(g_executable, folder));
        QVERIFY(keyFile.isEmpty() ? QDir().mkpath(folder + QStringLiteral("/update-keys.pub"))
                                  : writeFile(folder + QStringLiteral("/update-keys.pub"), keyFile));
        const QByteArray xml =
            replyXml({ serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), package(QStringLiteral("reader.run"))) },
                     SignedSite::times());
        // R the neutral point and S zero: with the neutral point as the key this
        // "verifies" for every message.
        offer(forged ? xml + CSignedReply::signatureComment(QByteArray(1, '\x01') + QByteArray(63, '\0'))
                     : SignedSite::sign(xml, m_key));

        m_runner.executable = folder + QStringLiteral("/MoravelUpdater");
        const QStringList places = updaterPlaces(working(), m_reader, m_marker);
        const Result manual = m_runner.runChangingOnly(places);
        QVERIFY(manual.ended);
        if (installs) {
            QVERIFY(manual.logged("update reply verified"));
            QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
            return;
        }
        QCOMPARE(manual.texts(), QStringList() << kNotVerified);
        QVERIFY2(manual.logged("update reply refused: "), manual.output.constData());
        settings(QStringLiteral("Auto"));
        const Result automatic = m_runner.runChangingOnly(places);
        QVERIFY(automatic.ended);
        QCOMPARE(automatic.shown.size(), 0);
        QCOMPARE(packageRequests(m_server), 0);
    }

    void olderModuleThanInstalled_data()
    {
        QTest::addColumn<bool>("keyed");
        QTest::newRow("with keys: not offered") << true;
        QTest::newRow("without keys: offered as the server says") << false;
    }

    void olderModuleThanInstalled()
    {
        // The reader has 7.1.0.200; a validly signed reply offers 7.0.0.100.
        const QString info = root() + QStringLiteral("/UpdaterInfo.xml");
        QVERIFY(writeFile(info, "<updater_info><module name=\"Reader\" version=\"7.1.0.200\"/></updater_info>\n"));
        QFETCH(bool, keyed);
        Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), package(QStringLiteral("reader.run")));
        reader.version = QStringLiteral("7.0.0.100");
        offer(SignedSite::sign(replyXml({ reader }, SignedSite::times()), m_key));
        const Result result = run(keyed);
        QFile::remove(info);
        QVERIFY(result.ended);
        if (keyed) {
            QCOMPARE(result.texts(), QStringList() << kUpToDate);
            QVERIFY(result.logged("not offered: Reader 7.0.0.100 is older than the installed 7.1.0.200"));
            QCOMPARE(packageRequests(m_server), 0);
        } else {
            QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        }
    }

    void otherRequestServer_data()
    {
        QTest::addColumn<QString>("fault");   // of the request server the clock chooses
        QTest::addColumn<bool>("otherUp");    // the other region's serves a good reply
        QTest::newRow("down, the other answers") << "down" << true;
        QTest::newRow("404: not retried") << "404" << true;
        QTest::newRow("both down") << "down" << false;
    }

    void otherRequestServer()
    {
        QFETCH(QString, fault);
        QFETCH(bool, otherUp);
        const Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), package(QStringLiteral("reader.run")));
        TestHttpServer other;
        const QByteArray signedReply = SignedSite::sign(replyXml({ reader }, SignedSite::times()), m_key);
        other.route(kRequestPath, TestHttpServer::Reply::ok(signedReply));
        m_server.route(kRequestPath, TestHttpServer::Reply::status(404));
        // Both down: two addresses at one closed port. A clock at UTC chooses the US-region server.
        QString down, downToo;
        {
            TestHttpServer gone;
            down = gone.url(kServerScript).toString();
            downToo = gone.url(QStringLiteral("/cn") + kServerScript).toString();
        }
        const QString chosen = fault == QLatin1String("down") ? down : m_server.url(kServerScript).toString();
        const QString second = otherUp ? other.url(kServerScript).toString() : downToo;
        m_runner.extraEnvironment = { { QStringLiteral("TZ"), QStringLiteral("UTC") },
                                      { QStringLiteral("MORAVEL_UPDATE_SERVER_US"), chosen },
                                      { QStringLiteral("MORAVEL_UPDATE_SERVER_CN"), second } };
        const Result result = run();
        m_runner.extraEnvironment.clear();
        QVERIFY(result.ended);
        const bool installs = fault == QLatin1String("down") && otherUp;
        QCOMPARE(result.logged("request server " + QUrl(chosen).authority().toUtf8()
                               + " failed (network failure): asking " + QUrl(second).authority().toUtf8()),
                 fault == QLatin1String("down"));
        QCOMPARE(other.requestCount(), installs ? 1 : 0);
        if (installs)
            QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));
        else
            QCOMPARE(result.texts(), QStringList() << kNoConnection);
    }

    void updaterWithoutKeysChecksHashes()
    {
        // A signed site read by an updater without keys: the signature is not checked
        // (a stranger's will do), but a package that differs from its hash is refused
        // as a failed package step, and the next module installs.
        const QByteArray genuine = package(QStringLiteral("reader.run"));
        const Module reader = serve(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), genuine, "not this");
        const Module good = serve(QStringLiteral("Good"), QStringLiteral("Good.pkg"), package(QStringLiteral("good.run")));
        offer(SignedSite::sign(replyXml({ reader, good }, SignedSite::times()), m_stranger));
        const Result result = run(false);
        QVERIFY(result.ended);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kNotInstalled);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Reader.pkg")));
        QVERIFY(result.logged("no trusted update key: updates are not signature-checked"));
        QVERIFY(result.logged("package refused"));
        QVERIFY(!QFileInfo::exists(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/moravel-updater")));
    }
};

EXE_TEST_MAIN(TestSignedUpdates, g_executable, g_pluginDir)

#include "tst_signedupdates.moc"
