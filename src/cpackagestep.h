#ifndef CPACKAGESTEP_H
#define CPACKAGESTEP_H

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

class CModuleDownload;

// One entry of a package's "Setup.xml". Allocated with new by ParseSetupInfo; the list
// that receives it owns it.
struct _SetupInfo
{
    QString strFilePath;    // unpack directory + the entry's "name"; empty for a non-"file" entry
    QString strParameter;   // the entry's "parameter"
    bool bIsCommon = false; // "iscommon" is "true" in any letter case
};

// What becomes of a package once it is complete on disk: the hash gate (once per
// package), JavaScript plug-ins kept for the end of the sequence, the unpack folder
// emptied, the package unpacked and its Setup.xml read, the question to close the reader
// and press "Install" (asked through the prompt callback), and the package's own
// installer, started from an "installer-<n>" folder of its own, or the reader's
// installUpdate and countinstalltion programs. No window: the caller shows what the
// outcome asks for.
class CPackageStep
{
public:
    enum Outcome {
        Done,        // installed, or the user did not press "Install", or a plug-in kept
        Stopped,     // cannot go on (file, hash, unpack folder, installer folder): tell the user
        Rejected,    // the package did not unpack: it is deleted
        Interrupted, // a stop signal came: nothing more is done
        DeltaFailed  // the delta did not rebuild the content (deltaFailure() says why): deleted
    };

    CPackageStep();

    // Asks the user to close the reader and press "Install"; true when pressed.
    void setInstallPrompt(std::function<bool()> prompt) { m_fnPrompt = std::move(prompt); }
    // The reader's folder ("corvinapath"), the version the reader is at and the version
    // it came from, for its countinstalltion program.
    void setReader(const QString& corvinaPath, const QString& version, const QString& oldVersion);

    // The step for the package at filePath that module downloaded (null: no record). When
    // the module downloaded a delta, the content is rebuilt from its base and the delta
    // (CDeltaApplier), and must be the module's content-sha256 before anything of it is
    // used. Once an installer has been started, the content becomes the module's base
    // (CBaseStore) for the next release's delta.
    Outcome run(const QString& filePath, CModuleDownload* module);
    // Why the last delta did not rebuild the content (one line, for the log).
    QString deltaFailure() const { return m_strDeltaFailure; }

    // Copies the JavaScript plug-ins kept so far into the reader's JavaScript folder,
    // each replacing a plug-in of the same name in one step, and removes each download
    // once it is copied. True when every one was copied.
    bool copyJSPlugin();
    bool hasJSPlugins() const { return !m_listJSDownloads.isEmpty(); }
    void forgetJSPlugins() { m_listJSDownloads.clear(); }

    // Empties list (without deleting what it held) and fills it from dir + "Setup.xml",
    // read only when it is a regular file of at most kMaxSetupXmlBytes (CXmlInput).
    static void ParseSetupInfo(QString dir, QVector<_SetupInfo*>& list);
    static const qint64 kMaxSetupXmlBytes = 8 * 1024 * 1024;

    // Runs the reader's installUpdate program with the arguments and waits for it.
    // Its exit status; -2 when it cannot start (or its folder cannot be locked), -1
    // when it crashed, 0 when it is missing; kInstallerLeftRunning when a stop signal
    // ended the wait (the program runs on).
    static int installUpdates(QString arguments);
    static const int kInstallerLeftRunning = -3;

    // The folder the reader picks JavaScript plug-ins up from.
    static QString javaScriptFolder();

private:
    bool keepJavaScriptPlugin(const QString& filePath);
    // Unpacks (or rebuilds from a delta) into a freshly emptied unpack folder and reads
    // Setup.xml.
    Outcome unpack(const QString& filePath, const QString& unpackDir, const CModuleDownload* module);
    Outcome rebuild(const QString& deltaPath, const QString& unpackDir, const CModuleDownload* module);
    // The content unpacked becomes the module's base; a new kept base not used goes.
    void keepBase(const CModuleDownload* module, bool installed);
    // Runs the unpacked package's installer, or the reader's installUpdate program;
    // false when the installer's folder cannot be had. *started: an installer was
    // started (and did not fail to start).
    bool installPackage(const QString& unpackDir, bool* started);
    void countInstallation() const;

    std::function<bool()> m_fnPrompt;
    QString m_strCorvinaPath;
    QString m_strVersion;
    QString m_strOldVersion;
    // JavaScript plug-ins this run's sequence has complete in the download directory.
    QStringList m_listJSDownloads;
    // The content the package step unpacked: its digest (hex), and the file that holds
    // it (the package, or the kept base a delta made).
    QString m_strContent;
    QString m_strContentFile;
    bool m_bContentFromDelta = false;
    QString m_strDeltaFailure;
    // Number of the last "installer-<n>" folder made in this run.
    int m_nInstallerFolder = 0;
};

#endif // CPACKAGESTEP_H
