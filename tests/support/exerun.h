// Whole runs of the real MoravelUpdater executable for the security tests: the reader's
// settings and installation in the test's own folders, the in-process test server as the
// update server, and the test plug-in zrdialoganswer (tests/support/dialoganswer) inside
// the process to answer its dialogs and write down what they showed. A run may use
// another temporary folder and may run as another user (setpriv), and a snapshot of the
// test's folders tells whether anything changed where the updater has no business.
#ifndef EXERUN_H
#define EXERUN_H

#include "exetestmain.h"
#include "runtestsupport.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace ExeRun {

using namespace RunTest;

// The user that runs the updater in the runs "as another user", and owns what another
// user planted in the runs as root.
using TestUtil::kNobody;

inline bool isRoot()
{
    return geteuid() == 0;
}

// One dialog (or download-window description) the plug-in recorded.
struct Shown
{
    QString kind;
    QString title;
    QString text;
    bool plainText = false;
    QString okText;
    QString answer;
};

// What one run of the executable left.
struct Result
{
    bool ended = false;
    int exitCode = -1;
    QByteArray output;          // standard output and error (the debug lines)
    QList<Shown> shown;

    QStringList texts(const QString& kind = QString()) const
    {
        QStringList list;
        for (const Shown& s : shown)
            if (kind.isEmpty() || s.kind == kind)
                list << s.text;
        return list;
    }
    bool logged(const QByteArray& text) const { return output.contains(text); }
};

// The reader's settings for a check ("Manual" or an automatic one) of the product
// "Moravel Reader" at version 7.0.0.100 installed as reader describes.
inline void writeRunSettings(const ReaderInstall& reader, const QString& updater)
{
    writeSettings({ { QStringLiteral("Corvina_UpdateParam"),
                      QStringLiteral("type:\"Update List\",product:\"Moravel Reader\",updater:\"") + updater
                          + QStringLiteral("\",version:\"7.0.0.100\",corvinapath:\"") + reader.corvinaDir
                          + QStringLiteral("\"") },
                    { QStringLiteral("Corvina_UpdateOldPath"), reader.readerDir } });
}

// A fresh start for the next run: no working folder, no updater state or plug-in
// folder, no installers' marker, and a newly made reader installation with an empty
// install log.
inline ReaderInstall freshRunPlaces(const QString& working, const QString& marker)
{
    QDir(working).removeRecursively();
    QDir(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/moravel-updater")).removeRecursively();
    QDir(qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Moravel Software")).removeRecursively();
    QDir().mkpath(QFileInfo(marker).absolutePath());
    QFile::remove(marker);
    ReaderInstall reader = ReaderInstall::create();
    QFile::remove(reader.installLog);
    return reader;
}

// What a whole run of the updater may change: its working folder, the reader's
// installation and logs, the installers' marker, the plug-in's dialog records, the
// test's cache and the updater's state and data folders.
inline QStringList updaterPlaces(const QString& working, const ReaderInstall& reader, const QString& marker)
{
    return { working, reader.readerDir, reader.installLog, reader.countLog, marker,
             root() + QStringLiteral("/dialogs"), root() + QStringLiteral("/cache"),
             qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/moravel-updater"),
             qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Moravel Software") };
}

// Waits until the detached installers have written at least expected lines to the
// marker (20 s at most), and a little more to see that no other installer follows.
inline QStringList installersRun(const QString& marker, int expected)
{
    QElapsedTimer clock;
    clock.start();
    while (markerLines(marker).size() < expected && clock.elapsed() < 20000)
        QTest::qWait(50);
    QTest::qWait(300);
    return markerLines(marker);
}

// Lists every path below dir with what it is: kind, mode, owner, size, link target and
// the SHA-1 of a file's contents. Paths below one of the skipped folders are left out.
inline QMap<QString, QString> snapshot(const QString& dir, const QStringList& skipped)
{
    QMap<QString, QString> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        bool skip = false;
        for (const QString& s : skipped)
            if (path == s || path.startsWith(s + QLatin1Char('/')))
                skip = true;
        if (skip)
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QString what = QStringLiteral("mode %1 uid %2").arg(st.st_mode, 0, 8).arg(st.st_uid);
        if (S_ISLNK(st.st_mode)) {
            what += QStringLiteral(" -> ") + QFileInfo(path).symLinkTarget();
        } else if (S_ISREG(st.st_mode)) {
            QFile file(path);
            QCryptographicHash hash(QCryptographicHash::Sha1);
            if (file.open(QIODevice::ReadOnly))
                hash.addData(&file);
            what += QStringLiteral(" size %1 %2").arg(st.st_size).arg(QString::fromLatin1(hash.result().toHex()));
        }
        entries.insert(path, what);
    }
    return entries;
}

// The differences between two snapshots, one line each.
inline QStringList changes(const QMap<QString, QString>& before, const QMap<QString, QString>& after)
{
    QStringList lines;
    for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
        if (!after.contains(it.key()))
            lines << QStringLiteral("gone: ") + it.key();
        else if (after.value(it.key()) != it.value())
            lines << QStringLiteral("changed: ") + it.key() + QStringLiteral(" (") + it.value() + QStringLiteral(" / ")
                         + after.value(it.key()) + QLatin1Char(')');
    }
    for (auto it = after.constBegin(); it != after.constEnd(); ++it)
        if (!before.contains(it.key()))
            lines << QStringLiteral("new: ") + it.key();
    return lines;
}

// Fails the test with the list of differences unless the two snapshots are equal.
#define VERIFY_UNCHANGED(before, after)                                                    \
    do {                                                                                   \
        const QStringList differences = ExeRun::changes((before), (after));                \
        QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1Char('\n'))));  \
    } while (false)

// A copy of the executable as folder/MoravelUpdater (folder made if missing) that only
// its owner may run, for runs with files beside the executable (update-keys.pub).
inline bool copyExecutable(const QString& executable, const QString& folder)
{
    const QString copy = folder + QStringLiteral("/MoravelUpdater");
    return QDir().mkpath(folder) && QFile::copy(executable, copy)
           && QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

using TestUtil::chownTree;

// Everything a run needs: the environment of the executable and how it is started.
class Runner
{
public:
    QString executable;             // the MoravelUpdater under test
    QString pluginPath;             // QT_PLUGIN_PATH holding generic/libzrdialoganswer.so
    QUrl serverScript;              // the update server's address
    QString tempDir;                // TMPDIR of the run; empty: the test's own
    QString home;                   // HOME and the XDG folders below it; empty: the test's own
    QStringList answers;            // ok, cancel or close, in turn (then ok)
    QString hook;                   // run before each answer with the dialog's number and kind
    bool asNobody = false;          // run through setpriv as kNobody
    QMap<QString, QString> extraEnvironment; // set (or, with an empty value, unset) in the run's environment
    // Turns the command line into the one started, e.g. TestCertificates::wrapTrusting.
    std::function<void(QString* program, QStringList* args)> wrap;
    int timeoutMs = 120000;
    // Called about every millisecond while the updater runs (a test acts at a point of
    // the run, e.g. kills it).
    std::function<void(QProcess& updater)> whileRunning;

    // Runs the updater to its end (killed after timeoutMs); the test's event loop keeps
    // running meanwhile so that the in-process server answers.
    Result run()
    {
        Result result;
        QDir().mkpath(root() + QStringLiteral("/dialogs"));
        const QString log = root() + QStringLiteral("/dialogs/run-%1.jsonl").arg(++m_runs);
        QFile::remove(log);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_US"), serverScript.toString());
        environment.insert(QStringLiteral("MORAVEL_UPDATE_SERVER_CN"), serverScript.toString());
        environment.insert(QStringLiteral("QT_PLUGIN_PATH"), pluginPath);
        environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("zrdialoganswer"));
        environment.insert(QStringLiteral("ZR_DIALOG_LOG"), log);
        environment.insert(QStringLiteral("ZR_DIALOG_ANSWERS"), answers.join(QLatin1Char(',')));
        if (!hook.isEmpty())
            environment.insert(QStringLiteral("ZR_DIALOG_HOOK"), hook);
        if (!tempDir.isEmpty())
            environment.insert(QStringLiteral("TMPDIR"), tempDir);
        if (!home.isEmpty()) {
            environment.insert(QStringLiteral("HOME"), home);
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
            environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
            environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
        }
        for (auto it = extraEnvironment.constBegin(); it != extraEnvironment.constEnd(); ++it) {
            if (it.value().isEmpty())
                environment.remove(it.key());
            else
                environment.insert(it.key(), it.value());
        }

        QProcess updater;
        updater.setProcessEnvironment(environment);
        updater.setProcessChannelMode(QProcess::MergedChannels);
        updater.setWorkingDirectory(root());
        QString program = executable;
        QStringList args;
        if (asNobody) {
            // The log is written by the other user.
            QFile(log).open(QIODevice::WriteOnly);
            ::chown(QFile::encodeName(log).constData(), kNobody, kNobody);
            program = QStringLiteral("setpriv");
            args << TestUtil::asUser(kNobody) << executable;
        }
        if (wrap)
            wrap(&program, &args);
        updater.start(program, args);
        if (!updater.waitForStarted(10000))
            return result;
        QElapsedTimer clock;
        clock.start();
        while (updater.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs) {
            if (whileRunning)
                whileRunning(updater);
            QTest::qWait(whileRunning ? 1 : 20);
        }
        if (updater.state() != QProcess::NotRunning) {
            updater.kill();
            updater.waitForFinished(5000);
        } else {
            result.ended = updater.exitStatus() == QProcess::NormalExit;
            result.exitCode = updater.exitCode();
        }
        result.output = updater.readAll();

        const QList<QByteArray> lines = readFile(log).split('\n');
        for (const QByteArray& line : lines) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.isEmpty())
                continue;
            Shown s;
            s.kind = o.value(QStringLiteral("kind")).toString();
            s.title = o.value(QStringLiteral("title")).toString();
            s.text = o.value(QStringLiteral("text")).toString();
            s.plainText = o.value(QStringLiteral("plainText")).toBool();
            s.okText = o.value(QStringLiteral("okText")).toString();
            s.answer = o.value(QStringLiteral("answer")).toString();
            result.shown << s;
        }
        return result;
    }

    // run(), and nothing below the test's folder may change but the allowed paths: a
    // change there makes the result count as not ended (and is printed).
    Result runChangingOnly(const QStringList& allowed)
    {
        const auto before = snapshot(root(), allowed);
        Result result = run();
        const QStringList differences = changes(before, snapshot(root(), allowed));
        if (!differences.isEmpty()) {
            qWarning("changed outside the updater's folders:\n%s", qPrintable(differences.join(QLatin1Char('\n'))));
            result.ended = false;
        }
        if (!result.ended)
            qWarning("%s", result.output.constData());
        return result;
    }

private:
    int m_runs = 0;
};

} // namespace ExeRun

#endif // EXERUN_H
