#include "desktopproxysettings.h"

#include <vector>

// GIO's headers name a structure member "signals", which the toolkit defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

void DesktopProxySettings::set(const QString& mode, const QString& host, int port, const QStringList& ignoreHosts)
{
    GSettings* settings = g_settings_new("org.gnome.system.proxy");
    g_settings_set_string(settings, "mode", mode.toUtf8().constData());
    QByteArrayList ignored;
    for (const QString& h : ignoreHosts)
        ignored << h.toUtf8();
    std::vector<const char*> strv;
    for (const QByteArray& h : qAsConst(ignored))
        strv.push_back(h.constData());
    strv.push_back(nullptr);
    g_settings_set_strv(settings, "ignore-hosts", strv.data());
    for (const char* scheme : { "http", "https" }) {
        GSettings* child = g_settings_get_child(settings, scheme);
        g_settings_set_string(child, "host", host.toUtf8().constData());
        g_settings_set_int(child, "port", port);
        g_object_unref(child);
    }
    g_settings_sync();
    g_object_unref(settings);
}

QString DesktopProxySettings::defaultResolver()
{
    return QString::fromUtf8(G_OBJECT_TYPE_NAME(g_proxy_resolver_get_default()));
}
