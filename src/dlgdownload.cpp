#include "dlgdownload.h"
#include "ui_dlgdownload.h"

#include "cdialogplacement.h"
#include "csignalstop.h"
#include "cworkingfolder.h"
#include "dlgmessage.h"
#include "qhttpdownloads.h"
#include "updaterapp.h"

#include <QApplication>
#include <QDebug>
#include <QDesktopWidget>
#include <QDir>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

DlgDownload::DlgDownload(UpdaterApp* app, QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::DlgDownload)
    , m_pHttpDownload(nullptr)
    , m_nDownloadedBytes(0)
    , m_pApp(app)
    , m_nDownloadIndex(0)
    , m_retired(this)
    , m_pRetryTimer(new QTimer(this))
{
    m_pRetryTimer->setSingleShot(true);
    // The window icon lives in the compiled-in resources of the static core library.
    Q_INIT_RESOURCE(res);

    ui->setupUi(this);
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    connect(ui->cancelButton, SIGNAL(clicked()), this, SLOT(cancel()));
    connect(ui->skipButton, &QPushButton::clicked, this, [this] { skipVersion(); });
    ui->skipButton->setText(tr("Skip This Version"));
    ui->skipButton->hide();
    // The two buttons have the same width.
    const int buttonWidth = qMax(ui->skipButton->sizeHint().width(), ui->cancelButton->sizeHint().width());
    ui->skipButton->setMinimumWidth(buttonWidth);
    ui->cancelButton->setMinimumWidth(buttonWidth);
    setWindowTitle(tr("Moravel Updater"));
    setFixedSize(size());
    ui->descriptionEdit->setReadOnly(true);
    // The description comes from the server: it is shown as the text it is, never as
    // markup (no images loaded, no look-alike warnings).
    ui->descriptionEdit->setAcceptRichText(false);
    ui->timeRemainLabel->setTextFormat(Qt::PlainText);
    // The keyboard: the window opens on Cancel, which Enter presses as Space does, Escape
    // cancels too, and the description is read with the arrow keys.
    ui->cancelButton->setAutoDefault(true);
    ui->cancelButton->setFocus();
    new QShortcut(QKeySequence(Qt::Key_Escape), this, SLOT(cancel()));
    ui->descriptionEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_step.setInstallPrompt([this] { return askInstall(); });
    hide();
}

DlgDownload::~DlgDownload()
{
    m_retired.release(m_pHttpDownload);
    delete ui;
}

// ---------------------------------------------------------------------------------
// The download sequence

void DlgDownload::setSelectUpdates(QVector<MODULEINFO*> list)
{
    m_vecSelectUpdates = list;
}

void DlgDownload::startShowDownload()
{
    // An empty list ends the run here as well: nothing is left to do.
    m_nDownloadIndex = 0;
    m_step.forgetJSPlugins();
    downloadUpates(0);
}

void DlgDownload::downloadUpates(int work)
{
    if (work < 0 || work >= m_vecSelectUpdates.size() || CSignalStop::isStopped()) {
        endSequence();
        return;
    }
    m_nDownloadIndex = work;
    m_pRetryTimer->stop();
    qDebug() << "Begin to download:";

    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    m_module = CModuleDownload(info);
    if (!info) {
        continueDownload();
        return;
    }
    ui->descriptionEdit->setPlainText(info->strDescription);
    ui->timeRemainLabel->setText(QString());

    m_nDownloadedBytes = 0;
    m_retired.release(m_pHttpDownload);

    const QString directory = CWorkingFolder::downloadDirectory();
    if (directory.isEmpty() || (!QDir(directory).exists() && !QDir().mkpath(directory))) {
        qDebug() << "can not make path for store the downloads:"
                 << (directory.isEmpty() ? CWorkingFolder::sharedName() + QLatin1Char('/') : directory);
        // Nothing can be downloaded in this run; say so instead of leaving the user
        // with a run that silently does nothing.
        showWarning(tr("The update package could not be installed."));
        endSequence();
        return;
    }
    m_module.chooseDelta();
    if (!takePackageOnDisk())
        fetchModule(work);
}

bool DlgDownload::fallBackFromDelta(const QString& why)
{
    if (!m_module.delta())
        return false;
    m_module.useFullPackage(why);
    if (!takePackageOnDisk())
        fetchModule(m_nDownloadIndex);
    return true;
}

bool DlgDownload::takePackageOnDisk()
{
    if (!m_module.findOnDisk())
        return false;
    ui->progressBar->setValue(ui->progressBar->maximum());
    oneDownloadFinish(m_module.packageFile());
    return true;
}

void DlgDownload::fetchModule(int work)
{
    // A fresh downloader: the one of the try before may still be delivering the signal
    // that brought us here.
    m_nDownloadedBytes = 0;
    m_retired.release(m_pHttpDownload);
    m_nDownloadedBytes = m_module.prepareTry();
    m_pHttpDownload = new QHttpDownLoadS(nullptr, ui->progressBar, ui->timeRemainLabel, &m_nDownloadedBytes);
    const bool accepted = m_module.setUpTry(m_pHttpDownload);
    connectTransfer(work);

    // A transfer that does not start would never report; it counts as failed.
    if (!accepted) {
        qDebug() << "Download refused:" << m_module.url();
        if (!fallBackFromDelta(QStringLiteral("its address is refused")))
            errorfinish(m_module.packageFile());
        return;
    }
    startTransfer(m_module.info()->bSilentInstall);
}

void DlgDownload::connectTransfer(int work)
{
    // Each handler holds the guard: what it releases may be the downloader emitting.
    connect(m_pHttpDownload, &QHttpDownLoadS::oneDownLoadFinish, this, [this, work] {
        const auto inSignal = m_retired.inSignal();
        transferComplete(work);
    });
    // The record goes beside the .part as soon as the answer that begins the file (or
    // starts it over) is in, before a byte of its body.
    connect(m_pHttpDownload, &QHttpDownLoadS::answerAccepted, this, [this] {
        const auto inSignal = m_retired.inSignal();
        if (m_pHttpDownload)
            m_module.keepRecord(m_pHttpDownload);
    });
    connect(m_pHttpDownload, &QHttpDownLoadS::errorfinish, this, [this, work] {
        const auto inSignal = m_retired.inSignal();
        transferFailed(work);
    });
}

void DlgDownload::startTransfer(bool silent)
{
    if (silent) {
        // Returns when the transfer has ended; its signal, its further tries, the package
        // step and the modules after it have run inside the call by then.
        if (!m_pHttpDownload->startDownLoads(true))
            errorfinish(m_module.packageFile());
        return;
    }

    if (!m_pHttpDownload->startDownLoads(false)) {
        errorfinish(m_module.packageFile());
        return;
    }
    const QDesktopWidget* desktop = QApplication::desktop();
    move((desktop->width() - width()) / 2, (desktop->height() - height()) / 2);
    // Shown first: only a window on the screen can take the keyboard.
    show();
    activateWindow();
}

void DlgDownload::transferComplete(int work)
{
    switch (m_module.completeTry()) {
    case CModuleDownload::Complete:
        oneDownloadFinish(m_module.packageFile());
        return;
    case CModuleDownload::FetchAgain:
        fetchModule(work);
        return;
    case CModuleDownload::Refused:
        if (fallBackFromDelta(QStringLiteral("it does not match its sha256")))
            return;
        hide();
        packageStepStopped();
        return;
    }
}

void DlgDownload::transferFailed(int work)
{
    const int delay = m_module.failTry(m_pHttpDownload);
    if (delay < 0) {
        if (!fallBackFromDelta(QStringLiteral("it could not be downloaded")))
            errorfinish(m_module.packageFile());
        return;
    }
    retryLater(work, delay);
}

void DlgDownload::setSkipVersion(std::function<void()> skip)
{
    m_fnSkipVersion = std::move(skip);
    ui->skipButton->setVisible(bool(m_fnSkipVersion));
}

void DlgDownload::skipVersion()
{
    if (m_fnSkipVersion)
        m_fnSkipVersion();
    cancel();
}

void DlgDownload::retryLater(int work, int delay)
{
    if (!m_module.info()->bSilentInstall) {
        // The window stays as it is, its bar where the transfer stopped; Cancel still ends
        // the run at once.
        m_pRetryTimer->disconnect();
        connect(m_pRetryTimer, &QTimer::timeout, this, [this, work] { fetchModule(work); });
        m_pRetryTimer->start(delay);
        return;
    }
    // A silent module waits for its next try inside its waiting transfer.
    QPointer<DlgDownload> self(this);
    QEventLoop wait;
    QTimer::singleShot(delay, &wait, &QEventLoop::quit);
    wait.exec();
    if (self)
        fetchModule(work);
}

void DlgDownload::continueDownload()
{
    ++m_nDownloadIndex;
    downloadUpates(m_nDownloadIndex);
}

void DlgDownload::errorfinish(QString filePath)
{
    // A transfer a stop signal ended is no failure to tell anybody about.
    if (CSignalStop::isStopped())
        return;
    // What a failed transfer left is no package; a later run must not take it for one
    // (a body cut off at the declared size would have just that size).
    m_module.removeFailedFile(filePath);
    showWarning(tr("Could not connect to the server. Please check your network connection."));
    ++m_nDownloadIndex;
    downloadUpates(m_nDownloadIndex);
}

void DlgDownload::cancel()
{
    // The transfer stops at once; what it received stays in NAME.part, with its record,
    // for the next run.
    m_pRetryTimer->stop();
    if (m_module.info() && m_pHttpDownload && m_pHttpDownload->isRunning()) {
        m_pHttpDownload->stopDownLoads();
        m_module.keepForNextRun(m_pHttpDownload);
    }
    close();
}

void DlgDownload::showWarning(const QString& text)
{
    QMessageBox box(QMessageBox::Warning, tr("Moravel Reader"), text, QMessageBox::Ok, nullptr);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void DlgDownload::endSequence()
{
    // The plug-ins downloaded on the way are installed whatever the last module was
    // (not after a stop signal).
    if (m_step.hasJSPlugins() && !CSignalStop::takePending())
        m_step.copyJSPlugin();
    close();
    if (m_pApp)
        m_pApp->endRun();
}

// ---------------------------------------------------------------------------------
// The package step (CPackageStep), and what the window shows of it

void DlgDownload::oneDownloadFinish(QString filePath)
{
    hide();
    if (m_pApp)
        m_step.setReader(m_pApp->runParameter(QStringLiteral("corvinapath")),
                         m_pApp->runParameter(QStringLiteral("version")), m_pApp->oldReaderVersion());
    const bool current = m_module.info() && filePath == m_module.packageFile();
    switch (m_step.run(filePath, current ? &m_module : nullptr)) {
    case CPackageStep::Interrupted:
        return;
    case CPackageStep::Done:
        continueDownload();
        return;
    case CPackageStep::Rejected:
        // One found complete on disk is downloaded again at once (once).
        if (current && m_module.fromDisk()) {
            qDebug() << "the package found on disk is not usable; downloading it again:" << filePath;
            m_module.forgetDisk();
            fetchModule(m_nDownloadIndex);
            return;
        }
        packageStepStopped();
        return;
    case CPackageStep::Stopped:
        packageStepStopped();
        return;
    case CPackageStep::DeltaFailed:
        if (!fallBackFromDelta(m_step.deltaFailure()))
            packageStepStopped();
        return;
    }
}

bool DlgDownload::askInstall()
{
    DlgMessage prompt(nullptr);
    prompt.setInformation(
        tr("Download completed. Please close Moravel Reader when you complete your job, and click \"Install\"."));
    prompt.setOkButtonText(tr("Install"));
    CDialogPlacement::place(&prompt);
    prompt.exec();
    return prompt.m_bOk;
}

void DlgDownload::packageStepStopped()
{
    showWarning(tr("The update package could not be installed."));
    continueDownload();
}

int DlgDownload::installUpdates(QString arguments)
{
    return CPackageStep::installUpdates(arguments);
}

void DlgDownload::ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list)
{
    CPackageStep::ParseSetupInfo(dir, list);
}

bool DlgDownload::copyJSPlugin()
{
    return m_step.copyJSPlugin();
}
