// What a failed transfer was, from what its reply left behind or from the downloader's
// own verdict, and the two questions callers ask of it.

#include "ctransferfailure.h"

#include <QtTest>

namespace {

const int kByReply = -1;   // the reply's own end, not a verdict of the downloader
const int kNoStatus = -1;

} // namespace

class TestTransferFailure : public QObject
{
    Q_OBJECT

private slots:
    void classification_data();
    void classification();
};

void TestTransferFailure::classification_data()
{
    QTest::addColumn<int>("verdict");     // a CTransferFailure::Kind, or kByReply
    QTest::addColumn<int>("error");       // QNetworkReply::NetworkError
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("flags");   // c: peer certificate came, w: write failed, s: bytes short
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("byNetwork");
    QTest::addColumn<bool>("mayRetry");
    QTest::addColumn<bool>("asksOtherServer");

    using R = QNetworkReply;
    using F = CTransferFailure;
    const auto row = [](const char* name, int verdict, int error, int status, const char* flags, int kind,
                        bool byNetwork, bool mayRetry, bool other) {
        QTest::newRow(name) << verdict << error << status << QString::fromLatin1(flags) << kind << byNetwork
                            << mayRetry << other;
    };
    row("connection refused", kByReply, R::ConnectionRefusedError, kNoStatus, "", F::NetworkFailure, true, true, true);
    row("no reply at all", kByReply, R::UnknownNetworkError, kNoStatus, "", F::NetworkFailure, true, true, true);
    row("500", kByReply, R::InternalServerError, 500, "c", F::NetworkFailure, false, true, true);
    row("503", kByReply, R::ServiceUnavailableError, 503, "", F::NetworkFailure, false, true, true);
    row("502", kByReply, R::UnknownServerError, 502, "", F::NetworkFailure, false, true, true);
    row("429", kByReply, R::UnknownContentError, 429, "", F::FinalFailure, false, false, true);
    row("404", kByReply, R::ContentNotFoundError, 404, "", F::FinalFailure, false, false, false);
    row("body cut off", kByReply, R::NoError, 200, "s", F::NetworkFailure, true, true, true);
    row("whole body, file not intact", kByReply, R::NoError, 200, "", F::NetworkFailure, false, true, false);
    row("body cut off, write failed", kByReply, R::NoError, 200, "sw", F::FinalFailure, false, false, false);
    row("connection lost, write failed", kByReply, R::RemoteHostClosedError, 200, "w", F::FinalFailure, true, false,
        true);
    row("handshake cut off", kByReply, R::SslHandshakeFailedError, kNoStatus, "", F::NetworkFailure, true, true, true);
    row("certificate refused", kByReply, R::SslHandshakeFailedError, kNoStatus, "c", F::FinalFailure, true, false,
        true);
    row("proxy asks for credentials", kByReply, R::ProxyAuthenticationRequiredError, kNoStatus, "", F::FinalFailure,
        false, false, false);
    row("proxy refused", kByReply, R::ProxyConnectionRefusedError, kNoStatus, "", F::NetworkFailure, true, true, true);
    row("redirect", kByReply, R::NoError, 302, "", F::FinalFailure, false, false, false);
    row("watchdog", F::NetworkFailure, R::OperationCanceledError, kNoStatus, "", F::NetworkFailure, true, true, true);
    row("watchdog after a 200 head", F::NetworkFailure, R::OperationCanceledError, 200, "", F::NetworkFailure, true,
        true, true);
    row("range not continued", F::RangeFailure, R::OperationCanceledError, 206, "", F::RangeFailure, false, true,
        false);
    row("body over the limit", F::FinalFailure, R::OperationCanceledError, 200, "", F::FinalFailure, false, false,
        false);
    row("content coding of a 503", F::FinalFailure, R::OperationCanceledError, 503, "", F::FinalFailure, false, false,
        true);
    row("success", F::NoFailure, R::NoError, 200, "c", F::NoFailure, false, false, false);
}

void TestTransferFailure::classification()
{
    QFETCH(int, verdict);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QString, flags);

    CTransferFailure::ReplyEnd end;
    end.error = static_cast<QNetworkReply::NetworkError>(error);
    if (status != kNoStatus)
        end.status = status;
    end.retryAfter = "120";
    end.peerCertificate = flags.contains(QLatin1Char('c'));
    end.writeFailed = flags.contains(QLatin1Char('w'));
    end.bytesShort = flags.contains(QLatin1Char('s'));
    const CTransferFailure failure = verdict == kByReply
                                         ? CTransferFailure::ofReply(end)
                                         : CTransferFailure(static_cast<CTransferFailure::Kind>(verdict), end);
    QTEST(int(failure.kind()), "kind");
    QTEST(failure.byNetwork(), "byNetwork");
    QTEST(failure.mayRetry(), "mayRetry");
    QTEST(failure.asksOtherServer(), "asksOtherServer");
    QCOMPARE(failure.httpStatus(), status == kNoStatus ? 0 : status);
    QCOMPARE(failure.retryAfter(), QByteArray("120"));
}

QTEST_APPLESS_MAIN(TestTransferFailure)
#include "tst_transferfailure.moc"
