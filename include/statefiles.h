#ifndef STATEFILES_H
#define STATEFILES_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The small files the updater keeps about itself between runs, in its private state
// folder: the newest accepted "issued" time, the installation identifier, the skipped
// versions, the request servers' waits. Each is read without following a link and
// replaced in one step, so a power cut leaves the old file or the new one whole.
namespace Comm {

// $XDG_STATE_HOME/moravel-updater, or ~/.local/state/moravel-updater when
// XDG_STATE_HOME is unset, empty or relative (a relative one is not to be trusted).
QString stateDir();

// The state file name (a plain file name) in stateDir().
QString stateFilePath(const QString& name);

// Reads the state file name when it is a regular file of its own (one link), reached
// without a link at its name and of at most maxBytes bytes (Comm::readSmallFile).
// False (data empty) when nothing, or anything else, stands there.
bool readStateFile(const QString& name, qint64 maxBytes, QByteArray* data);

// Replaces the state file name with data in one step: the state folder is made when
// missing (its new levels synced, the folder itself mode 0700), a new file is created
// afresh (Comm::createNewFile: nothing at its name is written through) with mode 0600,
// written, synced, renamed over the old one and the folder synced. False when any step
// fails; the log then says what could not be written (what, e.g. "the newest accepted
// time") and where. After a failed sync of the folder the new file may stand, but may
// not outlive a power cut.
bool writeStateFile(const QString& name, const QByteArray& data, const char* what);

} // namespace Comm

#endif // STATEFILES_H
