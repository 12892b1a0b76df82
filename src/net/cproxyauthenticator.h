#ifndef CPROXYAUTHENTICATOR_H
#define CPROXYAUTHENTICATOR_H

#include <QNetworkProxy>
#include <QString>

#include <functional>

class QAuthenticator;

// Answers a proxy's request for a user name and password (407) for one transfer, with
// what the run knows:
//   1. the user name and password of the proxy's address (from the environment),
//   2. the answer the user gave earlier in this run for that proxy,
//   3. on a manual check, the user, asked through the run's asker (a dialog); a second
//      refused answer ends the transfer.
// An automatic check never asks: the transfer fails and the log says "proxy NAME
// requires authentication". Answers live in memory for the rest of the run and are
// never stored.
//
// Only the proxy chosen for the transfer is answered: an HTTP or SOCKS 5 proxy with a
// host, asking as the same kind of proxy on the same host and port. The toolkit raises
// the same request for a 407 that any server sends, with no proxy in use or from the
// site through an https tunnel (it then names no proxy or another one); such a request
// is refused, nothing is sent and nobody is asked ("proxy authentication asked by a
// server that is not the proxy: refused"), and the transfer fails. A 407 to a plain
// http request sent through the chosen HTTP proxy arrives on the proxy's connection and
// counts as the proxy's: what answers it goes only to the proxy.
// Credentials, from an address or from the user, are kept per proxy (its kind, host
// and port) and only ever offered to that proxy.
//
// One CProxyAuthenticator belongs to one transfer; what the user said is shared by all.
class CProxyAuthenticator
{
public:
    // Asks the user for the proxy called name; false when the user declined.
    using Asker = std::function<bool(const QString& name, QString* user, QString* password)>;

    // The run's way of asking; none (the default) for an automatic check.
    static void setAsker(const Asker& asker);
    // Forgets what the user said (a new run in the same process).
    static void forgetAnswers();

    CProxyAuthenticator();

    // asking, as the toolkit names it, asks for credentials in a transfer whose proxy is
    // chosen: fills authenticator and returns true, or leaves it alone (the transfer then
    // fails) and returns false.
    bool answer(const QNetworkProxy& chosen, const QNetworkProxy& asking, QAuthenticator* authenticator);

private:
    bool m_bTriedAddress = false;   // the address's credentials were offered
    bool m_bTriedRemembered = false;
    int m_nAsked = 0;               // answers of the user offered in this transfer
};

#endif // CPROXYAUTHENTICATOR_H
