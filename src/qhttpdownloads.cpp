#include "qhttpdownloads.h"

#include "cproxyfactory.h"
#include "crangeanswer.h"

#include <QAuthenticator>
#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {

// Bytes the reply may hold before the network is paused until they are written. Each
// time the reply's buffer is emptied its network thread is told so; over TLS, where the
// body comes in pieces of 16 KiB or less, a smaller bound makes that cost show.
const qint64 kReadBufferBytes = 1024 * 1024;

// Most bytes taken from the reply and written to the file at a time.
const int kReadChunkBytes = 256 * 1024;

QString fileNameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Sets up certificate checking for an https request: the toolkit's default verification
// against the system's certificate store, host name included; only the protocol floor
// is raised. Nothing adds trust or turns a check off.
void prepareTls(QNetworkRequest* request)
{
    if (!QSslSocket::supportsSsl()) {
        qDebug() << "TLS is not available, an https address cannot be fetched:"
                 << (QSslSocket::sslLibraryVersionString().isEmpty()
                         ? QStringLiteral("no usable TLS library was found")
                         : QSslSocket::sslLibraryVersionString());
        return; // the toolkit then ends the request with an error of its own
    }
    QSslConfiguration tls = request->sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    request->setSslConfiguration(tls);
}

// The request for url; with a byte counter it asks for the rest after the counted
// bytes, If-Range with the validator of the file continued.
QNetworkRequest requestFor(const QUrl& url, const qint64* byteCounter, const QByteArray& validator)
{
    QNetworkRequest request(url);
    // Set explicitly, the toolkit neither asks for a compressed body nor unpacks one:
    // the bytes that reach the file are the bytes the server sent.
    request.setRawHeader("Accept-Encoding", "identity");
    // A redirect is an answer like any other non-2xx one: never followed, so an https
    // address cannot be led to http or anywhere else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (url.scheme() == QLatin1String("https"))
        prepareTls(&request);
    if (byteCounter) {
        request.setRawHeader("Range", QByteArray("bytes=") + QByteArray::number(*byteCounter) + '-');
        if (*byteCounter > 0 && !validator.isEmpty())
            request.setRawHeader("If-Range", validator);
    }
    return request;
}

// Certificate problems are only logged: nothing here ignores them, so the toolkit ends
// the handshake and the transfer fails.
void logTlsErrors(const QList<QSslError>& errors)
{
    for (const QSslError& error : errors) {
        const QSslCertificate certificate = error.certificate();
        if (certificate.isNull())
            qDebug() << "TLS error:" << error.errorString();
        else
            qDebug() << "TLS error:" << error.errorString() << "certificate:"
                     << certificate.subjectDisplayName() << "issued by" << certificate.issuerDisplayName()
                     << "valid" << certificate.effectiveDate().toUTC().toString(Qt::ISODate) << "to"
                     << certificate.expiryDate().toUTC().toString(Qt::ISODate);
    }
}

std::optional<qint64> contentLengthOf(const QNetworkReply* reply)
{
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    return known ? std::optional<qint64>(length) : std::nullopt;
}

// What the reply left behind; no reply counts as one that never reached the server.
CTransferFailure::ReplyEnd endOf(const QNetworkReply* reply)
{
    CTransferFailure::ReplyEnd end;
    if (!reply)
        return end;
    end.error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        end.status = status.toInt();
    end.retryAfter = reply->rawHeader("Retry-After").left(256);
    end.peerCertificate = !reply->sslConfiguration().peerCertificate().isNull();
    return end;
}

// A reply without an error, a 2xx status, the byte count the announced size and, with
// a known size, the bytes that reached the file the bytes counted.
bool replySucceeded(const QNetworkReply* reply, const CTransferProgress& progress, qint64 bytesWritten)
{
    if (!reply || reply->error() != QNetworkReply::NoError)
        return false;
    bool isNumber = false;
    const int code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(&isNumber);
    if (!isNumber || code < 200 || code > 299)
        return false;
    if (progress.received() != progress.total())
        return false;
    return progress.total() == 0 || bytesWritten == progress.received() - progress.base();
}

} // namespace

QHttpDownLoadS::QHttpDownLoadS(QObject* parent, QProgressBar* bar, QLabel* label, qint64* byteCounter)
    : QObject(parent)
    , m_pNetworkManager(new QNetworkAccessManager(this))
    , m_pProxyFactory(new CProxyFactory)
    , m_pReply(nullptr)
    , m_pByteCounter(byteCounter)
    , m_progress(bar, label)
    , m_watchdogs([this] { return m_nBodyBytes; })
    , m_bRunning(false)
    , m_bHeadAccepted(false)
    , m_nBodyBytes(0)
    , m_nMaxBodyBytes(0)
    , m_nResumeTotal(0)
    , m_pWaitLoop(nullptr)
{
    // The manager owns the factory.
    m_pNetworkManager->setProxyFactory(m_pProxyFactory);
    connect(m_pNetworkManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &QHttpDownLoadS::onProxyAuthenticationRequired);
    connect(&m_watchdogs, &CTransferWatchdogs::responseCheckDue, this, &QHttpDownLoadS::slotsHasHttpReponse);
    connect(&m_watchdogs, &CTransferWatchdogs::stalled, this, [this] { endTransfer(CTransferFailure::NetworkFailure); });
    connect(&m_watchdogs, &CTransferWatchdogs::tooSlow, this, [this] { endTransfer(CTransferFailure::NetworkFailure); });
}

QHttpDownLoadS::~QHttpDownLoadS()
{
    // A running reply dies with the manager; make sure nothing it might still say on
    // its way out reaches this half-destroyed object.
    m_bRunning = false;
    if (m_pWaitLoop) {
        m_pWaitLoop->quit();
        m_pWaitLoop = nullptr;
    }
    if (m_pReply)
        disconnect(m_pReply, nullptr, this, nullptr);
    delete m_pNetworkManager;
    m_pNetworkManager = nullptr;
    m_pReply = nullptr;
    m_file.close();
    m_watchdogs.stop();
}

void QHttpDownLoadS::setDefaultWatchdogInterval(int msec)
{
    CTransferWatchdogs::setDefaultInterval(msec);
}

int QHttpDownLoadS::defaultWatchdogInterval()
{
    return CTransferWatchdogs::defaultInterval();
}

void QHttpDownLoadS::setWatchdogInterval(int msec)
{
    m_watchdogs.setInterval(msec);
}

void QHttpDownLoadS::setDefaultSlowTransferWindow(int msec)
{
    CTransferWatchdogs::setDefaultSlowWindow(msec);
}

int QHttpDownLoadS::defaultSlowTransferWindow()
{
    return CTransferWatchdogs::defaultSlowWindow();
}

void QHttpDownLoadS::setSlowTransferWindow(int msec)
{
    m_watchdogs.setSlowWindow(msec);
}

void QHttpDownLoadS::setResumeValidator(const QByteArray& validator, qint64 total)
{
    m_resumeValidator = validator;
    m_nResumeTotal = total > 0 ? total : 0;
}

void QHttpDownLoadS::setMaxBodyBytes(qint64 bytes)
{
    m_nMaxBodyBytes = bytes > 0 ? bytes : 0;
}

bool QHttpDownLoadS::setUrlAndFilePath(QUrl url, QString filePath)
{
    if (!url.isValid())
        return false;
    // QUrl reports the scheme in lower case, so "HTTP://" and "HTTPS://" pass too.
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return false;
    if (url.path(QUrl::FullyDecoded).isEmpty())
        return false;
    if (filePath.isEmpty())
        return false;

    m_url = url;
    m_strFilePath = filePath;
    // Every transfer but one continuing a file starts from an absent file. A link is
    // removed as a link; what it points to is left alone.
    if ((!m_pByteCounter || *m_pByteCounter <= 0) && !CTargetFile::clearPath(m_strFilePath))
        qDebug() << "Cannot remove what stands at" << m_strFilePath;
    return true;
}

void QHttpDownLoadS::setProgressBar(QProgressBar* bar)
{
    m_progress.setBar(bar);
}

bool QHttpDownLoadS::startDownLoads(bool bWait)
{
    if (m_bRunning) {
        qDebug() << "Error:A download is already running.";
        return false;
    }
    // Created afresh, or, with a byte counter above 0, the partial file continued
    // after the counted bytes.
    if (!m_file.open(m_strFilePath, m_pByteCounter ? *m_pByteCounter : 0)) {
        qDebug() << "Error:Cannot open file.";
        return false;
    }
    m_nBodyBytes = 0;
    m_outcome = CTransferFailure();
    m_endedBy.reset();
    m_bHeadAccepted = false;
    sendRequest();
    // The watchdogs are armed before a waiting start enters its loop, so a silent or
    // stalled server cannot hold that loop forever.
    m_watchdogs.start();
    if (bWait && m_bRunning)
        waitForEnd();
    return true;
}

void QHttpDownLoadS::sendRequest()
{
    m_proxyAuth = CProxyAuthenticator();
    m_pReply = m_pNetworkManager->get(requestFor(m_url, m_pByteCounter, m_resumeValidator));
    // Without a bound the network thread reads ahead of the file writes and a large
    // package ends up in memory whole; a bounded buffer keeps memory flat and is
    // faster too.
    m_pReply->setReadBufferSize(kReadBufferBytes);
    m_progress.begin(m_pByteCounter ? *m_pByteCounter : 0, currentMSecsSinceEpoch());
    m_bRunning = true;

    connect(m_pReply, &QNetworkReply::metaDataChanged, this, [this] {
        m_watchdogs.heard();
        refuseByHead();
    });
    connect(m_pReply, &QNetworkReply::readyRead, this, &QHttpDownLoadS::readyRead);
    connect(m_pReply, &QNetworkReply::downloadProgress, this, &QHttpDownLoadS::downloadProgress);
    connect(m_pReply, &QNetworkReply::errorOccurred, this, &QHttpDownLoadS::slotError);
    connect(m_pReply, &QNetworkReply::sslErrors, this, &logTlsErrors);
    connect(m_pReply, &QNetworkReply::finished, this, &QHttpDownLoadS::replyFinished);
}

void QHttpDownLoadS::waitForEnd()
{
    QPointer<QHttpDownLoadS> self(this);
    QEventLoop loop;
    // The end of the transfer (or the destructor) quits this loop. A receiver may
    // release this downloader with deleteLater() from one of its signals, and that
    // deletion can happen inside this loop: touch nothing afterwards unless the object
    // is still alive.
    m_pWaitLoop = &loop;
    loop.exec();
    if (!self)
        return;
    if (m_pWaitLoop == &loop)
        m_pWaitLoop = nullptr;
}

void QHttpDownLoadS::stopDownLoads()
{
    if (m_pNetworkManager && m_pReply && m_bRunning)
        endTransfer(CTransferFailure::NoFailure);
}

void QHttpDownLoadS::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_bRunning)
        m_watchdogs.progressed();
    m_watchdogs.heard();
    m_progress.report(bytesReceived + (m_pByteCounter ? *m_pByteCounter : 0), bytesTotal, fileNameOf(m_strFilePath),
                      currentMSecsSinceEpoch());
}

void QHttpDownLoadS::slotError(QNetworkReply::NetworkError code)
{
    qDebug() << "error:" << static_cast<int>(code);
    QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
    if (reply && reply == m_pReply) {
        qDebug() << "error text:" << reply->errorString();
        // A handshake that never finished (a server that stops or hangs up half-way, a
        // plain-HTTP port) shows only as a closed or cancelled connection: say that
        // the failure was in TLS. The session cipher is set once the handshake is done.
        if (m_url.scheme() == QLatin1String("https") && QSslSocket::supportsSsl()
            && reply->sslConfiguration().sessionCipher().isNull())
            qDebug() << "TLS handshake with" << m_url.host() << "did not complete";
    }
    m_file.close();
}

void QHttpDownLoadS::readyRead()
{
    qDebug() << "readyRead()";
    m_watchdogs.heard();
    if (!m_pReply || !m_bRunning)
        return;
    // Arriving data is progress too: the toolkit holds back progress reports during
    // the first moments of a reply, so a server that sends a quick burst and then
    // stalls would otherwise never be caught.
    m_watchdogs.progressed();

    // Nothing of a body the head rules out reaches the file.
    if (refuseByHead())
        return;

    // Over TLS the body comes in many small pieces: they are read through one buffer
    // kept for the transfer instead of a new one each time, and only what is there is
    // asked for (every read of the reply costs a message to its network thread).
    if (m_readBuffer.size() != kReadChunkBytes)
        m_readBuffer.resize(kReadChunkBytes);
    while (m_pReply && m_bRunning) {
        const qint64 available = m_pReply->bytesAvailable();
        if (available <= 0)
            return;
        const qint64 size = m_pReply->read(m_readBuffer.data(), qMin<qint64>(available, m_readBuffer.size()));
        if (size <= 0 || !takeBody(m_readBuffer.constData(), size))
            return;
    }
}

bool QHttpDownLoadS::takeBody(const char* data, qint64 size)
{
    const qint64 before = m_nBodyBytes;
    m_nBodyBytes += size;
    if (m_file.failed())
        return true;
    if (!m_file.isOpen()) {
        m_file.markFailed();
        return true;
    }
    // A body past the limit is written up to the limit, then the transfer fails.
    // The limit is on the whole file, the bytes a continued file holds already included.
    const qint64 base = m_progress.base();
    const bool overLimit = m_nMaxBodyBytes > 0 && base + m_nBodyBytes > m_nMaxBodyBytes;
    if (overLimit)
        size = qMax<qint64>(0, m_nMaxBodyBytes - base - before);
    if (size > 0 && !m_file.write(data, size)) {
        // The byte count comes from the network; a file that misses bytes must not
        // pass as a complete download.
        qDebug() << "Error:Cannot write file." << m_file.errorString();
        endTransfer(CTransferFailure::FinalFailure);
        return false;
    }
    if (overLimit) {
        qDebug() << "Error:The body is larger than allowed, more than" << m_nMaxBodyBytes << "bytes.";
        endTransfer(CTransferFailure::FinalFailure);
        return false;
    }
    return true;
}

void QHttpDownLoadS::onProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator)
{
    if (!m_bRunning)
        return;
    // The user may be asked: time spent on a dialog is no silence of the network.
    m_watchdogs.stop();
    QPointer<QHttpDownLoadS> self(this);
    // Only the proxy this transfer goes through is answered.
    m_proxyAuth.answer(m_pProxyFactory->chosenFor(m_url), proxy, authenticator);
    if (self && m_bRunning)
        m_watchdogs.rearm();
}

bool QHttpDownLoadS::refuseByHead()
{
    if (!m_pReply || !m_bRunning || m_bHeadAccepted)
        return false;
    // A body in any coding but identity would not be the file's bytes.
    const QByteArray encoding = m_pReply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0) {
        qDebug() << "Error:The body comes with a content coding, which is refused:" << encoding.left(64);
        endTransfer(CTransferFailure::FinalFailure);
        return true;
    }
    // The answer to a range comes first: a 200 starts the file over, and the limit is
    // on the whole file.
    const QVariant status = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !takeRangeAnswer(status.toInt()))
        return true;
    const std::optional<qint64> announced = contentLengthOf(m_pReply);
    if (m_nMaxBodyBytes > 0 && announced && m_progress.base() + *announced > m_nMaxBodyBytes) {
        qDebug() << "Error:The body announced is larger than allowed:" << *announced << "bytes, more than"
                 << m_nMaxBodyBytes;
        endTransfer(CTransferFailure::FinalFailure);
        return true;
    }
    // Once the head is in, it is not looked at again for every piece of the body.
    m_bHeadAccepted = status.isValid();
    const int code = status.toInt();
    if (m_bHeadAccepted && code >= 200 && code <= 299) {
        QPointer<QHttpDownLoadS> self(this);
        emit answerAccepted();
        return !self || !m_bRunning;
    }
    return false;
}

bool QHttpDownLoadS::takeRangeAnswer(int status)
{
    if (!m_pByteCounter)
        return true;
    const qint64 from = m_progress.base();
    const CRangeAnswer::Verdict verdict = CRangeAnswer::judge(status, m_pReply->rawHeader("Content-Range"),
                                                              contentLengthOf(m_pReply), from, m_nResumeTotal);
    if (verdict.beginsFile) {
        m_resumeValidator = CRangeAnswer::validator(m_pReply->rawHeader("ETag"), m_pReply->rawHeader("Last-Modified"));
        m_nResumeTotal = verdict.fileTotal;
    }
    if (verdict.outcome == CRangeAnswer::Fail) {
        qDebug().noquote() << QStringLiteral("the answer to the range does not continue %1 at byte %2: status %3, "
                                             "Content-Range \"%4\" (%5)")
                                  .arg(fileNameOf(m_strFilePath))
                                  .arg(from)
                                  .arg(status)
                                  .arg(QString::fromLatin1(m_pReply->rawHeader("Content-Range").left(100)),
                                       verdict.reason);
        endTransfer(CTransferFailure::RangeFailure);
        return false;
    }
    m_progress.setWholeSize(verdict.rangeTotal);
    if (verdict.outcome != CRangeAnswer::StartOver)
        return true;
    qDebug().noquote() << QStringLiteral("server ignored the range: starting over ") + fileNameOf(m_strFilePath);
    if (!m_file.startOver()) {
        qDebug() << "Error:Cannot write file." << m_file.errorString();
        endTransfer(CTransferFailure::FinalFailure);
        return false;
    }
    m_progress.startOver();
    *m_pByteCounter = 0;
    return true;
}

void QHttpDownLoadS::replyFinished()
{
    qDebug() << "replyFinished()";
    m_watchdogs.heard();

    QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
    if (!m_bRunning || (reply && reply != m_pReply)) {
        // A reply of an earlier transfer; it has been dealt with already.
        if (reply && reply != m_pReply)
            reply->deleteLater();
        return;
    }

    // A head that rules the body out fails the transfer even when no byte came.
    if (!m_endedBy && refuseByHead())
        return;
    // The reply may still hold bytes that readyRead has not picked up.
    if (m_pReply && m_pReply->bytesAvailable() > 0 && !m_endedBy)
        readyRead();
    if (!m_bRunning)
        return;

    // A download counts as complete only with its bytes on the disk.
    const bool received = !m_endedBy && replySucceeded(m_pReply, m_progress, m_file.bytesWritten()) && !m_file.failed();
    if (received)
        m_file.sync();
    m_file.close();
    const bool ok = received && !m_file.failed() && m_file.intact();
    CTransferFailure::ReplyEnd end = endOf(m_pReply);
    end.writeFailed = m_file.failed();
    end.bytesShort = m_progress.received() != m_progress.total();
    // A transfer the downloader ended itself reports from there (or not at all).
    const bool endedHere = m_endedBy.has_value();
    if (endedHere)
        releaseTransfer(CTransferFailure(*m_endedBy, end));
    else
        releaseTransfer(ok ? CTransferFailure(CTransferFailure::NoFailure, end) : CTransferFailure::ofReply(end));
    if (endedHere)
        return;
    if (ok)
        emit oneDownLoadFinish(m_strFilePath);
    else
        emit errorfinish(m_strFilePath);
    // Nothing after the signal: its receiver may have released this object.
}

void QHttpDownLoadS::slotsHasHttpReponse()
{
    qDebug() << "slotsHasHttpReponse:" << m_watchdogs.responseHeard();
    m_watchdogs.stopResponseCheck();
    if (!m_bRunning || m_watchdogs.responseHeard())
        return;

    m_progress.showFull();
    endTransfer(CTransferFailure::NetworkFailure);
}

qint64 QHttpDownLoadS::currentMSecsSinceEpoch() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

void QHttpDownLoadS::releaseTransfer(const CTransferFailure& outcome)
{
    m_outcome = outcome;
    if (m_pReply) {
        disconnect(m_pReply, nullptr, this, nullptr);
        // A connection the server closed mid-reply can make the toolkit send the request
        // once more on a new one after the reply has failed: a failed reply is aborted,
        // so that nothing of it goes on behind the next try.
        if (outcome.kind() != CTransferFailure::NoFailure)
            m_pReply->abort();
        m_pReply->deleteLater();
        m_pReply = nullptr;
    }
    if (m_pByteCounter)
        *m_pByteCounter = m_progress.received();
    m_watchdogs.stop();
    m_bRunning = false;
    if (m_pWaitLoop) {
        m_pWaitLoop->quit();
        m_pWaitLoop = nullptr;
    }
}

void QHttpDownLoadS::endTransfer(CTransferFailure::Kind failure)
{
    if (!m_bRunning)
        return;
    m_endedBy = failure;
    m_watchdogs.stop();
    // abort() delivers the reply's finished() at once; replyFinished then cleans up
    // without a signal of its own.
    if (m_pReply)
        m_pReply->abort();
    // An aborted reply that had not yet been handed a connection (one still in its
    // TLS handshake) leaves that connection open; a transfer given up lets go of it.
    if (m_pNetworkManager)
        m_pNetworkManager->clearConnectionCache();
    if (m_bRunning) {
        // The reply had already finished; clean up here.
        m_file.close();
        releaseTransfer(CTransferFailure(failure, endOf(m_pReply)));
    }
    if (failure != CTransferFailure::NoFailure)
        emit errorfinish(m_strFilePath);
}
