#include "csignedreply.h"

#include "ced25519.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

namespace {

const QByteArray kOpen = "<!--";
const QByteArray kPrefix = "<!-- moravel-signature ed25519 ";
const QByteArray kSuffix = " -->";

bool isXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of count decimal digits at text[from]; -1 when they are not all digits.
int digits(const QString& text, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const ushort u = text.at(i).unicode();
        if (u < '0' || u > '9')
            return -1;
        value = value * 10 + (u - '0');
    }
    return value;
}

void fail(QString* why, const char* reason)
{
    if (why)
        *why = QString::fromLatin1(reason);
}

} // namespace

bool CSignedReply::split(const QByteArray& reply, QByteArray* message, QByteArray* signature, QString* why)
{
    // Only white space may follow the comment.
    int end = reply.size();
    while (end > 0 && isXmlSpace(reply.at(end - 1)))
        --end;
    if (end < kPrefix.size() + kSuffix.size() || reply.mid(end - kSuffix.size(), kSuffix.size()) != kSuffix) {
        fail(why, "the reply does not end with a signature comment");
        return false;
    }
    const int open = reply.lastIndexOf(kOpen, end - kSuffix.size());
    // The prefix and the suffix must not overlap ("<!-- moravel-signature ed25519 -->").
    if (open < 0 || reply.mid(open, kPrefix.size()) != kPrefix || open + kPrefix.size() > end - kSuffix.size()) {
        fail(why, "the reply does not end with a signature comment");
        return false;
    }
    const QByteArray encoded = reply.mid(open + kPrefix.size(), end - kSuffix.size() - open - kPrefix.size());
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(encoded, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != CEd25519::SignatureSize || decoded.decoded.toBase64() != encoded) {
        fail(why, "the signature comment does not hold a 64-byte signature in base64");
        return false;
    }
    if (message)
        *message = reply.left(open);
    if (signature)
        *signature = decoded.decoded;
    return true;
}

QByteArray CSignedReply::signatureComment(const QByteArray& signature)
{
    return kPrefix + signature.toBase64() + kSuffix;
}

bool CSignedReply::parseUtcTime(const QString& text, qint64* secondsSinceEpoch)
{
    // 2026-12-08T01:10:00Z
    if (text.size() != 20 || text.at(4) != QLatin1Char('-') || text.at(7) != QLatin1Char('-')
        || text.at(10) != QLatin1Char('T') || text.at(13) != QLatin1Char(':') || text.at(16) != QLatin1Char(':')
        || text.at(19) != QLatin1Char('Z'))
        return false;
    const int year = digits(text, 0, 4);
    const int month = digits(text, 5, 2);
    const int day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2);
    const int minute = digits(text, 14, 2);
    const int second = digits(text, 17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0)
        return false;
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid())
        return false;
    if (secondsSinceEpoch)
        *secondsSinceEpoch = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    return true;
}

QString CSignedReply::formatUtcTime(qint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}
