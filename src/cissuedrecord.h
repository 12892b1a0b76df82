#ifndef CISSUEDRECORD_H
#define CISSUEDRECORD_H

#include <QString>

// The newest "issued" time of a signed reply this user's updater has accepted, kept in
// $XDG_STATE_HOME/moravel-updater/newest-issued (default ~/.local/state/...). An older
// reply, however validly signed, is then refused: nobody can play back an old reply to
// hide a new version or to offer an old one. The file is written in one step (a new
// file renamed over the old) with mode 0600; a missing or unreadable file counts as
// no time accepted yet.
class CIssuedRecord
{
public:
    static QString path();
    // The time kept, in seconds since the epoch; false when there is none.
    static bool read(qint64* issued);
    // Keeps issued. False when it could not be written.
    static bool write(qint64 issued);
};

#endif // CISSUEDRECORD_H
