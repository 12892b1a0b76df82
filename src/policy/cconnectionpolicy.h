#ifndef CCONNECTIONPOLICY_H
#define CCONNECTIONPOLICY_H

#include <QString>
#include <QtGlobal>

// Whether a large download of an automatic check waits for a better moment: while the
// connection is metered (GIO's network monitor, "network-metered": NetworkManager's
// verdict where it runs) or the system is in power-saver mode (GIO's power profile
// monitor: power-profiles-daemon, or the desktop portal in a sandbox).
//
// The monitors are GIO's defaults, made once per process in a thread of their own that
// keeps them up to date for the rest of the run: making the network monitor may wait on
// the system bus, and nothing of that reaches the caller. A caller waits at most the
// wait time (5 s) from the start of the monitors for their first answers; a monitor that
// has not answered by then (a system bus that does not answer) counts as "not metered",
// "no power saver": the download goes on, as it did before the monitors existed. Without
// the services the monitors say the same (not metered, no power saver).
class CConnectionPolicy
{
public:
    enum Deferral { NotDeferred, DeferredMetered, DeferredPowerSaver };

    // A package larger than this (1 MiB) is a large download.
    static const qint64 kLargeDownloadBytes = 1024 * 1024;

    struct State
    {
        bool metered = false;
        bool powerSaver = false;
        bool known = false;   // both monitors had answered in time
    };

    // Starts the monitors, when they are not running yet, without waiting for them.
    // Called early (when an automatic check starts), their answers are in by the time a
    // download asks.
    static void start();

    // What the monitors say now; starts them when needed and waits for their first
    // answers at most until the wait time from their start has passed.
    static State current();

    // Whether the download of a module's package is deferred: only on an automatic
    // check, never for a critical module, and only for a package larger than
    // kLargeDownloadBytes (declaredBytes as the download window reads the reply's size,
    // CModuleDownload::declaredSize; 0, a size not declared, counts as large). A metered
    // connection is named before power saver; the log says "download deferred: metered
    // connection" or "download deferred: power saver". The monitors are asked only when
    // the rest would defer.
    static Deferral deferral(qint64 declaredBytes, bool critical, bool automatic);

    // The wait time in milliseconds (5000); tests shorten it. Takes effect for monitors
    // started afterwards.
    static void setWaitTime(int msec);
};

#endif // CCONNECTIONPOLICY_H
