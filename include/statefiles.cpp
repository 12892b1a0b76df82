#include "statefiles.h"

#include "safefiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace Comm {

QString stateDir()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/moravel-updater");
}

QString stateFilePath(const QString& name)
{
    return stateDir() + QLatin1Char('/') + name;
}

bool readStateFile(const QString& name, qint64 maxBytes, QByteArray* data)
{
    return readSmallFile(stateFilePath(name), maxBytes, data);
}

bool writeStateFile(const QString& name, const QByteArray& data, const char* what)
{
    const QString folder = stateDir();
    if (!makeSyncedPath(folder)) {
        qDebug() << "the state folder cannot be made:" << folder;
        return false;
    }
    ::chmod(QFile::encodeName(folder).constData(), 0700);

    const QString target = stateFilePath(name);
    const QString temporary = target + QStringLiteral(".new-%1").arg(QCoreApplication::applicationPid());
    QFile file;
    if (!createNewFile(file, temporary, QIODevice::WriteOnly)) {
        qDebug() << what << "cannot be written:" << temporary;
        return false;
    }
    // The new file counts only once its bytes, and then its name, are on the disk.
    bool ok = ::fchmod(file.handle(), 0600) == 0 && file.write(data) == data.size() && file.flush()
              && syncFile(file.handle(), temporary);
    file.close();
    ok = ok && renameAndSync(temporary, target);
    if (!ok) {
        if (QFileInfo(temporary).exists() || QFileInfo(temporary).isSymLink())
            QFile::remove(temporary);
        qDebug() << what << "cannot be written:" << target;
    }
    return ok;
}

} // namespace Comm
