#ifndef CMODULEDOWNLOAD_H
#define CMODULEDOWNLOAD_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

struct MODULEDELTA;
struct MODULEINFO;
class QHttpDownLoadS;

// One module of the download sequence and what its download has come to: the record it
// comes from, the file its package goes to, the try under way, whether that try
// continued a ".part" or the package was found complete on disk, whether it is being
// fetched once more from byte 0, and the verdict on the package's sha256.
//
// A package is downloaded to NAME.part and becomes NAME only when complete and, when the
// reply names one, of its sha256. A try that fails by the network keeps NAME.part (with
// its record, PartialPackage) and is followed by another, up to kMaxTries, after 2, 4
// and 8 seconds (setDefaultRetryDelay shortens the first, the others double it), each
// continuing the .part, as does the next run. Only a package with a sha256 is ever
// continued; one whose continued file does not match it is fetched once more from 0.
//
// A module that lists a delta from the content kept of the release installed before
// (CBaseStore) downloads that delta instead of its package, under the same rules (the
// delta's own address, size and sha256); the package step rebuilds the package's content
// from the two. Whatever goes wrong with a delta, the module falls back to its full
// package in the same run, once (useFullPackage).
class CModuleDownload
{
public:
    explicit CModuleDownload(const MODULEINFO* info = nullptr);

    const MODULEINFO* info() const { return m_pInfo; }
    // The delta being downloaded instead of the package; null when none.
    const MODULEDELTA* delta() const;
    // The base the delta applies to (CBaseStore's path); empty without a delta.
    QString basePath() const { return m_strBasePath; }
    // Chooses the delta from the module's kept base, when the reply lists one (logged
    // either way); once per module.
    void chooseDelta();
    // The delta is not used ("delta for NAME not used: why" is logged): from now on the
    // module's full package is downloaded.
    void useFullPackage(const QString& why);
    // What is downloaded: the delta's, else the package's address, size and sha256.
    QString url() const;
    QString sha256() const;
    // The package's (or delta's) file in the download directory (CWorkingFolder::packageFile); empty
    // when there is no working folder or the address names no file it may hold.
    QString packageFile() const { return m_strFile; }
    // The size the module declares (declaredSize of its size text).
    qint64 expectedSize() const;
    bool fromDisk() const { return m_bFromDisk; }
    bool continued() const { return m_bContinued; }
    int tryNumber() const { return m_nTry; }

    // Whether the file is the package the reply names: its SHA-256 is the reply's (a
    // reply without one vouches for nothing and passes). The one place a package's hash
    // is checked; a file that passes is logged "package verified: NAME" and the verdict
    // is kept, so the package step does not check it again.
    bool matchesHash(const QString& path);
    // Whether the verdict on the package file is in and good.
    bool hashChecked() const { return m_bHashChecked; }

    // A complete package of the module already in the download directory: a plain file
    // (no link) of the declared size (a size of 0 never counts) and, when the reply names
    // one, of its sha256. The package step then goes on with it, without a transfer.
    bool findOnDisk();
    // The package found on disk did not unpack: it is fetched like any other.
    void forgetDisk() { m_bFromDisk = false; }

    // Prepares the next try: whatever stands under NAME goes, and the bytes of NAME.part
    // that may be continued are returned (0: from the start; logged when above 0).
    qint64 prepareTry();
    // Sets the try's downloader up: the validator of the .part, the body limit of the
    // declared size, the address and NAME.part. False when the transfer is refused.
    bool setUpTry(QHttpDownLoadS* downloader) const;
    // Writes the record beside NAME.part for what the downloader has accepted (a package
    // with a sha256 only), so that a run killed hard leaves a .part the next can continue.
    void keepRecord(const QHttpDownLoadS* downloader) const;

    enum Completion {
        Complete,   // NAME is the package, checked
        FetchAgain, // a continued file failed its sha256: fetched once more from byte 0
        Refused     // the file is not the package (or cannot be put in place): gone
    };
    // The try's transfer ended complete: the sha256 check, then NAME.part becomes NAME.
    Completion completeTry();
    // The try failed: NAME.part is kept (what the network broke off) or removed. The
    // wait in milliseconds before the next try, or -1 when none follows (no try left,
    // or a failure another try cannot mend); logged "retrying NAME in S s (try N of M)".
    int failTry(const QHttpDownLoadS* downloader);
    // Removes what a failed transfer left at path when that is the package's file: it is
    // no package, and a later run must not take it for one.
    void removeFailedFile(const QString& path) const;
    // The transfer was cancelled: what it received stays for the next run.
    void keepForNextRun(const QHttpDownLoadS* downloader) const;

    // The package size a module declares: the decimal number before the first "B" of
    // its size text ("1048576B", "1048576 Bytes"), in 64 bits. 0 (not declared) when
    // that is no number, negative, or above kMaxDeclaredSize.
    static qint64 declaredSize(const QString& sizeText);
    static const qint64 kMaxDeclaredSize = qint64(1) << 53;

    // The wait before the second try of a failed download in milliseconds (2000); the
    // waits before the third and fourth are twice and four times as long.
    static void setDefaultRetryDelay(int msec);
    static int defaultRetryDelay();
    // Tries of one download: the first and three more.
    static const int kMaxTries = 4;

private:
    void setFile();

    const MODULEINFO* m_pInfo;
    int m_nDelta = -1;
    QString m_strBasePath;
    QString m_strFile;
    int m_nTry = 1;
    bool m_bFromDisk = false;
    bool m_bContinued = false;
    bool m_bRefetched = false;
    bool m_bHashChecked = false;
    // The validator and whole size the record of the .part being continued names.
    QByteArray m_resumeValidator;
    qint64 m_nResumeTotal = 0;
};

#endif // CMODULEDOWNLOAD_H
