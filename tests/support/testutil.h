// Helpers of every kind of test: the test's own folder, files written and read there,
// the log lines collected, the bytes of hand-made inputs (seeded random bytes,
// little-endian words), and a test function run again without root's privileges.
#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace TestUtil {

// data as a gzip member, made by the system's gzip (-9): what a server sends with
// Content-Encoding: gzip. Empty when gzip could not be run.
inline QByteArray gzipped(const QByteArray& data)
{
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), QStringList() << QStringLiteral("-c") << QStringLiteral("-9") << QStringLiteral("-n"));
    gzip.write(data);
    gzip.closeWriteChannel();
    if (!gzip.waitForFinished(60000) || gzip.exitStatus() != QProcess::NormalExit || gzip.exitCode() != 0)
        return QByteArray();
    return gzip.readAllStandardOutput();
}

#ifdef MKPACKAGE_PATH
// Runs the build's mkpackage with the given arguments and waits for it: its exit code,
// -1 when it did not run or crashed. The one way the tests make packages.
inline int runMkpackage(const QStringList& args, QByteArray* standardError = nullptr,
                        QByteArray* standardOutput = nullptr)
{
    QProcess mk;
    mk.start(QStringLiteral(MKPACKAGE_PATH), args);
    if (!mk.waitForFinished(-1) || mk.exitStatus() != QProcess::NormalExit)
        return -1;
    if (standardError)
        *standardError = mk.readAllStandardError();
    if (standardOutput)
        *standardOutput = mk.readAllStandardOutput();
    return mk.exitCode();
}
#endif

// The test's private root (tests/support/isolate.sh), else the temporary directory.
inline QString root()
{
    const QString value = qEnvironmentVariable("ZR_TEST_ROOT");
    return value.isEmpty() ? QDir::tempPath() : value;
}

// Writes bytes to path, replacing what was there and making the missing folders on the
// way; executable adds the owner's execute permission. A write that fails fails the
// running test (and gives false): no test goes on without the files it set up.
inline bool writeFile(const QString& path, const QByteArray& bytes, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    const bool written =
        file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
    if (written && executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    if (!written)
        QTest::qFail(qPrintable(QStringLiteral("cannot write ") + path), __FILE__, __LINE__);
    return written;
}

// The contents of path; unreadable (empty unless given) when it cannot be read, so that
// a test can tell an empty file from none.
inline QByteArray readFile(const QString& path, const QByteArray& unreadable = QByteArray())
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : unreadable;
}

// The non-empty lines of a text file (none when it cannot be read).
inline QStringList readLines(const QString& path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// size bytes, the same for the same seed.
inline QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char(rng.generate() & 0xff);
    return out;
}

// The little-endian 32-bit word at offset.
inline quint32 le32(const QByteArray& data, int offset)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData() + offset);
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

inline void setLe32(QByteArray& data, int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        data[offset + i] = char(value >> (8 * i));
}

// The user that tests run programs as when they need one without privileges (nobody),
// and the arguments of setpriv that run a program as uid (its group too, no others).
const uint kNobody = 65534;

inline QStringList asUser(uint uid)
{
    return { QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid),
             QStringLiteral("--clear-groups"), QStringLiteral("--") };
}

// Changes the owner of path and everything below it (without following links).
inline bool chownTree(const QString& path, uint uid)
{
    QStringList paths { path };
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    for (const QString& p : paths)
        if (::lchown(QFile::encodeName(p).constData(), uid, uid) != 0)
            return false;
    return true;
}

// For a test whose point is a permission that does not stop root: run as root, it runs
// the current test function (and data row) once more in a copy of this test program as
// kNobody, with a home, XDG folders and TMPDIR of that user's own below the test's
// folder, and gives whether it passed there. Its output comes out as QINFO lines.
//   if (geteuid() == 0) { QVERIFY(TestUtil::passesAsNobody()); return; }
inline bool passesAsNobody()
{
    const QString dir = root() + QStringLiteral("/as-nobody");
    const QString program = dir + QLatin1Char('/') + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QDir(dir).removeRecursively();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QStringList places { QStringLiteral("HOME=home"), QStringLiteral("XDG_CONFIG_HOME=config"),
                               QStringLiteral("XDG_DATA_HOME=data"), QStringLiteral("XDG_CACHE_HOME=cache"),
                               QStringLiteral("XDG_STATE_HOME=state"), QStringLiteral("XDG_RUNTIME_DIR=run"),
                               QStringLiteral("TMPDIR=tmp") };
    for (const QString& place : places) {
        const QString path = dir + QLatin1Char('/') + place.section(QLatin1Char('='), 1);
        QDir().mkpath(path);
        environment.insert(place.section(QLatin1Char('='), 0, 0), path);
    }
    environment.insert(QStringLiteral("ZR_TEST_ROOT"), dir);
    QFile::setPermissions(dir + QStringLiteral("/run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                            | QFileDevice::ExeOwner);
    if (!QFile::copy(QCoreApplication::applicationFilePath(), program) || !chownTree(dir, kNobody)) {
        qInfo("cannot make a copy of the test program for %s", qPrintable(dir));
        return false;
    }
    // Only passing through the test's folder, for as long as the run takes.
    const QByteArray top = QFile::encodeName(root());
    struct stat st;
    if (::stat(top.constData(), &st) != 0 || ::chmod(top.constData(), (st.st_mode & 07777) | S_IXOTH) != 0) {
        qInfo("cannot open %s for passing through", top.constData());
        return false;
    }

    QString function = QString::fromLatin1(QTest::currentTestFunction());
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    QProcess run;
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.setWorkingDirectory(dir);
    run.start(QStringLiteral("setpriv"),
              asUser(kNobody) << program << (row.isEmpty() ? function : function + QLatin1Char(':') + row));
    if (!run.waitForFinished(120000))
        run.kill();
    run.waitForFinished(5000);
    const QString output = QString::fromLocal8Bit(run.readAll());
    ::chmod(top.constData(), st.st_mode & 07777);
    QDir(dir).removeRecursively();

    bool passed = false;
    const QString name = QStringLiteral("::%1(%2)").arg(function, row);
    for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        qInfo("as nobody: %s", qPrintable(line));
        passed = passed || (line.startsWith(QLatin1String("PASS   : ")) && line.endsWith(name));
    }
    return passed && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0;
}

} // namespace TestUtil

#endif // TESTUTIL_H
