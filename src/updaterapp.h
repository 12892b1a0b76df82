#ifndef UPDATERAPP_H
#define UPDATERAPP_H

#include <QObject>
#include <QPoint>
#include <QString>

class CSetup_CommandLine;
class CReaderModuleManager;
class CSignalStop;
class CWorkingFolder;
class DlgDownload;
class DlgUpdateChecking;
class UpdateListener;
class QWidget;

// Owner of one update run: reads and parses the run's parameters, starts the update
// listener, checks for updates and decides what the user sees. Also owns the rule that
// places every dialog on the centre of the reader's main window.
class UpdaterApp : public QObject
{
    Q_OBJECT

public:
    explicit UpdaterApp(QObject* parent);
    ~UpdaterApp() override;

    // One run with the language choice of start-up (QLocale values).
    void runUpdate(int language, int country);
    // The check and the decision; called by runUpdate.
    void runUpdateVisible(int language, int country);

    // Runs the event loop for a run that is still going on and returns its result; a
    // run that has ended (m_bQuit) returns 0 at once. Start-up calls this after runUpdate.
    int exec();
    // The run has nothing left to do: sets m_bQuit and, when exec() is running, ends its
    // loop with 0. The download window calls this when its sequence is over, whether or
    // not it was ever shown.
    void endRun();

    // The point dialogs are centred on: the centre of the reader's main window as the
    // reader stored it, or the centre of the screen's available area.
    static QPoint GetMainAppCenterPos();
    // Moves dialog so that its centre lies on GetMainAppCenterPos(). Every dialog calls
    // this just before it is shown.
    static void PlaceDialog(QWidget* dialog);

    // The run parameter key ("corvinapath", "version", ...), null when absent.
    QString runParameter(const QString& key) const;
    // The version the reader came from (the module manager's), empty before a check.
    QString oldReaderVersion() const;

    // The parsed parameters of the run.
    CSetup_CommandLine* m_pCommandLine;
    // The module manager of the run, created when the update check starts.
    CReaderModuleManager* m_pModuleManager;
    // Reader version handed to the module manager; empty.
    QString m_strReaderVersion;
    // The download window, created hidden with its class.
    DlgDownload* m_pDlgDownload;
    // Answers on 127.0.0.1:8999 while the updater runs.
    UpdateListener* m_pListener;
    // Set when the run has ended: start-up then returns 0 without an event loop.
    bool m_bQuit;

public slots:
    // A stop signal (CSignalStop) ends the run as the download window's Cancel does.
    void stopBySignal();

private:
    // Takes the run's working folder and clears what earlier runs left in it; false
    // (the user of a manual check told why) when this run must end untouched.
    bool takeWorkingFolder(bool manual);
    // Runs the checking dialog with the query until it closes.
    void runChecking(DlgUpdateChecking* checking);
    // After an answered query: tells, asks, and hands the offered modules to the
    // download window.
    void offerUpdates(bool manual);
    // A message with only an OK button, placed like every dialog, run modally.
    static void showMessage(const QString& text);

    CSignalStop* m_pSignalStop;
    // The run's working folder and its lock, taken when the check starts and held to
    // the end of the run.
    CWorkingFolder* m_pWorkingFolder;
    // Whether exec() is running its loop.
    bool m_bInEventLoop;
};

#endif // UPDATERAPP_H
