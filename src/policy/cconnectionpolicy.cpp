#include "cconnectionpolicy.h"

#include <QDebug>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// GIO's headers name a structure member "signals", which the toolkit defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

namespace {

using Clock = std::chrono::steady_clock;

const char* const kPowerProfilesName = "net.hadess.PowerProfiles";

int g_nWaitMs = 5000;

// What the monitors' thread has learnt. Made once and never destroyed: the thread
// lives to the end of the process.
struct Monitors
{
    std::mutex mutex;
    std::condition_variable answered;
    bool started = false;
    Clock::time_point deadline;
    bool networkKnown = false;
    bool powerKnown = false;
    bool metered = false;
    bool powerSaver = false;
    bool lateLogged = false;
};

Monitors& monitors()
{
    static Monitors* const shared = new Monitors;
    return *shared;
}

void networkChanged(GObject* monitor, GParamSpec*, gpointer)
{
    const bool metered = g_network_monitor_get_network_metered(G_NETWORK_MONITOR(monitor));
    Monitors& m = monitors();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.metered = metered;
    m.networkKnown = true;
    m.answered.notify_all();
}

void powerChanged(GObject* monitor, GParamSpec*, gpointer)
{
    const bool saving = g_power_profile_monitor_get_power_saver_enabled(G_POWER_PROFILE_MONITOR(monitor));
    Monitors& m = monitors();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.powerSaver = saving;
    m.powerKnown = true;
    m.answered.notify_all();
}

// The power profile monitor reads its service without waiting and says nothing when
// the answer is what it started with ("no power saver"). A second look at the same
// service, started after the monitor's own in the same thread and over the same
// connection, comes back after it: by then the monitor knows.
void secondLookDone(GObject*, GAsyncResult* result, gpointer monitor)
{
    GDBusProxy* proxy = g_dbus_proxy_new_finish(result, nullptr);
    if (proxy)
        g_object_unref(proxy);
    powerChanged(G_OBJECT(monitor), nullptr, nullptr);
}

void powerServiceAppeared(GDBusConnection* connection, const gchar*, const gchar*, gpointer monitor)
{
    g_dbus_proxy_new(connection, G_DBUS_PROXY_FLAGS_NONE, nullptr, kPowerProfilesName, "/net/hadess/PowerProfiles",
                     kPowerProfilesName, nullptr, secondLookDone, monitor);
}

void powerServiceVanished(GDBusConnection*, const gchar*, gpointer monitor)
{
    powerChanged(G_OBJECT(monitor), nullptr, nullptr);
}

// The monitors' thread: its own main context, in which GIO delivers what the monitors
// hear, for the rest of the process.
void runMonitors()
{
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);

    // The monitors share GIO's system bus connection, which by default ends the process
    // (SIGTERM) when the bus goes away: a restarted bus must not stop an update. The
    // reference is kept, or the next user of the bus would get a new connection.
    if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr))
        g_dbus_connection_set_exit_on_close(bus, FALSE);

    // The power profile monitor first: it never waits, the network monitor may.
    GPowerProfileMonitor* power = g_power_profile_monitor_dup_default();
    g_signal_connect(power, "notify::power-saver-enabled", G_CALLBACK(powerChanged), nullptr);
    g_bus_watch_name(G_BUS_TYPE_SYSTEM, kPowerProfilesName, G_BUS_NAME_WATCHER_FLAGS_AUTO_START,
                     powerServiceAppeared, powerServiceVanished, power, nullptr);

    GNetworkMonitor* network = g_network_monitor_get_default();
    g_signal_connect(network, "notify::network-metered", G_CALLBACK(networkChanged), nullptr);
    qDebug() << "connection monitors:" << G_OBJECT_TYPE_NAME(network) << G_OBJECT_TYPE_NAME(power);
    networkChanged(G_OBJECT(network), nullptr, nullptr);

    GMainLoop* loop = g_main_loop_new(context, FALSE);
    g_main_loop_run(loop);
}

} // namespace

void CConnectionPolicy::start()
{
    Monitors& m = monitors();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.started)
        return;
    m.started = true;
    m.deadline = Clock::now() + std::chrono::milliseconds(g_nWaitMs);
    std::thread(runMonitors).detach();
}

CConnectionPolicy::State CConnectionPolicy::current()
{
    start();
    Monitors& m = monitors();
    std::unique_lock<std::mutex> lock(m.mutex);
    State state;
    state.known = m.answered.wait_until(lock, m.deadline, [&m]() { return m.networkKnown && m.powerKnown; });
    state.metered = m.metered;
    state.powerSaver = m.powerSaver;
    if (!state.known && !m.lateLogged) {
        m.lateLogged = true;
        qDebug() << "the connection monitors did not answer in time: taken as not metered, no power saver";
    }
    return state;
}

CConnectionPolicy::Deferral CConnectionPolicy::deferral(qint64 declaredBytes, bool critical, bool automatic)
{
    if (!automatic || critical)
        return NotDeferred;
    if (declaredBytes > 0 && declaredBytes <= kLargeDownloadBytes)
        return NotDeferred;

    const State state = current();
    if (state.metered) {
        qDebug() << "download deferred: metered connection";
        return DeferredMetered;
    }
    if (state.powerSaver) {
        qDebug() << "download deferred: power saver";
        return DeferredPowerSaver;
    }
    return NotDeferred;
}

void CConnectionPolicy::setWaitTime(int msec)
{
    g_nWaitMs = msec > 0 ? msec : 5000;
}
