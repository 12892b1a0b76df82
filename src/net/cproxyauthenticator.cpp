#include "cproxyauthenticator.h"

#include "cproxyfactory.h"

#include <QAuthenticator>
#include <QDebug>
#include <QHash>
#include <QPair>

namespace {

// A user gets two tries per transfer.
const int kMostAnswers = 2;

CProxyAuthenticator::Asker g_asker;
// The user's answers of this run, by proxy (proxyKey).
QHash<QString, QPair<QString, QString>> g_answers;

// "http://host:port" or "socks5://host:port": a proxy's kind, host and port.
QString proxyKey(const QNetworkProxy& proxy)
{
    const QString kind =
        proxy.type() == QNetworkProxy::Socks5Proxy ? QStringLiteral("socks5://") : QStringLiteral("http://");
    return kind + CProxyFactory::proxyName(proxy).toLower();
}

// Whether asking is the proxy chosen (an HTTP or SOCKS 5 proxy with a host): the same
// kind, host and port.
bool isChosenProxy(const QNetworkProxy& chosen, const QNetworkProxy& asking)
{
    const QNetworkProxy::ProxyType type = chosen.type();
    if ((type != QNetworkProxy::HttpProxy && type != QNetworkProxy::Socks5Proxy) || chosen.hostName().isEmpty())
        return false;
    return asking.type() == type && asking.port() == chosen.port()
           && asking.hostName().compare(chosen.hostName(), Qt::CaseInsensitive) == 0;
}

} // namespace

void CProxyAuthenticator::setAsker(const Asker& asker)
{
    g_asker = asker;
}

void CProxyAuthenticator::forgetAnswers()
{
    g_answers.clear();
}

CProxyAuthenticator::CProxyAuthenticator() = default;

bool CProxyAuthenticator::answer(const QNetworkProxy& chosen, const QNetworkProxy& asking,
                                 QAuthenticator* authenticator)
{
    if (!isChosenProxy(chosen, asking)) {
        qDebug().noquote() << QStringLiteral("proxy authentication asked by a server that is not the proxy: refused");
        return false;
    }
    // From here on only the chosen proxy's own address and credentials are used.
    const QNetworkProxy& proxy = chosen;
    const QString name = CProxyFactory::proxyName(proxy);
    const QString key = proxyKey(proxy);
    // The toolkit offers the address's credentials by itself where it can; the
    // authenticator then holds them already, and offering them again would change nothing.
    const auto holds = [authenticator](const QString& user, const QString& password) {
        return authenticator->user() == user && authenticator->password() == password;
    };
    if (!m_bTriedAddress) {
        m_bTriedAddress = true;
        if (!proxy.user().isEmpty() && !holds(proxy.user(), proxy.password())) {
            qDebug().noquote() << QStringLiteral("proxy %1 asks for authentication: offering the user name of its "
                                                 "address")
                                      .arg(name);
            authenticator->setUser(proxy.user());
            authenticator->setPassword(proxy.password());
            return true;
        }
    }
    const auto remembered = g_answers.constFind(key);
    if (!m_bTriedRemembered && remembered != g_answers.constEnd() && !holds(remembered->first, remembered->second)) {
        m_bTriedRemembered = true;
        authenticator->setUser(remembered->first);
        authenticator->setPassword(remembered->second);
        return true;
    }
    if (!g_asker) {
        qDebug().noquote() << QStringLiteral("proxy %1 requires authentication").arg(name);
        return false;
    }
    if (m_nAsked >= kMostAnswers) {
        qDebug().noquote() << QStringLiteral("proxy %1 refused the user name and password %2 times").arg(name).arg(m_nAsked);
        g_answers.remove(key);
        return false;
    }
    // The asker runs a dialog, whose event loop may end the transfer and release its
    // owner (and this object with it): nothing of this object is touched afterwards.
    ++m_nAsked;
    m_bTriedRemembered = true;
    QString user;
    QString password;
    if (!g_asker(name, &user, &password)) {
        qDebug().noquote() << QStringLiteral("proxy %1 requires authentication; the user gave none").arg(name);
        return false;
    }
    g_answers.insert(key, qMakePair(user, password));
    authenticator->setUser(user);
    authenticator->setPassword(password);
    return true;
}
