#include "cmoduledownload.h"

#include "cbasestore.h"
#include "csha256.h"
#include "cworkingfolder.h"
#include "moduleinfo.h"
#include "partialpackage.h"
#include "qhttpdownloads.h"
#include "safefiles.h"

#include <QDebug>
#include <QFileInfo>
#include <QUrl>

namespace {

// The wait before the second try of a failed download; each further one doubles it.
int g_nRetryDelayMs = 2000;

QString partFileName(const PartialPackage& partial)
{
    return QFileInfo(partial.partPath()).fileName();
}

} // namespace

CModuleDownload::CModuleDownload(const MODULEINFO* info)
    : m_pInfo(info)
{
    setFile();
}

void CModuleDownload::setFile()
{
    m_strFile = m_pInfo ? CWorkingFolder::packageFile(url()) : QString();
}

const MODULEDELTA* CModuleDownload::delta() const
{
    return m_pInfo && m_nDelta >= 0 && m_nDelta < m_pInfo->vecDeltas.size() ? &m_pInfo->vecDeltas.at(m_nDelta)
                                                                            : nullptr;
}

QString CModuleDownload::url() const
{
    const MODULEDELTA* chosen = delta();
    return chosen ? chosen->strUrl : m_pInfo ? m_pInfo->strUrl : QString();
}

QString CModuleDownload::sha256() const
{
    const MODULEDELTA* chosen = delta();
    return chosen ? chosen->strSha256 : m_pInfo ? m_pInfo->strSha256 : QString();
}

void CModuleDownload::chooseDelta()
{
    // A JavaScript plug-in is one file, copied as it comes: never rebuilt from a delta.
    if (!m_pInfo || m_pInfo->vecDeltas.isEmpty() || m_nDelta >= 0
        || CWorkingFolder::packageFileName(m_pInfo->strUrl).startsWith(QLatin1String("JS")))
        return;
    const CBaseStore::Base base = CBaseStore::baseOf(m_pInfo->strName);
    if (base.path.isEmpty()) {
        useFullPackage(QStringLiteral("no base kept"));
        return;
    }
    for (int i = 0; i < m_pInfo->vecDeltas.size(); ++i) {
        if (m_pInfo->vecDeltas.at(i).strFrom == base.digest) {
            m_nDelta = i;
            m_strBasePath = base.path;
            setFile();
            qDebug().noquote() << QStringLiteral("delta for %1: %2 (%3 bytes instead of %4)")
                                      .arg(m_pInfo->strName, CWorkingFolder::packageFileName(url()))
                                      .arg(expectedSize())
                                      .arg(declaredSize(m_pInfo->strSize));
            return;
        }
    }
    useFullPackage(QStringLiteral("no delta from the base kept (content %1)").arg(base.digest));
}

void CModuleDownload::useFullPackage(const QString& why)
{
    qDebug().noquote() << QStringLiteral("delta for %1 not used: %2").arg(m_pInfo->strName, why);
    // The delta's file is of no use any more; the package's tries start afresh.
    if (delta()) {
        PartialPackage(m_strFile).discard();
        Comm::removeNonDirectory(m_strFile);
    }
    m_nDelta = m_pInfo->vecDeltas.size();
    m_strBasePath.clear();
    m_nTry = 1;
    m_bRefetched = false;
    m_bHashChecked = false;
    m_bFromDisk = false;
    setFile();
}

qint64 CModuleDownload::expectedSize() const
{
    const MODULEDELTA* chosen = delta();
    return chosen ? declaredSize(chosen->strSize) : m_pInfo ? declaredSize(m_pInfo->strSize) : 0;
}

qint64 CModuleDownload::declaredSize(const QString& sizeText)
{
    const int b = sizeText.indexOf(QLatin1Char('B'));
    const QString number = b < 0 ? sizeText : sizeText.left(b);
    bool isNumber = false;
    const qlonglong size = number.toLongLong(&isNumber, 10);
    return isNumber && size >= 0 && size <= kMaxDeclaredSize ? qint64(size) : 0;
}

void CModuleDownload::setDefaultRetryDelay(int msec)
{
    g_nRetryDelayMs = msec > 0 ? msec : 2000;
}

int CModuleDownload::defaultRetryDelay()
{
    return g_nRetryDelayMs;
}

bool CModuleDownload::matchesHash(const QString& path)
{
    // A reply that names the file's hash (signed or not) vouches for the file through it.
    if (!m_pInfo || sha256().isEmpty()) {
        m_bHashChecked = true;
        return true;
    }
    m_bHashChecked = CSha256::fileHex(path) == sha256();
    if (m_bHashChecked)
        qDebug() << "package verified:" << QFileInfo(m_strFile.isEmpty() ? path : m_strFile).fileName();
    return m_bHashChecked;
}

bool CModuleDownload::findOnDisk()
{
    // A package of unknown size (0) is never taken as complete: an empty file left by
    // an earlier failure is not a package. Only a plain file counts, never a link.
    const qint64 expected = expectedSize();
    const QFileInfo local(m_strFile);
    if (m_strFile.isEmpty() || expected <= 0 || !local.isFile() || local.isSymLink() || local.size() != expected)
        return false;
    // A file of the right size with another hash is no longer the package, whatever it
    // is; it is downloaded again.
    if (!matchesHash(m_strFile)) {
        qDebug() << "the package on disk does not match its sha256; downloading it again:" << m_strFile;
        return false;
    }
    m_bFromDisk = true;
    return true;
}

qint64 CModuleDownload::prepareTry()
{
    m_bHashChecked = false;
    m_bContinued = false;
    m_resumeValidator.clear();
    m_nResumeTotal = 0;
    if (m_strFile.isEmpty())
        return 0;
    // A stale file under the package's name is never reused; what an earlier try or run
    // left in NAME.part is continued when it may be.
    Comm::removeNonDirectory(m_strFile);
    PartialPackage partial(m_strFile);
    const qint64 bytes = partial.resumableBytes(url(), sha256());
    m_bContinued = bytes > 0;
    m_resumeValidator = partial.validator();
    m_nResumeTotal = partial.total();
    if (m_bContinued)
        qDebug().noquote() << QStringLiteral("continuing %1 from byte %2").arg(partFileName(partial)).arg(bytes);
    return bytes;
}

bool CModuleDownload::setUpTry(QHttpDownLoadS* downloader) const
{
    downloader->setResumeValidator(m_resumeValidator, m_nResumeTotal);
    const bool accepted = !m_strFile.isEmpty()
                          && downloader->setUrlAndFilePath(QUrl(url(), QUrl::TolerantMode),
                                                           CWorkingFolder::partFile(m_strFile));
    // A body longer than the size the reply declares is not the package it announced.
    if (expectedSize() > 0)
        downloader->setMaxBodyBytes(expectedSize());
    return accepted;
}

void CModuleDownload::keepRecord(const QHttpDownLoadS* downloader) const
{
    if (m_strFile.isEmpty() || sha256().isEmpty())
        return;
    PartialPackage record(m_strFile);
    if (!record.keep(url(), sha256(), downloader->resumeValidator(), downloader->resumeTotal()))
        qDebug() << "the record of the download cannot be written:" << record.recordPath();
}

CModuleDownload::Completion CModuleDownload::completeTry()
{
    if (m_strFile.isEmpty())
        return Refused;
    PartialPackage partial(m_strFile);
    // A file with another hash than the reply's never becomes the package.
    if (!matchesHash(partial.partPath())) {
        partial.discard();
        if (m_bContinued && !m_bRefetched) {
            qDebug().noquote() << partFileName(partial)
                    + QStringLiteral(" does not match its sha256 after continuing: deleted, downloading it once "
                                     "more from byte 0");
            m_bRefetched = true;
            m_nTry = 1;
            return FetchAgain;
        }
        qDebug() << "package refused, its SHA-256 is not the reply's:" << partial.partPath();
        return Refused;
    }
    if (!partial.complete()) {
        m_bHashChecked = false;
        return Refused;
    }
    return Complete;
}

int CModuleDownload::failTry(const QHttpDownLoadS* downloader)
{
    if (m_strFile.isEmpty())
        return -1;
    PartialPackage partial(m_strFile);
    const QHttpDownLoadS::Failure failure = downloader ? downloader->failure() : QHttpDownLoadS::FinalFailure;
    // What the network broke off is kept for the next try or run; what the server's
    // ranges made of the file cannot be trusted, and a refused file is of no use.
    if (failure == QHttpDownLoadS::NetworkFailure && Comm::regularFileSize(partial.partPath()) > 0) {
        if (!partial.keep(url(), sha256(), downloader->resumeValidator(),
                          downloader->resumeTotal()))
            partial.discard();
    } else {
        partial.discard();
    }
    if (!downloader || !downloader->transferFailure().mayRetry() || m_nTry >= kMaxTries)
        return -1;
    const int delay = g_nRetryDelayMs << (m_nTry - 1);
    ++m_nTry;
    qDebug().noquote() << QStringLiteral("retrying %1 in %2 s (try %3 of %4)")
                              .arg(CWorkingFolder::packageFileName(url()))
                              .arg(delay / 1000.0)
                              .arg(m_nTry)
                              .arg(kMaxTries);
    return delay;
}

void CModuleDownload::keepForNextRun(const QHttpDownLoadS* downloader) const
{
    PartialPackage partial(m_strFile);
    if (!m_strFile.isEmpty() && Comm::regularFileSize(partial.partPath()) > 0
        && partial.keep(url(), sha256(), downloader->resumeValidator(),
                        downloader->resumeTotal()))
        qDebug().noquote() << QStringLiteral("download cancelled; %1 kept for the next run").arg(partFileName(partial));
}

void CModuleDownload::removeFailedFile(const QString& path) const
{
    if (!path.isEmpty() && path == m_strFile)
        Comm::removeNonDirectory(path);
}
