#ifndef CSIGNEDREPLY_H
#define CSIGNEDREPLY_H

#include <QByteArray>
#include <QString>

// The signed form of the server's reply: the same XML document, ending with the comment
//     <!-- moravel-signature ed25519 SIG -->
// (SIG: the standard base64 of the 64-byte Ed25519 signature) and nothing after it but
// white space. The signed message is every byte before the "<!--" that opens it. The
// root element carries "issued" and "expires", written YYYY-MM-DDTHH:MM:SSZ (UTC).
class CSignedReply
{
public:
    // Splits reply into the signed message and the raw signature. False (with the
    // reason in *why) when the reply does not end with a well-formed signature comment.
    static bool split(const QByteArray& reply, QByteArray* message, QByteArray* signature, QString* why = nullptr);

    // The comment that signs message with signature (what a publisher appends).
    static QByteArray signatureComment(const QByteArray& signature);

    // Reads a time written exactly YYYY-MM-DDTHH:MM:SSZ (a real date and time of day,
    // UTC) into seconds since 1970-01-01T00:00:00Z. False for anything else.
    static bool parseUtcTime(const QString& text, qint64* secondsSinceEpoch);
    // The time written that way.
    static QString formatUtcTime(qint64 secondsSinceEpoch);
};

#endif // CSIGNEDREPLY_H
