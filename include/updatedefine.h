#ifndef UPDATEDEFINE_H
#define UPDATEDEFINE_H

#include <QIODevice>
#include <QString>

#include "zrwidestring.h"

class QFile;

// Small helpers shared across the application.
namespace Comm {

// The wide string's units taken as Unicode code points (UCS-4), up to the first NUL unit.
QString ws2qs(const CZR_WideString& ws);

// The updater's working folder, without a trailing "/": QDir::tempPath() +
// "/MoravelCorvina", created with mode 0700 when it is missing. The temporary folder is
// shared with every other user of the machine, so the folder is taken only when it is
// private: a real directory (a symbolic link there is not followed), owned by this
// process's user and writable by nobody else. When another user holds that name, the
// folder "/MoravelCorvina-" + the numeric user id is tried under the same rules. When
// that one is refused too (another user can take both names first), the folder is
// $XDG_CACHE_HOME/moravel-updater/work ($HOME/.cache/moravel-updater/work when
// XDG_CACHE_HOME is empty or relative): the cache folder is made when missing, the two
// levels below it are made with mode 0700 and taken under the same rules (neither may
// be a link); the fallback is logged. Empty when none of the three is usable; the
// reasons are logged. Everything the updater keeps in its working folder (the reply,
// the packages, the unpacked files) lives in this folder.
QString workingDir();

// Creates the file at path afresh and opens it in file with mode (which must include
// WriteOnly). Whatever non-directory stands at path is removed first, and the new file
// is created exclusively without following a symbolic link, so a link or a file planted
// there is never written through. False (file left closed) when what stands there
// cannot be removed, is a directory, or the file cannot be created.
bool createNewFile(QFile& file, const QString& path, QIODevice::OpenMode mode);

// Removes what stands at path when it is not a directory (a file, a link of any kind,
// anything else). True when no such thing is left there; a directory is left alone and
// counts as true.
bool removeNonDirectory(const QString& path);

// Deletes the directory tree at path. True when the directory is gone afterwards or was
// not there; false when an entry or the directory itself could not be removed (what
// could be removed is gone, and every failure is logged). A symbolic link is removed as
// a link wherever it stands, at path itself too (whatever the spelling of path, a
// trailing "/" included): no link is ever followed, and no permission of anything is
// changed.
bool deleteDir(const QString& path);

} // namespace Comm

#endif // UPDATEDEFINE_H
