// Writes the reader's settings file the way the reader (through Qt) leaves it on disk:
// "$XDG_CONFIG_HOME/Moravel Software/Moravel Reader.conf". The test runner gives every
// test its own XDG_CONFIG_HOME; without one nothing is written, so the user's own
// settings are never touched.
#ifndef TESTS_STARTUP_READERSETTINGS_H
#define TESTS_STARTUP_READERSETTINGS_H

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>

namespace ReaderSettings {

inline QString configHome()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME");
}

inline QString filePath()
{
    return configHome() + QStringLiteral("/Moravel Software/Moravel Reader.conf");
}

// Replaces the whole file. Every write gets a later modification time so that a
// settings object that cached the previous contents sees the change.
inline bool write(const QByteArray& ini)
{
    if (configHome().isEmpty())
        return false;
    static int generation = 0;
    QDir().mkpath(configHome() + QStringLiteral("/Moravel Software"));
    QFile file(filePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(ini) != ini.size())
        return false;
    file.close();
    if (!file.open(QIODevice::ReadWrite))
        return false;
    return file.setFileTime(QDateTime::currentDateTime().addSecs(++generation), QFileDevice::FileModificationTime);
}

inline bool remove()
{
    if (configHome().isEmpty())
        return false;
    QFile::remove(filePath());
    return !QFile::exists(filePath());
}

} // namespace ReaderSettings

#endif
