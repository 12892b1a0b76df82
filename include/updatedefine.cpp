#include "updatedefine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Comm {

QString ws2qs(const CZR_WideString& ws)
{
    static_assert(sizeof(wchar_t) == sizeof(uint), "wide strings hold 32-bit units");
    const wchar_t* units = ws.c_str();
    int length = 0;
    const int total = ws.GetLength();
    while (length < total && units[length] != 0)
        ++length;
    return QString::fromUcs4(reinterpret_cast<const uint*>(units), length);
}

bool deleteDir(const QString& path)
{
    const QFileInfo root(path);
    // A link standing where the directory should be goes itself; whatever it points to
    // is left alone.
    if (root.isSymLink()) {
        if (!QFile::remove(path)) {
            qDebug() << "remove file" << path << " faild!";
            return false;
        }
        return true;
    }
    if (path.isEmpty() || !root.isDir())
        return true;

    QString prefix = QDir::toNativeSeparators(path);
    if (!prefix.endsWith(QDir::separator()))
        prefix += QDir::separator();

    bool failed = false;
    const QDir dir(path);
    // System: broken links are entries too.
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString fullPath = prefix + name;
        const QFileInfo entry(fullPath);
        if (entry.isSymLink() || !entry.isDir()) {
            // Permissions of a link would be applied to its target, which is not ours.
            if (!entry.isSymLink())
                QFile::setPermissions(fullPath, QFileDevice::WriteOwner);
            if (!QFile::remove(fullPath)) {
                qDebug() << "remove file" << fullPath << " faild!";
                failed = true;
            }
        } else if (!deleteDir(fullPath)) {
            failed = true;
        }
    }

    const QString native = QDir::toNativeSeparators(path);
    if (!QDir().rmdir(native)) {
        qDebug() << "remove dir" << native << " faild!";
        return false;
    }
    return !failed;
}

} // namespace Comm
