// The real MoravelUpdater against a hostile or broken update server: markup in the texts
// it shows, compressed answers, answers far larger than any real one, a Setup.xml built
// to exhaust memory, a package that would fill the disk, a web page instead of the
// reply, and a module that trickles forever.
#include "wholerunfixture.h"
#include "zrcrc32.h"

#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

using namespace RunTest;
using namespace ExeRun;

namespace {

QString g_executable;
QString g_pluginDir;

QByteArray xmlEscaped(const QString& text)
{
    return text.toHtmlEscaped().toUtf8();
}

// Watches a file for being opened or read by anybody.
class OpenWatch
{
public:
    explicit OpenWatch(const QString& path)
    {
        m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0)
            m_watch = inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN | IN_ACCESS);
    }
    ~OpenWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool watching() const { return m_fd >= 0 && m_watch >= 0; }
    // Whether the file was opened since the watch began.
    bool opened()
    {
        char buffer[4096];
        return ::read(m_fd, buffer, sizeof buffer) > 0;
    }

private:
    int m_fd = -1;
    int m_watch = -1;
};

} // namespace

class TestHostileServer : public WholeRunFixture
{
    Q_OBJECT

private:
    QByteArray package(const QString& installer) const
    {
        return WholeRunFixture::package(installer, QByteArray("data ").repeated(300));
    }

    // One module element of a reply; the texts are escaped for XML here.
    QByteArray moduleXml(const QString& name, const QString& file, qint64 size, const QString& version,
                         const QString& description, bool silent = false)
    {
        return "<addon name=\"" + xmlEscaped(name) + "\" version=\"" + xmlEscaped(version) + "\" url=\""
               + xmlEscaped(m_server.url(QStringLiteral("/pkg/") + file).toString()) + "\" size=\""
               + QByteArray::number(size) + "B\" description=\"" + xmlEscaped(description) + "\" result=\"true\""
               + (silent ? " SilentInstall=\"TRUE\"" : "") + "/>\n";
    }

    QByteArray reply(const QByteArray& modules)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<addons>\n" + modules + "</addons>\n";
    }

    // An ordinary module at the end of a reply, to show that the run goes on.
    QByteArray goodModule()
    {
        const QByteArray bytes = package(QStringLiteral("good.run"));
        m_server.route(QStringLiteral("/pkg/Good.pkg"), TestHttpServer::Reply::ok(bytes));
        return moduleXml(QStringLiteral("Good"), QStringLiteral("Good.pkg"), bytes.size(), QStringLiteral("2.0"),
                         QStringLiteral("A good module"));
    }

    // Runs the updater; whatever the server does, nothing outside the working folder,
    // the reader's installation and the reader's data folder changes.
    Result runChecked()
    {
        const QStringList allowed { working(), m_reader.readerDir, m_reader.installLog, m_reader.countLog,
                                    m_marker, root() + QStringLiteral("/dialogs"), root() + QStringLiteral("/cache"),
                                    // watched for opens by the test itself; reading it here would count
                                    root() + QStringLiteral("/watched"),
                                    readerData() };
        return m_runner.runChangingOnly(allowed);
    }

private slots:
    void initTestCase() { setUpCase(g_executable, g_pluginDir); }
    void init() { setUpRun(); }

    // ---- text from the server ----

    void markupInServerTextsIsShownAsText()
    {
        // An image that rich text would load, and a look-alike warning.
        const QString image = root() + QStringLiteral("/watched/secret.png");
        QDir().mkpath(root() + QStringLiteral("/watched"));
        QImage picture(16, 16, QImage::Format_RGB32);
        picture.fill(Qt::red);
        QVERIFY(picture.save(image));
        OpenWatch watch(image);
        QVERIFY(watch.watching());

        const QString version = QStringLiteral("<img src=\"") + image + QStringLiteral("\">7.2");
        const QString description = QStringLiteral("<img src=\"") + image
                                    + QStringLiteral("\"><font color=\"red\" size=\"7\"><b>SECURITY FIX</b></font>");
        const QByteArray bytes = package(QStringLiteral("reader.run"));
        // The package takes a moment, so that the download window is seen showing it.
        m_server.route(QStringLiteral("/pkg/Reader.pkg"), TestHttpServer::Reply::ok(bytes).delay(500));
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(reply(
                                         moduleXml(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), bytes.size(),
                                                   version, description))));

        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("reader.run"));

        QCOMPARE(result.shown.size(), 3);
        const Shown question = result.shown.at(0);
        QCOMPARE(question.kind, QStringLiteral("DlgMessage"));
        QVERIFY2(question.text.contains(version), qPrintable(question.text));
        QVERIFY(question.plainText);
        const Shown window = result.shown.at(1);
        QCOMPARE(window.kind, QStringLiteral("DlgDownload"));
        QCOMPARE(window.text, description);
        QVERIFY(window.plainText);
        QVERIFY(result.shown.at(2).plainText);
        // Nothing was loaded for the markup.
        QVERIFY(!watch.opened());
    }

    // ---- compressed answers ----

    void compressedReplyIsAFailedCheck()
    {
        const QByteArray bytes = package(QStringLiteral("reader.run"));
        m_server.route(QStringLiteral("/pkg/Reader.pkg"), TestHttpServer::Reply::ok(bytes));
        const QByteArray plain = reply(moduleXml(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), bytes.size(),
                                                 QStringLiteral("7.2"), QStringLiteral("new")));
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(TestUtil::gzipped(plain)).header("Content-Encoding", "gzip"));

        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.texts(), QStringList() << kNoConnection);
        QCOMPARE(m_server.requestCount(), 1);
        QCOMPARE(m_server.lastRequest().header("Accept-Encoding"), QByteArray("identity"));
    }

    void compressedPackageIsAFailedDownload()
    {
        // 1 MB of zeros is 1 KB of gzip: a package stream must never be inflated.
        const QByteArray zeros(1024 * 1024, '\0');
        const QByteArray wire = TestUtil::gzipped(zeros);
        m_server.route(QStringLiteral("/pkg/Zeros.pkg"), TestHttpServer::Reply::ok(wire).header("Content-Encoding", "gzip"));
        m_server.route(kRequestPath,
                       TestHttpServer::Reply::ok(reply(moduleXml(QStringLiteral("Zeros"), QStringLiteral("Zeros.pkg"),
                                                                 zeros.size(), QStringLiteral("1"),
                                                                 QStringLiteral("zeros"))
                                                       + goodModule())));
        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed);
        QCOMPARE(m_server.requests().at(1).header("Accept-Encoding"), QByteArray("identity"));
        QVERIFY(QFileInfo(working() + QStringLiteral("/Zeros.pkg")).size() <= wire.size());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
    }

    // ---- answers larger than any real one ----

    void oversizedReplyIsAFailedCheck()
    {
        QByteArray huge = reply(moduleXml(QStringLiteral("Reader"), QStringLiteral("Reader.pkg"), 100,
                                          QStringLiteral("7.2"), QString(9 * 1024 * 1024, QLatin1Char('x'))));
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(huge));
        const Result manual = runChecked();
        QVERIFY(manual.ended);
        QCOMPARE(manual.texts(), QStringList() << kNoConnection);
        QCOMPARE(m_server.requestCount(), 1);

        // The same without a length announced: cut off as it passes the limit.
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(huge).chunked());
        settings(QStringLiteral("Auto"));
        const Result automatic = runChecked();
        QVERIFY(automatic.ended);
        QCOMPARE(automatic.exitCode, 0);
        QCOMPARE(automatic.shown.size(), 0);
        QVERIFY(QFileInfo(working() + QStringLiteral("/update_tmpfile.xml")).size() <= 8 * 1024 * 1024);
    }

    void bodyLongerThanDeclaredIsAFailedDownload()
    {
        // The reply says 1000 bytes; the server streams 16 MB.
        m_server.route(QStringLiteral("/pkg/Endless.pkg"),
                       TestHttpServer::Reply::ok(QByteArray(16 * 1024 * 1024, 'e')).noLength());
        m_server.route(kRequestPath,
                       TestHttpServer::Reply::ok(reply(moduleXml(QStringLiteral("Endless"), QStringLiteral("Endless.pkg"),
                                                                 1000, QStringLiteral("1"), QStringLiteral("endless"))
                                                       + goodModule())));
        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed);
        // Cut off at the declared size, it would pass for complete: it is not kept.
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Endless.pkg")));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
    }

    void oversizedSetupXmlIsNotRead()
    {
        // 9 MiB of Setup.xml packs into a few KB.
        QByteArray setup = "<setup>";
        const QByteArray entry = "<file name=\"a\" parameter=\"p\" iscommon=\"true\"/>";
        while (setup.size() < 9 * 1024 * 1024)
            setup += entry;
        setup += "</setup>";
        const QByteArray bomb = buildPackage(PackageTree()
                                                 .file(QStringLiteral("Setup.xml"), setup)
                                                 .installer(QStringLiteral("bomb.run"), m_marker));
        QVERIFY(bomb.size() < 1024 * 1024);
        m_server.route(QStringLiteral("/pkg/Bomb.pkg"), TestHttpServer::Reply::ok(bomb));
        m_server.route(kRequestPath,
                       TestHttpServer::Reply::ok(reply(moduleXml(QStringLiteral("Bomb"), QStringLiteral("Bomb.pkg"),
                                                                 bomb.size(), QStringLiteral("1"), QStringLiteral("bomb"))
                                                       + goodModule())));
        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kNotInstalled);
        QVERIFY(result.logged("Setup.xml is too large to be read"));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
        // The package is gone, so no later run takes it for complete.
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Bomb.pkg")));
    }

    void packageLargerThanTheDiskIsNotUnpacked()
    {
        // A real package whose file table declares a thousand entries of 4 GiB each.
        QByteArray bytes = package(QStringLiteral("huge.run"));
        const int lzmaLength = int(le32(bytes, 16));
        QByteArray table;
        table.append(char(1000 & 0xff)).append(char(1000 >> 8));
        for (int i = 0; i < 1000; ++i) {
            const QByteArray name = "f" + QByteArray::number(i);
            table.append(char(name.size())).append('\0').append(name);
            QByteArray size(4, '\0');
            setLe32(size, 0, 0xFFFFFFFFu);
            table.append(size);
        }
        bytes = bytes.left(28 + lzmaLength) + table;
        // The LZMA header says "size unknown": the table is all there is to go by.
        for (int i = 0; i < 8; ++i)
            bytes[28 + 5 + i] = char(0xff);
        setLe32(bytes, 8, CZR_Crc32::Update(0, reinterpret_cast<const unsigned char*>(bytes.constData()) + 28,
                                            size_t(bytes.size() - 28), CZR_Crc32::PackagePolynomial));
        m_server.route(QStringLiteral("/pkg/Huge.pkg"), TestHttpServer::Reply::ok(bytes));
        m_server.route(kRequestPath,
                       TestHttpServer::Reply::ok(reply(moduleXml(QStringLiteral("Huge"), QStringLiteral("Huge.pkg"),
                                                                 bytes.size(), QStringLiteral("1"), QStringLiteral("huge"))
                                                       + goodModule())));
        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kNotInstalled);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << QStringLiteral("good.run"));
        QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/Huge.pkg")));
    }

    // ---- a web page instead of the reply ----

    void webPageIsNoReply()
    {
        m_server.route(kRequestPath,
                       TestHttpServer::Reply::ok("<!DOCTYPE html>\n<HTML><head><title>Sign in</title></head>"
                                                 "<body><form>Wi-Fi login</form></body></HTML>\n")
                           .header("Content-Type", "text/html"));
        const Result manual = runChecked();
        QVERIFY(manual.ended);
        QCOMPARE(manual.texts(), QStringList() << kNoConnection);

        settings(QStringLiteral("Auto"));
        const Result automatic = runChecked();
        QVERIFY(automatic.ended);
        QCOMPARE(automatic.exitCode, 0);
        QCOMPARE(automatic.shown.size(), 0);
    }

    // ---- a module that never ends ----

    void tricklingSilentModuleEnds()
    {
        // A byte every quarter second: the stall check never fires, the slow-transfer rule
        // does after its window (shortened here to 2 s), on each of the four tries. Then
        // the run ends and the presence port is free again.
        settings(QStringLiteral("Auto"));
        m_runner.extraEnvironment.insert(QStringLiteral("MORAVEL_UPDATER_SLOW_WINDOW_MS"), QStringLiteral("2000"));
        m_runner.extraEnvironment.insert(QStringLiteral("MORAVEL_UPDATER_RETRY_DELAY_MS"), QStringLiteral("200"));
        m_server.route(QStringLiteral("/pkg/Slow.pkg"), TestHttpServer::Reply::ok(QByteArray(4000, 's')).trickle(1, 250));
        m_server.route(kRequestPath,
                       TestHttpServer::Reply::ok(reply(moduleXml(QStringLiteral("Slow"), QStringLiteral("Slow.pkg"),
                                                                 4000, QStringLiteral("1"), QStringLiteral("slow"), true))));
        // Without the rule the 4000 bytes would take more than an hour; the run is
        // given two minutes.
        const Result result = runChecked();
        QVERIFY(result.ended);
        QCOMPARE(result.exitCode, 0);
        // The user who never saw a window learns that it failed.
        QCOMPARE(result.texts(QStringLiteral("QMessageBox")), QStringList() << kDownloadFailed);
        // The first try and three more, each ended by the rule.
        QCOMPARE(packageRequests(m_server), 4);
        m_runner.extraEnvironment.clear();
    }
};

EXE_TEST_MAIN(TestHostileServer, g_executable, g_pluginDir)

#include "tst_hostileserver.moc"
