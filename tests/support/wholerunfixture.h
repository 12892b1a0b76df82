// What the tests of whole runs of the updater share: the in-process update server, the
// runner of the real program, the reader's installation and the installers' marker.
// A test class derives from it, calls setUpCase() in its initTestCase() and setUpRun()
// in its init().
#ifndef WHOLERUNFIXTURE_H
#define WHOLERUNFIXTURE_H

#include "exerun.h"

#include <QObject>
#include <QtTest>

class WholeRunFixture : public QObject
{
protected:
    TestHttpServer m_server;
    ExeRun::Runner m_runner;
    ExeRun::ReaderInstall m_reader;
    QString m_marker;   // each installer of the packages below appends its name here

    static QString working() { return QDir::tempPath() + QStringLiteral("/MoravelCorvina"); }
    // The reader's data folder, which holds the plug-in folder.
    static QString readerData() { return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Moravel Software"); }
    static QString pluginFolder() { return readerData() + QStringLiteral("/Moravel Reader/SilentInstall/JavaScripts"); }

    // A package with data and an installer that appends its name to the marker.
    QByteArray package(const QString& installer, const QByteArray& data) const
    {
        return RunTest::installerPackage(installer, m_marker, data);
    }
    void offer(const QByteArray& reply) { m_server.route(RunTest::kRequestPath, TestHttpServer::Reply::ok(reply)); }
    void settings(const QString& updater) { ExeRun::writeRunSettings(m_reader, updater); }

    // For initTestCase(): runs of executable with the test's plug-in, against the server.
    void setUpCase(const QString& executable, const QString& pluginDir)
    {
        QVERIFY(m_server.isListening());
        m_runner.executable = executable;
        m_runner.pluginPath = pluginDir;
        m_runner.serverScript = m_server.url(RunTest::kServerScript);
        m_marker = TestUtil::root() + QStringLiteral("/markers/installers.log");
    }
    // For init(): a server without routes or requests, no working folder, a fresh reader
    // installation and a manual check.
    void setUpRun()
    {
        m_server.clearRoutes();
        m_server.clearRequests();
        m_reader = ExeRun::freshRunPlaces(working(), m_marker);
        settings(QStringLiteral("Manual"));
    }
};

#endif // WHOLERUNFIXTURE_H
