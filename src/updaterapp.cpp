#include "updaterapp.h"

#include "creadermodulemanager.h"
#include "csetup_commandline.h"
#include "updatelistener.h"

#include <QDebug>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QSettings>
#include <QSize>
#include <QWidget>

UpdaterApp::UpdaterApp(QObject* parent)
    : QObject(parent)
    , m_pCommandLine(new CSetup_CommandLine())
    , m_pModuleManager(nullptr)
    , m_strReaderVersion(QLatin1String(""))
    , m_pDlgDownload(nullptr)
    , m_pListener(new UpdateListener(nullptr))
    , m_bQuit(false)
{
    // The download window is created here, hidden, once its class exists; the module
    // manager is created by the update check.
}

UpdaterApp::~UpdaterApp()
{
    delete m_pCommandLine;
    m_pCommandLine = nullptr;
    delete m_pModuleManager;
    m_pModuleManager = nullptr;
    // The download window is released here, between the module manager and the
    // listener, by the code that creates it.
    delete m_pListener;
    m_pListener = nullptr;
}

void UpdaterApp::runUpdate(int language, int country)
{
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    const QString param = settings.value(QStringLiteral("Corvina_UpdateParam")).toString();
    qDebug() << "Updater Param: " << param;

    m_pCommandLine->parserParam(param);
    m_pListener->startListener();
    runUpdateVisible(language, country);
}

void UpdaterApp::runUpdateVisible(int language, int country)
{
    Q_UNUSED(language);
    Q_UNUSED(country);

    if (m_pCommandLine->getValue(QStringLiteral("type")) != QLatin1String("Update List")) {
        // Nothing to check. End the process instead of idling in the event loop, where
        // the listener would tell every later start of the reader that an updater runs.
        m_bQuit = true;
        return;
    }

    // The check itself (module manager, checking dialog, messages and download window)
    // continues from here.
}

QPoint UpdaterApp::GetMainAppCenterPos()
{
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    const QPoint position = settings.value(QStringLiteral("Window Position")).toPoint();
    const QSize size = settings.value(QStringLiteral("Window Size")).toSize();
    qDebug() << "UpdaterApp::GetMainAppCenterPos()---position:" << position << " size:" << size;

    QPoint centre = QRect(position, size).center();
    qDebug() << "UpdaterApp::GetMainAppCenterPos()---centerPos:" << centre;

    // Without a stored window (no size, or the size of nothing) the rectangle's centre
    // would lie at or left of the screen's corner and dialogs would open partly off
    // screen, so the screen's centre is used instead.
    if (centre == QPoint(0, 0) || !size.isValid()) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            centre = screen->availableGeometry().center();
    }
    return centre;
}

void UpdaterApp::PlaceDialog(QWidget* dialog)
{
    if (!dialog)
        return;
    const QPoint centre = GetMainAppCenterPos();
    dialog->move(centre.x() - dialog->width() / 2, centre.y() - dialog->height() / 2);
}
