#include "register.h"

#include <QSettings>

CRegister::~CRegister() = default;

QString CRegister::settingsKey(const QString& path, const QString& key)
{
    // "\Preferences\Languages" + "nChooseLan" -> "/Preferences/Languages/nChooseLan".
    // QSettings ignores the leading slash and folds doubled slashes into one. Registry
    // roots such as "HKEY_CURRENT_USER" are not translated: they stay the first group.
    QString joined = path + QLatin1Char('\\') + key;
    joined.replace(QLatin1Char('\\'), QLatin1Char('/'), Qt::CaseSensitive);
    return joined;
}

QString CRegister::regGetString(QString path, QString key)
{
    // A fresh store object per call: it reads the file as it is now and is gone
    // before we return.
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    const QVariant value = settings.value(settingsKey(path, key));
    if (!value.isValid())
        return QString(QLatin1String(""));
    return value.toString();
}
