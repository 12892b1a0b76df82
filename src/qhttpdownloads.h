#ifndef QHTTPDOWNLOADS_H
#define QHTTPDOWNLOADS_H

#include "cproxyauthenticator.h"
#include "ctargetfile.h"
#include "ctransferfailure.h"
#include "ctransferprogress.h"
#include "ctransferwatchdogs.h"

#include <QObject>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

#include <optional>

class CProxyFactory;
class QAuthenticator;
class QEventLoop;
class QLabel;
class QNetworkAccessManager;
class QNetworkProxy;
class QProgressBar;

// Fetches one file over HTTP or HTTPS (GET) and writes the body to a local file as it
// arrives, driving an optional progress bar and "time remaining" label.
// Its parts live in src/download: the watchdogs (CTransferWatchdogs), the target file
// (CTargetFile), the rule for the answer to a range (CRangeAnswer), the failure
// (CTransferFailure), the progress shown (CTransferProgress).
//
// Every started transfer ends with exactly one of the two signals:
//   oneDownLoadFinish(path)  the reply finished without a network error, its HTTP status
//                            is 2xx, the byte count equals the announced size (both 0
//                            when the server announced none) and every byte reached the
//                            file on disk (the file is synced, Comm::syncFile, before);
//   errorfinish(path)        any other end: network error, non-2xx status, a byte count
//                            other than the announced size, a failed write to the file,
//                            a failed sync of the complete file, a refused content
//                            coding, a body over the limit, no answer within the
//                            response check, data that stopped coming (stall check) or
//                            came too slowly (slow-transfer rule).
// After errorfinish, failedByNetwork() and httpStatus() tell what kind of end it was.
// A transfer ended by stopDownLoads() ends silently: the caller asked for it. A
// transfer the downloader ends itself or is told to stop lets go of its connection,
// also of one still in its TLS handshake.
// A body sent without a size (closed connection or chunked) that the server cuts off
// cannot always be told from a complete one at this level; callers that need
// certainty check the file's contents (as the package reader does with its CRC).
//
// An https address is fetched over TLS 1.2 or later. The server's certificate is
// checked against the system's certificate store with the toolkit's default
// verification, host name included; there is no way to turn that off or to add
// trust. A certificate error, a failed handshake or a machine without a usable TLS
// library fails the transfer like any network error, and the log names the cause
// ("TLS error:", "error text:", "TLS handshake with ... did not complete", "TLS is
// not available"). A redirect is never followed; it fails like any other non-2xx
// answer.
//
// The proxy of a transfer is CProxyFactory's choice (environment, else the desktop's
// settings); everything above holds through it, an https address is reached through
// the proxy's CONNECT with the same certificate checks. A proxy that asks for a user
// name and password is answered by CProxyAuthenticator, and only when it is the proxy
// the factory chose for this transfer; while the user is asked, the watchdogs wait, and
// they start afresh once the answer is given.
//
// The body is taken as the server sends it. Every request says "Accept-Encoding:
// identity", so the toolkit neither asks for a compressed body nor unpacks one; a
// response that names any content coding but identity (compared trimmed, in any
// case; an empty value counts as none) fails as soon as its head is in, before a byte
// of its body is written.
//
// Body limit (setMaxBodyBytes, none by default): a response that announces a longer
// body (Content-Length) fails as soon as its head is in; a body that grows past the
// limit (any framing) fails as soon as it does, with the file holding at most the
// limit's bytes of it.
//
// The file is never written through a link or a file planted at its path. Normally
// (no byte counter, or the counter at 0) it is created afresh at the start: whatever
// non-directory stands at the path is removed and a new file is created exclusively,
// without following a link. Only when the counter is above 0 (continuing a partial
// file) is an existing file opened, and only if it is reached without a link, is a
// regular file known under no other name (one link) and holds at least the counted
// bytes; it is cut to them and the rest written after them. Anything else (a
// directory, a link, a FIFO, a missing or short partial file) makes startDownLoads()
// fail. At the end the file must still be the one opened, holding every byte written.
//
// Continuing: with a byte counter every request asks for "Range: bytes=N-" (N the
// counter) and, when the file being continued has a validator (setResumeValidator),
// "If-Range" with it. A 206 continues the file only when its Content-Range starts at N
// and names the file's total (the one given, or any when none was); a 200 means the
// server sent the whole file instead: the file is cut to nothing and the counter starts
// again at 0 ("server ignored the range: starting over"). Any other answer to a range
// that continues a file (another 2xx, a 416, a Content-Range missing, malformed, elsewhere
// or of another total) fails the transfer as a RangeFailure. The counter and the progress
// count the bytes already in the file, so a 206 of the rest is complete; the body limit
// applies to the whole file.
//
// After an errorfinish, failure() says why: NetworkFailure for what a later try may
// mend (no connection, a reset or cut-off body, a TLS handshake cut off, a 5xx, a
// watchdog), RangeFailure as above, FinalFailure for everything else (a 4xx or other
// status, a refused content coding, a body over the limit, a failed write, a
// certificate error). transferFailure() holds the whole end (CTransferFailure) with the
// questions callers ask of it: mayRetry() and asksOtherServer().
//
// Three checks guard each transfer, also while startDownLoads(true) waits:
//   the response check ends the transfer as a failure when nothing at all has been
//   heard from the server within one watchdog interval;
//   the stall check reports a failure (and aborts the transfer) when data or progress
//   reports have come in and then stop for one to three watchdog intervals;
//   the slow-transfer rule reports a failure (and aborts the transfer) when less than
//   1 KiB of body came in within any window of 60 s: a sliding window, looked at ten
//   times a window, each time over the window that ends then. The first window
//   starts when the request is sent, so the rule fails nothing before a whole window
//   has passed. Body bytes count as they are read. A server that keeps a transfer
//   alive with a trickle escapes the stall check but not this rule.
// The watchdog interval is 10 s; tests shorten it with setDefaultWatchdogInterval()
// or setWatchdogInterval(), and the window with setDefaultSlowTransferWindow() or
// setSlowTransferWindow(). A downloader takes the defaults when it is made; its own
// values take effect with its next start.
//
// Safe use from receivers: a slot connected to oneDownLoadFinish or errorfinish may
// run a nested event loop (a modal dialog, another waiting download), and it may
// start over with a new downloader, but it must release this one with deleteLater(),
// never with delete:
//
//     void Owner::onFinished(const QString& path)
//     {
//         m_pDownloader->deleteLater();      // not: delete m_pDownloader;
//         m_pDownloader = nullptr;
//         QMessageBox::information(...);     // nested loops are fine
//     }
//
// The signal is the last thing the downloader does for a transfer: once it has been
// emitted no timer, reply or file of that transfer touches the object any more, and
// a waiting startDownLoads(true) returns without touching the object when it was
// deleted meanwhile. Progress bar and label are watched: when either is destroyed
// before the downloader, the downloader stops driving it.
class QHttpDownLoadS : public QObject
{
    Q_OBJECT

public:
    QHttpDownLoadS(QObject* parent, QProgressBar* bar, QLabel* label, qint64* byteCounter);
    ~QHttpDownLoadS() override;

    // Stores the address and the local path. Refuses (returns false, changes nothing)
    // an invalid URL, a scheme other than "http" or "https", an empty path in the URL
    // and an empty file path. On success whatever stands at filePath is removed unless
    // it is a directory (a link is removed as a link) or the byte counter is above 0
    // (the file is to be continued).
    bool setUrlAndFilePath(QUrl url, QString filePath);
    void setProgressBar(QProgressBar* bar);

    // Opens the file and sends the request. Without a byte counter or with the
    // counter at 0 the file is created afresh (see the file rules above); with the
    // counter above 0 the partial file is continued after the counted bytes. Returns
    // false when the file cannot be opened that way or a transfer of this downloader
    // is still running. With bWait true it returns only after the transfer has ended
    // (its signal, if any, has already been emitted by then).
    bool startDownLoads(bool bWait);
    // Aborts the running transfer; it then ends without a signal.
    void stopDownLoads();

    bool isRunning() const { return m_bRunning; }

    // What the latest transfer ended with, for a caller that decides whether another
    // server is worth asking; both are reset when a transfer starts. httpStatus() is the
    // status of the latest response's head, 0 when none came. failedByNetwork() is true
    // when the transfer failed without a whole answer: no connection, a TLS failure, no
    // answer or no data within the watchdogs, a lost connection, a body cut off. False
    // for a success, an answer refused by its status, head or size, a proxy that asked
    // for credentials, and a failed write.
    int httpStatus() const { return m_outcome.httpStatus(); }
    bool failedByNetwork() const { return m_outcome.byNetwork(); }
    // The "Retry-After" of the latest response's head, as it came; empty when none.
    QByteArray retryAfter() const { return m_outcome.retryAfter(); }

    // Watchdog interval (response check and stall check) in milliseconds.
    static void setDefaultWatchdogInterval(int msec);
    static int defaultWatchdogInterval();
    void setWatchdogInterval(int msec);
    int watchdogInterval() const { return m_watchdogs.interval(); }

    // Window of the slow-transfer rule in milliseconds (see above).
    static void setDefaultSlowTransferWindow(int msec);
    static int defaultSlowTransferWindow();
    void setSlowTransferWindow(int msec);
    int slowTransferWindow() const { return m_watchdogs.slowWindow(); }

    enum Failure {
        NoFailure = CTransferFailure::NoFailure,
        NetworkFailure = CTransferFailure::NetworkFailure,
        RangeFailure = CTransferFailure::RangeFailure,
        FinalFailure = CTransferFailure::FinalFailure
    };
    // Why the last transfer failed; NoFailure while running and after a success.
    Failure failure() const { return static_cast<Failure>(m_outcome.kind()); }
    // The whole end of the latest transfer; no failure while one runs.
    const CTransferFailure& transferFailure() const { return m_outcome; }

    // The validator (an ETag or a Last-Modified date, sent as If-Range) and the whole
    // size (0: unknown) of the file the counter continues. After a transfer they are
    // those of the answer that began the file (a 200, or a 206 from byte 0): its strong
    // ETag, else its Last-Modified (empty when it had neither, or one not fit to be
    // sent back), and its total; a 206 that continued the file leaves them as given.
    void setResumeValidator(const QByteArray& validator, qint64 total);
    QByteArray resumeValidator() const { return m_resumeValidator; }
    qint64 resumeTotal() const { return m_nResumeTotal; }

    // Most body bytes one response may bring (see the body limit above); 0, the
    // default, sets no limit.
    void setMaxBodyBytes(qint64 bytes);
    qint64 maxBodyBytes() const { return m_nMaxBodyBytes; }

signals:
    void oneDownLoadFinish(QString filePath);
    void errorfinish(QString filePath);
    // A 2xx answer's head has been accepted and nothing of its body written yet:
    // resumeValidator() and resumeTotal() are those of the file now (set by a 200 or a
    // 206 from byte 0, kept by a 206 that continues). Once per transfer; a receiver may
    // write files but must not stop or release the downloader.
    void answerAccepted();

public slots:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void slotError(QNetworkReply::NetworkError code);
    void readyRead();
    void replyFinished();
    // The response check is due: fails the transfer when nothing has been heard.
    void slotsHasHttpReponse();

protected:
    // Milliseconds since the epoch; the time label's clock.
    virtual qint64 currentMSecsSinceEpoch() const;

private:
    // Sends the request for the file opened and connects to its reply; the transfer runs.
    void sendRequest();
    // Runs an event loop until the transfer ends; the object may be gone afterwards.
    void waitForEnd();
    void onProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator);
    // Ends the transfer as a failure when the response's head rules its body out (a
    // content coding, an answer to the range that does not fit, an announced size over
    // the limit); true when it did.
    bool refuseByHead();
    // Takes the answer to the range asked for: continues the file, starts it over, or
    // fails the transfer (RangeFailure) and returns false.
    bool takeRangeAnswer(int status);
    // Writes the next piece of body to the file, within the body limit; false when the
    // transfer has ended.
    bool takeBody(const char* data, qint64 size);
    // Releases the reply, keeps the outcome and the byte counter, stops the watchdogs
    // and lets a waiting start return.
    void releaseTransfer(const CTransferFailure& outcome);
    // Ends the running transfer with the given failure, or silently with NoFailure: aborts
    // the reply (its own finished() is then ignored), closes the file and, for a failure,
    // emits errorfinish.
    void endTransfer(CTransferFailure::Kind failure);

    QNetworkAccessManager* m_pNetworkManager;
    CProxyFactory* m_pProxyFactory;   // owned by the network manager
    QNetworkReply* m_pReply;
    QString m_strFilePath;
    QUrl m_url;
    qint64* m_pByteCounter;
    CTransferProgress m_progress;
    CTargetFile m_file;
    CTransferWatchdogs m_watchdogs;
    CTransferFailure m_outcome;       // of the latest transfer

    // State of the running transfer.
    bool m_bRunning;
    // Set when the downloader ended the transfer itself: the failure, NoFailure for a stop.
    std::optional<CTransferFailure::Kind> m_endedBy;
    bool m_bHeadAccepted;        // the response's head has passed refuseByHead()
    qint64 m_nBodyBytes;         // body bytes of this response read so far
    qint64 m_nMaxBodyBytes;      // 0: no limit
    QByteArray m_resumeValidator;
    qint64 m_nResumeTotal;       // the whole file's size; 0: unknown

    QEventLoop* m_pWaitLoop;     // the loop of a waiting start, while it runs
    CProxyAuthenticator m_proxyAuth;  // the running transfer's answers to its proxy
    QByteArray m_readBuffer;     // body bytes on their way from the reply to the file
};

#endif // QHTTPDOWNLOADS_H
