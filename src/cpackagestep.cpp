#include "cpackagestep.h"

#include "cbasestore.h"
#include "cdeltaapplier.h"
#include "cinstallerlock.h"
#include "cmoduledownload.h"
#include "moduleinfo.h"
#include "csignalstop.h"
#include "cworkingfolder.h"
#include "cxmlinput.h"
#include "safefiles.h"
#include "xmlelement.h"
#include "zrfzip.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

namespace {

// One "file" element of Setup.xml as an entry of dir.
_SetupInfo* setupEntry(const CXML_Element* element, const QString& dir)
{
    _SetupInfo* info = new _SetupInfo;
    if (element->GetTagName() != "file")
        return info;
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
    return info;
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
    const CXmlInput::ReadStatus status = CXmlInput::readFile(
        dir + QStringLiteral("Setup.xml"), CPackageStep::kMaxSetupXmlBytes, CXmlInput::WholeFile, &data, &size);
    if (status == CXmlInput::TooLarge)
        qDebug() << "Setup.xml is too large to be read:" << size << "bytes";
    CXmlInput setup;
    if (status != CXmlInput::ReadOk || data.isEmpty() || !setup.parse(data))
        return status;

    const CXML_Element* root = setup.root();
    for (int32_t i = 0; i < root->CountChildren(); ++i) {
        if (const CXML_Element* element = root->GetElement(i))
            list.append(setupEntry(element, dir));
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
                 << (unpackDir.isEmpty() ? CWorkingFolder::sharedName(QStringLiteral("uncompress/"))
                                         : unpackDir);
        return false;
    }
    if (!emptied || !QDir(unpackDir).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        qDebug() << "the unpack folder cannot be emptied:" << unpackDir;
        return false;
    }
    return true;
}

} // namespace

CPackageStep::CPackageStep()
    : m_fnPrompt([] { return false; })
{
}

void CPackageStep::setReader(const QString& corvinaPath, const QString& version, const QString& oldVersion)
{
    m_strCorvinaPath = corvinaPath;
    m_strVersion = version;
    m_strOldVersion = oldVersion;
}

CPackageStep::Outcome CPackageStep::run(const QString& filePath, CModuleDownload* module)
{
    if (CSignalStop::takePending())
        return Interrupted;
    if (filePath.isEmpty())
        return Stopped;
    // A reply that names the file's hash vouches for the file through it: a file with
    // another hash is deleted before anything of it is unpacked, copied or run. (A file
    // found on disk, or downloaded, was checked before it got here.)
    if (module && !module->hashChecked() && !module->matchesHash(filePath)) {
        qDebug() << "package refused, its SHA-256 is not the reply's:" << filePath;
        QFile::remove(filePath);
        return Stopped;
    }
    // A delta is never a plug-in, whatever its name.
    if (!(module && module->delta()) && keepJavaScriptPlugin(filePath))
        return Done;

    const QString unpackDir = CWorkingFolder::unpackDirectory();
    const Outcome unpacked = unpack(filePath, unpackDir, module);
    if (unpacked != Done)
        return unpacked;
    // A stop signal that came while the prompt was up wins over its answer.
    const bool install = m_fnPrompt() && !CSignalStop::takePending();
    bool installed = false;
    const bool started = !install || installPackage(unpackDir, &installed);
    keepBase(module, installed);
    return started ? Done : Stopped;
}

CPackageStep::Outcome CPackageStep::unpack(const QString& filePath, const QString& unpackDir,
                                           const CModuleDownload* module)
{
    m_strContent.clear();
    m_strContentFile.clear();
    m_bContentFromDelta = false;
    if (!emptyUnpackFolder(unpackDir))
        return Stopped;
    if (module && module->delta())
        return rebuild(filePath, unpackDir, module);
    CZR_Fzip unzip;
    QByteArray digest;
    const bool unpacked = unzip.Unzip2(filePath, unpackDir, &digest) == CZR_Fzip::Unpacked;
    if (!unpacked)
        qDebug() << "Uncompress Failed";
    QVector<_SetupInfo*> setupInfo;
    const bool readable = unpacked && readSetupInfo(unpackDir, setupInfo) != CXmlInput::TooLarge;
    qDeleteAll(setupInfo);
    if (readable) {
        m_strContent = QString::fromLatin1(digest.toHex());
        m_strContentFile = filePath;
        return Done;
    }
    // A package that does not check or unpack is of no use to any later run either.
    QFile::remove(filePath);
    return Rejected;
}

CPackageStep::Outcome CPackageStep::rebuild(const QString& deltaPath, const QString& unpackDir,
                                            const CModuleDownload* module)
{
    const MODULEINFO* info = module->info();
    CDeltaApplier applier;
    // The base's entries wait in an unnamed file of the private working folder.
    applier.setScratchDir(CWorkingFolder::folder());
    applier.setExpectedContent(QByteArray::fromHex(info->strContentSha256.toLatin1()));
    const QString newBase = CBaseStore::partFile(info->strName);
    const int result = applier.apply(module->basePath(), deltaPath, unpackDir, newBase);
    QVector<_SetupInfo*> setupInfo;
    const bool readable = result == CDeltaApplier::Applied
                          && readSetupInfo(unpackDir, setupInfo) != CXmlInput::TooLarge;
    qDeleteAll(setupInfo);
    if (!readable) {
        // A base that is not the content its name claims is of no use to any later run.
        if (result == CDeltaApplier::BaseMismatch || result == CDeltaApplier::BaseUnreadable)
            CBaseStore::drop(info->strName);
        m_strDeltaFailure = result == CDeltaApplier::Applied ? QStringLiteral("its Setup.xml is too large to be read")
                                                             : applier.reason();
        QFile::remove(deltaPath);
        if (!newBase.isEmpty())
            Comm::removeNonDirectory(newBase);
        return DeltaFailed;
    }
    const qint64 full = CModuleDownload::declaredSize(info->strSize);
    const qint64 downloaded = module->expectedSize();
    qDebug().noquote() << QStringLiteral("delta for %1 used: %2 bytes downloaded instead of %3 (%4 bytes saved)")
                              .arg(info->strName)
                              .arg(downloaded)
                              .arg(full)
                              .arg(full - downloaded);
    m_strContent = QString::fromLatin1(applier.contentSha256().toHex());
    m_strContentFile = newBase;
    m_bContentFromDelta = !newBase.isEmpty();
    return Done;
}

void CPackageStep::keepBase(const CModuleDownload* module, bool installed)
{
    const MODULEINFO* info = module ? module->info() : nullptr;
    const bool matches = info && !m_strContent.isEmpty()
                         && (info->strContentSha256.isEmpty() || info->strContentSha256 == m_strContent);
    if (installed && matches && !m_strContentFile.isEmpty())
        CBaseStore::keep(info->strName, m_strContentFile, m_strContent, m_bContentFromDelta);
    else if (m_bContentFromDelta)
        Comm::removeNonDirectory(m_strContentFile);
    if (installed && info && !matches && !m_strContent.isEmpty())
        qDebug() << "the content of" << info->strName << "is not the reply's content-sha256: no base kept";
}

bool CPackageStep::keepJavaScriptPlugin(const QString& filePath)
{
    const QString fileName = QFileInfo(filePath).fileName();
    if (fileName.isEmpty() || !fileName.startsWith(QLatin1String("JS"), Qt::CaseSensitive))
        return false;
    // JavaScript plug-ins wait in the download directory until the sequence ends.
    if (!m_listJSDownloads.contains(filePath))
        m_listJSDownloads.append(filePath);
    return true;
}

bool CPackageStep::installPackage(const QString& unpackDir, bool* started)
{
    // Only plain files can be started: a directory or a link named like an installer
    // is passed over.
    const QFileInfoList installers = QDir(unpackDir).entryInfoList(
        QStringList() << QStringLiteral("*.run"), QDir::Files | QDir::Hidden | QDir::NoSymLinks,
        QDir::Name | QDir::IgnoreCase);
    if (!installers.isEmpty()) {
        // The installer runs on after the updater goes on with the next package, which
        // empties the unpack folder: it gets a folder of its own and starts from there.
        // The folder is locked before it gets its number, and the installer's
        // supervisor holds the lock while the installer runs: no later run removes or
        // reuses the folder meanwhile.
        CInstallerLock lock;
        const QString folder =
            lock.acquire(unpackDir) ? CWorkingFolder::moveToInstallerFolder(unpackDir, &m_nInstallerFolder) : QString();
        if (folder.isEmpty())
            return false;
        const QString installer = folder + QLatin1Char('/') + installers.first().fileName();
        QProcess::execute(QStringLiteral("chmod"), QStringList() << QStringLiteral("+x") << installer);
        if (!CSignalStop::takePending())
            *started = lock.startDetached(installer, QStringList(), folder);
        return true;
    }

    const int status = installUpdates(QString());
    qDebug() << "excute result:" << status;
    *started = status >= 0 || status == kInstallerLeftRunning;
    if (status != kInstallerLeftRunning)
        countInstallation();
    return true;
}

void CPackageStep::countInstallation() const
{
    const QString counter = m_strCorvinaPath + QStringLiteral("/countinstalltion");
    qDebug() << "countinstallpath: " << counter;
    QProcess::startDetached(counter, QStringList() << QStringLiteral("/version") << m_strOldVersion
                                                   << QStringLiteral("/oldversion") << m_strVersion);
}

int CPackageStep::installUpdates(QString arguments)
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
    const QString unpackDir = CWorkingFolder::unpackDirectory();
    CInstallerLock lock;
    if (unpackDir.isEmpty() || !QDir().mkpath(unpackDir) || !lock.acquire(unpackDir))
        return -2;
    if (CSignalStop::takePending())
        return kInstallerLeftRunning;
    return lock.execute(program, QProcess::splitCommand(arguments), [] { return CSignalStop::takePending(); });
}

void CPackageStep::ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list)
{
    readSetupInfo(dir, list);
}

QString CPackageStep::javaScriptFolder()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    base.replace(QStringLiteral("\\\\"), QStringLiteral("/"));
    base.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return base + QStringLiteral("/Moravel Software/Moravel Reader") + QStringLiteral("/SilentInstall/JavaScripts");
}

bool CPackageStep::copyJSPlugin()
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
