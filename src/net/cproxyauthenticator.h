#ifndef CPROXYAUTHENTICATOR_H
#define CPROXYAUTHENTICATOR_H

#include <QNetworkProxy>
#include <QString>

#include <functional>

class QAuthenticator;

// Answers a proxy's request for a user name and password (407) for one transfer, with
// what the run knows:
//   1. the user name and password of the proxy's address (from the environment),
//   2. the answer the user gave earlier in this run,
//   3. on a manual check, the user, asked through the run's asker (a dialog); a second
//      refused answer ends the transfer.
// An automatic check never asks: the transfer fails and the log says "proxy NAME
// requires authentication". Answers live in memory for the rest of the run and are
// never stored.
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

    // The proxy asks for credentials: fills authenticator and returns true, or leaves it
    // alone (the transfer then fails) and returns false.
    bool answer(const QNetworkProxy& proxy, QAuthenticator* authenticator);

private:
    bool m_bTriedAddress = false;   // the address's credentials were offered
    bool m_bTriedRemembered = false;
    int m_nAsked = 0;               // answers of the user offered in this transfer
};

#endif // CPROXYAUTHENTICATOR_H
