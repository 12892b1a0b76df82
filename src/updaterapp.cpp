#include "updaterapp.h"
#include "cdialogplacement.h"

#include "cinstallerlock.h"
#include "cpackagestep.h"
#include "cproxyauthenticator.h"
#include "creadermodulemanager.h"
#include "crunleftovers.h"
#include "csignalstop.h"
#include "csetup_commandline.h"
#include "cworkingfolder.h"
#include "dlgdownload.h"
#include "dlgmessage.h"
#include "dlgproxyauth.h"
#include "dlgupdatechecking.h"
#include "updatelistener.h"

#include <QApplication>
#include <QDialog>
#include <QDebug>
#include <QLayout>
#include <QSettings>
#include <QWidget>

UpdaterApp::UpdaterApp(QObject* parent)
    : QObject(parent)
    , m_pCommandLine(new CSetup_CommandLine())
    , m_pModuleManager(nullptr)
    , m_strReaderVersion(QLatin1String(""))
    , m_pDlgDownload(nullptr)
    , m_pListener(nullptr)
    , m_bQuit(false)
    , m_pWorkingFolder(new CWorkingFolder())
    , m_bInEventLoop(false)
{
    // SIGTERM, SIGINT and SIGHUP stop the run as the download window's Cancel does.
    m_pSignalStop = new CSignalStop(this);
    connect(m_pSignalStop, &CSignalStop::stopRequested, this, &UpdaterApp::stopBySignal);
    // The module manager is created by the update check.
    m_pDlgDownload = new DlgDownload(this, nullptr);
    m_pListener = new UpdateListener(nullptr);
}

UpdaterApp::~UpdaterApp()
{
    delete m_pCommandLine;
    m_pCommandLine = nullptr;
    delete m_pModuleManager;
    m_pModuleManager = nullptr;
    delete m_pDlgDownload;
    m_pDlgDownload = nullptr;
    delete m_pListener;
    m_pListener = nullptr;
    // The run is over: the next one may have the working folder.
    delete m_pWorkingFolder;
    m_pWorkingFolder = nullptr;
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
    if (m_pCommandLine->getValue(QStringLiteral("type")) != QLatin1String("Update List")) {
        // Nothing to check. End the process instead of idling in the event loop, where
        // the listener would tell every later start of the reader that an updater runs.
        m_bQuit = true;
        return;
    }

    const bool manual = m_pCommandLine->getValue(QStringLiteral("updater")) == QLatin1String("Manual");
    // A proxy that wants a user name and password asks the user who started the check;
    // an automatic check fails instead.
    CProxyAuthenticator::setAsker(manual ? CProxyAuthenticator::Asker(&DlgProxyAuth::ask) : CProxyAuthenticator::Asker());

    if (!takeWorkingFolder(manual)) {
        m_bQuit = true;
        return;
    }

    m_pModuleManager = new CReaderModuleManager(QStringLiteral("Update List"), this, nullptr);
    m_pModuleManager->setLangParm(language, country);

    DlgUpdateChecking checking(QStringLiteral("Update List"), nullptr);
    runChecking(&checking);
    if (checking.m_nResult != 1 || CSignalStop::isStopped()) {
        // Cancelled, closed, failed or timed out. A failed query is never "up to date";
        // the user who asked is told, an automatic check ends quietly. A user who closed
        // the dialog is not told about a connection nobody tested.
        if (checking.m_nResult == -1 && checking.isFinished() && manual && !m_pModuleManager->isQuerySucceeded()) {
            // A reply that came but failed its signature or time checks is no network
            // trouble: nothing in it is believed.
            showMessage(m_pModuleManager->isVerificationFailed()
                            ? tr("The update information could not be verified.")
                            : tr("Cannot establish connection to the Server, Check your network."));
        }
        m_bQuit = true;
        return;
    }
    offerUpdates(manual);
}

QString UpdaterApp::runParameter(const QString& key) const
{
    return m_pCommandLine ? m_pCommandLine->getValue(key) : QString();
}

QString UpdaterApp::oldReaderVersion() const
{
    return m_pModuleManager ? m_pModuleManager->m_strOldVersion : QString();
}

bool UpdaterApp::takeWorkingFolder(bool manual)
{
    // One run at a time: a second run of this user, started while the first waits at a
    // prompt or downloads, would unpack over the first one's package. The run's folder is
    // chosen and locked before anything in it is touched, and kept to the end.
    if (m_pWorkingFolder->take() == CWorkingFolder::HeldByAnotherRun) {
        qDebug() << "another update run holds the working folder";
        if (manual)
            showMessage(tr("An update is already running."));
        return false;
    }

    // The installers of the previous run have had their time; their folders go, but
    // for those an installer still runs from.
    CInstallerLock::removeFoldersNotHeld(CWorkingFolder::installerFolders());
    // An installUpdate still running from the unpack folder: no package step may empty
    // it, so this run has nothing to do.
    const QString unpackDir = CWorkingFolder::unpackDirectory();
    if (!unpackDir.isEmpty() && CInstallerLock::isHeld(unpackDir)) {
        qDebug() << "an installer still runs from" << unpackDir;
        if (manual)
            showMessage(tr("An update is being installed. Try again when it has finished."));
        return false;
    }
    // What a killed run left on the way: temporary plug-in copies and unpacker files.
    CRunLeftovers::removeUnpackerFiles(unpackDir);
    CRunLeftovers::removeStalePluginCopies(CPackageStep::javaScriptFolder());
    return true;
}

void UpdaterApp::runChecking(DlgUpdateChecking* checking)
{
    checking->setModuleManager(m_pModuleManager);
    checking->m_bWait = false;
    checking->startUpdateCheck();
    // The form grows to what its font needs when it is first laid out; do that now, so
    // that the size it is centred with is the size it shows with.
    if (checking->layout())
        checking->layout()->activate();
    PlaceDialog(checking);
    checking->exec();
}

void UpdaterApp::offerUpdates(bool manual)
{
    const QVector<MODULEINFO*> offered = m_pModuleManager->m_vecUpdateModules;
    const bool allSilent = m_pModuleManager->isSilentUpdate();
    const bool report = offered.isEmpty() ? manual : allSilent;

    if (report) {
        showMessage(tr("Moravel Reader is already up to date."));
        m_bQuit = true;
        // Silent modules are installed after the user has been told; otherwise the
        // run is over.
        if (!allSilent)
            return;
    } else if (manual && !allSilent) {
        DlgMessage question(nullptr);
        QString text = tr("A new version (") + offered.first()->strVersion
                       + tr(") of Moravel Reader is available. Do you want to download it?");
        if (m_pModuleManager->isCriticalUpdate())
            text += QLatin1Char('\n') + tr("This is an important update.");
        question.setInformation(text);
        PlaceDialog(&question);
        question.exec();
        if (!question.m_bOk) {
            m_bQuit = true;
            return;
        }
    }

    // An automatic check's window lets the user skip the versions it offers, unless one
    // of them is critical.
    CReaderModuleManager* manager = m_pModuleManager;
    if (!manual && !report && !manager->isCriticalUpdate())
        m_pDlgDownload->setSkipVersion([manager] {
            if (!manager->skipOfferedVersions())
                qDebug() << "the skipped versions could not be kept";
        });
    else
        m_pDlgDownload->setSkipVersion(nullptr);
    // The window ends the run when its sequence is over (at once for an empty list);
    // until then start-up keeps the event loop running for it.
    m_pDlgDownload->setSelectUpdates(offered);
    m_pDlgDownload->startShowDownload();
}

void UpdaterApp::showMessage(const QString& text)
{
    DlgMessage message(nullptr);
    message.setInformation(text);
    message.setStandardButtonsOk();
    PlaceDialog(&message);
    message.exec();
}

int UpdaterApp::exec()
{
    // A signal that came while nothing read it (a copy or an installer that blocked)
    // is still logged.
    CSignalStop::takePending();
    if (m_bQuit)
        return 0;
    m_bInEventLoop = true;
    const int result = QApplication::exec();
    m_bInEventLoop = false;
    CSignalStop::takePending();
    // Closing the last window may have asked the application to quit as well; that
    // request is answered already and must not end a later loop.
    QCoreApplication::removePostedEvents(QCoreApplication::instance(), QEvent::Quit);
    return result;
}

void UpdaterApp::stopBySignal()
{
    // As Cancel: the transfers end (a resumable part stays), no installer is started
    // after this, and every dialog closes as if closed by its window button. An
    // installer already running is left alone.
    m_bQuit = true;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget)) {
            if (dialog->isVisible())
                dialog->reject();
        }
    }
    if (m_pDlgDownload)
        m_pDlgDownload->cancel();
    // Every event loop ends, the nested ones of dialogs and waiting transfers too.
    QCoreApplication::exit(0);
}

void UpdaterApp::endRun()
{
    m_bQuit = true;
    if (m_bInEventLoop)
        QCoreApplication::exit(0);
}

QPoint UpdaterApp::GetMainAppCenterPos()
{
    return CDialogPlacement::centre();
}

void UpdaterApp::PlaceDialog(QWidget* dialog)
{
    CDialogPlacement::place(dialog);
}
