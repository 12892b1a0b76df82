// The real MoravelUpdater and delta packages, against the test server: release 1 is
// installed from its full package and kept as the module's base; release 2 is then
// offered with a delta from it, and only the delta is fetched, the installer sees exactly
// release 2's files, and release 2 becomes the next base. Every way the delta can fail
// (no base, a base changed on disk, a delta of another hash, a delta that builds another
// release, a delta the server does not have) ends with release 2 installed from its
// full package in the same run; a delta cut off is continued like any download.
#include "signedsite.h"
#include "wholerunfixture.h"

#include <QtTest>

using namespace RunTest;
using namespace ExeRun;

namespace {

QString g_executable;
QString g_pluginDir;

QString hex(const QByteArray& bytes)
{
    return SignedSite::sha256Hex(bytes);
}

} // namespace

class TestDeltaUpdates : public WholeRunFixture
{
    Q_OBJECT

private:
    struct Release
    {
        QByteArray package;
        QString content;      // its content digest
        QString fingerprint;  // what its installer reports of the files it sees
    };
    Release m_releases[4];
    QByteArray m_delta;       // release 1 to 2
    QByteArray m_otherDelta;  // release 1 to 3
    QString m_keyed;
    SignedSite::Key m_key = SignedSite::Key::make();

    static QString bases() { return qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/moravel-updater/bases"); }

    // The files of release n; each release changes a part of the library.
    static QList<QPair<QString, QByteArray>> files(int n)
    {
        QByteArray library(300000, '\0');
        for (int i = 0; i < library.size(); ++i)
            library[i] = static_cast<char>((quint32(i) * 7919u / 13u) ^ (quint32(i) >> 9));
        for (int i = 0; i < 3000 * n; i += 3)
            library[100000 + i] = static_cast<char>('a' + n);
        return { qMakePair(QStringLiteral("Setup.xml"), QByteArray("<setup><file name=\"lib/reader.so\"/></setup>")),
                 qMakePair(QStringLiteral("lib/reader.so"), library),
                 qMakePair(QStringLiteral("share/release"), QByteArray("release ") + QByteArray::number(n)) };
    }

    // The installer reports a digest of every file beside it (not itself, not the lock).
    QByteArray installerScript() const
    {
        return "#!/bin/sh\ncd \"$(dirname \"$0\")\" && echo \"reader.run $(" + fingerprintCommand()
               + ")\" >> '" + m_marker.toUtf8() + "'\n";
    }
    static QByteArray fingerprintCommand()
    {
        return "find . -type f ! -name reader.run ! -name '.*' | LC_ALL=C sort | xargs sha256sum | sha256sum | cut -c1-16";
    }

    Release makeRelease(int n)
    {
        Release release;
        PackageTree tree;
        const QString expected = root() + QStringLiteral("/expected-%1").arg(n);
        for (const auto& file : files(n)) {
            tree.file(file.first, file.second);
            writeFile(expected + QLatin1Char('/') + file.first, file.second);
        }
        tree.file(QStringLiteral("reader.run"), installerScript());
        release.package = buildPackage(tree);
        const QString path = root() + QStringLiteral("/release-%1.pkg").arg(n);
        writeFile(path, release.package);
        QByteArray out;
        runMkpackage({ QStringLiteral("--content-sha256"), path }, nullptr, &out);
        release.content = QString::fromLatin1(out.trimmed());
        QProcess shell;
        shell.setWorkingDirectory(expected);
        shell.start(QStringLiteral("sh"), { QStringLiteral("-c"), QString::fromLatin1(fingerprintCommand()) });
        shell.waitForFinished();
        release.fingerprint = QStringLiteral("reader.run ") + QString::fromLatin1(shell.readAllStandardOutput().trimmed());
        return release;
    }

    QByteArray makeDelta(int from, int to)
    {
        const QString out = root() + QStringLiteral("/%1-%2.delta").arg(from).arg(to);
        const int code = runMkpackage({ QStringLiteral("--delta"), root() + QStringLiteral("/release-%1.pkg").arg(from),
                                        root() + QStringLiteral("/release-%1.pkg").arg(to), out });
        return code == 0 ? readFile(out) : QByteArray();
    }

    // The reply offering modules, each with its content digest and deltas (children).
    static QByteArray withDeltas(QByteArray xml, const Module& module, const QString& content, const QByteArray& children)
    {
        const QByteArray end = "sha256=\"" + module.sha256.toUtf8() + "\"/>";
        QByteArray replaced = "sha256=\"" + module.sha256.toUtf8() + "\"";
        if (!content.isEmpty())
            replaced += " content-sha256=\"" + content.toUtf8() + "\"";
        replaced += children.isEmpty() ? QByteArray("/>") : ">" + children + "</addon>";
        return xml.replace(end, replaced);
    }
    QByteArray reply(int n, const QByteArray& children = QByteArray(), bool content = true,
                     const QByteArray& rootAttributes = QByteArray())
    {
        const Module module = reader(n);
        return withDeltas(replyXml({ module }, rootAttributes), module, content ? m_releases[n].content : QString(),
                          children);
    }

    // Release n of the module "Reader" at /pkg/.
    Module reader(int n)
    {
        const QString file = QStringLiteral("/pkg/Reader-%1.pkg").arg(n);
        m_server.route(file, TestHttpServer::Reply::ok(m_releases[n].package).ranges());
        Module m;
        m.name = QStringLiteral("Reader");
        m.version = QStringLiteral("7.%1.0.0").arg(n);
        m.url = m_server.url(file).toString();
        m.size = QString::number(m_releases[n].package.size()) + QStringLiteral("B");
        m.sha256 = hex(m_releases[n].package);
        return m;
    }

    QByteArray deltaElement(const QString& from, const QByteArray& delta, const QString& sha256) const
    {
        return "<delta from=\"" + from.toLatin1() + "\" url=\"" + m_server.url(QStringLiteral("/pkg/Reader-2.delta")).toEncoded()
               + "\" size=\"" + QByteArray::number(delta.size()) + "B\" sha256=\"" + sha256.toLatin1() + "\"/>";
    }

    int requestsFor(const QString& path) const
    {
        int count = 0;
        for (const TestHttpServer::Request& request : m_server.requests())
            count += request.path() == path.toUtf8() ? 1 : 0;
        return count;
    }

private slots:
    void initTestCase()
    {
        setUpCase(g_executable, g_pluginDir);
        m_runner.extraEnvironment.insert(QStringLiteral("MORAVEL_UPDATER_RETRY_DELAY_MS"), QStringLiteral("100"));
        for (int n = 1; n <= 3; ++n) {
            m_releases[n] = makeRelease(n);
            QVERIFY(!m_releases[n].package.isEmpty());
            QCOMPARE(m_releases[n].content.size(), 64);
        }
        m_delta = makeDelta(1, 2);
        m_otherDelta = makeDelta(1, 3);
        QVERIFY(!m_delta.isEmpty() && !m_otherDelta.isEmpty());
        // The point of it all: the delta is a small part of the package.
        QVERIFY(m_delta.size() * 4 < m_releases[2].package.size());
        m_keyed = root() + QStringLiteral("/keyed");
        QVERIFY(copyExecutable(g_executable, m_keyed));
        QVERIFY(writeFile(m_keyed + QStringLiteral("/update-keys.pub"), m_key.publicBase64().toLatin1() + "\n"));
    }

    void init()
    {
        setUpRun();
        QDir(bases()).removeRecursively();
        m_runner.executable = g_executable;
    }

    void secondReleaseComesAsADelta_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("deltaUsed");
        QTest::addColumn<QString>("logged");
        QTest::newRow("delta used") << "used" << true << "delta for Reader used: ";
        QTest::newRow("signed reply, keys") << "signed" << true << "delta for Reader used: ";
        QTest::newRow("cut off and continued") << "cut" << true << "continuing Reader-2.delta.part from byte ";
        QTest::newRow("no base") << "nobase" << false << "delta for Reader not used: no base kept";
        QTest::newRow("base changed on disk") << "basechanged" << false << "delta for Reader not used: ";
        QTest::newRow("delta of another hash") << "badhash" << false
                                               << "delta for Reader not used: it does not match its sha256";
        QTest::newRow("delta builds another release") << "otherrelease" << false << "delta for Reader not used: ";
        QTest::newRow("delta not on the server") << "404" << false
                                                 << "delta for Reader not used: it could not be downloaded";
    }

    void secondReleaseComesAsADelta()
    {
        QFETCH(QString, kind);
        QFETCH(bool, deltaUsed);
        QFETCH(QString, logged);

        // Release 1, in full: its content is kept as the base.
        offer(reply(1));
        Result first = m_runner.run();
        QVERIFY(first.ended);
        QCOMPARE(installersRun(m_marker, 1), QStringList() << m_releases[1].fingerprint);
        QVERIFY(first.logged("base of Reader kept: content " + m_releases[1].content.toLatin1()));
        QCOMPARE(QDir(bases()).entryList(QDir::Files).size(), 1);

        const bool other = kind == QLatin1String("otherrelease");
        const QByteArray served = other ? m_otherDelta : kind == QLatin1String("badhash") ? m_delta.left(m_delta.size() - 1) + 'x' : m_delta;
        if (kind == QLatin1String("cut")) {
            auto asked = std::make_shared<int>(0);
            const QByteArray delta = m_delta;
            m_server.handle(QStringLiteral("/pkg/Reader-2.delta"), [asked, delta](const TestHttpServer::Request&) {
                if ((*asked)++ == 0)
                    return TestHttpServer::Reply::ok(delta).header("ETag", "\"d\"").closeConnection().closeAfter(delta.size() / 2);
                return TestHttpServer::Reply::ok(delta).header("ETag", "\"d\"").ranges();
            });
        } else if (kind != QLatin1String("404")) {
            m_server.route(QStringLiteral("/pkg/Reader-2.delta"), TestHttpServer::Reply::ok(served).ranges());
        }
        if (kind == QLatin1String("nobase"))
            QDir(bases()).removeRecursively();
        if (kind == QLatin1String("basechanged")) {
            const QString base = bases() + QLatin1Char('/') + QDir(bases()).entryList(QDir::Files).value(0);
            QByteArray bytes = readFile(base);
            bytes[bytes.size() / 2] = static_cast<char>(bytes.at(bytes.size() / 2) ^ 0x20);
            writeFile(base, bytes);
        }

        // Release 2, with a delta from release 1's content (the hash of the real one).
        const QByteArray element = deltaElement(m_releases[1].content, served, hex(other ? m_otherDelta : m_delta));
        QByteArray xml = reply(2, element);
        if (kind == QLatin1String("signed")) {
            xml = SignedSite::sign(reply(2, element, true, SignedSite::times()), m_key);
            m_runner.executable = m_keyed + QStringLiteral("/MoravelUpdater");
        }
        offer(xml);
        m_server.clearRequests();
        QFile::remove(m_marker);
        const Result second = m_runner.run();
        QVERIFY(second.ended);
        QCOMPARE(second.exitCode, 0);
        // One download as far as the user sees: the prompt, and no warning.
        QCOMPARE(second.texts(QStringLiteral("QMessageBox")), QStringList());
        QCOMPARE(installersRun(m_marker, 1), QStringList() << m_releases[2].fingerprint);
        QVERIFY2(second.logged(logged.toUtf8()), second.output.constData());
        QCOMPARE(requestsFor(QStringLiteral("/pkg/Reader-2.pkg")), deltaUsed ? 0 : 1);
        // Release 2's content is the next base, whichever way it came.
        QVERIFY(second.logged("base of Reader kept: content " + m_releases[2].content.toLatin1()));
        QCOMPARE(QDir(bases()).entryList(QDir::Files).size(), 1);
        QCOMPARE(QDir(bases()).entryList(QDir::Files),
                 QStringList() << QDir(bases()).entryList(QStringList() << QStringLiteral("*-") + m_releases[2].content
                                                              + QStringLiteral(".base")));
    }

    void replyWithoutTheHashesDeltasNeedIsReadAsBefore()
    {
        // A module whose content has no digest: its deltas are not read at all, and the
        // full package installs.
        offer(reply(1));
        QVERIFY(m_runner.run().ended);
        m_server.route(QStringLiteral("/pkg/Reader-2.delta"), TestHttpServer::Reply::ok(m_delta));
        offer(reply(2, deltaElement(m_releases[1].content, m_delta, hex(m_delta)), false));
        QFile::remove(m_marker);
        const Result result = m_runner.run();
        QVERIFY(result.logged("delta without well-formed hashes ignored: \"Reader\""));
        QCOMPARE(installersRun(m_marker, 1), QStringList() << m_releases[2].fingerprint);
        QCOMPARE(requestsFor(QStringLiteral("/pkg/Reader-2.delta")), 0);
    }
};

EXE_TEST_MAIN(TestDeltaUpdates, g_executable, g_pluginDir)

#include "tst_deltaupdates.moc"
