#ifndef DLGDOWNLOAD_H
#define DLGDOWNLOAD_H

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

#include "cmoduledownload.h"
#include "cpackagestep.h"
#include "cretireddownloaders.h"
#include "moduleinfo.h"

class QHttpDownLoadS;
class QTimer;
class UpdaterApp;

namespace Ui {
class DlgDownload;
}

// The window in which the chosen updates are downloaded and installed, and the download
// sequence behind it.
//
// The sequence takes the modules one after another: it downloads each package into the
// download directory (a package already complete there is not fetched again; CModuleDownload
// keeps what each download has come to, its tries and its .part), shows the progress and
// the time remaining, and hands each complete package to the package step (CPackageStep),
// whose outcome it shows. A failed download or a package that cannot be installed is
// reported in a warning box and skipped. Cancel stops at once and keeps the .part. When
// the sequence runs past its last module the window closes and the run ends
// (UpdaterApp::endRun), also when nothing was ever shown.
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
    // Offers "Skip This Version" beside Cancel: pressed, it calls skip (which remembers
    // the offered versions) and ends the run as Cancel does. An empty function hides it.
    void setSkipVersion(std::function<void()> skip);

    // The package step's, for this run's sequence (CPackageStep).
    bool copyJSPlugin();
    void ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list);
    int installUpdates(QString arguments);
    static const int kInstallerLeftRunning = CPackageStep::kInstallerLeftRunning;

public slots:
    void downloadUpates(int work);
    void oneDownloadFinish(QString filePath);
    void errorfinish(QString filePath);
    void cancel();
    void continueDownload();

private:
    // A complete package of the module already on disk: the package step goes on with
    // it, the bar painted full, without a transfer. False when it is to be downloaded.
    bool takePackageOnDisk();
    // The transfer's signals for module work: its end, its failure and, for a package
    // with a sha256, the record written beside the .part.
    void connectTransfer(int work);
    // Starts the accepted transfer: a silent module's inside the call, any other with
    // the window shown.
    void startTransfer(bool silent);
    // A modal warning box with the title "Moravel Reader" and a single OK button.
    void showWarning(const QString& text);
    // One try at downloading module work.
    void fetchModule(int work);
    // The try ended complete: the package step, or the module fetched once more.
    void transferComplete(int work);
    // The try failed: the next try after its wait, or the failure.
    void transferFailed(int work);
    // The next try of module work after delay milliseconds.
    void retryLater(int work, int delay);
    // The module's delta is not used (why is logged): its full package is taken from disk
    // or downloaded now. False when the module has no delta.
    bool fallBackFromDelta(const QString& why);
    // Asks the user to close the reader and press "Install"; true when pressed.
    bool askInstall();
    // The package step cannot go on: tell the user, then the next module.
    void packageStepStopped();
    // "Skip This Version" pressed: the versions remembered, then as Cancel.
    void skipVersion();
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
    // Where the downloader of the previous module or try goes (CRetiredDownloaders): it
    // may still be delivering its signal further up the stack.
    CRetiredDownloaders<QHttpDownLoadS> m_retired;
    // The module in progress and what its download has come to.
    CModuleDownload m_module;
    CPackageStep m_step;
    std::function<void()> m_fnSkipVersion;
    // The wait before the next try of a module shown in the window.
    QTimer* m_pRetryTimer;
};

#endif // DLGDOWNLOAD_H
