#ifndef MMTESTSUPPORT_H
#define MMTESTSUPPORT_H

// Helpers shared by the module manager's tests: a driver with run parameters, files in
// the test's own working directory.

#include "csetup_commandline.h"
#include "updaterapp.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <memory>

// A driver whose parameter table holds what the reader would have written.
inline std::unique_ptr<UpdaterApp> makeApp(const QString& params = QString())
{
    std::unique_ptr<UpdaterApp> app(new UpdaterApp(nullptr));
    if (!params.isEmpty())
        app->m_pCommandLine->parserParam(params);
    return app;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

#endif // MMTESTSUPPORT_H
