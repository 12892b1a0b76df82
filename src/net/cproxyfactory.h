#ifndef CPROXYFACTORY_H
#define CPROXYFACTORY_H

#include <QHash>
#include <QList>
#include <QMutex>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>

// The proxy of every transfer of the updater, chosen the way curl and the desktop's own
// tools choose it. Every downloader's network manager gets one (the manager owns it);
// what they learn (the desktop's answers, what has been logged) is shared by the run.
//
// The environment first, read as curl reads it: for https "https_proxy", then
// "HTTPS_PROXY"; for http only "http_proxy" (the upper-case spelling can be set by a web
// server's request); then "all_proxy", then "ALL_PROXY". An empty variable counts as
// unset. "no_proxy" (else "NO_PROXY") lists, comma-separated, the hosts reached
// directly: "*" for all, host names that match themselves and every name below them
// (with or without a leading dot), IP addresses and networks ("10.0.0.0/8").
// A proxy address is "[scheme://][user[:password]@]host[:port]": no scheme or "http" is
// an HTTP proxy, "socks5" a SOCKS 5 proxy resolving names here, "socks5h" one resolving
// them itself; the port defaults to 1080 as in curl. The user name and password
// (percent-decoded) answer the proxy's request for authentication.
//
// When the environment names no proxy for a scheme, the desktop's settings are asked
// through glib-networking's GNOME proxy resolver (GNOME's settings, with their PAC file),
// whatever the desktop, at most a few seconds per host; "direct://", no answer or no
// answer in time is a direct connection. GIO's default resolver is not asked: outside
// GNOME it is libproxy's, which reads proxy variables that the rules above ignore.
//
// A proxy that is named but cannot be used (an address that does not parse, a scheme
// the toolkit does not speak) never turns into a direct connection: the transfer fails
// ("No suitable proxy found") and the log says why.
//
// The log says once per run and scheme which proxy (without its password) or "no
// proxy" was chosen and why: "proxy for https: http://user@proxy.example:3128
// (environment: https_proxy)", "proxy for http: no proxy (none)".
class CProxyFactory : public QNetworkProxyFactory
{
public:
    enum class Source { Environment, Desktop, None };

    // What the rules give for one address.
    struct Choice
    {
        bool usable = true;         // false: a proxy is named that cannot be used
        QNetworkProxy proxy { QNetworkProxy::NoProxy };
        Source source = Source::None;
        QString origin;             // the variable it came from, or what the desktop said
        QString why;                // for an unusable proxy: what is wrong with it
        // "no proxy" or the proxy's address without its password.
        QString shown() const;
    };

    using Environment = QHash<QString, QString>;

    CProxyFactory();

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;

    // The proxy this factory gave last for url's scheme, host and port: the proxy of a
    // transfer to url. NoProxy when it gave none, an unusable one or was never asked.
    QNetworkProxy chosenFor(const QUrl& url) const;

    // The environment's rule for an address of scheme ("http" or "https") on host, from
    // the given variables. Source::None when they name no proxy for the scheme.
    static Choice fromEnvironment(const QString& scheme, const QString& host, const Environment& environment);
    // Whether no_proxy's list exempts host.
    static bool exempted(const QString& host, const QString& noProxy);
    // A proxy address as the environment or the desktop gives it; an unusable Choice
    // when it cannot be used.
    static Choice parseProxy(const QString& address);
    // The variables of this process that fromEnvironment reads.
    static Environment processEnvironment();
    // "host:port" of a proxy, as the user is told it.
    static QString proxyName(const QNetworkProxy& proxy);

    // The longest wait for the desktop's answer, in milliseconds (5 s).
    static void setDesktopLookupTimeout(int msec);
    // Forgets the desktop's answers of the run and what has been logged, so that the next
    // transfers ask again and log their choice (for tests that change the desktop's
    // settings between transfers).
    static void forgetDesktopAnswers();

private:
    // "scheme://host:port" of an address, the port filled in.
    static QString transferKey(const QUrl& url);

    mutable QMutex m_chosenMutex;
    QHash<QString, QNetworkProxy> m_chosen;   // by transferKey

    Choice choose(const QUrl& url);
    static Choice fromDesktop(const QUrl& url);
    static void logOnce(const QString& scheme, const Choice& choice);
};

#endif // CPROXYFACTORY_H
