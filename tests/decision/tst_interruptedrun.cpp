// The real MoravelUpdater interrupted at each point of a run with three modules (a
// package installed by the reader's installUpdate, one with a "*.run" installer, a
// JavaScript plug-in), by SIGKILL or SIGTERM, then run again to its end. The installers
// log to the marker whether their files were still there when they had done. Besides:
// a second run while the first waits at its prompt, and what installUpdate leaves running.
#include "wholerunfixture.h"

#include <QRandomGenerator>
#include <QtTest>

#include <csignal>

using namespace RunTest;
using namespace ExeRun;

namespace {

QString g_executable;
QString g_pluginDir;

enum Point { DuringCheck, AfterReply, MidDownload, MidUnpack, InstallPrompt, InstallUpdateRuns, InstallerRuns, PluginCopy };

QByteArray noise(int size, quint32 mask)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(22);
    for (char& c : data)
        c = char(generator.generate() & mask);
    return data;
}

// Logs "<tag> run", waits for root()/release when it takes root()/hold-<tag>, then logs
// "<tag> intact" when the file it installs is still the one it started with (same
// inode), "<tag> missing" otherwise.
QByteArray installerScript(const QByteArray& tag, const QByteArray& installed)
{
    const QByteArray r = root().toUtf8(), m = markerPath().toUtf8();
    return "#!/bin/sh\nf=" + installed + "\ni=$(ls -i \"$f\")\necho '" + tag + " run' >> '" + m + "'\nif rm '" + r
           + "/hold-" + tag + "' 2>/dev/null; then\n  while [ ! -e '" + r + "/release' ]; do sleep 0.05; done\nfi\n"
           "[ -n \"$i\" ] && [ \"$(ls -i \"$f\")\" = \"$i\" ] && echo '" + tag + " intact' >> '" + m + "' || echo '" + tag
           + " missing' >> '" + m + "'\n";
}

} // namespace

class TestInterruptedRun : public WholeRunFixture
{
    Q_OBJECT

private:
    QByteArray m_readerPackage, m_installer, m_plugin;
    int count(const QString& line) const { return markerLines().count(line); }

    // The reply (never sent when replyStalled) and the packages; the package at index
    // stalled after so many bytes.
    void serve(int stalled = -1, qint64 stallAfter = 0, bool replyStalled = false)
    {
        const QList<QPair<QString, QByteArray>> files { { "Reader.bin", m_readerPackage }, { "Tools.bin", m_installer },
                                                        { "JSTools.js", m_plugin } };
        QList<Module> modules;
        for (int i = 0; i < files.size(); ++i) {
            const QString path = QStringLiteral("/pkg/") + files.at(i).first;
            TestHttpServer::Reply reply = TestHttpServer::Reply::ok(files.at(i).second).ranges().header("ETag", "\"v1\"");
            m_server.route(path, i == stalled ? reply.stallAfter(stallAfter) : reply);
            const QByteArray sha256 = QCryptographicHash::hash(files.at(i).second, QCryptographicHash::Sha256).toHex();
            modules << Module { files.at(i).first, QStringLiteral("7.1.0.200"), m_server.url(path).toString(),
                                QString::number(files.at(i).second.size()) + QStringLiteral("B"), QString(), false,
                                QString::fromLatin1(sha256) };
        }
        m_server.route(kRequestPath, replyStalled ? TestHttpServer::Reply::silent()
                                                  : TestHttpServer::Reply::ok(replyXml(modules)));
        m_server.clearRequests();
    }

    // Whether the point of the run has come.
    bool reached(Point point) const
    {
        switch (point) {
        case DuringCheck:
            return m_server.requestCount() > 0;
        case AfterReply:
            return packageRequests(m_server) > 0;
        case MidDownload:
            return QFileInfo(working() + QStringLiteral("/Reader.bin")).size() >= (1 << 20)
                   || QFileInfo(working() + QStringLiteral("/Reader.bin.part")).size() >= (1 << 20);
        case MidUnpack:
            return QFileInfo::exists(working() + QStringLiteral("/uncompress/outfile_tmp"));
        case InstallPrompt:
            return QFileInfo::exists(root() + QStringLiteral("/prompted"));
        case InstallUpdateRuns:
            return count(QStringLiteral("R run")) > 0;
        case InstallerRuns:
            return count(QStringLiteral("I run")) > 0;
        case PluginCopy:
            return !QDir(pluginFolder()).entryList({ QStringLiteral(".JSTools.js.part*") }, QDir::Files | QDir::Hidden).isEmpty();
        }
        return false;
    }

    // Waits until every installer started has logged its end.
    void waitForInstallers()
    {
        QTRY_VERIFY_WITH_TIMEOUT(count("R run") + count("I run") == count("R intact") + count("R missing")
                                     + count("I intact") + count("I missing"), 20000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(g_executable).isExecutable(), qPrintable(g_executable));
        setUpCase(g_executable, g_pluginDir);
        m_readerPackage = buildPackage(PackageTree()
                                    .file(QStringLiteral("Setup.xml"), "<setup><file name=\"bdata.bin\"/></setup>")
                                    .file(QStringLiteral("bdata.bin"), noise(6 << 20, 0x0f)));
        m_plugin = noise(24 << 20, 0xff);
        QVERIFY(!m_readerPackage.isEmpty());
    }

    void interruptedThenRunAgain_data()
    {
        QTest::addColumn<int>("point");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("times");
        QTest::addColumn<int>("second");     // a second signal right after the first
        QTest::addColumn<bool>("toGroup");   // sent to the updater's whole process group
        const QList<QPair<const char*, Point>> points {
            { "during the check", DuringCheck },     { "after the reply", AfterReply },       { "mid-download", MidDownload },
            { "mid-unpack", MidUnpack },             { "at the Install prompt", InstallPrompt },
            { "installUpdate runs", InstallUpdateRuns }, { "installer runs", InstallerRuns },
            { "plug-in copy", PluginCopy } };
        for (const auto& p : points) {
            QTest::newRow((QByteArray("SIGKILL ") + p.first).constData()) << int(p.second) << int(SIGKILL) << 1 << 0 << false;
            QTest::newRow((QByteArray("SIGTERM ") + p.first).constData()) << int(p.second) << int(SIGTERM) << 1 << 0 << false;
        }
        QTest::newRow("SIGKILL twice mid-download") << int(MidDownload) << int(SIGKILL) << 2 << 0 << false;
        QTest::newRow("SIGINT mid-download") << int(MidDownload) << int(SIGINT) << 1 << 0 << false;
        QTest::newRow("SIGHUP at the Install prompt") << int(InstallPrompt) << int(SIGHUP) << 1 << 0 << false;
        // Ctrl-C in the terminal: installUpdate is out of its reach and finishes.
        QTest::newRow("SIGINT to the group while installUpdate runs") << int(InstallUpdateRuns) << int(SIGINT) << 1 << 0 << true;
        // The main thread is held in the prompt's hook: the second signal ends the process.
        QTest::newRow("SIGTERM, then SIGINT at the Install prompt") << int(InstallPrompt) << int(SIGTERM) << 1 << int(SIGINT) << false;
    }

    void interruptedThenRunAgain()
    {
        QFETCH(int, point);
        QFETCH(int, signal);
        QFETCH(int, times);
        QFETCH(int, second);
        QFETCH(bool, toGroup);
        const ReaderInstall reader = freshRunPlaces(working(), markerPath());
        writeRunSettings(reader, QStringLiteral("Auto"));
        writeFile(reader.readerDir + QStringLiteral("/installUpdate"),
                  installerScript("R", "\"$TMPDIR/MoravelCorvina/uncompress/bdata.bin\""), true);
        m_installer = buildPackage(PackageTree().file(QStringLiteral("data"), "tools").file(
            QStringLiteral("install.run"), installerScript("I", "\"$(dirname \"$0\")/data\"")));
        QFile::remove(root() + QStringLiteral("/release"));
        if (point == InstallUpdateRuns || point == InstallerRuns)
            writeFile(root() + (point == InstallerRuns ? QStringLiteral("/hold-I") : QStringLiteral("/hold-R")), "");
        // At the first prompt: holds the answer until the test has sent its signal (1 s at most).
        const QByteArray prompted = "'" + root().toUtf8() + "/prompted'";
        writeFile(root() + QStringLiteral("/hook"), "#!/bin/sh\n[ \"$1\" = 1 ] || exit 0\ntouch " + prompted
                  + "\nfor i in 1 2 3 4 5 6 7 8 9 10; do [ -e " + prompted + " ] && sleep 0.1; done\n", true);

        for (int run = 0; run < times; ++run) {
            serve(point == AfterReply || point == MidDownload ? 0 : -1, point == AfterReply ? 0 : m_readerPackage.size() / 2,
                  point == DuringCheck);
            QFile::remove(root() + QStringLiteral("/prompted"));
            m_runner.hook = point == InstallPrompt ? root() + QStringLiteral("/hook") : QString();
            QElapsedTimer sent;
            int started = 0;
            // setsid makes the updater the leader of a process group of its own.
            if (toGroup)
                m_runner.wrap = [](QString* program, QStringList* args) {
                    args->prepend(*program);
                    *program = QStringLiteral("setsid");
                };
            m_runner.whileRunning = [&](QProcess& updater) {
                if (!sent.isValid() && reached(Point(point))) {
                    ::kill(toGroup ? -pid_t(updater.processId()) : pid_t(updater.processId()), signal);
                    if (second)
                        ::kill(pid_t(updater.processId()), second);
                    sent.start();
                    started = count("R run") + count("I run");
                    QFile::remove(root() + QStringLiteral("/prompted"));
                }
            };
            const Result stopped = m_runner.run();
            m_runner.whileRunning = nullptr;
            m_runner.wrap = nullptr;
            QVERIFY2(sent.isValid(), "the point was not reached");
            if (point == MidDownload) {
                // What came in is kept for the next run to continue.
                QVERIFY(!QDir(working()).entryList({ QStringLiteral("*.part") }, QDir::Files).isEmpty());
            }
            if (second) {
                // Ended by the second signal, not after the hook by the first.
                QVERIFY2(!stopped.ended && sent.elapsed() < 2000, stopped.output.constData());
                QCOMPARE(count("R run") + count("I run"), started);
            } else if (signal != SIGKILL) {
                QVERIFY2(sent.elapsed() < 2000, qPrintable(QString::number(sent.elapsed())));
                QVERIFY2(stopped.ended && stopped.exitCode == 0, stopped.output.constData());
                QVERIFY(stopped.logged("stopped by signal " + QByteArray(signal == SIGTERM ? "SIGTERM"
                                                                        : signal == SIGINT ? "SIGINT" : "SIGHUP")));
                // No installer was started after the signal.
                QTest::qWait(300);
                QCOMPARE(count("R run") + count("I run"), started);
            } else {
                QVERIFY(!stopped.ended);
            }
        }
        if (point == InstallUpdateRuns) {
            // installUpdate still holds the unpack folder: the next run starts nothing.
            serve();
            const Result held = m_runner.run();
            QVERIFY(held.ended && held.exitCode == 0);
            QVERIFY(held.logged("an installer still runs from"));
            // A user who asked is told why nothing happens.
            writeRunSettings(reader, QStringLiteral("Manual"));
            serve();
            const Result heldManual = m_runner.run();
            QVERIFY(heldManual.ended && heldManual.exitCode == 0);
            QCOMPARE(heldManual.texts(),
                     QStringList() << QStringLiteral("An update is being installed. Try again when it has finished."));
            writeRunSettings(reader, QStringLiteral("Auto"));
            QCOMPARE(count("R run"), 1);
            writeFile(root() + QStringLiteral("/release"), "");
            waitForInstallers();
        }

        const int installedBefore = count("R run") + count("I run");
        serve();
        const Result final = m_runner.run();
        QVERIFY2(final.ended && final.exitCode == 0, final.output.constData());
        if (point == MidDownload) {
            // The next run continued what the interrupted one received, with the first
            // answer's validator: the record was on disk, also after a SIGKILL.
            static const QRegularExpression range(QStringLiteral("^bytes=([1-9][0-9]*)-$"));
            int continued = 0;
            for (const TestHttpServer::Request& request : m_server.requests())
                continued += request.path() == "/pkg/Reader.bin" && request.header("If-Range") == "\"v1\""
                             && range.match(QString::fromLatin1(request.header("Range"))).hasMatch();
            QVERIFY2(continued == 1, final.output.constData());
        }
        writeFile(root() + QStringLiteral("/release"), "");
        waitForInstallers();
        QCOMPARE(count("R run") + count("I run") - installedBefore, 2);
        QCOMPARE(count("R missing") + count("I missing"), 0);
        QFile plugin(pluginFolder() + QStringLiteral("/JSTools.js"));
        QVERIFY(plugin.open(QIODevice::ReadOnly));
        QVERIFY(plugin.readAll() == m_plugin);
        QCOMPARE(QDir(pluginFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList() << QStringLiteral("JSTools.js"));
        for (const char* name : { "infile_tmp", "outfile_tmp", "fileover_tmp" })
            QVERIFY(!QFileInfo::exists(working() + QStringLiteral("/uncompress/") + QLatin1String(name)));
        QVERIFY(QDir(working()).entryList({ QStringLiteral("*.part") }, QDir::AllEntries | QDir::Hidden).isEmpty());
    }

    void secondRunWhileTheFirstWaitsAtInstall()
    {
        // Run A waits at its Install prompt; runs of the same user started meanwhile end
        // at once, touching nothing, and A then installs its own package.
        const ReaderInstall reader = freshRunPlaces(working(), markerPath());
        writeRunSettings(reader, QStringLiteral("Auto"));
        writeFile(reader.readerDir + QStringLiteral("/installUpdate"),
                  installerScript("R", "\"$TMPDIR/MoravelCorvina/uncompress/bdata.bin\""), true);
        m_installer = buildPackage(PackageTree().file(QStringLiteral("data"), "tools").file(
            QStringLiteral("install.run"), installerScript("I", "\"$(dirname \"$0\")/data\"")));
        serve();
        const QString go = root() + QStringLiteral("/go");
        QFile::remove(go);
        QFile::remove(root() + QStringLiteral("/prompted"));
        writeFile(root() + QStringLiteral("/hook"), "#!/bin/sh\n[ \"$1\" = 1 ] || exit 0\ntouch '" + root().toUtf8()
                  + "/prompted'\nwhile [ ! -e '" + go.toUtf8() + "' ]; do sleep 0.05; done\n", true);
        m_runner.hook = root() + QStringLiteral("/hook");
        QList<Result> others;
        QMap<QString, QString> before, after;
        int requests = -1, requestsAfter = -1;
        m_runner.whileRunning = [&](QProcess&) {
            if (requests >= 0 || !reached(InstallPrompt))
                return;
            requests = m_server.requestCount();
            before = snapshot(working(), {});
            Runner other = m_runner;
            other.hook.clear();
            other.whileRunning = nullptr;
            for (const QString& updater : { QStringLiteral("Auto"), QStringLiteral("Manual") }) {
                writeRunSettings(reader, updater);
                others << other.run();
            }
            after = snapshot(working(), {});
            requestsAfter = m_server.requestCount();
            writeFile(go, "");
        };
        const Result first = m_runner.run();
        m_runner.whileRunning = nullptr;
        m_runner.hook.clear();
        QVERIFY2(first.ended && first.exitCode == 0, first.output.constData());
        QCOMPARE(others.size(), 2);
        for (const Result& other : others) {
            QVERIFY2(other.ended && other.exitCode == 0, other.output.constData());
            QVERIFY(other.logged("another update run holds the working folder"));
        }
        QVERIFY(others.at(0).shown.isEmpty());
        QCOMPARE(others.at(1).texts(), QStringList() << QStringLiteral("An update is already running."));
        VERIFY_UNCHANGED(before, after);
        QCOMPARE(requestsAfter, requests);
        waitForInstallers();
        QCOMPARE(markerLines().filter(QStringLiteral("intact")), QStringList() << QStringLiteral("R intact") << QStringLiteral("I intact"));
    }

    void programLeftRunningByInstallUpdateHoldsNothing()
    {
        // installUpdate starts a program that outlives it (as the reader it starts again
        // would): the next run installs at once.
        const ReaderInstall reader = freshRunPlaces(working(), markerPath());
        writeRunSettings(reader, QStringLiteral("Auto"));
        const QString children = root() + QStringLiteral("/children");
        QFile::remove(children);
        writeFile(reader.readerDir + QStringLiteral("/installUpdate"), "#!/bin/sh\necho 'C run' >> '"
                  + markerPath().toUtf8() + "'\nsleep 60 &\necho $! >> '" + children.toUtf8() + "'\n", true);
        m_installer = buildPackage(PackageTree().file(QStringLiteral("data"), "tools").file(
            QStringLiteral("install.run"), installerScript("I", "\"$(dirname \"$0\")/data\"")));
        for (int run = 0; run < 2; ++run) {
            serve();
            const Result result = m_runner.run();
            QVERIFY2(result.ended && result.exitCode == 0, result.output.constData());
            QVERIFY(!result.logged("an installer still runs from"));
        }
        QCOMPARE(count(QStringLiteral("C run")), 2);
        waitForInstallers();
        for (const QByteArray& pid : readFile(children).split('\n'))
            if (pid.toInt() > 0)
                ::kill(pid.toInt(), SIGKILL);
        QCOMPARE(readFile(children).count('\n'), 2);
    }

    void leftoversOfOthersStay()
    {
        // Plug-in copies of a live updater, of a process that is gone, and look-alikes.
        const ReaderInstall reader = freshRunPlaces(working(), markerPath());
        writeRunSettings(reader, QStringLiteral("Auto"));
        m_server.route(kRequestPath, TestHttpServer::Reply::ok(replyXml({})));
        const QString folder = pluginFolder() + QLatin1Char('/');
        // A live process of the updater's name.
        QVERIFY(QDir().mkpath(root() + QStringLiteral("/live")));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), root() + QStringLiteral("/live/MoravelUpdater")));
        QProcess live;
        live.start(root() + QStringLiteral("/live/MoravelUpdater"), QStringList() << QStringLiteral("30"));
        QVERIFY(live.waitForStarted());
        const QString gone = QStringLiteral(".JSa.js.part%1-0").arg(INT_MAX - 1);
        const QStringList kept { QStringLiteral(".JSa.js.part%1-0").arg(live.processId()),
                                 QStringLiteral(".JSa.js.part%1-0x").arg(INT_MAX - 1), QStringLiteral(".other.part1-0"),
                                 QStringLiteral("JSa.js"), QStringLiteral(".JSlink.js.part%1-1").arg(INT_MAX - 1) };
        QStringList planted = kept.mid(0, 4);
        planted << gone;
        for (const QString& name : planted)
            writeFile(folder + name, "x");
        QVERIFY(QFile::link(folder + QStringLiteral("JSa.js"), folder + kept.at(4)));
        QVERIFY(m_runner.run().ended);
        QVERIFY(!QFileInfo::exists(folder + gone));
        for (const QString& name : kept)
            QVERIFY2(QFileInfo(folder + name).exists() || QFileInfo(folder + name).isSymLink(), qPrintable(name));
        live.kill();
        live.waitForFinished();
    }
};

EXE_TEST_MAIN(TestInterruptedRun, g_executable, g_pluginDir)

#include "tst_interruptedrun.moc"
