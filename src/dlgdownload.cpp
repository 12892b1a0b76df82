#include "dlgdownload.h"
#include "ui_dlgdownload.h"

#include "creadermodulemanager.h"
#include "csetup_commandline.h"
#include "dlgmessage.h"
#include "qhttpdownloads.h"
#include "updatedefine.h"
#include "updaterapp.h"
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
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

namespace {

// The expected package size: the decimal number before the first "B" of the size text
// ("1048576B", "1048576 Bytes"); 0 when that is not a number.
qint64 expectedSize(const QString& sizeText)
{
    const int b = sizeText.indexOf(QLatin1Char('B'));
    const QString number = b < 0 ? sizeText : sizeText.left(b);
    bool isNumber = false;
    const int size = number.toInt(&isNumber, 10);
    return isNumber ? static_cast<qint64>(size) : 0;
}

} // namespace

DlgDownload::DlgDownload(UpdaterApp* app, QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::DlgDownload)
    , m_pHttpDownload(nullptr)
    , m_nDownloadedBytes(0)
    , m_pApp(app)
    , m_nDownloadIndex(0)
{
    // The window icon lives in the compiled-in resources of the static core library.
    Q_INIT_RESOURCE(res);

    ui->setupUi(this);
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    connect(ui->cancelButton, SIGNAL(clicked()), this, SLOT(cancel()));
    setWindowTitle(tr("Moravel Updater"));
    setFixedSize(size());
    ui->descriptionEdit->setReadOnly(true);
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

QString DlgDownload::downloadDirectory()
{
    return QDir::tempPath() + QStringLiteral("/MoravelCorvina/");
}

QString DlgDownload::unpackDirectory()
{
    return QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress/");
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
    downloadUpates(0);
}

void DlgDownload::downloadUpates(int work)
{
    if (work < 0 || work >= m_vecSelectUpdates.size()) {
        endSequence();
        return;
    }
    m_nDownloadIndex = work;
    qDebug() << "Begin to download:";

    const MODULEINFO* info = m_vecSelectUpdates.at(work);
    if (!info) {
        continueDownload();
        return;
    }
    ui->descriptionEdit->setText(info->strDescription);
    ui->timeRemainLabel->setText(QString());

    m_nDownloadedBytes = 0;
    retireDownloader();
    m_pHttpDownload = new QHttpDownLoadS(nullptr, ui->progressBar, ui->timeRemainLabel, &m_nDownloadedBytes);

    const QString directory = downloadDirectory();
    if (!QDir(directory).exists() && !QDir().mkpath(directory)) {
        qDebug() << "can not make path for store the downloads:" << directory;
        // Nothing can be downloaded in this run; say so instead of leaving the user
        // with a run that silently does nothing.
        showWarning(tr("The update package could not be installed."));
        endSequence();
        return;
    }

    const QString fileName = info->strUrl.mid(info->strUrl.lastIndexOf(QLatin1Char('/')) + 1);
    const QString localPath = directory + fileName;

    // A package of unknown size (0) is never taken as complete: an empty file left by
    // an earlier failure is not a package.
    const qint64 expected = expectedSize(info->strSize);
    const QFileInfo local(localPath);
    if (!fileName.isEmpty() && expected > 0 && local.isFile() && local.size() == expected) {
        m_pHttpDownload->downloadProgress(expected, expected);
        oneDownloadFinish(localPath);
        return;
    }

    // A partial or stale file is never reused.
    if (!fileName.isEmpty() && (local.isFile() || local.isSymLink()))
        QFile::remove(localPath);

    const bool accepted =
        !fileName.isEmpty() && m_pHttpDownload->setUrlAndFilePath(QUrl(info->strUrl, QUrl::TolerantMode), localPath);
    connect(m_pHttpDownload, SIGNAL(oneDownLoadFinish(QString)), this, SLOT(oneDownloadFinish(QString)));
    connect(m_pHttpDownload, SIGNAL(errorfinish(QString)), this, SLOT(errorfinish(QString)));

    // A transfer that does not start would never report; it counts as failed.
    if (!accepted) {
        qDebug() << "Download refused:" << info->strUrl;
        errorfinish(localPath);
        return;
    }

    if (info->bSilentInstall) {
        // Returns when the transfer has ended; its signal, the package step and the
        // modules after it have run inside the call by then.
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
    activateWindow();
    show();
}

void DlgDownload::continueDownload()
{
    ++m_nDownloadIndex;
    downloadUpates(m_nDownloadIndex);
}

void DlgDownload::errorfinish(QString filePath)
{
    Q_UNUSED(filePath);
    showWarning(tr("Could not connect to the server. Please check your network connection."));
    ++m_nDownloadIndex;
    downloadUpates(m_nDownloadIndex);
}

void DlgDownload::cancel()
{
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
    box.exec();
}

void DlgDownload::endSequence()
{
    close();
    if (m_pApp)
        m_pApp->endRun();
}

// ---------------------------------------------------------------------------------
// The package step

void DlgDownload::oneDownloadFinish(QString filePath)
{
    hide();
    if (filePath.isEmpty()) {
        packageStepStopped();
        return;
    }

    const QString fileName = QFileInfo(filePath).fileName();
    if (!fileName.isEmpty() && fileName.startsWith(QLatin1String("JS"), Qt::CaseSensitive)) {
        // JavaScript plug-ins wait in the download directory until the last module.
        if (m_nDownloadIndex < m_vecSelectUpdates.size() - 1) {
            continueDownload();
        } else {
            copyJSPlugin();
            endSequence();
        }
        return;
    }

    const QString unpackDir = unpackDirectory();
    Comm::deleteDir(unpackDir);
    if (!QDir(unpackDir).exists() && !QDir().mkpath(unpackDir)) {
        qDebug() << "can not make path for uncompress the updater:" << unpackDir;
        packageStepStopped();
        return;
    }

    CZR_Fzip unzip;
    if (unzip.Unzip2(filePath, unpackDir) < 1) {
        qDebug() << "Uncompress Failed";
        packageStepStopped();
        return;
    }

    QVector<_SetupInfo*> setupInfo;
    ParseSetupInfo(unpackDir, setupInfo);

    DlgMessage prompt(nullptr);
    prompt.setInformation(
        tr("Download completed. Please close Moravel Reader when you complete your job, and click \"Install\"."));
    prompt.setOkButtonText(tr("Install"));
    UpdaterApp::PlaceDialog(&prompt);
    prompt.exec();

    if (prompt.m_bOk)
        installPackage(unpackDir);

    qDeleteAll(setupInfo);
    setupInfo.clear();
    continueDownload();
}

void DlgDownload::packageStepStopped()
{
    showWarning(tr("The update package could not be installed."));
    continueDownload();
}

void DlgDownload::installPackage(const QString& unpackDir)
{
    // A directory named like an installer cannot be started; only files count.
    QDir dir(unpackDir);
    const QFileInfoList installers =
        dir.entryInfoList(QStringList() << QStringLiteral("*.run"), QDir::Files | QDir::Hidden,
                          QDir::Name | QDir::IgnoreCase);
    if (!installers.isEmpty()) {
        const QString installer = installers.first().filePath();
        QProcess::execute(QStringLiteral("chmod"), QStringList() << QStringLiteral("+x") << installer);
        QProcess::startDetached(installer, QStringList());
        return;
    }

    const int status = installUpdates(QString());
    qDebug() << "excute result:" << status;

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
    return QProcess::execute(program, QProcess::splitCommand(arguments));
}

void DlgDownload::ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list)
{
    if (dir.isEmpty())
        return;
    list.clear();

    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    if (!QDir(dir).exists())
        QDir().mkdir(dir);

    QFile file(dir + QStringLiteral("Setup.xml"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray data = file.readAll();
    file.close();
    if (data.isEmpty())
        return;

    CXML_Element* root = CXML_Element::Parse(data.constData(), static_cast<size_t>(data.size()), 0, nullptr, nullptr, 0);
    if (!root)
        return;

    for (int32_t i = 0; i < root->CountChildren(); ++i) {
        const CXML_Element* element = root->GetElement(i);
        if (!element)
            continue;
        _SetupInfo* info = new _SetupInfo;
        if (element->GetTagName() == "file") {
            QString name;
            for (int32_t a = 0; a < element->CountAttrs(); ++a) {
                CZR_ByteString prefix;
                CZR_ByteString attrName;
                CZR_WideString value;
                element->GetAttrByIndex(a, prefix, attrName, value);
                if (attrName == "name")
                    name = Comm::ws2qs(value);
                else if (attrName == "parameter")
                    info->strParameter = Comm::ws2qs(value);
                else if (attrName == "iscommon")
                    info->bIsCommon = value.CompareNoCase(L"true") == 0;
            }
            info->strFilePath = dir + name;
        }
        list.append(info);
    }
    delete root;
}

bool DlgDownload::copyJSPlugin()
{
    QDir downloads(downloadDirectory());
    const QFileInfoList plugins =
        downloads.entryInfoList(QStringList() << QStringLiteral("JS*"), QDir::AllEntries | QDir::NoDotAndDotDot,
                                QDir::Name | QDir::IgnoreCase);
    bool result = true;
    for (const QFileInfo& plugin : plugins) {
        const QString folder = javaScriptFolder();
        if (!QDir().mkpath(QDir(folder).absolutePath())) {
            result = false;
            continue;
        }
        if (!QFile::copy(plugin.filePath(), folder + QLatin1Char('/') + plugin.fileName()))
            result = false;
        QFile::remove(plugin.filePath());
    }
    return result;
}
