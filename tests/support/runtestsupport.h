// Helpers for the tests of the download window, the package step and the update
// decision: a reader installation written into the test's own folders, packages built
// with mkpackage, server replies, the installers' marker files, the log, and a driver
// that answers the modal dialogs the way a user would, recording what each one said.
#ifndef RUNTESTSUPPORT_H
#define RUNTESTSUPPORT_H

#include "testhttpserver.h"
#include "testutil.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QVector>

#include <functional>

namespace RunTest {

using namespace TestUtil;

// Installers run detached and may finish after their test: each test function (and
// each of its data rows) has a marker file of its own, below root()/markers.
inline QString markerPath()
{
    return root() + QStringLiteral("/markers/") + QString::fromLatin1(QTest::currentTestFunction())
           + QString::fromLatin1(QTest::currentDataTag() ? QTest::currentDataTag() : "") + QStringLiteral(".marker");
}

// The lines of a marker file that installers append their names to.
inline QStringList markerLines(const QString& marker = markerPath())
{
    return readLines(marker);
}

// Counts how often a widget is shown.
class ShowCounter : public QObject
{
public:
    explicit ShowCounter(QWidget* widget) { widget->installEventFilter(this); }
    int shows = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            ++shows;
        return false;
    }
};

// The reader's settings store, written the way the reader writes it.
inline void writeSettings(const QList<QPair<QString, QVariant>>& values)
{
    QSettings settings(QStringLiteral("Moravel Software"), QStringLiteral("Moravel Reader"));
    settings.clear();
    for (const auto& value : values)
        settings.setValue(value.first, value.second);
    settings.sync();
}

inline QString downloadDir()
{
    return QDir::tempPath() + QStringLiteral("/MoravelCorvina/");
}

inline QString unpackDir()
{
    return QDir::tempPath() + QStringLiteral("/MoravelCorvina/uncompress/");
}

// A reader installation with an installUpdate program and, in a folder of its own
// ("corvinapath"), the countinstalltion program. Both append one line to their logs:
// the number of arguments and each argument in brackets. The directories contain
// blanks on purpose.
struct ReaderInstall
{
    QString readerDir;
    QString corvinaDir;
    QString installLog;
    QString countLog;

    static ReaderInstall create(int installExitCode = 0)
    {
        ReaderInstall install;
        install.readerDir = root() + QStringLiteral("/Moravel Reader");
        install.corvinaDir = root() + QStringLiteral("/corvina tools");
        install.installLog = root() + QStringLiteral("/installUpdate.log");
        install.countLog = root() + QStringLiteral("/countinstalltion.log");
        const QByteArray logLine = "printf '%s' \"$#\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo";
        writeFile(install.readerDir + QStringLiteral("/installUpdate"),
                  "#!/bin/sh\n{ " + logLine + "; } >> '" + install.installLog.toUtf8() + "'\nexit "
                      + QByteArray::number(installExitCode) + "\n",
                  true);
        writeFile(install.corvinaDir + QStringLiteral("/countinstalltion"),
                  "#!/bin/sh\n{ " + logLine + "; } >> '" + install.countLog.toUtf8() + "'\n", true);
        return install;
    }

    QStringList installRuns() const { return readLines(installLog); }
    QStringList countRuns() const { return readLines(countLog); }
};

// A package directory tree on disk, turned into a package by mkpackage.
struct PackageTree
{
    QList<QPair<QString, QByteArray>> files;   // relative path (with "/"), contents

    PackageTree& file(const QString& path, const QByteArray& contents)
    {
        files.append(qMakePair(path, contents));
        return *this;
    }
    // A "*.run" installer that appends its own name to the marker file when started.
    PackageTree& installer(const QString& name, const QString& marker)
    {
        return file(name, "#!/bin/sh\necho \"$(basename \"$0\")\" >> '" + marker.toUtf8() + "'\n");
    }
};

// Builds the package with mkpackage; empty on failure (the reason is in *error).
inline QByteArray buildPackage(const PackageTree& package, QString* error = nullptr)
{
    static int counter = 0;
    const QString base = root() + QStringLiteral("/packages/%1").arg(++counter);
    const QString tree = base + QStringLiteral("/tree");
    QDir().mkpath(tree);
    for (const auto& entry : package.files) {
        if (!writeFile(tree + QLatin1Char('/') + entry.first, entry.second)) {
            if (error)
                *error = QStringLiteral("cannot write ") + entry.first;
            return QByteArray();
        }
    }
    const QString output = base + QStringLiteral("/package.bin");
    QByteArray standardError;
    if (TestUtil::runMkpackage(QStringList() << tree << output, &standardError) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(standardError);
        return QByteArray();
    }
    return readFile(output);
}

// A package whose Setup.xml names one file, data, beside an installer of the given
// name that appends its name to the marker when started.
inline QByteArray installerPackage(const QString& installer, const QString& marker, const QByteArray& data)
{
    return buildPackage(PackageTree()
                            .file(QStringLiteral("Setup.xml"), "<setup><file name=\"data\"/></setup>")
                            .file(QStringLiteral("data"), data)
                            .installer(installer, marker));
}

// One module of a server reply.
struct Module
{
    QString name;
    QString version;
    QString url;
    QString size;
    QString description;
    bool silent = false;
    QString sha256;     // written when not empty (signed replies)
};

// The reply; rootAttributes (already written as XML, e.g. issued="..." expires="...")
// go on the root after majorUpdate.
inline QByteArray replyXml(const QList<Module>& modules, const QByteArray& rootAttributes = QByteArray())
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<addons majorUpdate=\"true\"";
    if (!rootAttributes.isEmpty())
        xml += " " + rootAttributes;
    xml += ">\n";
    for (const Module& module : modules) {
        xml += "  <addon name=\"" + module.name.toUtf8() + "\" version=\"" + module.version.toUtf8() + "\" url=\""
               + module.url.toUtf8() + "\" size=\"" + module.size.toUtf8() + "\" description=\""
               + module.description.toUtf8() + "\" result=\"true\"";
        if (module.silent)
            xml += " SilentInstall=\"TRUE\"";
        if (!module.sha256.isEmpty())
            xml += " sha256=\"" + module.sha256.toUtf8() + "\"";
        xml += "/>\n";
    }
    xml += "</addons>\n";
    return xml;
}

// Where the module manager sends its request when the server address is
// server.url(kServerScript).
const QString kServerScript = QStringLiteral("/addons/get_addons.php");
const QString kRequestPath = QStringLiteral("/addons/get_addons.php/get_addons.php");

inline void pointUpdaterAt(const TestHttpServer& server)
{
    const QByteArray address = server.url(kServerScript).toString().toUtf8();
    qputenv("MORAVEL_UPDATE_SERVER_US", address);
    qputenv("MORAVEL_UPDATE_SERVER_CN", address);
}

// How many package downloads (requests below /pkg/) the server has had.
inline int packageRequests(const TestHttpServer& server)
{
    int count = 0;
    for (const TestHttpServer::Request& request : server.requests())
        count += request.path().startsWith("/pkg/") ? 1 : 0;
    return count;
}

// Answers modal dialogs as a user would. Each dialog that comes up is recorded; the
// message dialog, the warning box and the installer prompt are answered with the next
// answer of the queue (Close when the queue is empty, so an unexpected dialog fails
// the test instead of hanging it). The checking dialog closes on its own and is
// answered only with answerChecking().
class DialogDriver : public QObject
{
public:
    enum Answer { Ok, Cancel, Close };

    struct Seen
    {
        QString kind;        // "DlgMessage", "QMessageBox" or "DlgUpdateChecking"
        QString text;        // the message
        QString title;       // the window title
        QString okText;      // the OK button's text as shown (DlgMessage), without the "&"
        bool cancelVisible = false;
        QPoint pos;
        QSize size;
        bool windowVisible = false; // whether the download window was visible meanwhile
    };

    explicit DialogDriver(QObject* parent = nullptr)
        : QObject(parent)
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    void answer(Answer a) { m_answers.append(a); }
    void answerChecking(Answer a) { m_checkingAnswer = a; m_answerChecking = true; }
    // Watches this window's visibility while dialogs are up.
    void watchWindow(QWidget* window) { m_window = window; }
    // Called for every dialog, before it is answered.
    std::function<void()> onDialog;

    QList<Seen> seen;
    int unexpected = 0;

    QStringList texts() const
    {
        QStringList list;
        for (const Seen& s : seen)
            list << s.text;
        return list;
    }

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == m_handled)
            return;
        const QString kind = QString::fromLatin1(modal->metaObject()->className());
        if (kind == QLatin1String("DlgUpdateChecking")) {
            if (!m_answerChecking)
                return;
            m_handled = modal;
            m_answerChecking = false;
            record(modal, kind);
            if (m_checkingAnswer == Cancel)
                modal->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
            else
                modal->close();
            return;
        }
        m_handled = modal;
        record(modal, kind);
        Answer a = Close;
        if (!m_answers.isEmpty())
            a = m_answers.takeFirst();
        else
            ++unexpected;

        if (a == Close) {
            modal->close();
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            QAbstractButton* button = box->button(a == Ok ? QMessageBox::Ok : QMessageBox::Cancel);
            if (button)
                button->click();
            else
                box->close();
            return;
        }
        const QString name = a == Ok ? QStringLiteral("pushButton_ok") : QStringLiteral("pushButton_cancel");
        if (auto* button = modal->findChild<QPushButton*>(name))
            button->click();
        else
            modal->close();
    }

    // "&OK" shows "OK": the letter after "&" is the mnemonic.
    static QString shownText(const QAbstractButton* button)
    {
        return button->text().replace(QRegularExpression(QStringLiteral("&(.)")), QStringLiteral("\\1"));
    }

    void record(QWidget* modal, const QString& kind)
    {
        if (onDialog)
            onDialog();
        Seen s;
        s.kind = kind;
        s.title = modal->windowTitle();
        s.pos = modal->pos();
        s.size = modal->size();
        s.windowVisible = m_window && m_window->isVisible();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            s.text = box->text();
            s.okText = box->button(QMessageBox::Ok) ? shownText(box->button(QMessageBox::Ok)) : QString();
        } else if (auto* label = modal->findChild<QLabel*>(QStringLiteral("label"))) {
            s.text = label->text();
        }
        if (auto* ok = modal->findChild<QPushButton*>(QStringLiteral("pushButton_ok")))
            s.okText = shownText(ok);
        if (auto* cancel = modal->findChild<QPushButton*>(QStringLiteral("pushButton_cancel")))
            s.cancelVisible = cancel->isVisible();
        seen.append(s);
    }

    QTimer m_timer;
    QList<Answer> m_answers;
    QPointer<QWidget> m_handled;
    QPointer<QWidget> m_window;
    bool m_answerChecking = false;
    Answer m_checkingAnswer = Cancel;
};

const QString kUpToDate = QStringLiteral("Moravel Reader is already up to date.");
const QString kNoConnection = QStringLiteral("Cannot establish connection to the Server, Check your network.");
const QString kDownloadFailed = QStringLiteral("Could not connect to the server. Please check your network connection.");
const QString kNotInstalled = QStringLiteral("The update package could not be installed.");
const QString kInstallPrompt = QStringLiteral(
    "Download completed. Please close Moravel Reader when you complete your job, and click \"Install\".");

} // namespace RunTest

#endif // RUNTESTSUPPORT_H
