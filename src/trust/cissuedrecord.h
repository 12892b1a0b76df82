#ifndef CISSUEDRECORD_H
#define CISSUEDRECORD_H

#include <QString>

// The newest "issued" time of a signed reply this user's updater has accepted, one per
// product, kept in $XDG_STATE_HOME/moravel-updater/newest-issued (default
// ~/.local/state/...). An older reply for that product, however validly signed, is then
// refused: nobody can play back an old reply to hide a new version or to offer an old
// one. Each product keeps its own time, so two products on one machine do not hold each
// other back.
//
// The file holds one line per product, "TIME<TAB>PRODUCT" (TIME written
// YYYY-MM-DDTHH:MM:SSZ, PRODUCT percent-encoded). A line with a time alone, as older
// updaters wrote it, stands for every product that has no line of its own. The file is
// one of the updater's state files (Comm::writeStateFile: written in one step, synced,
// mode 0600). It is read only as a regular file reached without a link at its name,
// opened without blocking; a missing or unreadable file, anything else at its name, or
// a product without a line, counts as no time accepted yet.
class CIssuedRecord
{
public:
    static QString path();
    // The time kept for product, in seconds since the epoch; false when there is none.
    static bool read(const QString& product, qint64* issued);
    // Keeps issued for product; the other products' times stay. False when it could not
    // be written or synced (after a failed sync of the folder the new record may stand,
    // but may not outlive a power cut).
    static bool write(const QString& product, qint64 issued);
};

#endif // CISSUEDRECORD_H
