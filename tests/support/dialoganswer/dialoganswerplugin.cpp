#include "dialoganswerplugin.h"

#include "dialoganswerer.h"

QObject* DialogAnswerPlugin::create(const QString& key, const QString& specification)
{
    Q_UNUSED(specification);
    if (key.compare(QLatin1String("zrdialoganswer"), Qt::CaseInsensitive) != 0)
        return nullptr;
    return new DialogAnswerer();
}
