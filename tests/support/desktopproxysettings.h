#ifndef DESKTOPPROXYSETTINGS_H
#define DESKTOPPROXYSETTINGS_H

#include <QString>
#include <QStringList>

// GNOME's proxy settings (org.gnome.system.proxy) of this process, written through
// GSettings. A test that runs with GSETTINGS_BACKEND=keyfile (under its own
// XDG_CONFIG_HOME) gets them from glib-networking's GNOME resolver, which sees each
// change at once.
class DesktopProxySettings
{
public:
    // mode: "none", "manual" or "auto"; host and port of the http and https proxies.
    static void set(const QString& mode, const QString& host, int port, const QStringList& ignoreHosts);
    // The type name of GIO's default proxy resolver in this process ("GLibproxyResolver"
    // outside GNOME where glib-networking is installed).
    static QString defaultResolver();
};

#endif // DESKTOPPROXYSETTINGS_H
