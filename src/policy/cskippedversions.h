#ifndef CSKIPPEDVERSIONS_H
#define CSKIPPEDVERSIONS_H

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

// The versions the user chose to skip, one per module, kept privately with the
// updater's state in the state file "skipped-versions": one line per module,
// VERSION<TAB>NAME, both percent-encoded (Comm::writeStateFile: mode 0600, replaced in
// one step, synced). Later automatic checks do not offer that version of the module
// again, nor an older one; the module manager compares the versions by its own rules,
// so a newer version is offered. A missing or unreadable file keeps nothing.
class CSkippedVersions
{
public:
    static QString path();

    // The version skipped for each module, by name; empty when none is kept.
    static QHash<QString, QString> versions();

    // Keeps each (name, version) as the skipped version of that module, in place of
    // what was kept for the same name; the other modules' lines stay, the oldest first
    // to go when the file would grow past 64 KiB. False when it cannot be written.
    static bool skip(const QList<QPair<QString, QString>>& modules);
};

#endif // CSKIPPEDVERSIONS_H
