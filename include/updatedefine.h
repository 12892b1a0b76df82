#ifndef UPDATEDEFINE_H
#define UPDATEDEFINE_H

#include <QString>

#include "zrwidestring.h"

// Small helpers shared across the application; the file operations that never follow
// a link are in safefiles.h.
namespace Comm {

// The wide string's units taken as Unicode code points (UCS-4), up to the first NUL unit.
QString ws2qs(const CZR_WideString& ws);

// Chooses the updater's working folder, without a trailing "/": QDir::tempPath() +
// "/MoravelCorvina", created with mode 0700 when it is missing. The temporary folder is
// shared with every other user of the machine, so the folder is taken only when it is
// private: a real directory (a symbolic link there is not followed), owned by this
// process's user and writable by nobody else. When another user holds that name, the
// folder "/MoravelCorvina-" + the numeric user id is tried under the same rules. When
// that one is refused too (another user can take both names first), the folder is
// $XDG_CACHE_HOME/moravel-updater/work ($HOME/.cache/moravel-updater/work when
// XDG_CACHE_HOME is empty or relative), and only when the cache folder itself is this
// user's and writable by nobody else: the cache folder is made when missing, the two
// levels below it are made with mode 0700 and taken under the same rules (neither may
// be a link); the fallback is logged. Empty when none of the three is usable; the
// reasons are logged (the checks are Comm::makePrivateDir and Comm::openPrivateDirAt).
QString chooseWorkingDir();

// A folder of the updater's in the user's cache folder, $XDG_CACHE_HOME/moravel-updater/
// name (a relative or empty XDG_CACHE_HOME is ignored: $HOME/.cache), made when missing
// and taken under the rules of the temporary folder's: the cache folder must be this
// user's and writable by nobody else, neither "moravel-updater" nor name may be a link,
// both must be private directories of this user. Empty (logged) when it cannot be had.
QString privateCacheDir(const char* name);

// The working folder everything the updater keeps (the reply, the packages, the
// unpacked files) lives in: the folder a run has taken (CWorkingFolder), kept for the
// whole run, or empty when that run has none; without a run, chosen now
// (chooseWorkingDir). An empty result fails the step that asked; it never stands for a
// path relative to the current folder.
QString workingDir();

} // namespace Comm

#endif // UPDATEDEFINE_H
