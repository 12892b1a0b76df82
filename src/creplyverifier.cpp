#include "creplyverifier.h"

#include "ced25519.h"
#include "csignedreply.h"

CReplyVerifier::CReplyVerifier(const QList<QByteArray>& keys)
    : m_keys(keys)
{
}

bool CReplyVerifier::checkSignature(const QByteArray& reply, QByteArray* message, QString* why) const
{
    QByteArray signedBytes;
    QByteArray signature;
    if (!CSignedReply::split(reply, &signedBytes, &signature, why))
        return false;
    for (const QByteArray& key : m_keys) {
        if (CEd25519::verify(signedBytes, signature, key)) {
            if (message)
                *message = signedBytes;
            return true;
        }
    }
    if (why)
        *why = QStringLiteral("the signature verifies with none of the trusted keys");
    return false;
}

bool CReplyVerifier::checkTimes(const std::optional<QString>& issuedText, const std::optional<QString>& expiresText,
                                qint64 now, std::optional<qint64> newestAccepted, qint64* issued, QString* why) const
{
    auto refuse = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    qint64 expires = 0;
    if (!expiresText)
        return refuse(QStringLiteral("the reply has no \"expires\""));
    if (!CSignedReply::parseUtcTime(*expiresText, &expires))
        return refuse(QStringLiteral("the reply's \"expires\" is malformed: ") + expiresText->left(40));
    if (expires <= now)
        return refuse(QStringLiteral("the reply expired at ") + *expiresText);
    qint64 issuedAt = 0;
    if (!issuedText)
        return refuse(QStringLiteral("the reply has no \"issued\""));
    if (!CSignedReply::parseUtcTime(*issuedText, &issuedAt))
        return refuse(QStringLiteral("the reply's \"issued\" is malformed: ") + issuedText->left(40));
    if (issuedAt > now + kMaxIssuedAheadSeconds)
        return refuse(QStringLiteral("the reply is issued more than a day ahead: ") + *issuedText);
    if (newestAccepted && issuedAt < *newestAccepted)
        return refuse(QStringLiteral("the reply is older than one accepted before (issued ") + *issuedText
                      + QStringLiteral(", accepted ") + CSignedReply::formatUtcTime(*newestAccepted)
                      + QLatin1Char(')'));
    if (issued)
        *issued = issuedAt;
    return true;
}
