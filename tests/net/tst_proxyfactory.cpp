// The proxy the environment names, as curl reads it: which variable counts for which
// scheme, which spelling wins, no_proxy's names, suffixes, addresses and networks, the
// proxy address's forms and the user name in it, and what cannot be used.
#include "cproxyfactory.h"

#include <QtTest>

using Environment = CProxyFactory::Environment;
Q_DECLARE_METATYPE(Environment)

class TestProxyFactory : public QObject
{
    Q_OBJECT

private slots:
    void environmentRules_data()
    {
        QTest::addColumn<Environment>("environment");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("shown");     // what the log names
        QTest::addColumn<QString>("origin");    // the variable it came from
        QTest::addColumn<bool>("usable");

        const QString https = QStringLiteral("https://updates.moravel.test/x");
        const QString http = QStringLiteral("http://updates.moravel.test/x");
        QTest::newRow("nothing set") << Environment() << https << "no proxy" << "" << true;
        QTest::newRow("https_proxy for https")
            << Environment { { "https_proxy", "http://p.example:3128" } } << https << "http://p.example:3128"
            << "https_proxy" << true;
        QTest::newRow("HTTPS_PROXY for https")
            << Environment { { "HTTPS_PROXY", "p.example:8080" } } << https << "http://p.example:8080"
            << "HTTPS_PROXY" << true;
        QTest::newRow("lower case wins")
            << Environment { { "HTTPS_PROXY", "upper:1" }, { "https_proxy", "lower:2" } } << https << "http://lower:2"
            << "https_proxy" << true;
        QTest::newRow("an empty lower case counts as unset")
            << Environment { { "HTTPS_PROXY", "upper:1" }, { "https_proxy", "" } } << https << "http://upper:1"
            << "HTTPS_PROXY" << true;
        QTest::newRow("https_proxy is not for http")
            << Environment { { "https_proxy", "p:1" } } << http << "no proxy" << "" << true;
        QTest::newRow("http_proxy for http")
            << Environment { { "http_proxy", "p:3128" } } << http << "http://p:3128" << "http_proxy" << true;
        QTest::newRow("HTTP_PROXY is never read")
            << Environment { { "HTTP_PROXY", "evil:1" } } << http << "no proxy" << "" << true;
        QTest::newRow("all_proxy is the fallback")
            << Environment { { "all_proxy", "a:1" }, { "ALL_PROXY", "b:2" } } << http << "http://a:1" << "all_proxy"
            << true;
        QTest::newRow("ALL_PROXY after the scheme's own")
            << Environment { { "ALL_PROXY", "b:2" }, { "https_proxy", "s:3" } } << https << "http://s:3"
            << "https_proxy" << true;
        QTest::newRow("port defaults to 1080")
            << Environment { { "https_proxy", "http://p.example" } } << https << "http://p.example:1080"
            << "https_proxy" << true;
        QTest::newRow("user shown, password not, percent-decoded")
            << Environment { { "https_proxy", "http://al%40ice:s%3Acret@p:3128/" } } << https
            << "http://al%40ice@p:3128" << "https_proxy" << true;
        QTest::newRow("socks5h") << Environment { { "all_proxy", "socks5h://s:1080" } } << https << "socks5h://s:1080"
                                 << "all_proxy" << true;
        QTest::newRow("socks5") << Environment { { "all_proxy", "socks5://s:9" } } << https << "socks5://s:9"
                                << "all_proxy" << true;
        QTest::newRow("an https proxy cannot be used")
            << Environment { { "https_proxy", "https://p:443" } } << https << "unusable proxy" << "https_proxy"
            << false;
        QTest::newRow("socks4 cannot be used")
            << Environment { { "https_proxy", "socks4://p:1" } } << https << "unusable proxy" << "https_proxy" << false;
        QTest::newRow("an address that does not parse")
            << Environment { { "https_proxy", "http://p:99999" } } << https << "unusable proxy" << "https_proxy"
            << false;
        QTest::newRow("a path is no proxy address")
            << Environment { { "http_proxy", "http://p:1/some/path" } } << http << "unusable proxy" << "http_proxy"
            << false;

        const Environment proxied { { "https_proxy", "p:1" }, { "http_proxy", "p:1" } };
        auto exempt = [&proxied](const char* list) {
            Environment e = proxied;
            e.insert(QStringLiteral("no_proxy"), QString::fromLatin1(list));
            return e;
        };
        QTest::newRow("no_proxy *") << exempt("*") << https << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy the name itself")
            << exempt("other, updates.moravel.test") << https << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy a suffix") << exempt("moravel.test") << https << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy a suffix with a dot")
            << exempt(".moravel.test") << https << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy any case") << exempt("MORAVEL.Test") << http << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy part of a label is no suffix")
            << exempt("ravel.test") << https << "http://p:1" << "https_proxy" << true;
        QTest::newRow("no_proxy an address")
            << exempt("10.1.2.3") << "http://10.1.2.3/x" << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy a network") << exempt("10.0.0.0/8") << "http://10.1.2.3/x" << "no proxy"
                                            << "no_proxy" << true;
        QTest::newRow("no_proxy another network")
            << exempt("192.168.0.0/16") << "http://10.1.2.3/x" << "http://p:1" << "http_proxy" << true;
        QTest::newRow("no_proxy an IPv6 address")
            << exempt("[::1]") << "http://[::1]:8080/x" << "no proxy" << "no_proxy" << true;
        QTest::newRow("no_proxy a name does not match an address")
            << exempt("localhost") << "http://127.0.0.1/x" << "http://p:1" << "http_proxy" << true;
        Environment upper = proxied;
        upper.insert(QStringLiteral("NO_PROXY"), QStringLiteral("*"));
        QTest::newRow("NO_PROXY") << upper << https << "no proxy" << "NO_PROXY" << true;
        upper.insert(QStringLiteral("no_proxy"), QStringLiteral("other.example"));
        QTest::newRow("no_proxy wins over NO_PROXY") << upper << https << "http://p:1" << "https_proxy" << true;
    }

    void environmentRules()
    {
        QFETCH(Environment, environment);
        QFETCH(QString, url);
        QFETCH(QString, shown);
        QFETCH(QString, origin);
        QFETCH(bool, usable);
        const QUrl address(url);
        const CProxyFactory::Choice choice = CProxyFactory::fromEnvironment(address.scheme(), address.host(), environment);
        QCOMPARE(choice.shown(), shown);
        QCOMPARE(choice.origin, origin);
        QCOMPARE(choice.usable, usable);
        QCOMPARE(choice.source, origin.isEmpty() ? CProxyFactory::Source::None : CProxyFactory::Source::Environment);
        if (!usable)
            QVERIFY(!choice.why.isEmpty());
    }

    void credentialsOfTheAddress()
    {
        const CProxyFactory::Choice choice = CProxyFactory::parseProxy(QStringLiteral("http://al%40ice:s%3Acret%20x@p:8"));
        QCOMPARE(choice.proxy.type(), QNetworkProxy::HttpProxy);
        QCOMPARE(choice.proxy.user(), QStringLiteral("al@ice"));
        QCOMPARE(choice.proxy.password(), QStringLiteral("s:cret x"));
        QVERIFY(!choice.shown().contains(QLatin1String("cret")));
        QVERIFY(CProxyFactory::parseProxy(QStringLiteral("socks5h://s:1")).proxy.capabilities()
                & QNetworkProxy::HostNameLookupCapability);
        QVERIFY(!(CProxyFactory::parseProxy(QStringLiteral("socks5://s:1")).proxy.capabilities()
                  & QNetworkProxy::HostNameLookupCapability));
    }
};

QTEST_GUILESS_MAIN(TestProxyFactory)

#include "tst_proxyfactory.moc"
