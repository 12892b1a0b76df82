// Signing for tests of signed updates: a publisher key made for the test, and replies
// signed with it the way a publisher's site signs them. Tests that include this link
// the updater's core library (its libcrypto wrappers).
#ifndef SIGNEDSITE_H
#define SIGNEDSITE_H

#include "ced25519.h"
#include "csignedreply.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QString>

namespace SignedSite {

struct Key
{
    QByteArray secret;
    QByteArray publicKey;

    static Key make()
    {
        Key key;
        CEd25519::generate(&key.secret, &key.publicKey);
        return key;
    }
    QString publicBase64() const { return CEd25519::toBase64(publicKey); }
};

inline QString sha256Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The product the test readers name in their requests.
const QByteArray kProduct = "Moravel Reader";

// The root attributes of a signed reply: issued="..." expires="..." for a reply issued at
// issued (seconds since the epoch, default now) and valid for validSeconds, and the
// request it answers, product="..." platform="x86".
inline QByteArray times(qint64 issued = QDateTime::currentSecsSinceEpoch(), qint64 validSeconds = 30 * 86400,
                        const QByteArray& product = kProduct)
{
    return "issued=\"" + CSignedReply::formatUtcTime(issued).toLatin1() + "\" expires=\""
           + CSignedReply::formatUtcTime(issued + validSeconds).toLatin1() + "\" product=\"" + product
           + "\" platform=\"x86\"";
}

// The reply xml with its signature comment (and a line end after it).
inline QByteArray sign(const QByteArray& xml, const Key& key)
{
    return xml + CSignedReply::signatureComment(CEd25519::sign(xml, key.secret)) + "\n";
}

} // namespace SignedSite

#endif // SIGNEDSITE_H
