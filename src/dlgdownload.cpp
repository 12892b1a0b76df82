#include "dlgdownload.h"
#include "ui_dlgdownload.h"

#include "cinstallerlock.h"
#include "cworkingfolder.h"
#include "creadermodulemanager.h"
#include "csetup_commandline.h"
#include "csha256.h"
#include "csignalstop.h"
#include "cxmlinput.h"
#include "dlgmessage.h"
#include "partialpackage.h"
#include "qhttpdownloads.h"
#include "safefiles.h"
#include "updatedefine.h"
#include "updaterapp.h"
#include "cdialogplacement.h"
#include "xmlelement.h"
#include "zrbytestring.h"
#include "zrfzip.h"
#include "zrwidestring.h"

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopWidget>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The wait before the second try of a failed download; each further one doubles it.
int g_nRetryDelayMs = 2000;

// Names the working folder uses for itself; a package of such a name could only clash
// with them, and "." or ".." name no file at all.
bool isReservedFileName(const QString& name)
{
    if (name == QLatin1String(".") || name == QLatin1String("..") || name == QLatin1String("uncompress")
        || name == QLatin1String("update_tmpfile.xml") || name == QLatin1String(CWorkingFolder::kLockFileName))
        return true;
    static const QRegularExpression installerFolder(QStringLiteral("^installer-[0-9]+$"));
    return installerFolder.match(name).hasMatch();
}

// The module's package file in the download directory; empty when there is no working
// folder or its address names no file the folder may hold.
QString packageFilePath(const MODULEINFO* info)
{
    const QString directory = DlgDownload::downloadDirectory();
    const QString fileName = info->strUrl.mid(info->strUrl.lastIndexOf(QLatin1Char('/')) + 1);
    if (directory.isEmpty() || fileName.isEmpty() || isReservedFileName(fileName))
        return QString();
    return directory + fileName;
}

// What ParseSetupInfo does; how the file was read (TooLarge: it was too large to be
// read, and that is logged).
CXmlInput::ReadStatus readSetupInfo(QString dir, QVector<_SetupInfo*>& list)
{
    if (dir.isEmpty())
        return CXmlInput::OpenFailed;
    list.clear();

    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    if (!QDir(dir).exists())
        QDir().mkdir(dir);

    // A Setup.xml beyond any real one is not read (its tree would take many times its
    // size in memory).
    QByteArray data;
    qint64 size = 0;
    const CXmlInput::ReadStatus status = CXmlInput::readFile(dir + QStringLiteral("Setup.xml"),
                                                             DlgDownload::kMaxSetupXmlBytes, CXmlInput::WholeFile,
                                                             &data, &size);
    if (status == CXmlInput::TooLarge)
        qDebug() << "Setup.xml is too large to be read:" << size << "bytes";
    CXmlInput setup;
    if (status != CXmlInput::ReadOk || data.isEmpty() || !setup.parse(data))
        return status;

    const CXML_Element* root = setup.root();
    for (int32_t i = 0; i < root->CountChildren(); ++i) {
        const CXML_Element* element = root->GetElement(i);
        if (!element)
            continue;
        _SetupInfo* info = new _SetupInfo;
        if (element->GetTagName() == "file") {
            QString name;
            for (int32_t a = 0; a < element->CountAttrs(); ++a) {
                const CXmlInput::Attribute attribute = CXmlInput::attributeAt(element, a);
                if (attribute.name == "name")
                    name = attribute.text();
                else if (attribute.name == "parameter")
                    info->strParameter = attribute.text();
                else if (attribute.name == "iscommon")
                    info->bIsCommon = attribute.value.CompareNoCase(L"true") == 0;
            }
            info->strFilePath = dir + name;
        }
        list.append(info);
    }
    return status;
}

// Makes the unpack folder and empties it, whatever stands there. A package is never
// unpacked over what is left of another: an old installer among it could be the one
// started. False (logged) when the folder cannot be had, or not empty.
bool emptyUnpackFolder(const QString& unpackDir)
{
    if (!unpackDir.isEmpty() && CInstallerLock::isHeld(unpackDir)) {
        qDebug() << "an installer still runs from the unpack folder:" << unpackDir;
        return false;
    }
    const bool emptied =
        !unpackDir.isEmpty() && Comm::removeNonDirectory(unpackDir) && Comm::deleteDir(unpackDir);
    if (unpackDir.isEmpty() || (!QDir(unpackDir).exists() && !QDir().mkpath(unpackDir))) {
        qDebug() << "can not make path for uncompress the updater:"
                 << (unpackDir.isEmpty() ? QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress/")
                                         : unpackDir);
        return false;
    }
    if (!emptied || !QDir(unpackDir).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        qDebug() << "the unpack folder cannot be emptied:" << unpackDir;
        return false;
    }
    return true;
}

// Unpacks the package into unpackDir and reads its Setup.xml into setupInfo. False
// (logged) when the package does not unpack or its Setup.xml is too large to be read.
bool unpackPackage(const QString& filePath, const QString& unpackDir, QVector<_SetupInfo*>& setupInfo)
{
    CZR_Fzip unzip;
    if (unzip.Unzip2(filePath, unpackDir) != CZR_Fzip::Unpacked) {
        qDebug() << "Uncompress Failed";
        return false;
    }
    return readSetupInfo(unpackDir, setupInfo) != CXmlInput::TooLarge;
}

} // namespace

DlgDownload::DlgDownload(UpdaterApp* app, QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::DlgDownload)
    , m_pHttpDownload(nullptr)
    , m_nDownloadedBytes(0)
    , m_pApp(app)
    , m_nDownloadIndex(0)
    , m_bFromDisk(false)
    , m_nTry(1)
    , m_bContinued(false)
    , m_bRefetched(false)
    , m_bHashChecked(false)
    , m_pRetryTimer(new QTimer(this))
    , m_nInstallerFolder(0)
{
    m_pRetryTimer->setSingleShot(true);
    // The window icon lives in the compiled-in resources of the static core library.
    Q_INIT_RESOURCE(res);

    ui->setupUi(this);
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    connect(ui->cancelButton, SIGNAL(clicked()), this, SLOT(cancel()));
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
    m_pHttpDownload = nullptr;
    m_nDownloadedBytes = 0;
    m_pApp = app;
    hide();
}

DlgDownload::~DlgDownload()
{
    delete m_pHttpDownload;
    m_pHttpDownload = nullptr;
    // Downloaders whose release from the event loop never came (the run ended without
    // returning to a loop) go now.
    for (const QPointer<QHttpDownLoadS>& retired : qAsConst(m_vecRetired))
        delete retired.data();
    m_vecRetired.clear();
    delete ui;
}

qint64 DlgDownload::declaredSize(const QString& sizeText)
{
    const int b = sizeText.indexOf(QLatin1Char('B'));
    const QString number = b < 0 ? sizeText : sizeText.left(b);
    bool isNumber = false;
    const qlonglong size = number.toLongLong(&isNumber, 10);
    return isNumber && size >= 0 && size <= kMaxDeclaredSize ? qint64(size) : 0;
}

QString DlgDownload::downloadDirectory()
{
    const QString working = Comm::workingDir();
    return working.isEmpty() ? QString() : working + QLatin1Char('/');
}

QString DlgDownload::unpackDirectory()
{
    const QString working = Comm::workingDir();
    return working.isEmpty() ? QString() : working + QStringLiteral("/uncompress/");
}

void DlgDownload::removeInstallerFolders()
{
    const QString working = Comm::workingDir();
    if (working.isEmpty())
        return;
    const QStringList names = QDir(working).entryList(QStringList() << QStringLiteral("installer-*"),
                                                      QDir::AllEntries | QDir::Hidden | QDir::System);
    static const QRegularExpression installerFolder(QStringLiteral("^installer-[0-9]+$"));
    for (const QString& name : names) {
        if (!installerFolder.match(name).hasMatch())
            continue;
        // One whose installer (or what it left running) still holds it stays, and
        // keeps its number.
        if (CInstallerLock::isHeld(working + QLatin1Char('/') + name)) {
            qDebug() << "an installer still runs from" << working + QLatin1Char('/') + name;
            continue;
        }
        Comm::deleteDir(working + QLatin1Char('/') + name);
    }
}

void DlgDownload::setDefaultRetryDelay(int msec)
{
    g_nRetryDelayMs = msec > 0 ? msec : 2000;
}

int DlgDownload::defaultRetryDelay()
{
    return g_nRetryDelayMs;
}

QString DlgDownload::javaScriptFolder()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    base.replace(QStringLiteral("\\\\"), QStringLiteral("/"));
    base.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return base + QStringLiteral("/Moravel Software/Moravel Reader") + QStringLiteral("/SilentInstall/JavaScripts");
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
    m_listJSDownloads.clear();
    downloadUpates(0);
}

void DlgDownload::downloadUpates(int work)
{
    if (work < 0 || work >= m_vecSelectUpdates.size() || CSignalStop::isStopped()) {
        endSequence();
        return;
    }
    m_nDownloadIndex = work;
    m_bFromDisk = false;
    m_nTry = 1;
    m_bRefetched = false;
    m_pRetryTimer->stop();
    qDebug() << "Begin to download:";

    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    if (!info) {
        continueDownload();
        return;
    }
    ui->descriptionEdit->setPlainText(info->strDescription);
    ui->timeRemainLabel->setText(QString());

    m_nDownloadedBytes = 0;
    retireDownloader();

    const QString directory = downloadDirectory();
    if (directory.isEmpty() || (!QDir(directory).exists() && !QDir().mkpath(directory))) {
        qDebug() << "can not make path for store the downloads:"
                 << (directory.isEmpty() ? QDir::tempPath() + QStringLiteral("/MoravelCorvina/") : directory);
        // Nothing can be downloaded in this run; say so instead of leaving the user
        // with a run that silently does nothing.
        showWarning(tr("The update package could not be installed."));
        endSequence();
        return;
    }
    if (!takePackageOnDisk(info, directory))
        fetchModule(work);
}

bool DlgDownload::takePackageOnDisk(const MODULEINFO* info, const QString& directory)
{
    const QString fileName = info->strUrl.mid(info->strUrl.lastIndexOf(QLatin1Char('/')) + 1);
    const QString localPath = directory + fileName;

    // A package of unknown size (0) is never taken as complete: an empty file left by
    // an earlier failure is not a package. Only a plain file counts, never a link.
    const qint64 expected = declaredSize(info->strSize);
    const QFileInfo local(localPath);
    if (fileName.isEmpty() || isReservedFileName(fileName) || expected <= 0 || !local.isFile()
        || local.isSymLink() || local.size() != expected)
        return false;
    // A reply that names the file's hash: a file of the right size with another hash
    // is no longer the package, whatever it is; it is downloaded again.
    if (!info->strSha256.isEmpty() && CSha256::fileHex(localPath) != info->strSha256) {
        qDebug() << "the package on disk does not match its sha256; downloading it again:" << localPath;
        return false;
    }
    if (!info->strSha256.isEmpty())
        qDebug() << "package verified:" << fileName;
    // The downloader only shows the package complete; the package step works on
    // the file.
    m_pHttpDownload = new QHttpDownLoadS(nullptr, ui->progressBar, ui->timeRemainLabel, &m_nDownloadedBytes);
    m_bFromDisk = true;
    m_pHttpDownload->downloadProgress(expected, expected);
    oneDownloadFinish(localPath);
    return true;
}

void DlgDownload::fetchModule(int work)
{
    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    const QString localPath = packageFilePath(info);
    const qint64 expected = declaredSize(info->strSize);
    PartialPackage partial(localPath);
    m_bHashChecked = false;

    // A fresh downloader: the one of a package found on disk, or of the try before,
    // may still be delivering the signal that brought us here.
    m_nDownloadedBytes = 0;
    retireDownloader();

    // A stale file under the package's name is never reused; what an earlier try or run
    // left in NAME.part is continued when it may be.
    const bool usableName = !localPath.isEmpty();
    if (usableName) {
        Comm::removeNonDirectory(localPath);
        m_nDownloadedBytes = partial.resumableBytes(info->strUrl, info->strSha256);
    }
    m_bContinued = m_nDownloadedBytes > 0;
    if (m_bContinued)
        qDebug().noquote() << QStringLiteral("continuing %1 from byte %2")
                                  .arg(QFileInfo(partial.partPath()).fileName())
                                  .arg(m_nDownloadedBytes);
    m_pHttpDownload = new QHttpDownLoadS(nullptr, ui->progressBar, ui->timeRemainLabel, &m_nDownloadedBytes);
    m_pHttpDownload->setResumeValidator(partial.validator(), partial.total());

    const bool accepted =
        usableName && m_pHttpDownload->setUrlAndFilePath(QUrl(info->strUrl, QUrl::TolerantMode), partial.partPath());
    // A body longer than the size the reply declares is not the package it announced.
    if (expected > 0)
        m_pHttpDownload->setMaxBodyBytes(expected);
    connectTransfer(work, localPath);

    // A transfer that does not start would never report; it counts as failed.
    if (!accepted) {
        qDebug() << "Download refused:" << info->strUrl;
        errorfinish(localPath);
        return;
    }

    startTransfer(info->bSilentInstall, localPath);
}

void DlgDownload::connectTransfer(int work, const QString& localPath)
{
    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    connect(m_pHttpDownload, &QHttpDownLoadS::oneDownLoadFinish, this, [this, work] { transferComplete(work); });
    // The record goes beside the .part as soon as the answer that begins the file (or
    // starts it over) is in, before a byte of its body: a run killed hard, a crash or a
    // power cut leaves a .part the next run can continue. Only a package with a sha256
    // is ever continued.
    if (!localPath.isEmpty() && !info->strSha256.isEmpty()) {
        connect(m_pHttpDownload, &QHttpDownLoadS::answerAccepted, this, [this, info, localPath] {
            PartialPackage record(localPath);
            if (m_pHttpDownload
                && !record.keep(info->strUrl, info->strSha256, m_pHttpDownload->resumeValidator(),
                                m_pHttpDownload->resumeTotal()))
                qDebug() << "the record of the download cannot be written:" << record.recordPath();
        });
    }
    connect(m_pHttpDownload, &QHttpDownLoadS::errorfinish, this, [this, work] { transferFailed(work); });
}

void DlgDownload::startTransfer(bool silent, const QString& localPath)
{
    if (silent) {
        // Returns when the transfer has ended; its signal, its further tries, the package
        // step and the modules after it have run inside the call by then.
        if (!m_pHttpDownload->startDownLoads(true))
            errorfinish(localPath);
        return;
    }

    if (!m_pHttpDownload->startDownLoads(false)) {
        errorfinish(localPath);
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
    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    const QString localPath = packageFilePath(info);
    if (localPath.isEmpty()) {
        hide();
        packageStepStopped();
        return;
    }
    PartialPackage partial(localPath);
    const QString partName = QFileInfo(partial.partPath()).fileName();
    // A reply that names the file's hash vouches for the file through it: a file with
    // another hash never becomes the package.
    if (!info->strSha256.isEmpty()) {
        if (CSha256::fileHex(partial.partPath()) != info->strSha256) {
            partial.discard();
            if (m_bContinued && !m_bRefetched) {
                qDebug().noquote() << partName
                        + QStringLiteral(" does not match its sha256 after continuing: deleted, downloading it once "
                                         "more from byte 0");
                m_bRefetched = true;
                m_nTry = 1;
                fetchModule(work);
                return;
            }
            qDebug() << "package refused, its SHA-256 is not the reply's:" << partial.partPath();
            hide();
            packageStepStopped();
            return;
        }
        qDebug() << "package verified:" << QFileInfo(localPath).fileName();
    }
    if (!partial.complete()) {
        hide();
        packageStepStopped();
        return;
    }
    m_bHashChecked = true;
    oneDownloadFinish(localPath);
}

void DlgDownload::transferFailed(int work)
{
    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    const QString fileName = info->strUrl.mid(info->strUrl.lastIndexOf(QLatin1Char('/')) + 1);
    const QString localPath = packageFilePath(info);
    if (localPath.isEmpty()) {
        errorfinish(localPath);
        return;
    }
    PartialPackage partial(localPath);
    const QHttpDownLoadS::Failure failure =
        m_pHttpDownload ? m_pHttpDownload->failure() : QHttpDownLoadS::FinalFailure;
    // What the network broke off is kept for the next try or run; what the server's
    // ranges made of the file cannot be trusted, and a refused file is of no use.
    if (failure == QHttpDownLoadS::NetworkFailure && m_pHttpDownload
        && Comm::regularFileSize(partial.partPath()) > 0) {
        if (!partial.keep(info->strUrl, info->strSha256, m_pHttpDownload->resumeValidator(),
                          m_pHttpDownload->resumeTotal()))
            partial.discard();
    } else {
        partial.discard();
    }
    const bool retry = failure == QHttpDownLoadS::NetworkFailure || failure == QHttpDownLoadS::RangeFailure;
    if (!retry || m_nTry >= kMaxTries) {
        errorfinish(localPath);
        return;
    }
    const int delay = g_nRetryDelayMs << (m_nTry - 1);
    ++m_nTry;
    qDebug().noquote() << QStringLiteral("retrying %1 in %2 s (try %3 of %4)")
                              .arg(fileName)
                              .arg(delay / 1000.0)
                              .arg(m_nTry)
                              .arg(kMaxTries);
    if (!info->bSilentInstall) {
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
    const QString directory = downloadDirectory();
    const QString fileName = QFileInfo(filePath).fileName();
    if (!directory.isEmpty() && filePath == directory + fileName && !fileName.isEmpty() && !isReservedFileName(fileName))
        Comm::removeNonDirectory(filePath);
    showWarning(tr("Could not connect to the server. Please check your network connection."));
    ++m_nDownloadIndex;
    downloadUpates(m_nDownloadIndex);
}

void DlgDownload::cancel()
{
    // The transfer stops at once; what it received stays in NAME.part, with its record,
    // for the next run.
    m_pRetryTimer->stop();
    const MODULEINFO* info = m_nDownloadIndex >= 0 && m_nDownloadIndex < m_vecSelectUpdates.size()
                                 ? m_vecSelectUpdates.at(m_nDownloadIndex)
                                 : nullptr;
    if (info && m_pHttpDownload && m_pHttpDownload->isRunning()) {
        m_pHttpDownload->stopDownLoads();
        PartialPackage partial(packageFilePath(info));
        if (!partial.finalPath().isEmpty() && Comm::regularFileSize(partial.partPath()) > 0
            && partial.keep(info->strUrl, info->strSha256, m_pHttpDownload->resumeValidator(),
                            m_pHttpDownload->resumeTotal()))
            qDebug().noquote() << QStringLiteral("download cancelled; %1 kept for the next run")
                                      .arg(QFileInfo(partial.partPath()).fileName());
    }
    close();
}

void DlgDownload::retireDownloader()
{
    if (!m_pHttpDownload)
        return;
    QHttpDownLoadS* previous = m_pHttpDownload;
    m_pHttpDownload = nullptr;
    disconnect(previous, nullptr, this, nullptr);
    previous->stopDownLoads();
    previous->deleteLater();
    // Forget those the event loop has released already.
    for (int i = m_vecRetired.size() - 1; i >= 0; --i) {
        if (m_vecRetired.at(i).isNull())
            m_vecRetired.remove(i);
    }
    m_vecRetired.append(QPointer<QHttpDownLoadS>(previous));
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
    if (!m_listJSDownloads.isEmpty() && !CSignalStop::takePending())
        copyJSPlugin();
    close();
    if (m_pApp)
        m_pApp->endRun();
}

// ---------------------------------------------------------------------------------
// The package step

void DlgDownload::oneDownloadFinish(QString filePath)
{
    hide();
    if (CSignalStop::takePending())
        return;
    if (filePath.isEmpty() || !packageMatchesHash(filePath)) {
        packageStepStopped();
        return;
    }
    if (keepJavaScriptPlugin(filePath)) {
        continueDownload();
        return;
    }

    const QString unpackDir = unpackDirectory();
    if (!emptyUnpackFolder(unpackDir)) {
        packageStepStopped();
        return;
    }
    QVector<_SetupInfo*> setupInfo;
    if (!unpackPackage(filePath, unpackDir, setupInfo)) {
        packageRejected(filePath);
        return;
    }

    promptAndInstall(unpackDir);
    qDeleteAll(setupInfo);
    setupInfo.clear();
    continueDownload();
}

bool DlgDownload::packageMatchesHash(const QString& filePath)
{
    // A reply that names the file's hash (signed or not) vouches for the file through
    // it: a file with another hash is deleted before anything of it is unpacked, copied
    // or run. (A file found on disk, or downloaded, was checked before it got here.)
    const MODULEINFO* module = m_nDownloadIndex >= 0 && m_nDownloadIndex < m_vecSelectUpdates.size()
                                   ? m_vecSelectUpdates.at(m_nDownloadIndex)
                                   : nullptr;
    if (!module || module->strSha256.isEmpty() || m_bFromDisk || m_bHashChecked)
        return true;
    if (CSha256::fileHex(filePath) != module->strSha256) {
        qDebug() << "package refused, its SHA-256 is not the reply's:" << filePath;
        QFile::remove(filePath);
        return false;
    }
    qDebug() << "package verified:" << QFileInfo(filePath).fileName();
    return true;
}

bool DlgDownload::keepJavaScriptPlugin(const QString& filePath)
{
    const QString fileName = QFileInfo(filePath).fileName();
    if (fileName.isEmpty() || !fileName.startsWith(QLatin1String("JS"), Qt::CaseSensitive))
        return false;
    // JavaScript plug-ins wait in the download directory until the sequence ends.
    if (!m_listJSDownloads.contains(filePath))
        m_listJSDownloads.append(filePath);
    return true;
}

void DlgDownload::promptAndInstall(const QString& unpackDir)
{
    DlgMessage prompt(nullptr);
    prompt.setInformation(
        tr("Download completed. Please close Moravel Reader when you complete your job, and click \"Install\"."));
    prompt.setOkButtonText(tr("Install"));
    CDialogPlacement::place(&prompt);
    prompt.exec();

    // A stop signal that came while the prompt was up wins over its answer.
    if (prompt.m_bOk && !CSignalStop::takePending())
        installPackage(unpackDir);
}

void DlgDownload::packageStepStopped()
{
    showWarning(tr("The update package could not be installed."));
    continueDownload();
}

void DlgDownload::packageRejected(const QString& filePath)
{
    // A package that does not check or unpack is of no use to any later run either.
    QFile::remove(filePath);
    if (m_bFromDisk && m_nDownloadIndex >= 0 && m_nDownloadIndex < m_vecSelectUpdates.size()) {
        qDebug() << "the package found on disk is not usable; downloading it again:" << filePath;
        m_bFromDisk = false;
        fetchModule(m_nDownloadIndex);
        return;
    }
    packageStepStopped();
}

QString DlgDownload::keepForInstaller(const QString& unpackDir)
{
    const QString working = Comm::workingDir();
    if (working.isEmpty())
        return QString();
    QByteArray from = QFile::encodeName(unpackDir);
    while (from.size() > 1 && from.endsWith('/'))
        from.chop(1);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString folder = working + QStringLiteral("/installer-%1").arg(++m_nInstallerFolder);
        const QByteArray to = QFile::encodeName(folder);
        struct stat st;
        if (::lstat(to.constData(), &st) == 0 || errno != ENOENT)
            continue;
        if (::rename(from.constData(), to.constData()) == 0)
            return folder;
        qDebug() << "the unpacked package cannot be moved for its installer:" << folder << strerror(errno);
        return QString();
    }
    return QString();
}

void DlgDownload::installPackage(const QString& unpackDir)
{
    // Only plain files can be started: a directory or a link named like an installer
    // is passed over.
    QDir dir(unpackDir);
    const QFileInfoList installers =
        dir.entryInfoList(QStringList() << QStringLiteral("*.run"), QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                          QDir::Name | QDir::IgnoreCase);
    if (!installers.isEmpty()) {
        // The installer runs on after the updater goes on with the next package, which
        // empties the unpack folder: it gets a folder of its own and starts from there.
        // The folder is locked before it gets its number, and the installer's
        // supervisor holds the lock while the installer runs: no later run removes or
        // reuses the folder meanwhile.
        CInstallerLock lock;
        const QString folder = lock.acquire(unpackDir) ? keepForInstaller(unpackDir) : QString();
        if (folder.isEmpty()) {
            showWarning(tr("The update package could not be installed."));
            return;
        }
        const QString installer = folder + QLatin1Char('/') + installers.first().fileName();
        QProcess::execute(QStringLiteral("chmod"), QStringList() << QStringLiteral("+x") << installer);
        if (!CSignalStop::takePending())
            lock.startDetached(installer, QStringList(), folder);
        return;
    }

    const int status = installUpdates(QString());
    qDebug() << "excute result:" << status;
    if (status == kInstallerLeftRunning)
        return;

    QString corvinaPath;
    QString version;
    QString oldVersion;
    if (m_pApp && m_pApp->m_pCommandLine) {
        corvinaPath = m_pApp->m_pCommandLine->getValue(QStringLiteral("corvinapath"));
        version = m_pApp->m_pCommandLine->getValue(QStringLiteral("version"));
    }
    if (m_pApp && m_pApp->m_pModuleManager)
        oldVersion = m_pApp->m_pModuleManager->m_strOldVersion;

    const QString counter = corvinaPath + QStringLiteral("/countinstalltion");
    qDebug() << "countinstallpath: " << counter;
    QProcess::startDetached(counter, QStringList() << QStringLiteral("/version") << oldVersion
                                                   << QStringLiteral("/oldversion") << version);
}

int DlgDownload::installUpdates(QString arguments)
{
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    const QVariant stored = settings.value(QStringLiteral("Corvina_UpdateOldPath"));
    const QString readerDir = stored.isValid() ? stored.toString() : QCoreApplication::applicationDirPath();

    const QString program = readerDir + QStringLiteral("/installUpdate");
    if (!QFile::exists(program))
        return 0;

    // The program is passed as one argument, so a reader directory with blanks works,
    // and it is made runnable without being made writable for everybody.
    QProcess::execute(QStringLiteral("chmod"), QStringList() << QStringLiteral("a+rx") << program);
    // It installs from the unpack folder, which its supervisor holds locked while it
    // runs (not what it leaves running). A stop signal ends the wait, not the program.
    const QString unpackDir = unpackDirectory();
    CInstallerLock lock;
    if (unpackDir.isEmpty() || !QDir().mkpath(unpackDir) || !lock.acquire(unpackDir))
        return -2;
    if (CSignalStop::takePending())
        return kInstallerLeftRunning;
    return lock.execute(program, QProcess::splitCommand(arguments), [] { return CSignalStop::takePending(); });
}

void DlgDownload::ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list)
{
    readSetupInfo(dir, list);
}

bool DlgDownload::copyJSPlugin()
{
    bool result = true;
    const QStringList plugins = m_listJSDownloads;
    m_listJSDownloads.clear();
    for (const QString& plugin : plugins) {
        if (CSignalStop::takePending())
            return false;
        const QString folder = javaScriptFolder();
        if (!Comm::makeSyncedPath(QDir(folder).absolutePath())) {
            result = false;
            continue;
        }
        const QString target = folder + QLatin1Char('/') + QFileInfo(plugin).fileName();
        if (!Comm::replaceFileCopy(plugin, target)) {
            qDebug() << "the plug-in could not be copied:" << plugin << "to" << target;
            result = false;
            continue;
        }
        // Only a plug-in that arrived in the reader's folder leaves the download folder.
        QFile::remove(plugin);
    }
    return result;
}
