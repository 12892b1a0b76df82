#ifndef MODULEINFO_H
#define MODULEINFO_H

#include <QString>
#include <QVector>
#include <QtGlobal>

// One delta a module lists: the package rebuilt from the content the user kept of an
// earlier release (a base) and this small file.
struct MODULEDELTA
{
    QString strFrom;   // "from": the content digest of the base it applies to
    QString strUrl;    // "url": address of the delta
    QString strSize;   // "size": its size as text
    QString strSha256; // "sha256": its SHA-256
};

// One module of the update server's reply. Records are created with new by the module
// manager, which owns them; every other list of records holds copies of the pointers.
// Texts start empty, flags false and the update mode 0, however the record is allocated.
struct MODULEINFO
{
    QString strAddon;                 // request-list name the record was made for
    QString strName;                  // "name"
    QString strVersion;               // "version": version offered by the server
    QString strDescription;           // "description": shown by the download window
    QString strSize;                  // "size": package size as text
    QString strUrl;                   // "url": address of the package
    QString strLevel;                 // "level"
    QString strRegkey;                // "regkey"
    bool bResult = false;             // "result": the server says this module has an update
    QString strModuleType;            // "module_type": "updater" marks the updater itself
    QString strParent;                // "parent"
    QString strTitle;                 // "title"
    bool bPlugin = false;             // "plugin"
    bool bIsNew = false;              // "isnew"
    bool bIsCommon = false;           // "iscommon": shared component
    int nUpdateMode = 0;              // "update_mode", set only when present
    QString strInternalService;       // "isInternalService": "TRUE..." marks an internal service
    QString strTandrelStandard;       // "TRUE" when "TandrelStandard" was present
    QString strTandrelStandardValue;  // value of "TandrelStandard"
    bool bForcedUpgrade = false;      // "forcedUpgrade"
    bool bSilentInstall = false;      // "SilentInstall": downloaded without the download window
    QString strSha256;                // "sha256": the package's SHA-256 (64 lowercase hex digits);
                                      // empty when the reply has none (or, unsigned, a malformed one)

    // The publisher's phased rollout (CRolloutPolicy): "rollout-start", a UTC time
    // written YYYY-MM-DDTHH:MM:SSZ, and "rollout-days", a positive number. Both given and
    // well-formed: phased; neither: not phased; anything else: malformed, which holds
    // the module back from automatic checks (never from manual ones).
    enum Rollout { RolloutNone, RolloutPhased, RolloutMalformed };
    QString strRolloutStart;          // "rollout-start" as written
    QString strRolloutDays;           // "rollout-days" as written
    Rollout eRollout = RolloutNone;
    qint64 nRolloutStart = 0;         // seconds since the epoch, when phased
    double dRolloutDays = 0;          // above 0, when phased
    bool bCritical = false;           // "critical": "true" in any case; automatic checks offer
                                      // it whatever the rollout, a skip or the connection

    // "content-sha256": the digest of the content the package unpacks to (CContentDigest),
    // which every one of the module's deltas rebuilds; and its "delta" children. Deltas
    // are kept only when they, the package and the content all carry well-formed hashes.
    QString strContentSha256;
    QVector<MODULEDELTA> vecDeltas;
};

#endif // MODULEINFO_H
