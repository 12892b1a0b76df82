// Feeds arbitrary bytes to the reply processing as if the update server had sent them:
// the input becomes the reply file, two managers (an ordinary and an express run) read
// it, and the offered lists are walked and checked against the rules they must keep.
#include "creadermodulemanager.h"
#include "csetup_commandline.h"
#include "updaterapp.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
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
        // The driver may own windows, so a widget application is needed; it stays for
        // the whole process.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "reply_parse_fuzzer";
        static char* argv[] = { name, nullptr };
        if (!QCoreApplication::instance())
            new QApplication(argc, argv);
        qInstallMessageHandler(quiet);

        // The local updater information is read from the working directory.
        QDir::setCurrent(dir.path());
        QFile info(dir.filePath(QStringLiteral("UpdaterInfo.xml")));
        if (info.open(QIODevice::WriteOnly)) {
            info.write("<updater_info><m name=\"Reader\" version=\"7.1.0.1\"><f path=\"/nonexistent\"/></m>"
                       "<m name=\"Updater\" version=\"1.0\"/></updater_info>");
            info.close();
        }
        replyPath = dir.filePath(QStringLiteral("update_tmpfile.xml"));

        plainApp.reset(new UpdaterApp(nullptr));
        plainApp->m_pCommandLine->parserParam(QStringLiteral("type:\"Update List\",product:\"P\",version:\"7.1.0.1234\""));
        plain.reset(new CReaderModuleManager(QStringLiteral("Update List"), plainApp.get(), nullptr));

        expressApp.reset(new UpdaterApp(nullptr));
        expressApp->m_pCommandLine->parserParam(QStringLiteral("type:\"Update List\",bExpress:\"1\""));
        express.reset(new CReaderModuleManager(QStringLiteral("Update List"), expressApp.get(), nullptr));
    }

    QTemporaryDir dir;
    QString replyPath;
    std::unique_ptr<UpdaterApp> plainApp;
    std::unique_ptr<CReaderModuleManager> plain;
    std::unique_ptr<UpdaterApp> expressApp;
    std::unique_ptr<CReaderModuleManager> express;
};

void check(CReaderModuleManager& manager, bool isExpress, int elementStarts)
{
    if (manager.m_vecUpdateModules.size() > elementStarts)
        std::abort();
    qint64 touched = 0;
    int silent = 0;
    for (const MODULEINFO* info : manager.m_vecUpdateModules) {
        if (!info || !info->bResult || info->strAddon != QLatin1String("Update List"))
            std::abort();
        if (isExpress && (info->strName.contains(QLatin1String("OCR_")) || info->strName == QLatin1String("PDF/A")))
            std::abort();
        if (info->nUpdateMode == 2 && info->strInternalService.startsWith(QLatin1String("TRUE")))
            std::abort();
        if (!info->strTandrelStandard.isEmpty() && info->strTandrelStandard != QLatin1String("TRUE"))
            std::abort();
        // A phased rollout has days above 0; no rollout, no rollout attributes.
        if (info->eRollout == MODULEINFO::RolloutPhased && !(info->dRolloutDays > 0 && std::isfinite(info->dRolloutDays)))
            std::abort();
        if (info->eRollout == MODULEINFO::RolloutNone
            && (!info->strRolloutStart.isEmpty() || !info->strRolloutDays.isEmpty()))
            std::abort();
        touched += info->strName.size() + info->strVersion.size() + info->strDescription.size()
                   + info->strSize.size() + info->strUrl.size() + info->strTitle.size()
                   + info->strTandrelStandardValue.size();
        silent += info->bSilentInstall ? 1 : 0;
    }
    const bool allSilent = !manager.m_vecUpdateModules.isEmpty() && silent == manager.m_vecUpdateModules.size();
    if (manager.isSilentUpdate() != allSilent || touched < 0)
        std::abort();
}

} // namespace

// The widget application loads system libraries that keep some memory to the end (the
// suite's LSan suppressions name the same ones); they are not this target's leaks.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\nleak:libglib-2.0\nleak:libdbus-1\nleak:libqoffscreen\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture fixture;
    if (size > (1u << 20))
        return 0;

    QFile reply(fixture.replyPath);
    if (!reply.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    if (reply.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
        std::abort();
    reply.close();

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const int elementStarts = bytes.count('<');

    fixture.plain->OnPaserModuleInfo(fixture.replyPath);
    check(*fixture.plain, false, elementStarts);
    fixture.express->OnPaserModuleInfo(fixture.replyPath);
    check(*fixture.express, true, elementStarts);
    // What the express run offers, the ordinary run reads as well.
    if (fixture.express->m_vecUpdateModules.size() > fixture.plain->m_vecUpdateModules.size() + 1)
        std::abort();
    return 0;
}
