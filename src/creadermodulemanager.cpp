#include "creadermodulemanager.h"

#include "cinstallationid.h"
#include "cmoduledownload.h"
#include "cissuedrecord.h"
#include "creplyverifier.h"
#include "crolloutpolicy.h"
#include "csetup_commandline.h"
#include "cserverwaits.h"
#include "csha256.h"
#include "csignedreply.h"
#include "cskippedversions.h"
#include "cxmlinput.h"
#include "ctrustedkeys.h"
#include "cworkingfolder.h"
#include "czr_urlencode.h"
#include "qhttpdownloads.h"
#include "updatedefine.h"
#include "updaterapp.h"
#include "xmlelement.h"
#include "zrbytestring.h"
#include "zrwidestring.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QPair>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <memory>

#ifndef MORAVEL_UPDATE_SERVER_CN_DEFAULT
#define MORAVEL_UPDATE_SERVER_CN_DEFAULT "http://update-cn.moravel.invalid/addons/get_addons.php"
#endif
#ifndef MORAVEL_UPDATE_SERVER_US_DEFAULT
#define MORAVEL_UPDATE_SERVER_US_DEFAULT "http://update-us.moravel.invalid/addons/get_addons.php"
#endif

namespace {

// The part of "UpdaterInfo.xml" that is read; the file lists a few modules.
const qint64 kMaxUpdaterInfoBytes = 8 * 1024 * 1024;

// The platform every request names.
const QString kPlatform = QStringLiteral("x86");

// UTC+8:00 up to, not including, UTC+9:00 is served by the China-region server.
const int kChinaOffsetFirst = 8 * 3600;
const int kChinaOffsetLast = 8 * 3600 + 3599;

bool isChinaRegion(int offsetSeconds)
{
    return offsetSeconds >= kChinaOffsetFirst && offsetSeconds <= kChinaOffsetLast;
}

// The server part of a request address for the log, without any user information.
QString serverName(const QString& address)
{
    return QUrl(address, QUrl::TolerantMode).adjusted(QUrl::RemoveUserInfo).authority();
}

// The scheme of a request address as the downloader takes it ("http", "https"; lower case).
QString schemeOf(const QString& address)
{
    return QUrl(address, QUrl::TolerantMode).scheme();
}

// How much an address's scheme protects a reply: https above http, anything else below.
int schemeStrength(const QString& address)
{
    const QString scheme = schemeOf(address);
    return scheme == QLatin1String("https") ? 2 : scheme == QLatin1String("http") ? 1 : 0;
}

// Qt's numbers for the language choices the server knows.
const int kLanguageChinese = 25;   // QLocale::Chinese
const int kCountryChina = 44;      // QLocale::China
const int kLanguageJapanese = 59;  // QLocale::Japanese
const int kCountryJapan = 108;     // QLocale::Japan

// True when the wide string equals text with 'A'-'Z' folded to 'a'-'z'.
bool equalsNoCase(const CZR_WideString& value, const wchar_t* text)
{
    return value.CompareNoCase(text) == 0;
}

// The four numbers of a dotted version text. Each of the first three is the text up to
// the next "." (all of what is left when there is none, which then stays for the next
// number); the fourth is what remains. A part that is not a decimal integer counts as 0,
// so "7" reads as 7.7.7.7, "7.1" as 7.1.1.1 and "7.1.0.1.5" as 7.1.0.0.
void splitVersion(QString text, int numbers[4])
{
    for (int i = 0; i < 3; ++i) {
        const int dot = text.indexOf(QLatin1Char('.'));
        const QString part = dot < 0 ? text : text.left(dot);
        numbers[i] = part.toInt(nullptr, 10);
        if (dot >= 0)
            text = text.mid(dot + 1);
    }
    numbers[3] = text.toInt(nullptr, 10);
}

QString withoutSpaces(QString text)
{
    return text.remove(QLatin1Char(' '));
}

// How the attributes of a reply's module element set its record. An attribute the
// table does not name is ignored; a later one of the same name sets the field again.
template <QString MODULEINFO::*field>
void setText(MODULEINFO* info, const CZR_WideString& value)
{
    info->*field = Comm::ws2qs(value);
}

// "true" in any letter case sets the flag, anything else clears it.
template <bool MODULEINFO::*flag>
void setTrueOrFalse(MODULEINFO* info, const CZR_WideString& value)
{
    info->*flag = equalsNoCase(value, L"true");
}

// "TRUE" in any letter case sets the flag; anything else leaves it as it is.
template <bool MODULEINFO::*flag>
void setWhenTrue(MODULEINFO* info, const CZR_WideString& value)
{
    if (equalsNoCase(value, L"TRUE"))
        info->*flag = true;
}

// A decimal integer within the range of int; anything else gives 0.
void setUpdateMode(MODULEINFO* info, const CZR_WideString& value)
{
    bool isNumber = false;
    const int mode = Comm::ws2qs(value).toInt(&isNumber, 10);
    info->nUpdateMode = isNumber ? mode : 0;
}

// Its presence is marked apart from its value.
void setTandrelStandard(MODULEINFO* info, const CZR_WideString& value)
{
    info->strTandrelStandard = QStringLiteral("TRUE");
    info->strTandrelStandardValue = Comm::ws2qs(value);
}

// The rollout of a module from its two attributes (std::nullopt: not given). Both given
// and well-formed: phased; neither: none; anything else is malformed.
void setRollout(MODULEINFO* info, const std::optional<QString>& start, const std::optional<QString>& days)
{
    info->strRolloutStart = start.value_or(QString());
    info->strRolloutDays = days.value_or(QString());
    info->eRollout = MODULEINFO::RolloutNone;
    if (!start && !days)
        return;
    info->eRollout = MODULEINFO::RolloutMalformed;
    static const QRegularExpression number(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
    qint64 from = 0;
    bool isNumber = false;
    const double length = days && number.match(*days).hasMatch() ? days->toDouble(&isNumber) : 0.0;
    if (!start || !CSignedReply::parseUtcTime(*start, &from) || !isNumber || !std::isfinite(length) || !(length > 0.0))
        return;
    info->eRollout = MODULEINFO::RolloutPhased;
    info->nRolloutStart = from;
    info->dRolloutDays = length;
}

struct ModuleAttribute
{
    const char* name;
    void (*apply)(MODULEINFO* info, const CZR_WideString& value);
};

const ModuleAttribute kModuleAttributes[] = {
    {"name", setText<&MODULEINFO::strName>},
    {"title", setText<&MODULEINFO::strTitle>},
    {"version", setText<&MODULEINFO::strVersion>},
    {"size", setText<&MODULEINFO::strSize>},
    {"description", setText<&MODULEINFO::strDescription>},
    {"url", setText<&MODULEINFO::strUrl>},
    {"regkey", setText<&MODULEINFO::strRegkey>},
    {"level", setText<&MODULEINFO::strLevel>},
    {"module_type", setText<&MODULEINFO::strModuleType>},
    {"parent", setText<&MODULEINFO::strParent>},
    {"isInternalService", setText<&MODULEINFO::strInternalService>},
    {"result", setTrueOrFalse<&MODULEINFO::bResult>},
    {"plugin", setTrueOrFalse<&MODULEINFO::bPlugin>},
    {"isnew", setTrueOrFalse<&MODULEINFO::bIsNew>},
    {"iscommon", setTrueOrFalse<&MODULEINFO::bIsCommon>},
    {"forcedUpgrade", setWhenTrue<&MODULEINFO::bForcedUpgrade>},
    {"SilentInstall", setWhenTrue<&MODULEINFO::bSilentInstall>},
    {"update_mode", setUpdateMode},
    {"TandrelStandard", setTandrelStandard},
    {"sha256", setText<&MODULEINFO::strSha256>},
    {"critical", setTrueOrFalse<&MODULEINFO::bCritical>},
    {"content-sha256", setText<&MODULEINFO::strContentSha256>},
};

// More deltas than this on one module are not read: no publisher keeps that many
// earlier releases, and a hostile reply could list millions.
const int kMaxDeltasPerModule = 64;

// The module's "delta" children; none unless the package and its content carry
// well-formed hashes, and only those whose own hashes are well-formed.
void readDeltas(const CXML_Element* element, MODULEINFO* info)
{
    info->vecDeltas.clear();
    const bool hashed = CSha256::isHex(info->strSha256) && CSha256::isHex(info->strContentSha256);
    for (int32_t i = 0; i < element->CountChildren() && info->vecDeltas.size() < kMaxDeltasPerModule; ++i) {
        const CXML_Element* child = element->GetElement(i);
        if (!child || child->GetTagName() != "delta")
            continue;
        MODULEDELTA delta;
        delta.strFrom = CXmlInput::attribute(child, "from").value_or(QString());
        delta.strUrl = CXmlInput::attribute(child, "url").value_or(QString());
        delta.strSize = CXmlInput::attribute(child, "size").value_or(QString());
        delta.strSha256 = CXmlInput::attribute(child, "sha256").value_or(QString());
        if (hashed && CSha256::isHex(delta.strFrom) && CSha256::isHex(delta.strSha256) && !delta.strUrl.isEmpty())
            info->vecDeltas.append(delta);
        else
            qDebug() << "delta without well-formed hashes ignored:" << info->strName;
    }
}

} // namespace

CReaderModuleManager::CReaderModuleManager(QString addon, UpdaterApp* app, QObject* parent)
    : QObject(parent)
    , m_strAddon(addon)
    , m_pDownloader(nullptr)
    , m_bStop(false)
    , m_nLanguage(0)
    , m_nCountry(0)
    , m_pApp(app)
    , m_bReplyParsed(false)
    , m_bQuerySucceeded(false)
    , m_nQueryGeneration(0)
    , m_retiredDownloaders(this)
    , m_bKeysRequired(false)
    , m_bVerificationFailed(false)
    , m_bReplyOverHttps(false)
    , m_bQueryWait(false)
    , m_bInstallationIdRead(false)
{
    if (m_pApp && m_pApp->m_pCommandLine)
        m_strReaderPath = m_pApp->m_pCommandLine->getReaderPathFromcmd();
    const CTrustedKeys::KeySet keys = CTrustedKeys::load();
    setTrustedKeys(keys.keys, keys.required);
}

CReaderModuleManager::~CReaderModuleManager()
{
    // A failure report still queued for the latest query dies with this object (its
    // timer is a child); the downloader goes first so that nothing reaches the records.
    ++m_nQueryGeneration;
    dropDownloader();
    ReleaseModuleInfo();
}

// ---------------------------------------------------------------------------------
// Lifecycle and clean-up

void CReaderModuleManager::setLangParm(int language, int country)
{
    m_nLanguage = language;
    m_nCountry = country;
}

QString CReaderModuleManager::GetReaderVersion()
{
    return m_pApp ? m_pApp->m_strReaderVersion : QString();
}

bool CReaderModuleManager::CanExitThred()
{
    return m_bStop;
}

MODULEINFO* CReaderModuleManager::AddModule(QString addon)
{
    MODULEINFO* info = new MODULEINFO;
    info->strAddon = addon;
    return info;
}

void CReaderModuleManager::ReleaseModuleInfo()
{
    for (MODULEINFO* info : qAsConst(m_vecUpdateModules))
        delete info;
    m_vecUpdateModules.clear();
}

void CReaderModuleManager::ReleaseUpdaterInfoList(QVector<_UpdaterInfo*>& list)
{
    for (int i = list.size() - 1; i >= 0; --i) {
        delete list[i];
        list[i] = nullptr;
    }
}

bool CReaderModuleManager::DeletePatchUpdate()
{
    int updaterIndex = -1;
    int patchIndex = -1;
    for (int i = 0; i < m_vecUpdateModules.size(); ++i) {
        const QString& name = m_vecUpdateModules.at(i)->strName;
        if (name.contains(QLatin1String("Updater"), Qt::CaseSensitive))
            updaterIndex = i;
        if (name.contains(QLatin1String("Patch"), Qt::CaseSensitive))
            patchIndex = i;
    }
    // An updater package brings the patch along; the separate patch is not offered.
    if (updaterIndex >= 0 && patchIndex >= 0) {
        delete m_vecUpdateModules.at(patchIndex);
        m_vecUpdateModules.remove(patchIndex);
    }
    return true;
}

bool CReaderModuleManager::DeleteMoravelCloud()
{
    QVector<int> internalServices;
    for (int i = 0; i < m_vecUpdateModules.size(); ++i) {
        const MODULEINFO* info = m_vecUpdateModules.at(i);
        if (info->nUpdateMode == 2 && info->strInternalService.startsWith(QLatin1String("TRUE"), Qt::CaseSensitive))
            internalServices.append(i);
    }
    // Highest index first, so that the indexes still to come stay valid. The records
    // belong to nobody else, so they are released here.
    for (int k = internalServices.size() - 1; k >= 0; --k) {
        const int index = internalServices.at(k);
        delete m_vecUpdateModules.at(index);
        m_vecUpdateModules.remove(index);
    }
    return true;
}

bool CReaderModuleManager::isSilentUpdate()
{
    if (m_vecUpdateModules.isEmpty())
        return false;
    for (const MODULEINFO* info : qAsConst(m_vecUpdateModules)) {
        if (!info->bSilentInstall)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------
// Version comparison and update rules

int CReaderModuleManager::CompareVersion(QString a, QString b)
{
    int left[4];
    int right[4];
    splitVersion(a, left);
    splitVersion(b, right);
    for (int i = 0; i < 4; ++i) {
        if (left[i] > right[i])
            return 1;
        if (left[i] < right[i])
            return -1;
    }
    return 0;
}

void CReaderModuleManager::ParseUpdaterInfo(QVector<_UpdaterInfo*>& list)
{
    list.clear();

    // Only a regular file is read, and only its first 8 MiB: a FIFO or a device put in
    // its place is never opened for a read that could block or go on for ever.
    QByteArray data;
    if (CXmlInput::readFile(m_strReaderPath + QStringLiteral("UpdaterInfo.xml"), kMaxUpdaterInfoBytes,
                            CXmlInput::FirstBytes, &data)
            != CXmlInput::ReadOk
        || data.isEmpty())
        return;

    // Only a file that says what it is, before any NUL byte, is read.
    const int nul = data.indexOf('\0');
    const QByteArray text = nul < 0 ? data : data.left(nul);
    if (!text.contains("updater_info"))
        return;

    CXmlInput input;
    if (!input.parse(data))
        return;

    const CXML_Element* root = input.root();
    for (int32_t i = 0; i < root->CountChildren(); ++i) {
        const CXML_Element* entryElement = root->GetElement(i);
        if (!entryElement)
            continue;
        _UpdaterInfo* entry = new _UpdaterInfo;
        for (int32_t a = 0; a < entryElement->CountAttrs(); ++a) {
            const CXmlInput::Attribute attribute = CXmlInput::attributeAt(entryElement, a);
            if (attribute.name == "name") {
                entry->strName = attribute.text();
            } else if (attribute.name == "version") {
                entry->strVersion = attribute.text();
                m_strOldVersion = entry->strVersion;
            }
        }
        for (int32_t j = 0; j < entryElement->CountChildren(); ++j) {
            const CXML_Element* fileElement = entryElement->GetElement(j);
            if (!fileElement)
                continue;
            for (int32_t a = 0; a < fileElement->CountAttrs(); ++a) {
                const CXmlInput::Attribute attribute = CXmlInput::attributeAt(fileElement, a);
                if (attribute.name == "path")
                    entry->listPath.append(attribute.text());
            }
        }
        list.append(entry);
    }
}

bool CReaderModuleManager::CheckModuleAvailable(MODULEINFO* info, QVector<_UpdaterInfo*>& list)
{
    if (!info)
        return false;
    if (m_strAddon == QLatin1String("Auto Updater"))
        return true;
    if (info->strModuleType == QLatin1String("updater"))
        return CheckUpdaterAvailable(info, false);
    if (info->bIsCommon)
        return true;

    const _UpdaterInfo* entry = nullptr;
    for (const _UpdaterInfo* candidate : qAsConst(list)) {
        if (candidate && candidate->strName == info->strName) {
            entry = candidate;
            break;
        }
    }
    if (!entry)
        return false;

    if (CompareVersion(withoutSpaces(entry->strVersion), withoutSpaces(info->strVersion)) == -1)
        return false;
    for (const QString& path : entry->listPath) {
        if (!QFile::exists(path))
            return false;
    }
    return true;
}

bool CReaderModuleManager::CheckUpdaterAvailable(MODULEINFO* info, bool flag)
{
    Q_UNUSED(flag);
    if (!info)
        return true;
    if (info->strModuleType != QLatin1String("updater"))
        return true;
    const int order = CompareVersion(info->strVersion, GetReaderVersion());
    if (order == 0 || order == -1)
        return true;
    if (info->strUrl.contains(QLatin1String("MspPatch"), Qt::CaseSensitive))
        return false;
    if (info->strName.contains(QLatin1String("exe"), Qt::CaseSensitive))
        return false;
    return true;
}

bool CReaderModuleManager::CheckForcedUpgradeVersion(MODULEINFO* info, QVector<_UpdaterInfo*>& list)
{
    if (!info)
        return false;
    if (info->strModuleType == QLatin1String("updater") && info->bForcedUpgrade)
        return true;

    const _UpdaterInfo* entry = nullptr;
    for (const _UpdaterInfo* candidate : qAsConst(list)) {
        if (candidate && candidate->strName == info->strName) {
            entry = candidate;
            break;
        }
    }
    if (!entry)
        return true;
    for (const QString& path : entry->listPath) {
        if (!QFile::exists(path))
            return true;
    }
    return CompareVersion(withoutSpaces(info->strVersion), withoutSpaces(entry->strVersion)) == 1;
}

// ---------------------------------------------------------------------------------
// Reply parsing

void CReaderModuleManager::ParseModuleInfo(CXML_Element* element, MODULEINFO* info)
{
    if (!element || !info)
        return;
    info->bSilentInstall = false;

    // The two of the rollout are judged together, once both are known.
    std::optional<QString> rolloutStart;
    std::optional<QString> rolloutDays;
    for (int32_t i = 0; i < element->CountAttrs(); ++i) {
        if (m_bStop)
            break;
        const CXmlInput::Attribute attribute = CXmlInput::attributeAt(element, i);
        if (attribute.name == "rollout-start") {
            rolloutStart = attribute.text();
            continue;
        }
        if (attribute.name == "rollout-days") {
            rolloutDays = attribute.text();
            continue;
        }
        for (const ModuleAttribute& known : kModuleAttributes) {
            if (attribute.name == known.name) {
                known.apply(info, attribute.value);
                break;
            }
        }
    }
    setRollout(info, rolloutStart, rolloutDays);
    readDeltas(element, info);
}

bool CReaderModuleManager::verifySignature(QByteArray* data)
{
    QByteArray message;
    QString why;
    if (!CReplyVerifier(m_listTrustedKeys).checkSignature(*data, &message, &why)) {
        qDebug().noquote() << "update reply refused:" << why;
        m_bVerificationFailed = true;
        return false;
    }
    *data = message;
    return true;
}

bool CReaderModuleManager::verifySignedRoot(CXML_Element* root)
{
    auto attribute = [root](const char* name) { return CXmlInput::attribute(root, name); };
    const QString product = requestProduct();
    qint64 newest = 0;
    const std::optional<qint64> accepted =
        CIssuedRecord::read(product, &newest) ? std::optional<qint64>(newest) : std::nullopt;
    const qint64 now = currentTime();
    qint64 issued = 0;
    QString why;
    const CReplyVerifier verifier(m_listTrustedKeys);
    if (!CReplyVerifier::checkRequest(attribute("product"), attribute("platform"), product, kPlatform, &why)
        || !verifier.checkTimes(attribute("issued"), attribute("expires"), now, accepted, &issued, &why)) {
        qDebug().noquote() << "update reply refused:" << why;
        m_bVerificationFailed = true;
        return false;
    }
    if (!accepted || issued > *accepted)
        CIssuedRecord::write(product, issued);
    qDebug() << "update reply verified";
    return true;
}

bool CReaderModuleManager::isOffered(const MODULEINFO* info, const QVector<_UpdaterInfo*>& installed, int express)
{
    // An express run leaves out the OCR and PDF/A components.
    if (express != 0
        && (info->strName.contains(QLatin1String("OCR_"), Qt::CaseSensitive) || info->strName == QLatin1String("PDF/A")))
        return false;
    if (!info->bResult)
        return false;
    const bool hashed = CSha256::isHex(info->strSha256);
    if (m_bKeysRequired) {
        // A signed reply vouches for a package only through its hash.
        if (!info->strUrl.isEmpty() && !hashed) {
            qDebug() << "module without a well-formed sha256 is not offered:" << info->strName;
            return false;
        }
        // Nor does it take the reader back to an older version than it has.
        for (const _UpdaterInfo* entry : installed) {
            if (entry && entry->strName == info->strName
                && CompareVersion(withoutSpaces(info->strVersion), withoutSpaces(entry->strVersion)) == -1) {
                qDebug().noquote() << "not offered:" << info->strName << info->strVersion
                                   << "is older than the installed" << entry->strVersion;
                return false;
            }
        }
    } else if (m_bReplyOverHttps && !hashed && info->strUrl.startsWith(QLatin1String("http:"), Qt::CaseInsensitive)) {
        // Unsigned, a reply that came over https vouches for a package fetched over
        // plain http only through its hash.
        qDebug() << "module with an http url and no well-formed sha256 is not offered (the reply came over https):"
                 << info->strName;
        return false;
    }
    return true;
}

bool CReaderModuleManager::isHeldBack(const MODULEINFO* info)
{
    // A manual check is offered everything; a critical update reaches everybody.
    if (!isAutomaticCheck() || info->bCritical)
        return false;
    if (info->eRollout == MODULEINFO::RolloutMalformed) {
        // Not everybody at once, nor never: manual checks still offer it.
        qDebug().noquote() << QStringLiteral("%1 %2 not offered on automatic checks: malformed rollout "
                                             "(rollout-start \"%3\", rollout-days \"%4\")")
                                  .arg(info->strName, info->strVersion, info->strRolloutStart.left(64),
                                       info->strRolloutDays.left(64));
        return true;
    }
    if (info->eRollout == MODULEINFO::RolloutPhased) {
        if (!m_bInstallationIdRead) {
            m_installationId = CInstallationId::get();
            m_bInstallationIdRead = true;
        }
        if (!CRolloutPolicy::isOffered(info->strName, info->strVersion, info->nRolloutStart, info->dRolloutDays,
                                       currentTime(), m_installationId))
            return true;
    }
    // A skipped version stays skipped, and so does an older one; a newer one is offered.
    const QString skipped = m_skippedVersions.value(info->strName);
    if (!skipped.isEmpty() && CompareVersion(withoutSpaces(info->strVersion), withoutSpaces(skipped)) <= 0) {
        qDebug().noquote() << QStringLiteral("%1 %2 not offered: the user skipped version %3")
                                  .arg(info->strName, info->strVersion, skipped);
        return true;
    }
    return false;
}

bool CReaderModuleManager::readReply(const QString& path, QByteArray* data)
{
    // Read as the bytes received: a signature covers them exactly, line ends included.
    qint64 size = 0;
    switch (CXmlInput::readFile(path, kMaxReplyBytes, CXmlInput::WholeFile, data, &size)) {
    case CXmlInput::ReadOk:
        return !data->isEmpty();
    case CXmlInput::OpenFailed:
    case CXmlInput::NotRegularFile:
        qDebug() << "Open Reply Xml File failed.";
        return false;
    case CXmlInput::TooLarge:
        qDebug() << "the reply is too large to be read:" << size << "bytes";
        return false;
    case CXmlInput::ReadFailed:
        break;
    }
    return false;
}

bool CReaderModuleManager::parseReply(const QByteArray& data, CXmlInput* reply)
{
    if (!reply->parse(data))
        return false;
    // A web page is no reply, whatever it says: a captive portal's login page or a
    // proxy's error page answers with 200 too.
    if (reply->rootTag().compare(QLatin1String("html"), Qt::CaseInsensitive) == 0) {
        qDebug() << "the reply is a web page, not an update list";
        reply->reset();
        return false;
    }
    return true;
}

bool CReaderModuleManager::collectOfferedModules(const CXML_Element* root)
{
    QVector<_UpdaterInfo*> updaterInfo;
    ParseUpdaterInfo(updaterInfo);

    bool isNumber = false;
    int express = 0;
    if (m_pApp && m_pApp->m_pCommandLine)
        express = m_pApp->m_pCommandLine->getValue(QStringLiteral("bExpress")).toInt(&isNumber, 10);
    if (!isNumber)
        express = 0;

    m_bInstallationIdRead = false;
    m_installationId.clear();
    // What the user skipped, read once for the whole reply.
    m_skippedVersions = isAutomaticCheck() ? CSkippedVersions::versions() : QHash<QString, QString>();

    // The server decides which modules are newer. The local availability check
    // (CheckModuleAvailable) is not applied to the reply: for the "Update List" this
    // updater asks for it would never drop a module.
    bool complete = true;
    for (int32_t i = 0; i < root->CountChildren(); ++i) {
        if (m_bStop) {
            ReleaseModuleInfo();
            complete = false;
            break;
        }
        CXML_Element* element = root->GetElement(i);
        if (!element)
            continue;

        std::unique_ptr<MODULEINFO> info(AddModule(m_strAddon));
        ParseModuleInfo(element, info.get());
        // Unsigned, a hash that is not one is no hash (signed, such a module with a
        // package is not offered at all).
        if (!m_bKeysRequired && !info->strSha256.isEmpty() && !CSha256::isHex(info->strSha256)) {
            qDebug() << "malformed sha256 ignored:" << info->strName;
            info->strSha256.clear();
        }
        if (isOffered(info.get(), updaterInfo, express) && !isHeldBack(info.get()))
            m_vecUpdateModules.append(info.release());
    }
    ReleaseUpdaterInfoList(updaterInfo);
    return complete;
}

void CReaderModuleManager::dropSupersededModules()
{
    DeletePatchUpdate();
    DeleteMoravelCloud();
}

void CReaderModuleManager::OnPaserModuleInfo(QString path)
{
    ReleaseModuleInfo();
    m_bReplyParsed = false;
    m_bVerificationFailed = false;

    QByteArray data;
    if (!readReply(path, &data))
        return;
    // A signed reply is believed only once its signature holds; from then on only the
    // signed bytes are read.
    if (m_bKeysRequired && !verifySignature(&data))
        return;
    CXmlInput reply;
    if (parseReply(data, &reply)) {
        if (m_bKeysRequired && !verifySignedRoot(reply.root()))
            return;
        if (!collectOfferedModules(reply.root()))
            return;
        m_bReplyParsed = true;
    }
    dropSupersededModules();
    deferLargeDownloads();
}

void CReaderModuleManager::deferLargeDownloads()
{
    // An automatic check on a metered connection or in power-saver mode downloads no
    // large package of a module that is not critical (CConnectionPolicy logs which);
    // when none is left, the run ends as if nothing was offered.
    for (int i = m_vecUpdateModules.size() - 1; i >= 0; --i) {
        if (downloadDeferral(m_vecUpdateModules.at(i)) != CConnectionPolicy::NotDeferred) {
            delete m_vecUpdateModules.at(i);
            m_vecUpdateModules.remove(i);
        }
    }
}

// ---------------------------------------------------------------------------------
// Update request

QString CReaderModuleManager::RequestServerForUtcOffset(int offsetSeconds)
{
    const bool china = isChinaRegion(offsetSeconds);
    const QString configured =
        qEnvironmentVariable(china ? "MORAVEL_UPDATE_SERVER_CN" : "MORAVEL_UPDATE_SERVER_US").trimmed();
    if (!configured.isEmpty())
        return configured;
    return QString::fromUtf8(china ? MORAVEL_UPDATE_SERVER_CN_DEFAULT : MORAVEL_UPDATE_SERVER_US_DEFAULT);
}

void CReaderModuleManager::setClockOffsetFromUtc(int offsetSeconds)
{
    m_clockOffsetOverride = offsetSeconds;
}

void CReaderModuleManager::resetClockOffsetFromUtc()
{
    m_clockOffsetOverride.reset();
}

int CReaderModuleManager::currentClockOffsetFromUtc() const
{
    if (m_clockOffsetOverride)
        return *m_clockOffsetOverride;
    return QDateTime::currentDateTime().offsetFromUtc();
}

QString CReaderModuleManager::GetLocalLangName()
{
    if (m_nLanguage == kLanguageChinese && m_nCountry == kCountryChina)
        return QStringLiteral("zh-CN");
    if (m_nLanguage == kLanguageJapanese && m_nCountry == kCountryJapan)
        return QStringLiteral("ja-JP");
    return QStringLiteral("en-US");
}

QString CReaderModuleManager::GetHttpURL(QString addon)
{
    QString product;
    QString version;
    if (m_pApp && m_pApp->m_pCommandLine) {
        product = m_pApp->m_pCommandLine->getValue(QStringLiteral("product"));
        version = m_pApp->m_pCommandLine->getValue(QStringLiteral("version"));
    }

    CZR_URLEncode encoder(nullptr);
    QString url = QStringLiteral("/get_addons.php?addon=") + encoder.URLEncode(addon);
    url += QStringLiteral("&product=") + product;

    if (!version.isEmpty()) {
        // "7.1.0.1234" is sent as version 7.1 and build 0.1234; a version with fewer
        // than two dots is sent whole as both.
        QString major = version;
        QString build = version;
        const int firstDot = version.indexOf(QLatin1Char('.'));
        const int secondDot = firstDot < 0 ? -1 : version.indexOf(QLatin1Char('.'), firstDot + 1);
        if (secondDot >= 0) {
            major = version.left(secondDot);
            build = version.mid(secondDot + 1);
        }
        url += QStringLiteral("&version=") + major + QStringLiteral("&build=") + build;
    }

    url += QStringLiteral("&platform=") + kPlatform;
    url += QStringLiteral("&EmbededLanguage=") + GetLocalLangName();
    return url;
}

int CReaderModuleManager::QueryModuleInfo(QProgressBar* bar, bool bWait)
{
    ++m_nQueryGeneration;
    m_bQuerySucceeded = false;
    m_bReplyParsed = false;
    m_bVerificationFailed = false;

    m_strReplyFile = CWorkingFolder::replyFile();

    // The server's address ends in the script's path, and the request path names the
    // script once more: ".../addons/get_addons.php/get_addons.php?addon=...". The
    // servers answer on that path.
    const int offset = currentClockOffsetFromUtc();
    const QString request = GetHttpURL(m_strAddon);
    const QString chosen = RequestServerForUtcOffset(offset);
    const QString other = RequestServerForUtcOffset(isChinaRegion(offset) ? 0 : kChinaOffsetFirst);
    // One server configured for both regions is asked once.
    const bool sameServer = QUrl(chosen, QUrl::TolerantMode).adjusted(QUrl::NormalizePathSegments)
                            == QUrl(other, QUrl::TolerantMode).adjusted(QUrl::NormalizePathSegments);
    m_strOtherAddress = sameServer ? QString() : other + request;
    m_pQueryBar = bar;
    m_bQueryWait = bWait;

    dropDownloader();
    // The working folder is made (private) by CWorkingFolder; without one there is
    // nowhere safe to put the reply.
    if (CWorkingFolder::folder().isEmpty()) {
        qDebug() << "can not make path:" << CWorkingFolder::sharedName();
        ReleaseModuleInfo();
        failQueryLater();
        return 1;
    }
    // An automatic check leaves a server that asked to wait alone and asks the other
    // region's server in its place, as the failover rules allow.
    QString first = chosen + request;
    if (const std::optional<qint64> until = waitingUntil(first)) {
        const QString waiting = QStringLiteral("request server %1 asked to wait until %2")
                                    .arg(serverName(first), CSignedReply::formatUtcTime(*until));
        const QString instead = m_strOtherAddress;
        m_strOtherAddress.clear();
        if (instead.isEmpty() || waitingUntil(instead) || schemeStrength(instead) < schemeStrength(first)) {
            qDebug().noquote() << waiting + QStringLiteral(": no other server is asked");
            ReleaseModuleInfo();
            failQueryLater();
            return 3;
        }
        qDebug().noquote() << waiting + QStringLiteral(": asking ") + serverName(instead);
        first = instead;
    }
    const int started = startTransfer(first);
    if (started != 0) {
        ReleaseModuleInfo();
        failQueryLater();
    }
    // With bWait the transfer has ended and been reported by now; a receiver may even
    // have destroyed this manager meanwhile, so nothing of it is touched here.
    return started;
}

int CReaderModuleManager::startTransfer(const QString& address)
{
    m_strAskedAddress = address;
    // What a reply vouches for depends on the scheme of the server that sent it.
    m_bReplyOverHttps = schemeOf(address) == QLatin1String("https");

    dropDownloader();
    m_pDownloader = new QHttpDownLoadS(nullptr, m_pQueryBar, nullptr, nullptr);
    // No real reply comes near this size; a larger one is not read at all.
    m_pDownloader->setMaxBodyBytes(kMaxReplyBytes);
    if (!m_pDownloader->setUrlAndFilePath(QUrl(address, QUrl::TolerantMode), m_strReplyFile)) {
        qDebug() << "Update server address refused:" << address;
        return 2;
    }

    connect(m_pDownloader, SIGNAL(oneDownLoadFinish(QString)), this, SLOT(slotQueryModuleInfoFinish(QString)));
    connect(m_pDownloader, SIGNAL(errorfinish(QString)), this, SLOT(slotQueryModuleInfoFailed(QString)));
    // Only a transfer that did not start comes back false; nothing waited.
    return m_pDownloader->startDownLoads(m_bQueryWait) ? 0 : 2;
}

bool CReaderModuleManager::askOtherServer()
{
    if (m_strOtherAddress.isEmpty() || !m_pDownloader)
        return false;
    // A server that did not answer, or said it cannot (a 5xx, or a 429, which says the
    // same as a 503), is worth replacing; any other answer would be the other server's too.
    const CTransferFailure failure = m_pDownloader->transferFailure();
    if (!failure.asksOtherServer())
        return false;

    const QString other = m_strOtherAddress;
    m_strOtherAddress.clear();
    const QString failed = QStringLiteral("request server %1 failed (%2)")
                               .arg(serverName(m_strAskedAddress),
                                    failure.byNetwork() ? QStringLiteral("network failure")
                                                        : QStringLiteral("HTTP %1").arg(failure.httpStatus()));
    // Never to a weaker scheme: a certificate error, or an attacker on the way, looks
    // like a server that is down, and an unsigned reply over http would be believed.
    if (schemeStrength(other) < schemeStrength(m_strAskedAddress)) {
        qDebug().noquote() << failed + QStringLiteral(": not asking %1 over %2 after %3")
                                           .arg(serverName(other), schemeOf(other), schemeOf(m_strAskedAddress));
        return false;
    }
    if (const std::optional<qint64> until = waitingUntil(other)) {
        qDebug().noquote() << failed + QStringLiteral(": not asking %1, asked to wait until %2")
                                           .arg(serverName(other), CSignedReply::formatUtcTime(*until));
        return false;
    }
    qDebug().noquote() << failed + QStringLiteral(": asking ") + serverName(other);
    if (m_pQueryBar)
        m_pQueryBar->setValue(0);
    return startTransfer(other) == 0;
}

void CReaderModuleManager::slotQueryModuleInfoFinish(QString path)
{
    Q_UNUSED(path);
    if (sender() && sender() != m_pDownloader)
        return;

    const auto inSignal = m_retiredDownloaders.inSignal();
    m_bReplyParsed = false;
    if (!m_strReplyFile.isEmpty())
        OnPaserModuleInfo(m_strReplyFile);
    m_bQuerySucceeded = m_bReplyParsed;
    if (!m_bQuerySucceeded)
        qDebug() << "Update query failed: the reply could not be read:" << m_strReplyFile;

    // A receiver may start a new query or destroy this manager; nothing of it is
    // touched afterwards.
    emit sQueryModuleInfoFinish();
}

void CReaderModuleManager::slotQueryModuleInfoFailed(QString path)
{
    if (sender() && sender() != m_pDownloader)
        return;

    const auto inSignal = m_retiredDownloaders.inSignal();
    keepServerWait();
    // The second try reports the query's end itself; waiting, it may have done so and
    // its receiver may have destroyed this manager.
    if (askOtherServer())
        return;
    qDebug() << "Update query failed: no complete reply from the server:" << path;
    ReleaseModuleInfo();
    m_bQuerySucceeded = false;

    emit sQueryModuleInfoFinish();
}

bool CReaderModuleManager::isQuerySucceeded() const
{
    return m_bQuerySucceeded;
}

bool CReaderModuleManager::isVerificationFailed() const
{
    return m_bVerificationFailed;
}

void CReaderModuleManager::setTrustedKeys(const QList<QByteArray>& keys)
{
    setTrustedKeys(keys, !keys.isEmpty());
}

void CReaderModuleManager::setTrustedKeys(const QList<QByteArray>& keys, bool required)
{
    m_listTrustedKeys = keys;
    m_bKeysRequired = required || !keys.isEmpty();
    if (!m_bKeysRequired)
        qDebug() << "no trusted update key: updates are not signature-checked";
    else if (keys.isEmpty())
        qDebug() << "no valid trusted update key: every update reply is refused";
}

QString CReaderModuleManager::requestProduct() const
{
    // What GetHttpURL sends; a run without "product" sends it empty.
    if (m_pApp && m_pApp->m_pCommandLine)
        return m_pApp->m_pCommandLine->getValue(QStringLiteral("product"));
    return QString();
}

void CReaderModuleManager::setCurrentTime(std::optional<qint64> secondsSinceEpoch)
{
    m_timeOverride = secondsSinceEpoch;
}

qint64 CReaderModuleManager::currentTime() const
{
    return m_timeOverride ? *m_timeOverride : QDateTime::currentSecsSinceEpoch();
}

bool CReaderModuleManager::isAutomaticCheck() const
{
    return !(m_pApp && m_pApp->m_pCommandLine
             && m_pApp->m_pCommandLine->getValue(QStringLiteral("updater")) == QLatin1String("Manual"));
}

bool CReaderModuleManager::isCriticalUpdate() const
{
    for (const MODULEINFO* info : m_vecUpdateModules) {
        if (info->bCritical)
            return true;
    }
    return false;
}

bool CReaderModuleManager::skipOfferedVersions()
{
    QList<QPair<QString, QString>> offered;
    for (const MODULEINFO* info : qAsConst(m_vecUpdateModules)) {
        offered.append(qMakePair(info->strName, info->strVersion));
        qDebug().noquote() << QStringLiteral("the user skipped %1 %2").arg(info->strName, info->strVersion);
    }
    return CSkippedVersions::skip(offered);
}

CConnectionPolicy::Deferral CReaderModuleManager::downloadDeferral(const MODULEINFO* info) const
{
    if (!info)
        return CConnectionPolicy::NotDeferred;
    return CConnectionPolicy::deferral(CModuleDownload::declaredSize(info->strSize), info->bCritical,
                                       isAutomaticCheck());
}

std::optional<qint64> CReaderModuleManager::waitingUntil(const QString& address) const
{
    // A manual check asks anyway: the user asked.
    if (!isAutomaticCheck())
        return std::nullopt;
    return CServerWaits::waitingUntil(CServerWaits::serverOf(address), currentTime());
}

void CReaderModuleManager::keepServerWait()
{
    const int status = m_pDownloader ? m_pDownloader->httpStatus() : 0;
    if (status != 503 && status != 429)
        return;
    const QByteArray value = m_pDownloader->retryAfter();
    if (value.isEmpty())
        return;
    const qint64 now = currentTime();
    const std::optional<qint64> until = CServerWaits::parseRetryAfter(value, now);
    if (!until) {
        qDebug() << "request server" << serverName(m_strAskedAddress) << "sent a Retry-After that is ignored:"
                 << value.left(64);
        return;
    }
    qDebug().noquote() << QStringLiteral("request server %1 asked to wait until %2")
                              .arg(serverName(m_strAskedAddress), CSignedReply::formatUtcTime(*until));
    CServerWaits::record(CServerWaits::serverOf(m_strAskedAddress), *until, now);
}

void CReaderModuleManager::failQueryLater()
{
    m_bQuerySucceeded = false;
    const quint64 generation = m_nQueryGeneration;
    QTimer::singleShot(0, this, [this, generation]() {
        if (generation != m_nQueryGeneration)
            return;
        m_bQuerySucceeded = false;
        emit sQueryModuleInfoFinish();
    });
}

void CReaderModuleManager::dropDownloader()
{
    // Inside one of a downloader's signals, quite possibly this one's, it must outlive
    // the emission: it then goes from the event loop.
    m_retiredDownloaders.release(m_pDownloader);
}
