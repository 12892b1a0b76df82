#include "qhttpdownloads.h"

#include "cproxyfactory.h"
#include "safefiles.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>
#include <QTimerEvent>

#include <climits>
#include <cmath>
#include <optional>

namespace {

// Both watchdogs use this interval unless a downloader is given its own.
int g_nDefaultWatchdogMs = 10000;

// The slow-transfer rule's window unless a downloader is given its own.
int g_nDefaultSlowWindowMs = 60000;

// Body bytes a transfer must bring in every window of the slow-transfer rule.
const qint64 kSlowMinBytes = 1024;

// Bytes the reply may hold before the network is paused until they are written. Each
// time the reply's buffer is emptied its network thread is told so; over TLS, where the
// body comes in pieces of 16 KiB or less, a smaller bound makes that cost show.
const qint64 kReadBufferBytes = 1024 * 1024;

// Most bytes taken from the reply and written to the file at a time.
const int kReadChunkBytes = 256 * 1024;

// Truncates toward zero like a C cast, but keeps values that do not fit (or are not
// numbers at all) inside the int range instead of overflowing.
int truncatedToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

QHttpDownLoadS::QHttpDownLoadS(QObject* parent, QProgressBar* bar, QLabel* label, qint64* byteCounter)
    : QObject(parent)
    , m_pNetworkManager(new QNetworkAccessManager(this))
    , m_pProxyFactory(nullptr)
    , m_pReply(nullptr)
    , m_pFile(nullptr)
    , m_pProgressBar(bar)
    , m_pLabel(label)
    , m_nTotalBytes(0)
    , m_nReceivedBytes(0)
    , m_nStartTime(0)
    , m_pByteCounter(byteCounter)
    , m_pResponseTimer(nullptr)
    , m_bResponseSeen(false)
    , m_nStallCount(-1)
    , m_nStallTimerId(-1)
    , m_bRunning(false)
    , m_bEndedByDownloader(false)
    , m_bWriteFailed(false)
    , m_bHeadAccepted(false)
    , m_nFileStartSize(0)
    , m_nFileDevice(0)
    , m_nFileInode(0)
    , m_nBytesWritten(0)
    , m_nCounterBase(0)
    , m_nBodyBytes(0)
    , m_nMaxBodyBytes(0)
    , m_failure(NoFailure)
    , m_nResumeTotal(0)
    , m_nRangeTotal(0)
    , m_nWatchdogMs(g_nDefaultWatchdogMs)
    , m_nHttpStatus(0)
    , m_bFailedByNetwork(false)
    , m_nSlowWindowMs(g_nDefaultSlowWindowMs)
    , m_nRateWindowMs(g_nDefaultSlowWindowMs)
    , m_nRateTimerId(-1)
    , m_pWaitLoop(nullptr)
{
    // The manager owns the factory.
    m_pProxyFactory = new CProxyFactory;
    m_pNetworkManager->setProxyFactory(m_pProxyFactory);
    connect(m_pNetworkManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &QHttpDownLoadS::onProxyAuthenticationRequired);
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
    if (m_pFile) {
        if (m_pFile->isOpen())
            m_pFile->close();
        delete m_pFile;
        m_pFile = nullptr;
    }
    delete m_pResponseTimer;
    m_pResponseTimer = nullptr;
    m_nStallCount = -1;
    if (m_nStallTimerId != -1) {
        killTimer(m_nStallTimerId);
        m_nStallTimerId = -1;
    }
    if (m_nRateTimerId != -1) {
        killTimer(m_nRateTimerId);
        m_nRateTimerId = -1;
    }
}

void QHttpDownLoadS::setDefaultWatchdogInterval(int msec)
{
    g_nDefaultWatchdogMs = msec > 0 ? msec : 10000;
}

int QHttpDownLoadS::defaultWatchdogInterval()
{
    return g_nDefaultWatchdogMs;
}

void QHttpDownLoadS::setWatchdogInterval(int msec)
{
    m_nWatchdogMs = msec > 0 ? msec : 10000;
}

void QHttpDownLoadS::setDefaultSlowTransferWindow(int msec)
{
    g_nDefaultSlowWindowMs = msec > 0 ? msec : 60000;
}

int QHttpDownLoadS::defaultSlowTransferWindow()
{
    return g_nDefaultSlowWindowMs;
}

void QHttpDownLoadS::setSlowTransferWindow(int msec)
{
    m_nSlowWindowMs = msec > 0 ? msec : 60000;
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
    if ((!m_pByteCounter || *m_pByteCounter <= 0) && !Comm::removeNonDirectory(m_strFilePath))
        qDebug() << "Cannot remove what stands at" << m_strFilePath;
    return true;
}

void QHttpDownLoadS::setProgressBar(QProgressBar* bar)
{
    m_pProgressBar = bar;
}

bool QHttpDownLoadS::startDownLoads(bool bWait)
{
    if (m_bRunning) {
        qDebug() << "Error:A download is already running.";
        return false;
    }
    if (!resetTransfer())
        return false;
    sendRequest();
    // Both watchdogs are armed before a waiting start enters its loop, so a silent or
    // stalled server cannot hold that loop forever.
    armWatchdogs();
    if (bWait && m_bRunning)
        waitForEnd();
    return true;
}

bool QHttpDownLoadS::resetTransfer()
{
    if (m_pFile) {
        if (m_pFile->isOpen())
            m_pFile->close();
        delete m_pFile;
        m_pFile = nullptr;
    }

    m_pFile = new QFile;
    if (!openTargetFile()) {
        qDebug() << "Error:Cannot open file.";
        delete m_pFile;
        m_pFile = nullptr;
        return false;
    }
    m_nBytesWritten = 0;
    m_bWriteFailed = false;

    m_nTotalBytes = 0;
    m_nReceivedBytes = 0;
    m_nCounterBase = m_pByteCounter ? *m_pByteCounter : 0;
    m_nBodyBytes = 0;
    m_nRangeTotal = 0;
    m_failure = NoFailure;
    m_bResponseSeen = false;
    m_bEndedByDownloader = false;
    m_bHeadAccepted = false;
    m_nHttpStatus = 0;
    m_retryAfter.clear();
    m_bFailedByNetwork = false;
    return true;
}

void QHttpDownLoadS::sendRequest()
{
    QNetworkRequest request(m_url);
    // Set explicitly, the toolkit neither asks for a compressed body nor unpacks one:
    // the bytes that reach the file are the bytes the server sent.
    request.setRawHeader("Accept-Encoding", "identity");
    // A redirect is an answer like any other non-2xx one: never followed, so an https
    // address cannot be led to http or anywhere else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (m_url.scheme() == QLatin1String("https"))
        prepareTls(&request);
    if (m_pByteCounter) {
        request.setRawHeader("Range", QByteArray("bytes=") + QByteArray::number(*m_pByteCounter) + '-');
        if (*m_pByteCounter > 0 && !m_resumeValidator.isEmpty())
            request.setRawHeader("If-Range", m_resumeValidator);
    }

    m_proxyAuth = CProxyAuthenticator();
    m_pReply = m_pNetworkManager->get(request);
    // Without a bound the network thread reads ahead of the file writes and a large
    // package ends up in memory whole; a bounded buffer keeps memory flat and is
    // faster too.
    m_pReply->setReadBufferSize(kReadBufferBytes);
    m_nStartTime = currentMSecsSinceEpoch();
    m_bRunning = true;

    connect(m_pReply, &QNetworkReply::metaDataChanged, this, &QHttpDownLoadS::onMetaDataChanged);
    connect(m_pReply, &QNetworkReply::readyRead, this, &QHttpDownLoadS::readyRead);
    connect(m_pReply, &QNetworkReply::downloadProgress, this, &QHttpDownLoadS::downloadProgress);
    connect(m_pReply, &QNetworkReply::errorOccurred, this, &QHttpDownLoadS::slotError);
    // Certificate problems are only logged: nothing here ignores them, so the toolkit
    // ends the handshake and the transfer fails.
    connect(m_pReply, &QNetworkReply::sslErrors, this, &QHttpDownLoadS::logTlsErrors);
    connect(m_pReply, &QNetworkReply::finished, this, &QHttpDownLoadS::replyFinished);
}

void QHttpDownLoadS::armWatchdogs()
{
    if (m_nStallTimerId != -1)
        killTimer(m_nStallTimerId);
    m_nStallTimerId = startTimer(m_nWatchdogMs, Qt::CoarseTimer);

    if (!m_pResponseTimer) {
        m_pResponseTimer = new QTimer(this);
        m_pResponseTimer->setSingleShot(true);
        connect(m_pResponseTimer, &QTimer::timeout, this, &QHttpDownLoadS::slotsHasHttpReponse);
    }
    m_nStallCount = 0;
    m_pResponseTimer->start(m_nWatchdogMs);

    // The slow-transfer rule looks ten times a window, each time at the window that
    // ends then; the first window starts with the request.
    m_nRateWindowMs = m_nSlowWindowMs;
    m_rateSamples.clear();
    m_rateClock.start();
    m_rateSamples.append(RateSample{0, 0});
    if (m_nRateTimerId != -1)
        killTimer(m_nRateTimerId);
    m_nRateTimerId = startTimer(qMax(1, m_nRateWindowMs / 10), Qt::CoarseTimer);
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
        endByDownloader(EndSilent);
}

void QHttpDownLoadS::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_bRunning && m_nStallCount >= -1)
        ++m_nStallCount;
    m_bResponseSeen = true;

    // A 206 names the whole file's size; its body is the rest after the counted bytes.
    if (m_nRangeTotal > 0)
        m_nTotalBytes = m_nRangeTotal;
    else if (bytesTotal <= 0)
        return;
    if (m_nTotalBytes == 0)
        m_nTotalBytes = bytesTotal;

    m_nReceivedBytes = bytesReceived + (m_pByteCounter ? *m_pByteCounter : 0);

    const double percent = static_cast<double>(m_nReceivedBytes) / static_cast<double>(m_nTotalBytes) * 100.0;
    const QString fileName = m_strFilePath.mid(m_strFilePath.lastIndexOf(QLatin1Char('/')) + 1);
    qDebug().noquote() << QStringLiteral("Downloading ") + fileName + QStringLiteral(":")
            + QStringLiteral("%1 of %2 = %3%").arg(m_nReceivedBytes).arg(m_nTotalBytes).arg(percent);

    if (m_pProgressBar)
        m_pProgressBar->setValue(truncatedToInt(percent));
    if (m_pLabel)
        updateLabel();
}

void QHttpDownLoadS::updateLabel()
{
    const qint64 now = currentMSecsSinceEpoch();
    const qint64 remaining = m_nTotalBytes - m_nReceivedBytes;
    const double receivedMB = static_cast<double>(m_nReceivedBytes) * (1.0 / 1024) * (1.0 / 1024);
    const double totalMB = static_cast<double>(m_nTotalBytes) * (1.0 / 1024) * (1.0 / 1024);
    const double elapsed = static_cast<double>(now - m_nStartTime) / 1000.0;

    // Without bytes or without elapsed time there is no speed to estimate from.
    if (m_nReceivedBytes <= 0 || elapsed <= 0.0) {
        m_pLabel->setText(tr("Time Remaining: - seconds ( %1/%2 MB)")
                              .arg(receivedMB, 0, 'f', 2)
                              .arg(totalMB, 0, 'f', 2));
        return;
    }

    // The speed of this transfer: the bytes already in a continued file came earlier.
    const qint64 thisTransfer = m_nReceivedBytes - m_nCounterBase;
    if (thisTransfer <= 0) {
        m_pLabel->setText(tr("Time Remaining: - seconds ( %1/%2 MB)")
                              .arg(receivedMB, 0, 'f', 2)
                              .arg(totalMB, 0, 'f', 2));
        return;
    }
    const double speed = static_cast<double>(thisTransfer) / elapsed;
    const int secondsLeft = truncatedToInt(static_cast<double>(remaining) / speed);
    m_pLabel->setText(tr("Time Remaining: %1 seconds ( %2/%3 MB)")
                          .arg(secondsLeft)
                          .arg(receivedMB, 0, 'f', 2)
                          .arg(totalMB, 0, 'f', 2));
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
    closeFile();
}

void QHttpDownLoadS::prepareTls(QNetworkRequest* request)
{
    // The toolkit's default verification against the system's certificate store,
    // host name included; only the protocol floor is raised. Nothing adds trust or
    // turns a check off.
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

void QHttpDownLoadS::logTlsErrors(const QList<QSslError>& errors)
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

void QHttpDownLoadS::readyRead()
{
    qDebug() << "readyRead()";
    m_bResponseSeen = true;
    if (!m_pReply || !m_bRunning)
        return;
    // Arriving data is progress too: the toolkit holds back progress reports during
    // the first moments of a reply, so a server that sends a quick burst and then
    // stalls would otherwise never be caught.
    if (m_nStallCount >= -1)
        ++m_nStallCount;

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
    if (m_bWriteFailed)
        return true;
    if (!m_pFile || !m_pFile->isOpen()) {
        m_bWriteFailed = true;
        return true;
    }
    // A body past the limit is written up to the limit, then the transfer fails.
    // The limit is on the whole file, the bytes a continued file holds already included.
    const bool overLimit = m_nMaxBodyBytes > 0 && m_nCounterBase + m_nBodyBytes > m_nMaxBodyBytes;
    if (overLimit)
        size = qMax<qint64>(0, m_nMaxBodyBytes - m_nCounterBase - before);
    if (size > 0) {
        const qint64 written = m_pFile->write(data, size);
        if (written > 0)
            m_nBytesWritten += written;
        if (written != size) {
            // The byte count comes from the network; a file that misses bytes must not
            // pass as a complete download.
            qDebug() << "Error:Cannot write file." << m_pFile->errorString();
            m_bWriteFailed = true;
            failWith(FinalFailure);
            return false;
        }
    }
    if (overLimit) {
        qDebug() << "Error:The body is larger than allowed, more than" << m_nMaxBodyBytes << "bytes.";
        failWith(FinalFailure);
        return false;
    }
    return true;
}

void QHttpDownLoadS::onProxyAuthenticationRequired(const QNetworkProxy& proxy, QAuthenticator* authenticator)
{
    if (!m_bRunning)
        return;
    // The user may be asked: time spent on a dialog is no silence of the network.
    stopWatchdogs();
    QPointer<QHttpDownLoadS> self(this);
    // Only the proxy this transfer goes through is answered.
    m_proxyAuth.answer(m_pProxyFactory->chosenFor(m_url), proxy, authenticator);
    if (self && m_bRunning)
        armWatchdogs();
}

void QHttpDownLoadS::onMetaDataChanged()
{
    m_bResponseSeen = true;
    refuseByHead();
}

bool QHttpDownLoadS::refuseByHead()
{
    if (!m_pReply || !m_bRunning || m_bHeadAccepted)
        return false;
    // A body in any coding but identity would not be the file's bytes.
    const QByteArray encoding = m_pReply->rawHeader("Content-Encoding").trimmed();
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0) {
        qDebug() << "Error:The body comes with a content coding, which is refused:" << encoding.left(64);
        failWith(FinalFailure);
        return true;
    }
    // The answer to a range comes first: a 200 starts the file over, and the limit is
    // on the whole file.
    const QVariant status = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !takeRangeAnswer(status.toInt()))
        return true;
    if (m_nMaxBodyBytes > 0) {
        bool known = false;
        const qint64 announced = m_pReply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && m_nCounterBase + announced > m_nMaxBodyBytes) {
            qDebug() << "Error:The body announced is larger than allowed:" << announced << "bytes, more than"
                     << m_nMaxBodyBytes;
            failWith(FinalFailure);
            return true;
        }
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

namespace {

// The validator an answer offers for If-Range: a strong ETag, else its Last-Modified.
// Nothing when it has neither or the value is not a short line of visible characters
// (it goes back into a request header).
QByteArray validatorOf(const QNetworkReply* reply)
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
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    // A weak tag cannot stand in If-Range.
    if (fit(etag) && !etag.startsWith("W/"))
        return etag;
    const QByteArray modified = reply->rawHeader("Last-Modified").trimmed();
    return fit(modified) ? modified : QByteArray();
}

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

} // namespace

bool QHttpDownLoadS::takeRangeAnswer(int status)
{
    if (!m_pByteCounter)
        return true;
    const qint64 from = m_nCounterBase;
    const QString fileName = m_strFilePath.mid(m_strFilePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (status == 200) {
        bool known = false;
        const qint64 length = m_pReply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        m_resumeValidator = validatorOf(m_pReply);
        m_nResumeTotal = known && length > 0 ? length : 0;
        if (from <= 0)
            return true;
        qDebug().noquote() << QStringLiteral("server ignored the range: starting over ") + fileName;
        if (!m_pFile || !m_pFile->resize(0) || !m_pFile->seek(0)) {
            qDebug() << "Error:Cannot write file." << (m_pFile ? m_pFile->errorString() : QString());
            m_bWriteFailed = true;
            failWith(FinalFailure);
            return false;
        }
        m_nFileStartSize = 0;
        m_nCounterBase = 0;
        *m_pByteCounter = 0;
        return true;
    }
    // Only an answer to a range that continues a file is held to it; any other status
    // ends as it would without a range.
    if (status != 206 && (from <= 0 || status < 200 || (status > 299 && status != 416)))
        return true;
    const QByteArray contentRange = m_pReply->rawHeader("Content-Range");
    qint64 first = -1;
    qint64 total = 0;
    bool known = true;
    const qint64 length = m_pReply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (status == 206 && parseContentRange(contentRange, &first, &total) && first == from
        && (m_nResumeTotal <= 0 || from <= 0 || total == m_nResumeTotal) && (!known || length == total - from)) {
        m_nRangeTotal = total;
        if (from <= 0) {
            m_resumeValidator = validatorOf(m_pReply);
            m_nResumeTotal = total;
        }
        return true;
    }
    qDebug().noquote() << QStringLiteral("the answer to the range does not continue %1 at byte %2: status %3, "
                                         "Content-Range \"%4\"")
                              .arg(fileName)
                              .arg(from)
                              .arg(status)
                              .arg(QString::fromLatin1(contentRange.left(100)));
    failWith(RangeFailure);
    return false;
}

void QHttpDownLoadS::failWith(Failure failure)
{
    m_failure = failure;
    if (failure == NetworkFailure)
        m_bFailedByNetwork = true;
    endByDownloader(EndFailure);
}

QHttpDownLoadS::Failure QHttpDownLoadS::failureOfReply() const
{
    if (m_bWriteFailed)
        return FinalFailure;
    const QNetworkReply::NetworkError error = m_pReply ? m_pReply->error() : QNetworkReply::UnknownNetworkError;
    switch (error) {
    case QNetworkReply::NoError: {
        // A 2xx whose body fell short of its size was cut off.
        const int code = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return code >= 200 && code <= 299 ? NetworkFailure : FinalFailure;
    }
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return NetworkFailure;
    case QNetworkReply::SslHandshakeFailedError:
        // A handshake cut off by the connection may come right next time; a refused
        // certificate will not.
        return m_pReply->sslConfiguration().peerCertificate().isNull() ? NetworkFailure : FinalFailure;
    default:
        return FinalFailure;
    }
}

void QHttpDownLoadS::replyFinished()
{
    qDebug() << "replyFinished()";
    m_bResponseSeen = true;

    QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
    if (!m_bRunning || (reply && reply != m_pReply)) {
        // A reply of an earlier transfer; it has been dealt with already.
        if (reply && reply != m_pReply)
            reply->deleteLater();
        return;
    }

    // A head that rules the body out fails the transfer even when no byte came.
    if (!m_bEndedByDownloader && refuseByHead())
        return;
    // The reply may still hold bytes that readyRead has not picked up.
    if (m_pReply && m_pReply->bytesAvailable() > 0 && !m_bEndedByDownloader)
        readyRead();
    if (!m_bRunning)
        return;

    // A download counts as complete only with its bytes on the disk.
    const bool received = !m_bEndedByDownloader && replySucceeded() && !m_bWriteFailed;
    if (received && m_pFile && !Comm::syncFile(m_pFile->handle(), m_strFilePath))
        m_bWriteFailed = true;
    closeFile();
    const bool ok = received && !m_bWriteFailed && fileIntact();
    if (!ok && !m_bEndedByDownloader) {
        m_failure = failureOfReply();
        m_bFailedByNetwork = replyLostByNetwork();
    }

    releaseTransfer();

    // A transfer the downloader ended itself reports from there (or not at all).
    if (m_bEndedByDownloader)
        return;
    if (ok)
        emit oneDownLoadFinish(m_strFilePath);
    else
        emit errorfinish(m_strFilePath);
    // Nothing after the signal: its receiver may have released this object.
}

void QHttpDownLoadS::slotsHasHttpReponse()
{
    qDebug() << "slotsHasHttpReponse:" << m_bResponseSeen;
    if (m_pResponseTimer)
        m_pResponseTimer->stop();
    if (!m_bRunning || m_bResponseSeen)
        return;

    if (m_pProgressBar)
        m_pProgressBar->setValue(100);
    failWith(NetworkFailure);
}

void QHttpDownLoadS::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != -1 && event->timerId() == m_nRateTimerId) {
        checkTransferRate();
        return;
    }
    if (event->timerId() != m_nStallTimerId) {
        QObject::timerEvent(event);
        return;
    }
    if (!m_bRunning || m_nStallCount < 0)
        return;
    if (m_nStallCount > 3) {
        m_nStallCount = 1;
        return;
    }
    --m_nStallCount;
    if (m_nStallCount == 0)
        failWith(NetworkFailure);
}

void QHttpDownLoadS::checkTransferRate()
{
    if (!m_bRunning)
        return;
    const qint64 now = m_rateClock.elapsed();
    m_rateSamples.append(RateSample{now, m_nBodyBytes});
    // The base is the newest look at least a whole window old; older ones are done
    // with. Measured from it the span is a window or a little more, so a span that
    // brought too little means the window ending now did too.
    while (m_rateSamples.size() > 1 && now - m_rateSamples.at(1).atMs >= m_nRateWindowMs)
        m_rateSamples.removeFirst();
    const RateSample base = m_rateSamples.first();
    if (now - base.atMs < m_nRateWindowMs)
        return; // not a whole window since the request yet
    const qint64 received = m_nBodyBytes - base.bytes;
    if (received >= kSlowMinBytes)
        return;
    qDebug() << "Error:Less than" << kSlowMinBytes << "bytes of body came in" << (now - base.atMs)
             << "ms; the transfer is too slow.";
    failWith(NetworkFailure);
}

qint64 QHttpDownLoadS::currentMSecsSinceEpoch() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool QHttpDownLoadS::replySucceeded() const
{
    if (!m_pReply || m_pReply->error() != QNetworkReply::NoError)
        return false;
    const QVariant status = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    bool isNumber = false;
    const int code = status.toInt(&isNumber);
    if (!isNumber || code < 200 || code > 299)
        return false;
    if (m_nReceivedBytes != m_nTotalBytes)
        return false;
    // With a known size, the bytes that reached the file must be the bytes counted.
    return m_nTotalBytes == 0 || m_nBytesWritten == m_nReceivedBytes - m_nCounterBase;
}

bool QHttpDownLoadS::replyLostByNetwork() const
{
    if (!m_pReply)
        return true;
    // The connection, TLS and proxy errors come before the content errors; a proxy that
    // asks for credentials has answered, though.
    const QNetworkReply::NetworkError error = m_pReply->error();
    if (error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        return error != QNetworkReply::ProxyAuthenticationRequiredError;
    const QVariant status = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    // A 2xx whose body came short of its announced size was cut off on the way.
    const int code = status.toInt();
    return code >= 200 && code <= 299 && !m_bWriteFailed && m_nReceivedBytes != m_nTotalBytes;
}

bool QHttpDownLoadS::openTargetFile()
{
    if (m_strFilePath.isEmpty())
        return false;
    // Unbuffered, so that a failing write (disk full, size limit) shows up at once
    // instead of at some later flush.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    const qint64 counter = m_pByteCounter ? *m_pByteCounter : 0;
    if (counter <= 0) {
        // A fresh file, created exclusively: whatever stands at the path (a link, a
        // file planted since setUrlAndFilePath) is removed, never written through.
        if (!Comm::createNewFile(*m_pFile, m_strFilePath, mode))
            return false;
    } else if (!Comm::openToContinue(*m_pFile, m_strFilePath, counter, mode)) {
        // Continuing a partial file: it must be the regular file it was, reached
        // without a link and known under no other name, holding the bytes counted.
        return false;
    }
    const std::optional<Comm::FileIdentity> identity = Comm::fileIdentity(*m_pFile);
    if (!identity) {
        m_pFile->close();
        return false;
    }
    m_nFileDevice = identity->device;
    m_nFileInode = identity->inode;
    m_nFileStartSize = counter > 0 ? counter : 0;
    return true;
}

bool QHttpDownLoadS::fileIntact()
{
    // The file must still be there under its name (not removed or replaced under our
    // feet) and hold every byte written to it.
    Comm::FileIdentity identity;
    identity.device = m_nFileDevice;
    identity.inode = m_nFileInode;
    return Comm::isSameRegularFile(m_strFilePath, identity, m_nFileStartSize + m_nBytesWritten);
}

void QHttpDownLoadS::closeFile()
{
    if (m_pFile && m_pFile->isOpen()) {
        m_pFile->close();
        if (m_pFile->error() != QFileDevice::NoError)
            m_bWriteFailed = true;
    }
}

void QHttpDownLoadS::stopWatchdogs()
{
    m_nStallCount = -1;
    if (m_nStallTimerId != -1) {
        killTimer(m_nStallTimerId);
        m_nStallTimerId = -1;
    }
    if (m_nRateTimerId != -1) {
        killTimer(m_nRateTimerId);
        m_nRateTimerId = -1;
    }
    if (m_pResponseTimer)
        m_pResponseTimer->stop();
}

void QHttpDownLoadS::releaseTransfer()
{
    if (m_pReply) {
        m_nHttpStatus = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        m_retryAfter = m_pReply->rawHeader("Retry-After").left(256);
        disconnect(m_pReply, nullptr, this, nullptr);
        // A connection the server closed mid-reply can make the toolkit send the request
        // once more on a new one after the reply has failed: a failed reply is aborted,
        // so that nothing of it goes on behind the next try.
        if (m_failure != NoFailure)
            m_pReply->abort();
        m_pReply->deleteLater();
        m_pReply = nullptr;
    }
    if (m_pByteCounter)
        *m_pByteCounter = m_nReceivedBytes;
    stopWatchdogs();
    m_bRunning = false;
    if (m_pWaitLoop) {
        m_pWaitLoop->quit();
        m_pWaitLoop = nullptr;
    }
}

void QHttpDownLoadS::endByDownloader(EndKind kind)
{
    if (!m_bRunning)
        return;
    m_bEndedByDownloader = true;
    stopWatchdogs();
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
        closeFile();
        releaseTransfer();
    }
    if (kind == EndFailure)
        emit errorfinish(m_strFilePath);
}
