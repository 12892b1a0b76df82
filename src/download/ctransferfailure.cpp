#include "ctransferfailure.h"

namespace {

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

CTransferFailure::Kind kindOfReply(const CTransferFailure::ReplyEnd& end)
{
    if (end.writeFailed)
        return CTransferFailure::FinalFailure;
    switch (end.error) {
    case QNetworkReply::NoError:
        // A 2xx that did not make a complete file was cut off.
        return isSuccess(end.status.value_or(0)) ? CTransferFailure::NetworkFailure : CTransferFailure::FinalFailure;
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
        return CTransferFailure::NetworkFailure;
    case QNetworkReply::SslHandshakeFailedError:
        // A handshake cut off by the connection may come right next time; a refused
        // certificate will not.
        return end.peerCertificate ? CTransferFailure::FinalFailure : CTransferFailure::NetworkFailure;
    default:
        return CTransferFailure::FinalFailure;
    }
}

bool lostByNetwork(const CTransferFailure::ReplyEnd& end)
{
    // The connection, TLS and proxy errors come before the content errors; a proxy that
    // asks for credentials has answered, though.
    if (end.error != QNetworkReply::NoError && end.error < QNetworkReply::ContentAccessDenied)
        return end.error != QNetworkReply::ProxyAuthenticationRequiredError;
    if (!end.status)
        return true;
    // A 2xx whose body came short of its announced size was cut off on the way.
    return isSuccess(*end.status) && !end.writeFailed && end.bytesShort;
}

} // namespace

CTransferFailure::CTransferFailure()
    : m_kind(NoFailure)
    , m_bByNetwork(false)
    , m_nHttpStatus(0)
{
}

CTransferFailure::CTransferFailure(Kind kind, const ReplyEnd& end)
    : m_kind(kind)
    , m_bByNetwork(kind == NetworkFailure)
    , m_nHttpStatus(end.status.value_or(0))
    , m_retryAfter(end.retryAfter)
{
}

CTransferFailure CTransferFailure::ofReply(const ReplyEnd& end)
{
    CTransferFailure failure(kindOfReply(end), end);
    failure.m_bByNetwork = lostByNetwork(end);
    return failure;
}

bool CTransferFailure::mayRetry() const
{
    return m_kind == NetworkFailure || m_kind == RangeFailure;
}

bool CTransferFailure::asksOtherServer() const
{
    return m_bByNetwork || (m_nHttpStatus >= 500 && m_nHttpStatus <= 599) || m_nHttpStatus == 429;
}
