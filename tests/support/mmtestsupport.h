#ifndef MMTESTSUPPORT_H
#define MMTESTSUPPORT_H

// Helpers shared by the module manager's tests: a driver with run parameters and the
// names of the offered modules; files through testutil.h.

#include "creadermodulemanager.h"
#include "csetup_commandline.h"
#include "testutil.h"
#include "updaterapp.h"

#include <QString>
#include <QStringList>

#include <memory>

// A driver whose parameter table holds what the reader would have written.
inline std::unique_ptr<UpdaterApp> makeApp(const QString& params = QString())
{
    std::unique_ptr<UpdaterApp> app(new UpdaterApp(nullptr));
    if (!params.isEmpty())
        app->m_pCommandLine->parserParam(params);
    return app;
}

// The names of the modules the manager offers, in its order.
inline QStringList offeredNames(const CReaderModuleManager& manager)
{
    QStringList names;
    for (const MODULEINFO* info : manager.m_vecUpdateModules)
        names << info->strName;
    return names;
}

#endif // MMTESTSUPPORT_H
