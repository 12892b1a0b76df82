#include "crangeanswer.h"

#include <QRegularExpression>

namespace {

// "bytes FIRST-LAST/TOTAL" with plain decimal numbers, LAST the last byte of TOTAL.
bool parseContentRange(const QByteArray& value, qint64* first, qint64* total)
{
    static const QRegularExpression form(QStringLiteral("^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(value.trimmed()));
    if (!match.hasMatch())
        return false;
    *first = match.captured(1).toLongLong();
    const qint64 last = match.captured(2).toLongLong();
    *total = match.captured(3).toLongLong();
    return *first <= last && last + 1 == *total;
}

// Why a 206 does not continue the file at from; empty when it does.
QString misfitOfPartial(const QByteArray& contentRange, std::optional<qint64> contentLength, qint64 from,
                        qint64 knownTotal, qint64* total)
{
    qint64 first = -1;
    if (contentRange.isEmpty())
        return QStringLiteral("no Content-Range");
    if (!parseContentRange(contentRange, &first, total))
        return QStringLiteral("malformed Content-Range");
    if (first != from)
        return QStringLiteral("starts at byte %1").arg(first);
    if (knownTotal > 0 && from > 0 && *total != knownTotal)
        return QStringLiteral("a total of %1 bytes, not %2").arg(*total).arg(knownTotal);
    if (contentLength && *contentLength != *total - from)
        return QStringLiteral("Content-Length %1 is not the rest").arg(*contentLength);
    return QString();
}

} // namespace

CRangeAnswer::Verdict CRangeAnswer::judge(int status, const QByteArray& contentRange,
                                          std::optional<qint64> contentLength, qint64 askedFrom, qint64 knownTotal)
{
    Verdict verdict;
    if (status == 200) {
        verdict.outcome = askedFrom > 0 ? StartOver : Continue;
        verdict.beginsFile = true;
        verdict.fileTotal = contentLength && *contentLength > 0 ? *contentLength : 0;
        return verdict;
    }
    // Only an answer to a range that continues a file is held to it; any other status
    // ends as it would without a range.
    if (status != 206 && (askedFrom <= 0 || status < 200 || (status > 299 && status != 416))) {
        verdict.outcome = Continue;
        return verdict;
    }
    if (status != 206) {
        verdict.reason = status == 416 ? QStringLiteral("the range was refused")
                                       : QStringLiteral("no partial answer");
        return verdict;
    }
    qint64 total = 0;
    verdict.reason = misfitOfPartial(contentRange, contentLength, askedFrom, knownTotal, &total);
    if (!verdict.reason.isEmpty())
        return verdict;
    verdict.outcome = Continue;
    verdict.rangeTotal = total;
    verdict.beginsFile = askedFrom <= 0;
    verdict.fileTotal = verdict.beginsFile ? total : 0;
    return verdict;
}

QByteArray CRangeAnswer::validator(const QByteArray& etag, const QByteArray& lastModified)
{
    const auto fit = [](const QByteArray& value) {
        if (value.isEmpty() || value.size() > 200)
            return false;
        for (const char c : value) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
                return false;
        }
        return true;
    };
    const QByteArray tag = etag.trimmed();
    // A weak tag cannot stand in If-Range.
    if (fit(tag) && !tag.startsWith("W/"))
        return tag;
    const QByteArray modified = lastModified.trimmed();
    return fit(modified) ? modified : QByteArray();
}
