#ifndef CBASESTORE_H
#define CBASESTORE_H

#include <QString>

// The bases the updater keeps: for each module (by name) the content of the release last
// installed, so that the next release can come as a delta against it. They lie in the
// user's cache folder, $XDG_CACHE_HOME/moravel-updater/bases (Comm::privateCacheDir:
// the user's own, private, no link followed), one file per module named
// "<key>-<content digest>.base": key is the first 32 hex digits of the SHA-256 of the
// module's name (a name from the server never becomes a path), the digest 64 lowercase
// hex digits. The file is the package itself (after a full download) or a kept base
// (after a delta, CBaseArchive); its name says which content it claims to hold, and
// CDeltaApplier checks that claim against the content when it uses it.
class CBaseStore
{
public:
    struct Base
    {
        QString path;   // empty when the module has none
        QString digest; // the content digest its name claims
    };

    // The folder; empty (logged) when it cannot be had.
    static QString folder();
    // The module's base. When a crash left more than one, the newest is taken and the
    // others go. Only regular files count, never a link.
    static Base baseOf(const QString& moduleName);
    // Where a new kept base of the module is written while a delta is applied; empty when
    // there is no folder.
    static QString partFile(const QString& moduleName);
    // Keeps the file at source, whose content digest is digest, as the module's base, in
    // one step: a package is copied (replaceFileCopy: a fresh file, synced, renamed into
    // place); a kept base at partFile() is renamed (move). The module's earlier base goes
    // then. When keeping it would leave less than the unpacker's free-space reserve on
    // the disk, every base is dropped instead. False (logged) when it is not kept.
    static bool keep(const QString& moduleName, const QString& source, const QString& digest, bool move);
    // Drops the module's base(s), and what partFile() left.
    static void drop(const QString& moduleName);
    static void dropAll();

private:
    static QString key(const QString& moduleName);
    static void removeBasesOf(const QString& moduleName, const QString& keepPath);
};

#endif // CBASESTORE_H
