#ifndef DLGDOWNLOAD_H
#define DLGDOWNLOAD_H

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include "moduleinfo.h"

class QHttpDownLoadS;
class QTimer;
class UpdaterApp;

namespace Ui {
class DlgDownload;
}

// One entry of a package's "Setup.xml". Allocated with new by ParseSetupInfo; the list
// that receives it owns it.
struct _SetupInfo
{
    QString strFilePath;    // unpack directory + the entry's "name"; empty for a non-"file" entry
    QString strParameter;   // the entry's "parameter"
    bool bIsCommon = false; // "iscommon" is "true" in any letter case
};

// The window in which the chosen updates are downloaded and installed, and the object
// that runs the download sequence and the installation of each package.
//
// The sequence takes the modules one after another: it downloads each package into the
// download directory (a package already complete there is not fetched again), unpacks
// it, asks the user to close the reader and press "Install", and runs the package's
// installer or the reader's installUpdate program. A failed download or a package that
// cannot be installed is reported in a warning box and skipped.
//
// A package is downloaded to NAME.part and becomes NAME only when complete and, when the
// reply names one, of its sha256. A transfer that fails by the network keeps NAME.part
// (with a record of what it is, see PartialPackage) and is tried again up to three times,
// after 2, 4 and 8 seconds (setDefaultRetryDelay shortens the first, the others double
// it), each try continuing the .part, as does the next run. Only a package with a sha256
// is ever continued; one whose continued file does not match it is downloaded once more
// from byte 0. Cancel stops at once and keeps the .part. When the sequence runs
// past its last module the window closes and the run ends (UpdaterApp::endRun), also
// when nothing was ever shown.
class DlgDownload : public QMainWindow
{
    Q_OBJECT

public:
    DlgDownload(UpdaterApp* app, QWidget* parent);
    ~DlgDownload() override;

    // Takes a copy of the list; the records stay the module manager's.
    void setSelectUpdates(QVector<MODULEINFO*> list);
    // Starts the sequence with the first module; with an empty list the run ends at once.
    void startShowDownload();

    // Copies the JavaScript plug-ins this run's sequence downloaded into the reader's
    // JavaScript folder, each replacing a plug-in of the same name in one step, and
    // removes each download once it is copied. True when every one was copied.
    bool copyJSPlugin();
    // Empties list (without deleting what it held) and fills it from dir + "Setup.xml",
    // read only when it is a regular file of at most kMaxSetupXmlBytes (CXmlInput).
    void ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list);
    // Runs the reader's installUpdate program with the arguments and waits for it.
    // Its exit status; -2 when it cannot start (or its folder cannot be locked), -1
    // when it crashed, 0 when it is missing; kInstallerLeftRunning when a stop signal
    // ended the wait (the program runs on).
    int installUpdates(QString arguments);
    static const int kInstallerLeftRunning = -3;

    // The package size a module declares: the decimal number before the first "B" of
    // its size text ("1048576B", "1048576 Bytes"), in 64 bits. 0 (not declared) when
    // that is no number, negative, or above kMaxDeclaredSize.
    static qint64 declaredSize(const QString& sizeText);
    static const qint64 kMaxDeclaredSize = qint64(1) << 53;

    // The working folder (Comm::workingDir) with a trailing "/": where packages are
    // downloaded to. Empty when no private working folder can be had.
    static QString downloadDirectory();
    // The working folder + "/uncompress/", where a package is unpacked; empty as above.
    static QString unpackDirectory();
    // Removes the folders "installer-<n>" of the working folder, in which the "*.run"
    // installers of an earlier run were started, but for those an installer still
    // holds (CInstallerLock).
    static void removeInstallerFolders();
    // A Setup.xml larger than this is not read; the package step rejects its package.
    static const qint64 kMaxSetupXmlBytes = 8 * 1024 * 1024;
    // The folder the reader picks JavaScript plug-ins up from.
    static QString javaScriptFolder();

    // The wait before the second try of a failed download in milliseconds (2000); the
    // waits before the third and fourth are twice and four times as long.
    static void setDefaultRetryDelay(int msec);
    static int defaultRetryDelay();
    // Tries of one download: the first and three more.
    static const int kMaxTries = 4;

public slots:
    void downloadUpates(int work);
    void oneDownloadFinish(QString filePath);
    void errorfinish(QString filePath);
    void cancel();
    void continueDownload();

private:
    // A complete package of the module already in directory (its size, and its sha256
    // where the reply names one): the package step goes on with it, without a transfer.
    // False when there is none and the module is to be downloaded.
    bool takePackageOnDisk(const MODULEINFO* info, const QString& directory);
    // The transfer's signals for module work: its end, its failure and, for a package
    // with a sha256 at localPath, the record written beside the .part.
    void connectTransfer(int work, const QString& localPath);
    // Starts the accepted transfer: a silent module's inside the call, any other with
    // the window shown.
    void startTransfer(bool silent, const QString& localPath);
    // Releases the downloader of the previous module. It may still be delivering its
    // signal, or be inside its waiting start, further up the stack: it is released
    // from the event loop, or by the destructor at the latest.
    void retireDownloader();
    // A modal warning box with the title "Moravel Reader" and a single OK button.
    void showWarning(const QString& text);
    // One try at downloading module work to NAME.part: continued where it may be,
    // afresh otherwise (whatever lies on disk under NAME goes).
    void fetchModule(int work);
    // The try ended complete: the sha256 check, NAME put in place, the package step.
    void transferComplete(int work);
    // The try failed: the .part kept or removed, and the next try after its wait or,
    // when no try is left (or the failure is not one another try may mend), the failure.
    void transferFailed(int work);
    // The phases of the package step (oneDownloadFinish) that use the window's state.
    // Whether the file has the SHA-256 the reply names (passes without one, and for a
    // file found on disk); a file that has not is deleted (logged).
    bool packageMatchesHash(const QString& filePath);
    // Whether the file is a JavaScript plug-in; it is then kept for copyJSPlugin.
    bool keepJavaScriptPlugin(const QString& filePath);
    // Asks the user to close the reader and press "Install"; installs when pressed.
    void promptAndInstall(const QString& unpackDir);
    // The package step cannot go on: tell the user, then the next module.
    void packageStepStopped();
    // A package that failed its check or its unpacking: it is deleted; one found
    // complete on disk is downloaded again at once (once), otherwise the step stops.
    void packageRejected(const QString& filePath);
    // Runs the unpacked package's installer, or the reader's installUpdate program.
    void installPackage(const QString& unpackDir);
    // Moves the unpacked folder to a new "installer-<n>" folder of the working folder,
    // so that the next package's step cannot empty it under a running installer.
    // The new folder (without trailing "/"), or empty when it cannot be moved.
    QString keepForInstaller(const QString& unpackDir);
    // The sequence is over: close the window and end the run.
    void endSequence();

    Ui::DlgDownload* ui;

public:
    QVector<MODULEINFO*> m_vecSelectUpdates;
    QHttpDownLoadS* m_pHttpDownload;
    qint64 m_nDownloadedBytes;
    UpdaterApp* m_pApp;
    int m_nDownloadIndex;

private:
    QVector<QPointer<QHttpDownLoadS>> m_vecRetired;
    // JavaScript plug-ins this run's sequence has complete in the download directory.
    QStringList m_listJSDownloads;
    // The module in progress was found complete on disk (not downloaded this time).
    bool m_bFromDisk;
    // The module in progress: its try (1..kMaxTries), whether the try continued a .part,
    // whether it is being fetched once more from 0 after a continued file failed its
    // sha256, and whether the downloaded file has passed that check already.
    int m_nTry;
    bool m_bContinued;
    bool m_bRefetched;
    bool m_bHashChecked;
    // The wait before the next try of a module shown in the window.
    QTimer* m_pRetryTimer;
    // Number of the last "installer-<n>" folder made in this run.
    int m_nInstallerFolder;
};

#endif // DLGDOWNLOAD_H
