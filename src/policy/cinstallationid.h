#ifndef CINSTALLATIONID_H
#define CINSTALLATIONID_H

#include <QByteArray>
#include <QString>

// The random identifier of this installation: 128 bits from the system's random source
// (getrandom), made the first time it is needed and kept privately with the updater's
// state, in the state file "installation-id" as 32 lowercase hexadecimal digits and a
// line end (Comm::writeStateFile: mode 0600, replaced in one step, synced). It only
// places this installation in the phased rollout of each release (CRolloutPolicy) and
// is never sent anywhere.
class CInstallationId
{
public:
    static QString path();

    // The identifier's 16 bytes. A missing identifier, and whatever else stands at its
    // name (a link, which is not followed, a folder, a file that cannot be read, one
    // that is not exactly the 32 digits and a line end), is replaced by a new one, which
    // is kept from then on. Empty when no new one could be drawn or kept (logged): an
    // identifier that lasted only this run would let each run draw again.
    static QByteArray get();

    // The identifier as it is kept: 32 lowercase hexadecimal digits and "\n".
    static QByteArray format(const QByteArray& identifier);
};

#endif // CINSTALLATIONID_H
