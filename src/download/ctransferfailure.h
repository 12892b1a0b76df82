#ifndef CTRANSFERFAILURE_H
#define CTRANSFERFAILURE_H

#include <QByteArray>
#include <QNetworkReply>

#include <optional>

// What the latest transfer of a downloader ended with, built once when it ends, and the
// two questions its callers ask of a failed one:
//   mayRetry()         another try at the same address may mend it: the network failed
//                      (no connection, a reset or cut-off body, a TLS handshake cut off,
//                      a 5xx, a watchdog) or the answer to a range did not fit;
//   asksOtherServer()  another server is worth asking instead: the transfer failed
//                      without a whole answer (byNetwork()), or the server said it
//                      cannot answer now (a 5xx, or a 429, which says the same as a 503).
// Everything else (a 4xx or other status, a refused content coding, a body over the
// limit, a failed write, a certificate error) is final.
class CTransferFailure
{
public:
    enum Kind { NoFailure, NetworkFailure, RangeFailure, FinalFailure };

    // What a finished reply left behind, as the downloader saw it.
    struct ReplyEnd
    {
        QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
        std::optional<int> status;      // of the response's head; none without a head
        QByteArray retryAfter;          // its Retry-After, as it came; empty when none
        bool peerCertificate = false;   // the server's certificate came in the handshake
        bool writeFailed = false;       // a write, sync or close of the file failed
        bool bytesShort = false;        // the bytes counted are not the size announced
    };

    // No failure, no answer: what a downloader holds before its first transfer ends and
    // while one runs.
    CTransferFailure();
    // The downloader's own verdict (a watchdog, a refused head or body, a range that
    // does not fit, a stop, a success) on the reply's end: it failed without a whole
    // answer only when kind is NetworkFailure.
    CTransferFailure(Kind kind, const ReplyEnd& end);
    // The verdict on a reply that finished without success by itself.
    static CTransferFailure ofReply(const ReplyEnd& end);

    Kind kind() const { return m_kind; }
    // No whole answer came: no connection, a TLS failure, no answer or no data within
    // the watchdogs, a lost connection, a body cut off. False for an answer refused by
    // its status, head or size, a proxy that asked for credentials, a failed write.
    bool byNetwork() const { return m_bByNetwork; }
    // The status of the response's head; 0 when none came.
    int httpStatus() const { return m_nHttpStatus; }
    QByteArray retryAfter() const { return m_retryAfter; }

    bool mayRetry() const;
    bool asksOtherServer() const;

private:
    Kind m_kind;
    bool m_bByNetwork;
    int m_nHttpStatus;
    QByteArray m_retryAfter;
};

#endif // CTRANSFERFAILURE_H
