#ifndef CRANGEANSWER_H
#define CRANGEANSWER_H

#include <QByteArray>
#include <QString>

#include <optional>

// The rule for the answer to "Range: bytes=N-" (N the bytes a partial file holds), and
// the validator an answer offers for a later "If-Range". Pure: the head's values in, the
// verdict out.
//
// A 206 continues the file only when its Content-Range ("bytes FIRST-LAST/TOTAL", LAST
// the last byte of TOTAL) starts at N, names the file's total (the one known, or any when
// none is) and its Content-Length, when there is one, is the rest after N. A 200 means
// the server sent the whole file: started over when N is above 0. Any other answer to a
// range that continues a file (another 2xx, a 416, a Content-Range missing, malformed,
// elsewhere or of another total) fails. Every other status, and every answer to a range
// from byte 0 but a 206, goes on as it would without a range.
class CRangeAnswer
{
public:
    enum Outcome { Continue, StartOver, Fail };

    struct Verdict
    {
        Outcome outcome = Fail;
        // The answer begins the file (a 200, or a 206 from byte 0): its validator and
        // fileTotal are the file's from now on.
        bool beginsFile = false;
        qint64 fileTotal = 0;    // the whole file's size it names; 0: unknown
        qint64 rangeTotal = 0;   // the total a 206 named; 0: none
        QString reason;          // why it fails
    };

    // status: of the answer; contentRange and contentLength: its headers (contentLength
    // none when absent or no number); askedFrom: N; knownTotal: the file's whole size
    // as known before (0: unknown).
    static Verdict judge(int status, const QByteArray& contentRange, std::optional<qint64> contentLength,
                         qint64 askedFrom, qint64 knownTotal);

    // The validator an answer offers for If-Range: its strong ETag, else its
    // Last-Modified. Empty when it has neither, or when the value is not a short line of
    // visible characters (it goes back into a request header).
    static QByteArray validator(const QByteArray& etag, const QByteArray& lastModified);
};

#endif // CRANGEANSWER_H
