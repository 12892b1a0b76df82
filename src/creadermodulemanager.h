#ifndef CREADERMODULEMANAGER_H
#define CREADERMODULEMANAGER_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QList>
#include <QByteArray>
#include <QHash>

#include <optional>

#include "cconnectionpolicy.h"
#include "cretireddownloaders.h"
#include "moduleinfo.h"

class CXML_Element;
class CXmlInput;
class QHttpDownLoadS;
class QProgressBar;
class UpdaterApp;

// One entry of the local "UpdaterInfo.xml": a module installed here, its version and
// the files that belong to it. Allocated with new; ReleaseUpdaterInfoList deletes it.
struct _UpdaterInfo
{
    QString strName;        // "name" of the entry element
    QString strVersion;     // "version" of the entry element
    QStringList listPath;   // "path" of each child element, in document order
};

// Asks the update server which modules have packages and keeps the answer.
//
// QueryModuleInfo builds the request, picks the server by the clock's offset from UTC
// and downloads the reply into the reply file; OnPaserModuleInfo turns the reply into
// module records and keeps, in reply order, those the server marks as updates in
// m_vecUpdateModules. Every query ends with exactly one sQueryModuleInfoFinish, and
// isQuerySucceeded() then tells an answer ("nothing to update" included) from a failure
// (server unreachable or silent, HTTP error, cut-off or unparsable reply, a reply over
// 8 MiB, a web page (root element "html") instead of a reply, reply file that cannot be
// written, a signed reply that fails its checks). After a failure the offered list is
// empty. The reply file lives in the private working folder (CWorkingFolder::replyFile).
//
// When the server chosen by the clock fails the transfer (no connection, a TLS failure,
// no answer or no data within the downloader's watchdogs, a cut-off body, a 5xx status),
// the other region's server is asked once with the same request before the query counts
// as failed; the same progress bar and bWait serve the second try, and the query still
// ends with one sQueryModuleInfoFinish. Any other failure (another status, a reply that
// fails its checks or its signature) is the query's answer. When both regions are
// configured with the same address, that server is asked once. The checking dialog's
// time-out counts from the start of the first try and covers both.
//
// With trusted publisher keys (CTrustedKeys) the reply must be signed: CReplyVerifier's
// rules decide before anything in it is read (the exact bytes received, the product and
// platform the request named, the times), a module with a "url" is offered only with a
// well-formed "sha256", and a module older than the installed one of the same name
// ("UpdaterInfo.xml") is not offered. A well-formed "sha256" is kept with or without
// keys, and the download window checks the file against it. Without keys, a reply that
// came over https vouches for an http package only through its hash: such a module
// without one is not offered.
//
// An automatic check (the run parameter "updater" is not "Manual") is kinder to the
// publisher and the servers than a manual one, which is offered everything as before:
// it does not offer a module whose phased rollout (CRolloutPolicy) has not reached this
// installation yet, nor one whose rollout is malformed, nor a version the user skipped
// (CSkippedVersions; a newer version is offered), except for a module marked critical;
// and it leaves a request server alone while it waits after a 503 or 429 with
// Retry-After (CServerWaits), asking the other region's server instead as the failover
// rules allow. Every check, manual too, keeps such a wait.
//
// The manager owns the records of m_vecUpdateModules and the downloader of the latest
// query. Other holders of the list keep copies of the pointers only.
class CReaderModuleManager : public QObject
{
    Q_OBJECT

public:
    CReaderModuleManager(QString addon, UpdaterApp* app, QObject* parent);
    ~CReaderModuleManager() override;

    // ---- lifecycle and clean-up ----
    void setLangParm(int language, int country);
    QString GetReaderVersion();
    bool CanExitThred();
    // A new, empty record for the request list addon; the caller decides whether it stays.
    MODULEINFO* AddModule(QString addon);
    // Deletes the offered records and empties the list.
    void ReleaseModuleInfo();
    // Deletes the entries of list, last first; the list itself stays with its owner.
    void ReleaseUpdaterInfoList(QVector<_UpdaterInfo*>& list);
    // Drops the last offered patch when an updater package is offered as well.
    bool DeletePatchUpdate();
    // Drops internal-service modules of update mode 2.
    bool DeleteMoravelCloud();
    // True when something is offered and every offered module installs silently.
    bool isSilentUpdate();

    // ---- version comparison and update rules ----
    // 1 when a is newer than b, -1 when older, 0 when equal.
    int CompareVersion(QString a, QString b);
    // Empties list (without deleting what it held) and fills it from "UpdaterInfo.xml",
    // read only when it is a regular file, its first 8 MiB, and when it names itself
    // ("updater_info") before any NUL byte.
    void ParseUpdaterInfo(QVector<_UpdaterInfo*>& list);
    // True when the module needs no update here.
    bool CheckModuleAvailable(MODULEINFO* info, QVector<_UpdaterInfo*>& list);
    // False only for a newer updater package that applies to this platform.
    bool CheckUpdaterAvailable(MODULEINFO* info, bool flag);
    // True when the module's upgrade counts as forced.
    bool CheckForcedUpgradeVersion(MODULEINFO* info, QVector<_UpdaterInfo*>& list);

    // ---- reply parsing ----
    // Replaces the offered list with the modules of the reply file at path, which is
    // read only when it is a regular file of at most kMaxReplyBytes (CXmlInput).
    void OnPaserModuleInfo(QString path);
    // Fills info from the attributes of element; nothing when element is null.
    void ParseModuleInfo(CXML_Element* element, MODULEINFO* info);

    // ---- update request ----
    // Starts a query; bar (may be null) shows the reply's progress, bWait makes the call
    // return only after the transfer has ended. Returns 0 when the transfer started,
    // 1 when the reply file's directory cannot be made, 2 when the downloader refuses
    // the server address or cannot open the reply file, and 3 when an automatic check
    // may ask no server now (the chosen one waits, and the other is the same, waits too
    // or is weaker: "request server HOST asked to wait until TIME: no other server is
    // asked"). When it does not return 0 the
    // query has failed already: sQueryModuleInfoFinish follows from the event loop
    // (queued, so a receiver connected after the call sees it too).
    int QueryModuleInfo(QProgressBar* bar, bool bWait);
    // The request's path and query, to be appended to the server address.
    QString GetHttpURL(QString addon);
    // Language tag sent to the server: "zh-CN", "ja-JP" or "en-US".
    QString GetLocalLangName();

    // The largest reply that is read; a longer one is a failed query.
    static const qint64 kMaxReplyBytes = 8 * 1024 * 1024;

    // Whether the latest query got an answer that parsed. False while a query runs and
    // before the first one.
    bool isQuerySucceeded() const;
    // Whether the latest query failed because its reply did not pass the signature and
    // time checks (CReplyVerifier), as opposed to a failed transfer.
    bool isVerificationFailed() const;

    // The publisher keys replies must be signed with; by default those of CTrustedKeys.
    // required says that signatures are checked at all: when a key source is present
    // but gave no valid key, every reply is refused as a failed verification. Without
    // keys (the one-argument form with an empty list) no signature is checked.
    void setTrustedKeys(const QList<QByteArray>& keys);
    void setTrustedKeys(const QList<QByteArray>& keys, bool required);
    // The time the checks of a signed reply go by (seconds since the epoch). Tests fix
    // it here; by default it is the clock's at the time of the check.
    void setCurrentTime(std::optional<qint64> secondsSinceEpoch);

    // The request server for a clock offset from UTC in seconds: the China-region server
    // from UTC+8:00 up to (not including) UTC+9:00, the US-region server otherwise. Each
    // is the environment variable MORAVEL_UPDATE_SERVER_CN / MORAVEL_UPDATE_SERVER_US
    // when set and not empty, else the address the build was configured with.
    static QString RequestServerForUtcOffset(int offsetSeconds);
    // ---- what an automatic check offers and fetches ----
    // Whether this is an automatic check: the run parameter "updater" is not "Manual".
    bool isAutomaticCheck() const;
    // Whether a module of the offered list is critical: the question then says so and
    // offers no "Skip This Version".
    bool isCriticalUpdate() const;
    // The user's "Skip This Version": keeps the offered version of each offered module
    // (CSkippedVersions), which later automatic checks then do not offer again. False
    // when it could not be kept.
    bool skipOfferedVersions();
    // Whether the download sequence defers the package of info on this check: only an
    // automatic check, only a package over 1 MiB, never a critical module, while the
    // connection is metered or the system saves power (CConnectionPolicy, which logs).
    CConnectionPolicy::Deferral downloadDeferral(const MODULEINFO* info) const;
    // Drops the offered modules whose download is deferred (downloadDeferral).
    void deferLargeDownloads();

    // The clock's offset from UTC that QueryModuleInfo uses. Tests fix it here; by
    // default it is the local clock's offset at the time of the query.
    void setClockOffsetFromUtc(int offsetSeconds);
    void resetClockOffsetFromUtc();

signals:
    void sQueryModuleInfoFinish();

public slots:
    // The downloader has the whole reply: parse it and report.
    void slotQueryModuleInfoFinish(QString path);
    // The downloader gave up (no connection, HTTP error, short body, silence, stall).
    void slotQueryModuleInfoFailed(QString path);

public:
    QString m_strAddon;                       // request-list name ("Update List")
    QString m_strReplyFile;                   // path of the reply file; empty before the first query
    QString m_strReaderPath;                  // prefix of "UpdaterInfo.xml"; empty in this system
    QHttpDownLoadS* m_pDownloader;            // downloader of the latest query, owned
    bool m_bStop;                             // ends the reply loops early; never set by the updater
    int m_nLanguage;                          // QLocale::Language of the user's choice
    int m_nCountry;                           // QLocale::Country of the user's choice
    UpdaterApp* m_pApp;                       // the driver, not owned
    QVector<MODULEINFO*> m_vecUpdateModules;  // offered records, in reply order, owned
    QString m_strOldVersion;                  // last version read from "UpdaterInfo.xml"

private:
    // Ends the current query as failed from the event loop, unless another query has
    // started by then.
    void failQueryLater();
    // Makes the downloader of the query for address and starts it with the query's bar
    // and bWait: 0 when the transfer started, 2 when the address or the reply file was
    // refused.
    int startTransfer(const QString& address);
    // After a failed transfer: starts the second try at the other region's server when
    // the failure calls for one, the query has not made it yet and the other server's
    // scheme is at least as strong (after https only https). True when it started (the
    // query then reports from there, with bWait already has).
    bool askOtherServer();
    // Releases the downloader of an earlier query; deferred when called from inside one
    // of its signals.
    void dropDownloader();
    int currentClockOffsetFromUtc() const;
    // The phases of OnPaserModuleInfo, in their order; each false return ends it.
    // Reads the reply file's bytes; false (logged when it cannot be opened or is too
    // large) without a non-empty reply within kMaxReplyBytes.
    bool readReply(const QString& path, QByteArray* data);
    // For a signed reply: the signature (data becomes the signed bytes), then what the
    // root says (the request it answers, its times).
    bool verifySignature(QByteArray* data);
    bool verifySignedRoot(CXML_Element* root);
    // Parses data into reply; false without a root element or for a web page.
    bool parseReply(const QByteArray& data, CXmlInput* reply);
    // Appends the offered modules of root to the offered list; false (the list then
    // empty) when m_bStop ended the reading.
    bool collectOfferedModules(const CXML_Element* root);
    // The clean-ups of the offered list: DeletePatchUpdate, then DeleteMoravelCloud.
    void dropSupersededModules();
    // Whether a parsed record is offered, by the reply's own marks and the local rules.
    bool isOffered(const MODULEINFO* info, const QVector<_UpdaterInfo*>& installed, int express);
    // An automatic check's rules: true when the module waits for its rollout (or has a
    // malformed one) or its version was skipped; never for a critical module.
    bool isHeldBack(const MODULEINFO* info);
    // The time the checks go by: the one fixed by setCurrentTime, else the clock's.
    qint64 currentTime() const;
    // The end of the wait of the request server of address, when an automatic check
    // leaves it alone now; std::nullopt on a manual check.
    std::optional<qint64> waitingUntil(const QString& address) const;
    // After a 503 or 429: keeps the wait its Retry-After asks for (logged).
    void keepServerWait();
    // The request's product as the request names it ("product" of the run).
    QString requestProduct() const;
    // Whether the reply parsed into a root element; set by OnPaserModuleInfo.
    bool m_bReplyParsed;
    bool m_bQuerySucceeded;
    // Counts queries, so that a deferred failure report of an earlier one is dropped.
    quint64 m_nQueryGeneration;
    // Releases the downloaders; knows when the manager's slots run inside a
    // downloader's signal.
    CRetiredDownloaders<QHttpDownLoadS> m_retiredDownloaders;
    std::optional<int> m_clockOffsetOverride;
    std::optional<qint64> m_timeOverride;
    QList<QByteArray> m_listTrustedKeys;
    bool m_bKeysRequired;
    bool m_bVerificationFailed;
    // Whether the server asked last, the one whose reply is read, was asked over https.
    bool m_bReplyOverHttps;
    // The query's request address at the server asked now, and at the other region's
    // server while a second try may still be made (empty when not).
    QString m_strAskedAddress;
    QString m_strOtherAddress;
    QPointer<QProgressBar> m_pQueryBar;
    bool m_bQueryWait;
    // This installation's identifier for the rollouts of one reply, read when a phased
    // module first needs it (empty until then, and when none could be had).
    QByteArray m_installationId;
    bool m_bInstallationIdRead;
    // The versions the user skipped, by module name, for the reply being read.
    QHash<QString, QString> m_skippedVersions;
};

#endif // CREADERMODULEMANAGER_H
