#include "cserverwaits.h"

#include "csignedreply.h"
#include "statefiles.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QRegularExpression>
#include <QTime>
#include <QUrl>

namespace {

const QString kName = QStringLiteral("server-waits");
// Two request servers in practice; a few more never hurt.
const qint64 kMaxBytes = 16 * 1024;

struct Wait
{
    qint64 answered;
    qint64 until;
    QString server;
};

QList<Wait> readWaits()
{
    QList<Wait> waits;
    QByteArray text;
    if (!Comm::readStateFile(kName, kMaxBytes, &text))
        return waits;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        Wait wait;
        if (fields.size() != 3 || !CSignedReply::parseUtcTime(QString::fromLatin1(fields.at(0)), &wait.answered)
            || !CSignedReply::parseUtcTime(QString::fromLatin1(fields.at(1)), &wait.until))
            continue;
        wait.server = QUrl::fromPercentEncoding(fields.at(2));
        waits.append(wait);
    }
    return waits;
}

bool counts(const Wait& wait, qint64 now)
{
    return wait.answered <= now && now < wait.until && wait.until - wait.answered <= CServerWaits::kMaxWaitSeconds;
}

// An HTTP date in RFC 7231's preferred form, IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
std::optional<qint64> parseHttpDate(const QString& text)
{
    static const QRegularExpression form(QStringLiteral(
        "^(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun), ([0-9]{2}) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9]{4}) "
        "([0-9]{2}):([0-9]{2}):([0-9]{2}) GMT$"));
    static const QStringList months = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QDate date(match.captured(3).toInt(), months.indexOf(match.captured(2)) + 1, match.captured(1).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
}

} // namespace

QString CServerWaits::path()
{
    return Comm::stateFilePath(kName);
}

std::optional<qint64> CServerWaits::parseRetryAfter(const QByteArray& value, qint64 now)
{
    const QString text = QString::fromLatin1(value.trimmed());
    std::optional<qint64> until;
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    if (digits.match(text).hasMatch()) {
        // Any number of digits: what passes a day is a day.
        bool fits = false;
        const qint64 seconds = text.toLongLong(&fits);
        until = now + (fits && seconds < kMaxWaitSeconds ? seconds : kMaxWaitSeconds);
    } else {
        until = parseHttpDate(text);
    }
    if (!until || *until <= now)
        return std::nullopt;
    return qMin(*until, now + kMaxWaitSeconds);
}

QString CServerWaits::serverOf(const QString& address)
{
    const QUrl url(address, QUrl::TolerantMode);
    if (url.host().isEmpty())
        return QString();
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    const QString host = url.host().contains(QLatin1Char(':')) ? QLatin1Char('[') + url.host() + QLatin1Char(']')
                                                                : url.host();
    return host + QLatin1Char(':') + QString::number(port);
}

bool CServerWaits::record(const QString& server, qint64 until, qint64 now)
{
    // The new wait replaces the server's earlier one; waits that have ended go.
    QList<Wait> waits;
    for (const Wait& wait : readWaits()) {
        if (wait.server != server && counts(wait, now))
            waits.append(wait);
    }
    waits.append(Wait { now, qMin(until, now + kMaxWaitSeconds), server });
    QByteArray text;
    for (const Wait& wait : qAsConst(waits))
        text += CSignedReply::formatUtcTime(wait.answered).toLatin1() + '\t'
                + CSignedReply::formatUtcTime(wait.until).toLatin1() + '\t' + QUrl::toPercentEncoding(wait.server)
                + '\n';
    return Comm::writeStateFile(kName, text, "the request servers' waits");
}

std::optional<qint64> CServerWaits::waitingUntil(const QString& server, qint64 now)
{
    std::optional<qint64> until;
    for (const Wait& wait : readWaits()) {
        if (wait.server == server && counts(wait, now))
            until = until ? qMax(*until, wait.until) : wait.until;
    }
    return until;
}
