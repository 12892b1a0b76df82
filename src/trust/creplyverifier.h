#ifndef CREPLYVERIFIER_H
#define CREPLYVERIFIER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The rules a signed reply must pass before anything in it is believed, for an updater
// that has at least one trusted publisher key (CTrustedKeys):
//   - it ends with the signature comment (CSignedReply) and the signature of the bytes
//     before it verifies with one of the keys;
//   - its root carries "expires", a well-formed time not yet past;
//   - its root carries "product" and "platform", exactly those of the request it
//     answers: a reply signed for another product or platform is not this one's;
//   - its root carries "issued", a well-formed time at most one day ahead of the clock
//     and not older than the newest "issued" accepted before (CIssuedRecord).
// Each refusal names the rule it broke.
class CReplyVerifier
{
public:
    // A reply may be issued this far ahead of the local clock (clocks differ).
    static const qint64 kMaxIssuedAheadSeconds = 24 * 3600;

    explicit CReplyVerifier(const QList<QByteArray>& keys);

    // Whether signatures are checked at all (some key is trusted).
    bool isActive() const { return !m_keys.isEmpty(); }

    // The signature: true with the signed bytes in *message. Without any key nothing
    // verifies.
    bool checkSignature(const QByteArray& reply, QByteArray* message, QString* why) const;
    // The request the root says the reply answers, against the request's own values.
    static bool checkRequest(const std::optional<QString>& productText, const std::optional<QString>& platformText,
                             const QString& product, const QString& platform, QString* why);
    // The times of the root, against now and the newest accepted before (none: empty).
    // True with the reply's issued time in *issued.
    bool checkTimes(const std::optional<QString>& issuedText, const std::optional<QString>& expiresText, qint64 now,
                    std::optional<qint64> newestAccepted, qint64* issued, QString* why) const;

private:
    QList<QByteArray> m_keys;
};

#endif // CREPLYVERIFIER_H
