#include "cbasestore.h"

#include "centrywriter.h"
#include "csha256.h"
#include "safefiles.h"
#include "updatedefine.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>


namespace {

const char* const kSuffix = ".base";

} // namespace

QString CBaseStore::folder()
{
    return Comm::privateCacheDir("bases");
}

QString CBaseStore::key(const QString& moduleName)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(moduleName.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}

CBaseStore::Base CBaseStore::baseOf(const QString& moduleName)
{
    Base base;
    const QString dir = folder();
    if (dir.isEmpty())
        return base;
    const QString prefix = key(moduleName) + QLatin1Char('-');
    const QFileInfoList entries = QDir(dir).entryInfoList(QStringList() << prefix + QStringLiteral("*") + kSuffix,
                                                          QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Time);
    for (const QFileInfo& entry : entries) {
        const QString digest = entry.fileName().mid(prefix.size(), 64);
        if (entry.fileName().size() != prefix.size() + 64 + int(qstrlen(kSuffix)) || !CSha256::isHex(digest))
            continue;
        base.path = entry.filePath();
        base.digest = digest;
        break;
    }
    if (!base.path.isEmpty())
        removeBasesOf(moduleName, base.path);
    return base;
}

QString CBaseStore::partFile(const QString& moduleName)
{
    const QString dir = folder();
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/.") + key(moduleName) + QStringLiteral(".base.part");
}

bool CBaseStore::keep(const QString& moduleName, const QString& source, const QString& digest, bool move)
{
    const QString dir = folder();
    const qint64 size = Comm::regularFileSize(source);
    if (dir.isEmpty() || size < 0 || !CSha256::isHex(digest)) {
        qDebug() << "the base of" << moduleName << "is not kept: no cache folder or no file";
        return false;
    }
    // Bases are worth less than the room a later unpacking needs.
    if (!CEntryWriter::enoughSpace(dir, quint64(size))) {
        qDebug() << "bases dropped: keeping the base of" << moduleName << "would fill the disk";
        if (move)
            Comm::removeNonDirectory(source);
        dropAll();
        return false;
    }
    const QString target = dir + QLatin1Char('/') + key(moduleName) + QLatin1Char('-') + digest + kSuffix;
    const bool kept = move ? Comm::renameAndSync(source, target) : Comm::replaceFileCopy(source, target);
    if (!kept) {
        qDebug() << "the base of" << moduleName << "cannot be kept";
        if (move)
            Comm::removeNonDirectory(source);
        return false;
    }
    removeBasesOf(moduleName, target);
    qDebug().noquote() << QStringLiteral("base of %1 kept: content %2").arg(moduleName, digest);
    return true;
}

void CBaseStore::drop(const QString& moduleName)
{
    removeBasesOf(moduleName, QString());
    const QString part = partFile(moduleName);
    if (!part.isEmpty())
        Comm::removeNonDirectory(part);
}

void CBaseStore::dropAll()
{
    const QString dir = folder();
    if (dir.isEmpty())
        return;
    const QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (name.endsWith(QLatin1String(kSuffix)) || name.endsWith(QLatin1String(".base.part")))
            Comm::removeNonDirectory(dir + QLatin1Char('/') + name);
    }
}

void CBaseStore::removeBasesOf(const QString& moduleName, const QString& keepPath)
{
    const QString dir = folder();
    if (dir.isEmpty())
        return;
    const QStringList names = QDir(dir).entryList(QStringList() << key(moduleName) + QStringLiteral("-*") + kSuffix,
                                                  QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString path = dir + QLatin1Char('/') + name;
        if (path != keepPath)
            Comm::removeNonDirectory(path);
    }
}
