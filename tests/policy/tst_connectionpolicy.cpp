// Large downloads of automatic checks wait on a metered connection and in power-saver
// mode. GIO's real monitors answer: NetworkManager and power-profiles-daemon are
// python3-dbusmock's, on a private system bus of this test's own (dbus-daemon with its
// own configuration; the session bus is private too), then the same without the
// services, and with a system bus that takes connections but never answers.

#include "envguard.h"
#include "cconnectionpolicy.h"
#include "creadermodulemanager.h"
#include "moduleinfo.h"
#include "logcapture.h"
#include "testutil.h"

#include <QLocalServer>
#include <QProcess>
#include <QtTest>

#include <memory>

// GIO's headers name a structure member "signals", which the toolkit defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

using TestUtil::root;
using TestUtil::writeFile;

namespace {

const QString kNetworkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString kPowerProfiles = QStringLiteral("net.hadess.PowerProfiles");
const qint64 kLarge = CConnectionPolicy::kLargeDownloadBytes + 1;

// A process of the test's own, ended with it.
struct Child
{
    std::unique_ptr<QProcess> process { new QProcess };
    ~Child()
    {
        process->kill();
        process->waitForFinished(5000);
    }
};

} // namespace

class TestConnectionPolicy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void withServices();
    void withoutServices();
    void busThatNeverAnswers();

private:
    // A private bus (dbus-daemon) at ZR_TEST_ROOT/name; its address, empty when it failed.
    QByteArray startBus(const QString& name);
    // The private buses as this process's system and session bus.
    bool startBuses();
    // python3-dbusmock's template on the system bus, once it owns its name.
    bool startMock(const QString& templateName, const QString& busName);
    // A method call on the system bus; false when it failed.
    bool call(const QString& destination, const char* path, const char* interface, const char* method,
              GVariant* parameters);
    // Which deferral the download of an automatic check's large package gets now.
    CConnectionPolicy::Deferral largeDeferral();
    // The modules an automatic check offers of a reply with these modules.
    QStringList offered(const QByteArray& modules);

    std::vector<std::unique_ptr<Child>> m_children;
    // What the policy logs, from any thread (the monitors' too).
    std::unique_ptr<LogCapture> m_log;
    GDBusConnection* m_pSystemBus = nullptr;
    QByteArray m_systemAddress;
};

void TestConnectionPolicy::init()
{
    // GIO keeps its monitors for the whole process: one bus set-up per process.
    static bool used = false;
    if (used)
        QSKIP("each case needs a process of its own (ctest runs them so)");
    used = true;
    m_log.reset(new LogCapture(LogCapture::Quiet));
}

void TestConnectionPolicy::cleanup()
{
    m_log.reset();
    if (m_pSystemBus)
        g_object_unref(m_pSystemBus);
    m_pSystemBus = nullptr;
    m_children.clear();
}

QByteArray TestConnectionPolicy::startBus(const QString& name)
{
    const QString config = root() + QLatin1Char('/') + name + QStringLiteral(".conf");
    const QByteArray text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>session</type><listen>unix:path=" + QFile::encodeName(root()) + "/" + name.toUtf8()
        + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
          "<allow own=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    if (!writeFile(config, text))
        return QByteArray();
    m_children.emplace_back(new Child);
    QProcess& bus = *m_children.back()->process;
    bus.start(QStringLiteral("dbus-daemon"), { "--config-file=" + config, "--nofork", "--print-address=1" });
    if (!bus.waitForStarted(10000))
        return QByteArray();
    while (!bus.canReadLine() && bus.waitForReadyRead(10000)) {
    }
    return bus.readLine().trimmed();
}

bool TestConnectionPolicy::startBuses()
{
    m_systemAddress = startBus(QStringLiteral("system_bus"));
    const QByteArray session = startBus(QStringLiteral("session_bus"));
    if (m_systemAddress.isEmpty() || session.isEmpty())
        return false;
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_systemAddress);
    qputenv("DBUS_SESSION_BUS_ADDRESS", session);
    m_pSystemBus = g_dbus_connection_new_for_address_sync(
        m_systemAddress.constData(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    return m_pSystemBus != nullptr;
}

bool TestConnectionPolicy::startMock(const QString& templateName, const QString& busName)
{
    m_children.emplace_back(new Child);
    QProcess& mock = *m_children.back()->process;
    mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mock.start(QStringLiteral(ZR_PYTHON3), { "-m", "dbusmock", "--system", "--template", templateName });
    mock.waitForStarted(10000);
    // Ready once it owns its name; a mock that ends first has failed.
    for (int i = 0; i < 400 && mock.state() == QProcess::Running; ++i) {
        GVariant* owned = g_dbus_connection_call_sync(
            m_pSystemBus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            g_variant_new("(s)", busName.toUtf8().constData()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, nullptr);
        gboolean has = FALSE;
        if (owned) {
            g_variant_get(owned, "(b)", &has);
            g_variant_unref(owned);
        }
        if (has)
            return true;
        mock.waitForFinished(50);
    }
    return false;
}

bool TestConnectionPolicy::call(const QString& destination, const char* path, const char* interface,
                                const char* method, GVariant* parameters)
{
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(m_pSystemBus, destination.toUtf8().constData(), path, interface,
                                                   method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                                   &error);
    if (!result) {
        qWarning("%s failed: %s", method, error->message);
        g_error_free(error);
        return false;
    }
    g_variant_unref(result);
    return true;
}

CConnectionPolicy::Deferral TestConnectionPolicy::largeDeferral()
{
    return CConnectionPolicy::deferral(kLarge, false, true);
}

void TestConnectionPolicy::withServices()
{
    QVERIFY(startBuses());
    QVERIFY(startMock(QStringLiteral("networkmanager"), kNetworkManager));
    QVERIFY(startMock(QStringLiteral("power_profiles_daemon"), kPowerProfiles));
    // A metered connection (NetworkManager's "Metered": 1, yes); the profile is balanced.
    QVERIFY(call(kNetworkManager, "/org/freedesktop/NetworkManager", "org.freedesktop.DBus.Mock", "AddProperty",
                 g_variant_new("(ssv)", "org.freedesktop.NetworkManager", "Metered", g_variant_new_uint32(1))));
    auto setProperty = [this](const QString& service, const char* path, const char* interface, const char* name,
                              GVariant* value) {
        return call(service, path, "org.freedesktop.DBus.Properties", "Set",
                    g_variant_new("(ssv)", interface, name, value));
    };

    // Both monitors answered within the wait (a balanced profile is an answer too), and
    // they are GIO's NetworkManager and power-profiles-daemon ones.
    const CConnectionPolicy::State first = CConnectionPolicy::current();
    QVERIFY(first.known);
    QVERIFY(first.metered);
    QVERIFY(!first.powerSaver);
    QVERIFY2(m_log->lines().contains("connection monitors: GNetworkMonitorNM GPowerProfileMonitorDBus"),
             qPrintable(m_log->all()));

    // The check drops the large package that is not critical; with nothing else offered
    // the run ends as if nothing was.
    const QByteArray large = "<m name=\"Large\" result=\"true\" size=\"" + QByteArray::number(kLarge) + "B\"/>";
    const QStringList left = offered(large + "<m name=\"Small\" result=\"true\" size=\"1000B\"/>"
                                     "<m name=\"Urgent\" result=\"true\" critical=\"true\" size=\"" + QByteArray::number(kLarge) + "B\"/>");
    QVERIFY2(left == QStringList({ "Small", "Urgent" }), qPrintable(left.join(',') + '\n' + m_log->all()));
    QCOMPARE(offered(large), QStringList());

    // Only an automatic check's large package of a module that is not critical waits; a
    // size not declared (0) counts as large.
    QCOMPARE(largeDeferral(), CConnectionPolicy::DeferredMetered);
    QVERIFY(m_log->lines().contains("download deferred: metered connection"));
    QCOMPARE(CConnectionPolicy::deferral(0, false, true), CConnectionPolicy::DeferredMetered);
    QCOMPARE(CConnectionPolicy::deferral(CConnectionPolicy::kLargeDownloadBytes, false, true),
             CConnectionPolicy::NotDeferred);
    QCOMPARE(CConnectionPolicy::deferral(kLarge, true, true), CConnectionPolicy::NotDeferred);
    QCOMPARE(CConnectionPolicy::deferral(kLarge, false, false), CConnectionPolicy::NotDeferred);

    // The monitors follow the services: power saver too (metered is named first), then
    // only power saver, then neither.
    QVERIFY(setProperty(kPowerProfiles, "/net/hadess/PowerProfiles", "net.hadess.PowerProfiles", "ActiveProfile",
                        g_variant_new_string("power-saver")));
    QTRY_VERIFY(CConnectionPolicy::current().powerSaver);
    QCOMPARE(largeDeferral(), CConnectionPolicy::DeferredMetered);
    QVERIFY(setProperty(kNetworkManager, "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                        "Metered", g_variant_new_uint32(2)));
    QTRY_VERIFY(!CConnectionPolicy::current().metered);
    m_log->clear();
    QCOMPARE(largeDeferral(), CConnectionPolicy::DeferredPowerSaver);
    QCOMPARE(m_log->lines(), QStringList { "download deferred: power saver" });
    QCOMPARE(CConnectionPolicy::deferral(kLarge, true, true), CConnectionPolicy::NotDeferred);
    QVERIFY(setProperty(kPowerProfiles, "/net/hadess/PowerProfiles", "net.hadess.PowerProfiles", "ActiveProfile",
                        g_variant_new_string("balanced")));
    QTRY_VERIFY(!CConnectionPolicy::current().powerSaver);
    QCOMPARE(largeDeferral(), CConnectionPolicy::NotDeferred);
}

void TestConnectionPolicy::withoutServices()
{
    // Nothing owns the services' names: not metered, no power saver, and known at once.
    QVERIFY(startBuses());
    const CConnectionPolicy::State state = CConnectionPolicy::current();
    QVERIFY(state.known);
    QVERIFY(!state.metered);
    QVERIFY(!state.powerSaver);
    QVERIFY(m_log->contains("connection monitors:"));
    QVERIFY(!m_log->contains("GNetworkMonitorNM"));
    QCOMPARE(largeDeferral(), CConnectionPolicy::NotDeferred);
}

void TestConnectionPolicy::busThatNeverAnswers()
{
    // The bus takes the connection and never says a word: the answer comes after the
    // wait time all the same, as "not metered, no power saver".
    QLocalServer silent;
    const QString socket = root() + QStringLiteral("/silent_bus");
    QVERIFY(silent.listen(socket));
    const QByteArray address = "unix:path=" + QFile::encodeName(socket);
    EnvGuard env { { "DBUS_SYSTEM_BUS_ADDRESS", address }, { "DBUS_SESSION_BUS_ADDRESS", address } };
    CConnectionPolicy::setWaitTime(500);
    const CConnectionPolicy::State state = CConnectionPolicy::current();
    QVERIFY(!state.known);
    QVERIFY(!state.metered);
    QVERIFY(!state.powerSaver);
    QVERIFY(m_log->lines().contains("the connection monitors did not answer in time: taken as not metered, no power saver"));
    QCOMPARE(largeDeferral(), CConnectionPolicy::NotDeferred);
}

QStringList TestConnectionPolicy::offered(const QByteArray& modules)
{
    const QString reply = root() + QStringLiteral("/reply.xml");
    writeFile(reply, "<addons>" + modules + "</addons>");
    // Without a driver the check counts as automatic.
    CReaderModuleManager manager(QStringLiteral("Update List"), nullptr, nullptr);
    manager.OnPaserModuleInfo(reply);
    QStringList names;
    for (const MODULEINFO* info : qAsConst(manager.m_vecUpdateModules))
        names << info->strName;
    return names;
}

QTEST_GUILESS_MAIN(TestConnectionPolicy)
#include "tst_connectionpolicy.moc"
