// Helpers of every kind of test: the test's own folder, files written and read there,
// the log lines collected, and the bytes of hand-made inputs (seeded random bytes,
// little-endian words).
#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace TestUtil {

// The test's private root (tests/support/isolate.sh), else the temporary directory.
inline QString root()
{
    const QString value = qEnvironmentVariable("ZR_TEST_ROOT");
    return value.isEmpty() ? QDir::tempPath() : value;
}

// The log lines collected while collect is the message handler
// (qInstallMessageHandler(collect) ... qInstallMessageHandler(nullptr)); they are not
// printed meanwhile. Tests clear it in init().
inline QStringList g_log;

inline void collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_log << message;
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

} // namespace TestUtil

#endif // TESTUTIL_H
