#include "cproxyfactory.h"

#include <QDebug>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// GIO's headers name a structure member "signals", which the toolkit defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

namespace {

// curl's port for a proxy address without one.
const int kDefaultProxyPort = 1080;

int g_nDesktopTimeoutMs = 5000;

// What the run has learnt, shared by every factory: the desktop's answer per address
// and what has been logged.
QMutex g_mutex;
QHash<QString, CProxyFactory::Choice> g_desktopAnswers;
QSet<QString> g_logged;

// The value of the first of names that is set and not empty, and its name.
QString firstSet(const CProxyFactory::Environment& environment, std::initializer_list<const char*> names,
                 QString* name)
{
    for (const char* n : names) {
        const QString value = environment.value(QString::fromLatin1(n)).trimmed();
        if (!value.isEmpty()) {
            *name = QString::fromLatin1(n);
            return value;
        }
    }
    return QString();
}

QString withoutBrackets(QString host)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

// The resolver that answers from the desktop's settings alone: glib-networking's GNOME
// resolver (the GSettings "org.gnome.system.proxy", which GNOME and the desktops that
// share its settings write), whatever the desktop. GIO's default outside GNOME is
// libproxy's, which also reads this process's proxy variables by rules of its own
// (HTTP_PROXY for http, http_proxy for https) and would bring back what curl's rules
// leave out; it and any other resolver are never asked. Null, so no desktop answer,
// without glib-networking or GNOME's proxy schema. Made once, by the first lookup's
// thread; a lookup on it may run in any thread.
GProxyResolver* settingsResolver()
{
    static GProxyResolver* const resolver = []() -> GProxyResolver* {
        // Asking for the default loads GIO's modules, glib-networking's resolvers with them.
        GProxyResolver* standard = g_proxy_resolver_get_default();
        GIOExtensionPoint* point = g_io_extension_point_lookup(G_PROXY_RESOLVER_EXTENSION_POINT_NAME);
        GIOExtension* gnome = point ? g_io_extension_point_get_extension_by_name(point, "gnome") : nullptr;
        if (!gnome) {
            qDebug() << "no resolver of the desktop's proxy settings (glib-networking): no proxy from the desktop";
            return nullptr;
        }
        // GSettings ends the process for a schema that is not installed.
        GSettingsSchemaSource* source = g_settings_schema_source_get_default();
        GSettingsSchema* schema =
            source ? g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE) : nullptr;
        if (!schema) {
            qDebug() << "the desktop's proxy settings are not installed (org.gnome.system.proxy): no proxy from the "
                        "desktop";
            return nullptr;
        }
        g_settings_schema_unref(schema);
        const GType type = g_io_extension_get_type(gnome);
        if (standard && G_OBJECT_TYPE(standard) == type)
            return G_PROXY_RESOLVER(g_object_ref(standard));
        return G_PROXY_RESOLVER(g_object_new(type, nullptr));
    }();
    return resolver;
}

// The desktop's answer for one address: the desktop settings' resolver, which may read
// a PAC file or ask a service, in a thread of its own so that a resolver that hangs costs
// at most the time-out. What comes back is GIO's list of addresses, best first.
QStringList desktopLookup(const QString& address)
{
    struct Lookup
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        QStringList answer;
        GCancellable* cancellable = g_cancellable_new();
        ~Lookup() { g_object_unref(cancellable); }
    };
    auto lookup = std::make_shared<Lookup>();
    const QByteArray uri = address.toUtf8();
    std::thread([lookup, uri]() {
        QStringList answer;
        GError* error = nullptr;
        GProxyResolver* resolver = settingsResolver();
        gchar** proxies =
            resolver ? g_proxy_resolver_lookup(resolver, uri.constData(), lookup->cancellable, &error) : nullptr;
        if (proxies) {
            for (gchar** p = proxies; *p; ++p)
                answer << QString::fromUtf8(*p);
            g_strfreev(proxies);
        } else if (error) {
            qDebug() << "the desktop's proxy settings gave no answer for" << uri << ":" << error->message;
            g_error_free(error);
        }
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->answer = answer;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(g_nDesktopTimeoutMs),
                               [&lookup]() { return lookup->finished; })) {
        g_cancellable_cancel(lookup->cancellable);
        qDebug() << "the desktop's proxy settings gave no answer for" << address << "within" << g_nDesktopTimeoutMs
                 << "ms";
        return QStringList();
    }
    return lookup->answer;
}

const char* sourceName(CProxyFactory::Source source)
{
    switch (source) {
    case CProxyFactory::Source::Environment:
        return "environment";
    case CProxyFactory::Source::Desktop:
        return "desktop";
    case CProxyFactory::Source::None:
        break;
    }
    return "none";
}

} // namespace

QString CProxyFactory::Choice::shown() const
{
    if (!usable)
        return QStringLiteral("unusable proxy");
    QString scheme;
    switch (proxy.type()) {
    case QNetworkProxy::HttpProxy:
        scheme = QStringLiteral("http");
        break;
    case QNetworkProxy::Socks5Proxy:
        scheme = proxy.capabilities() & QNetworkProxy::HostNameLookupCapability ? QStringLiteral("socks5h")
                                                                                : QStringLiteral("socks5");
        break;
    default:
        return QStringLiteral("no proxy");
    }
    QString user;
    if (!proxy.user().isEmpty())
        user = QString::fromUtf8(QUrl::toPercentEncoding(proxy.user())) + QLatin1Char('@');
    return scheme + QStringLiteral("://") + user + proxyName(proxy);
}

CProxyFactory::CProxyFactory() = default;

void CProxyFactory::setDesktopLookupTimeout(int msec)
{
    g_nDesktopTimeoutMs = msec > 0 ? msec : 5000;
}

void CProxyFactory::forgetDesktopAnswers()
{
    QMutexLocker lock(&g_mutex);
    g_desktopAnswers.clear();
    g_logged.clear();
}

QString CProxyFactory::proxyName(const QNetworkProxy& proxy)
{
    const QString host = proxy.hostName().contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + proxy.hostName() + QLatin1Char(']')
                             : proxy.hostName();
    return host + QLatin1Char(':') + QString::number(proxy.port());
}

CProxyFactory::Environment CProxyFactory::processEnvironment()
{
    const QProcessEnvironment process = QProcessEnvironment::systemEnvironment();
    Environment environment;
    for (const char* name : { "https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY", "no_proxy",
                              "NO_PROXY" }) {
        const QString key = QString::fromLatin1(name);
        if (process.contains(key))
            environment.insert(key, process.value(key));
    }
    return environment;
}

CProxyFactory::Choice CProxyFactory::parseProxy(const QString& address)
{
    Choice choice;
    choice.source = Source::Environment;
    QString text = address.trimmed();
    if (!text.contains(QStringLiteral("://")))
        text.prepend(QStringLiteral("http://"));
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/"))) {
        choice.usable = false;
        choice.why = QStringLiteral("the address does not parse");
        return choice;
    }
    if (scheme == QLatin1String("http")) {
        choice.proxy.setType(QNetworkProxy::HttpProxy);
    } else if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h")) {
        choice.proxy.setType(QNetworkProxy::Socks5Proxy);
        QNetworkProxy::Capabilities capabilities = choice.proxy.capabilities();
        if (scheme == QLatin1String("socks5"))
            capabilities &= ~QNetworkProxy::HostNameLookupCapability;
        else
            capabilities |= QNetworkProxy::HostNameLookupCapability;
        choice.proxy.setCapabilities(capabilities);
    } else {
        choice.usable = false;
        choice.why = QStringLiteral("the scheme \"%1\" is not supported").arg(scheme.left(32));
        return choice;
    }
    choice.proxy.setHostName(url.host());
    choice.proxy.setPort(static_cast<quint16>(url.port(kDefaultProxyPort)));
    choice.proxy.setUser(url.userName(QUrl::FullyDecoded));
    choice.proxy.setPassword(url.password(QUrl::FullyDecoded));
    return choice;
}

bool CProxyFactory::exempted(const QString& host, const QString& noProxy)
{
    QString name = withoutBrackets(host).toLower();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.isEmpty())
        return false;
    const QHostAddress address(name);
    const QStringList entries = noProxy.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    for (QString entry : entries) {
        entry = withoutBrackets(entry.toLower());
        if (entry == QLatin1String("*"))
            return true;
        if (!address.isNull()) {
            // An address matches an address or a network, never a name.
            if (entry.contains(QLatin1Char('/'))) {
                const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(entry);
                if (!subnet.first.isNull() && address.isInSubnet(subnet))
                    return true;
            } else if (QHostAddress(entry) == address) {
                return true;
            }
            continue;
        }
        while (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        while (entry.endsWith(QLatin1Char('.')))
            entry.chop(1);
        if (entry.isEmpty())
            continue;
        if (name == entry || name.endsWith(QLatin1Char('.') + entry))
            return true;
    }
    return false;
}

CProxyFactory::Choice CProxyFactory::fromEnvironment(const QString& scheme, const QString& host,
                                                     const Environment& environment)
{
    QString name;
    QString value;
    if (scheme == QLatin1String("https"))
        value = firstSet(environment, { "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" }, &name);
    else if (scheme == QLatin1String("http"))
        value = firstSet(environment, { "http_proxy", "all_proxy", "ALL_PROXY" }, &name);
    if (value.isEmpty())
        return Choice();

    QString exemptionName;
    const QString noProxy = firstSet(environment, { "no_proxy", "NO_PROXY" }, &exemptionName);
    if (!noProxy.isEmpty() && exempted(host, noProxy)) {
        Choice direct;
        direct.source = Source::Environment;
        direct.origin = exemptionName;
        return direct;
    }
    Choice choice = parseProxy(value);
    choice.origin = name;
    return choice;
}

CProxyFactory::Choice CProxyFactory::fromDesktop(const QUrl& url)
{
    // An IPv6 address stands in brackets, as in any URI.
    QString host = url.host(QUrl::FullyEncoded);
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    const QString address = url.scheme() + QStringLiteral("://") + host
                            + (url.port() >= 0 ? QLatin1Char(':') + QString::number(url.port()) : QString())
                            + QLatin1Char('/');
    {
        QMutexLocker lock(&g_mutex);
        const auto known = g_desktopAnswers.constFind(address);
        if (known != g_desktopAnswers.constEnd())
            return *known;
    }

    const QStringList answer = desktopLookup(address);
    Choice choice;
    choice.source = Source::Desktop;
    if (answer.isEmpty()) {
        choice.source = Source::None;
    } else if (answer.first() == QLatin1String("direct://")) {
        choice.origin = answer.first();
    } else {
        // The first address the toolkit can use; one it cannot use stops there, it is
        // not passed over for a direct connection.
        QString first = answer.first();
        if (first.startsWith(QLatin1String("socks://")))
            first.replace(0, 5, QStringLiteral("socks5"));
        choice = parseProxy(first);
        choice.source = Source::Desktop;
        QUrl shown(answer.first());
        shown.setPassword(QString());
        choice.origin = shown.toString();
    }
    QMutexLocker lock(&g_mutex);
    g_desktopAnswers.insert(address, choice);
    return choice;
}

CProxyFactory::Choice CProxyFactory::choose(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    Choice choice = fromEnvironment(scheme, url.host(), processEnvironment());
    if (choice.source == Source::None)
        choice = fromDesktop(url);
    logOnce(scheme, choice);
    return choice;
}

void CProxyFactory::logOnce(const QString& scheme, const Choice& choice)
{
    QString why = QString::fromLatin1(sourceName(choice.source));
    if (!choice.origin.isEmpty())
        why += QStringLiteral(": ") + choice.origin;
    QString line = QStringLiteral("proxy for %1: %2 (%3)").arg(scheme, choice.shown(), why);
    if (!choice.usable)
        line += QStringLiteral(": ") + choice.why + QStringLiteral("; transfers fail rather than go direct");
    {
        QMutexLocker lock(&g_mutex);
        if (g_logged.contains(line))
            return;
        g_logged.insert(line);
    }
    qDebug().noquote() << line;
}

QList<QNetworkProxy> CProxyFactory::queryProxy(const QNetworkProxyQuery& query)
{
    QUrl url = query.url();
    if (url.isEmpty()) {
        url.setScheme(query.protocolTag().isEmpty() ? QStringLiteral("http") : query.protocolTag());
        url.setHost(query.peerHostName());
        if (query.peerPort() >= 0)
            url.setPort(query.peerPort());
    }
    const Choice choice = choose(url);
    {
        QMutexLocker lock(&m_chosenMutex);
        m_chosen.insert(transferKey(url), choice.usable ? choice.proxy : QNetworkProxy(QNetworkProxy::NoProxy));
    }
    if (!choice.usable) {
        // A proxy of no kind and no abilities: the toolkit finds no suitable proxy in it
        // and fails the transfer instead of connecting directly.
        QNetworkProxy none(QNetworkProxy::DefaultProxy);
        none.setCapabilities(QNetworkProxy::Capabilities());
        return { none };
    }
    return { choice.proxy };
}

QString CProxyFactory::transferKey(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return scheme + QStringLiteral("://") + url.host(QUrl::FullyEncoded).toLower() + QLatin1Char(':')
           + QString::number(port);
}

QNetworkProxy CProxyFactory::chosenFor(const QUrl& url) const
{
    QMutexLocker lock(&m_chosenMutex);
    return m_chosen.value(transferKey(url), QNetworkProxy(QNetworkProxy::NoProxy));
}
