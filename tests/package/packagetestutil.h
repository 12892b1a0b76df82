#ifndef PACKAGETESTUTIL_H
#define PACKAGETESTUTIL_H

#include "testutil.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Helpers shared by the package tests (mkpackage runs through TestUtil::runMkpackage): reading trees, and assembling
// packages by hand (for the malformed ones mkpackage refuses to make). Files and bytes
// through testutil.h.
namespace PackageTest {

using namespace TestUtil;

struct TableEntry
{
    QByteArray name;
    quint32 size;
};

QString uncompressDir();            // QDir::tempPath() + "/MoravelCorvina/uncompress/"
QString temporaryFile(const char* name); // one of the unpacker's three temporary files
bool anyTemporaryFileLeft();

// Every file and directory below `dir` by relative path; directories map to "<dir>".
QMap<QString, QByteArray> readTree(const QString& dir);

// A stand-alone LZMA stream of `data` whose header carries the real unpacked size
// (or all ones for "unknown" when knownSize is false).
QByteArray lzmaAlone(const QByteArray& data, bool knownSize = true);

QByteArray fileTable(const QList<TableEntry>& entries);
// A package with a correct magic and CRC around the given LZMA part and table;
// lzmaLength overrides the header's L when not negative.
QByteArray package(const QByteArray& lzmaPart, const QByteArray& table, qint64 lzmaLength = -1);
// Recomputes the CRC of a package in place.
void fixCrc(QByteArray& package);

} // namespace PackageTest

#endif // PACKAGETESTUTIL_H
