#include "cissuedrecord.h"

#include "csignedreply.h"
#include "updatedefine.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

QString CIssuedRecord::path()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is not to be trusted; it is ignored.
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/moravel-updater/newest-issued");
}

bool CIssuedRecord::read(qint64* issued)
{
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromLatin1(file.read(64)).trimmed();
    return CSignedReply::parseUtcTime(text, issued);
}

bool CIssuedRecord::write(qint64 issued)
{
    const QString target = path();
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder)) {
        qDebug() << "the state folder cannot be made:" << folder;
        return false;
    }
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    const QString temporary = target + QStringLiteral(".new-%1").arg(QCoreApplication::applicationPid());
    QFile file;
    if (!Comm::createNewFile(file, temporary, QIODevice::WriteOnly)) {
        qDebug() << "the newest accepted time cannot be written:" << temporary;
        return false;
    }
    const QByteArray text = CSignedReply::formatUtcTime(issued).toLatin1() + '\n';
    bool ok = ::fchmod(file.handle(), 0600) == 0 && file.write(text) == text.size() && file.flush()
              && ::fsync(file.handle()) == 0;
    file.close();
    ok = ok && ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok) {
        QFile::remove(temporary);
        qDebug() << "the newest accepted time cannot be written:" << target;
    }
    return ok;
}
