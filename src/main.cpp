#include "languages.h"
#include "cmoduledownload.h"
#include "qhttpdownloads.h"
#include "updaterapp.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QTranslator>

namespace {

// Tests of the whole program shorten three of its timers through the environment: the
// downloads' watchdog interval (10 s), the slow-transfer rule's window (60 s) and the
// first delay before a failed download is tried again (2 s). A value is taken only when
// it shortens the timer; anything else is ignored, so the environment can never make a
// transfer wait longer.
void shortenTimersForTests()
{
    bool ok = false;
    const int watchdog = qEnvironmentVariableIntValue("MORAVEL_UPDATER_WATCHDOG_MS", &ok);
    if (ok && watchdog > 0 && watchdog < QHttpDownLoadS::defaultWatchdogInterval()) {
        qDebug() << "watchdog interval shortened to" << watchdog << "ms";
        QHttpDownLoadS::setDefaultWatchdogInterval(watchdog);
    }
    const int window = qEnvironmentVariableIntValue("MORAVEL_UPDATER_SLOW_WINDOW_MS", &ok);
    if (ok && window > 0 && window < QHttpDownLoadS::defaultSlowTransferWindow()) {
        qDebug() << "slow-transfer window shortened to" << window << "ms";
        QHttpDownLoadS::setDefaultSlowTransferWindow(window);
    }
    const int delay = qEnvironmentVariableIntValue("MORAVEL_UPDATER_RETRY_DELAY_MS", &ok);
    if (ok && delay > 0 && delay < CModuleDownload::defaultRetryDelay()) {
        qDebug() << "first retry delay shortened to" << delay << "ms";
        CModuleDownload::setDefaultRetryDelay(delay);
    }
}

} // namespace

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

    shortenTimersForTests();
    UpdaterApp updater(nullptr);
    updater.runUpdate(language, country);

    // A run that has already ended does not enter the event loop; one that goes on
    // ends it when nothing is left to do.
    return updater.exec();
}
