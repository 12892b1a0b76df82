#include "ctrustedkeys.h"

#include "ced25519.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QRegularExpression>

#ifndef MORAVEL_UPDATE_PUBLIC_KEYS
#define MORAVEL_UPDATE_PUBLIC_KEYS ""
#endif

namespace {

// A key file is a few lines; anything much larger is not one.
const qint64 kMaxKeyFileBytes = 64 * 1024;

} // namespace

QString CTrustedKeys::builtIn()
{
    return QString::fromLatin1(MORAVEL_UPDATE_PUBLIC_KEYS);
}

QList<QByteArray> CTrustedKeys::parse(const QString& text, const QString& origin)
{
    QList<QByteArray> keys;
    const QStringList items = text.split(QRegularExpression(QStringLiteral("[,\\n]")));
    for (const QString& item : items) {
        const QString key = item.trimmed();
        if (key.isEmpty() || key.startsWith(QLatin1Char('#')))
            continue;
        const QByteArray raw = CEd25519::publicKeyFromBase64(key);
        if (raw.isEmpty()) {
            qDebug() << "malformed update key ignored in" << origin << ":" << key.left(60);
            continue;
        }
        if (!keys.contains(raw))
            keys.append(raw);
    }
    return keys;
}

QList<QByteArray> CTrustedKeys::load(const QString& dir)
{
    QList<QByteArray> keys = parse(builtIn(), QStringLiteral("the build"));
    const QString folder = dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
    QFile file(folder + QStringLiteral("/update-keys.pub"));
    if (file.open(QIODevice::ReadOnly)) {
        if (file.size() > kMaxKeyFileBytes) {
            qDebug() << "update key file ignored, too large:" << file.fileName();
        } else {
            for (const QByteArray& key : parse(QString::fromUtf8(file.readAll()), file.fileName()))
                if (!keys.contains(key))
                    keys.append(key);
        }
    }
    return keys;
}
