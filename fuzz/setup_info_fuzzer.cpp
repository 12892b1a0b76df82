// Feeds arbitrary bytes to the download window's Setup.xml reader as if a package had
// carried them: the input becomes "Setup.xml" of an unpack directory, the records are
// read and checked against the rules they must keep.
#include "dlgdownload.h"
#include "updaterapp.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{
}

struct Fixture
{
    Fixture()
    {
        // The window is a widget, so a widget application is needed; it stays for the
        // whole process.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "setup_info_fuzzer";
        static char* argv[] = { name, nullptr };
        if (!QCoreApplication::instance())
            new QApplication(argc, argv);
        qInstallMessageHandler(quiet);
        unpackDir = dir.path() + QStringLiteral("/uncompress/");
        QDir().mkpath(unpackDir);
        app.reset(new UpdaterApp(nullptr));
    }

    QTemporaryDir dir;
    QString unpackDir;
    std::unique_ptr<UpdaterApp> app;
};

} // namespace

// Font and platform libraries keep what they allocate until the process ends (the test
// suite's LSan suppressions name the same ones); they are not this target's leaks.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\nleak:libglib-2.0\nleak:libdbus-1\nleak:libqoffscreen\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture fixture;

    QFile setup(fixture.unpackDir + QStringLiteral("Setup.xml"));
    if (!setup.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    if (size > 0 && setup.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
        std::abort();
    setup.close();

    QVector<_SetupInfo*> list;
    fixture.app->m_pDlgDownload->ParseSetupInfo(fixture.unpackDir, list);
    for (const _SetupInfo* info : qAsConst(list)) {
        if (!info)
            std::abort();
        // A record either names a file below the unpack directory or is empty.
        if (!info->strFilePath.isEmpty() && !info->strFilePath.startsWith(fixture.unpackDir))
            std::abort();
    }
    qDeleteAll(list);
    return 0;
}
