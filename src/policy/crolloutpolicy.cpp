#include "crolloutpolicy.h"

#include "csha256.h"

#include <QDebug>

namespace {

const double kSecondsPerDay = 86400.0;
const double kTwoTo64 = 18446744073709551616.0;

} // namespace

double CRolloutPolicy::position(const QByteArray& identifier, const QString& name, const QString& version)
{
    CSha256 hash;
    const QByteArray nameBytes = name.toUtf8();
    const QByteArray versionBytes = version.toUtf8();
    hash.addData(identifier.constData(), identifier.size());
    hash.addData(nameBytes.constData(), nameBytes.size());
    hash.addData("", 1);
    hash.addData(versionBytes.constData(), versionBytes.size());
    const QByteArray digest = hash.result();
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | quint8(digest.at(i));
    // Below 100 however the quotient rounds: the last installation still has its turn
    // before the end.
    return qMin(double(value) / kTwoTo64 * 100.0, 99.9999999);
}

double CRolloutPolicy::share(qint64 start, double days, qint64 now)
{
    if (now <= start)
        return 0.0;
    const double elapsed = double(now - start);
    const double length = days * kSecondsPerDay;
    if (!(length > 0.0) || elapsed >= length)
        return 100.0;
    return elapsed / length * 100.0;
}

bool CRolloutPolicy::isOffered(const QString& name, const QString& version, qint64 start, double days, qint64 now,
                               const QByteArray& identifier)
{
    const double offered = share(start, days, now);
    if (offered >= 100.0)
        return true;
    const double at = identifier.isEmpty() ? 100.0 : position(identifier, name, version);
    if (at < offered)
        return true;
    qDebug().noquote() << QStringLiteral("%1 %2 not offered yet: phased rollout (this installation at %3%, rollout at %4%)")
                              .arg(name, version, QString::number(at, 'f', 2), QString::number(offered, 'f', 2));
    return false;
}
