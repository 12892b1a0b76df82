#include "creplyverifier.h"

#include "ced25519.h"
#include "csignedreply.h"

CReplyVerifier::CReplyVerifier(const QList<QByteArray>& keys)
    : m_keys(keys)
{
}

bool CReplyVerifier::checkSignature(const QByteArray& reply, QByteArray* message, QString* why) const
{
    if (m_keys.isEmpty()) {
        if (why)
            *why = QStringLiteral("no valid trusted key could be loaded");
        return false;
    }
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

bool CReplyVerifier::checkRequest(const std::optional<QString>& productText, const std::optional<QString>& platformText,
                                  const QString& product, const QString& platform, QString* why)
{
    auto check = [why](const char* name, const std::optional<QString>& value, const QString& requested) {
        if (value && *value == requested)
            return true;
        if (why)
            *why = !value ? QStringLiteral("the reply names no %1").arg(QLatin1String(name))
                          : QStringLiteral("the reply is for %1 \"%2\", the request for \"%3\"")
                                .arg(QLatin1String(name), value->left(80), requested);
        return false;
    };
    return check("product", productText, product) && check("platform", platformText, platform);
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
