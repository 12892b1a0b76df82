#include "languages.h"
#include "updaterapp.h"

#include <QApplication>
#include <QFont>
#include <QTranslator>

int main(int argc, char** argv)
{
    // The icons are compiled into the static core library; make sure they are linked.
    Q_INIT_RESOURCE(res);

    // The run's parameters come from the reader's settings, not from the arguments.
    QApplication app(argc, argv);

    int language = 0;
    int country = 0;
    LoadLanguagesData(language, country);

    QTranslator translator;
    installTranslatorFile(translator, getLanFilePath(language, country));
    QTranslator toolkitTranslator;
    installTranslatorFile(toolkitTranslator, getGLanFilePath(language, country));

    const QFont font = getAppFont();
    QApplication::setFont(font);

    UpdaterApp updater(nullptr);
    updater.runUpdate(language, country);

    // A run that has already ended does not enter the event loop; one that goes on
    // ends it when nothing is left to do.
    return updater.exec();
}
