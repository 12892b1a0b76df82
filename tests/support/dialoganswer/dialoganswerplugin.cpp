#include "dialoganswerplugin.h"

#include "dialoganswerer.h"

QObject* DialogAnswerPlugin::create(const QString& key, const QString& options)
{
    Q_UNUSED(options);
    if (key.compare(QLatin1String("zrdialoganswer"), Qt::CaseInsensitive) != 0)
        return nullptr;
    return new DialogAnswerer();
}
