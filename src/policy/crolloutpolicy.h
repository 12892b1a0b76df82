#ifndef CROLLOUTPOLICY_H
#define CROLLOUTPOLICY_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The phased rollout of a release. The publisher gives a module a start (a UTC time)
// and a number of days; from the start on, automatic checks offer it to a share of the
// installations that grows linearly from none at the start to all at start + days:
// none before the start, all from the end on. Which installations come first is drawn
// afresh for each release: an installation stands at the position the SHA-256 of its
// identifier (CInstallationId), the module's name and its version gives it, and is
// offered the release once the share has passed that position. The identifier never
// leaves the machine; the server learns nothing of the draw.
class CRolloutPolicy
{
public:
    // The position of the installation with identifier for the release name version,
    // in percent, 0 <= position < 100: the first 64 bits (big-endian) of
    // SHA-256(identifier, name in UTF-8, a NUL byte, version in UTF-8) over 2^64.
    static double position(const QByteArray& identifier, const QString& name, const QString& version);

    // The share of installations offered a release at now, in percent: 0 up to the
    // start, 100 from start + days on (days > 0), linear in between.
    static double share(qint64 start, double days, qint64 now);

    // Whether the installation with identifier is offered the release name version at
    // now: from the end of the rollout on always, before it when its position lies
    // below the share. Without an identifier (empty) it counts as the last of all and
    // is offered only from the end on. When it is not offered, the log says
    // "NAME VERSION not offered yet: phased rollout (this installation at P%, rollout at Q%)".
    static bool isOffered(const QString& name, const QString& version, qint64 start, double days, qint64 now,
                          const QByteArray& identifier);
};

#endif // CROLLOUTPOLICY_H
