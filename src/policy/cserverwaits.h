#ifndef CSERVERWAITS_H
#define CSERVERWAITS_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// Request servers that asked to be left alone for a while: a 503 or 429 answer with
// "Retry-After". Automatic checks do not ask such a server again before the time it
// named, at most 24 hours after its answer, in this run or a later one: the waits are
// kept privately with the updater's state in the state file "server-waits", one line
// per server, ANSWERED<TAB>UNTIL<TAB>SERVER (times written YYYY-MM-DDTHH:MM:SSZ, the
// server as "host:port", percent-encoded; Comm::writeStateFile). A wait counts only
// between its answer and its end, so a clock set back does not stretch it.
class CServerWaits
{
public:
    static const qint64 kMaxWaitSeconds = 24 * 3600;

    static QString path();

    // The end of the wait a Retry-After value asks for, answered at now: a number of
    // seconds (digits only) or an HTTP date in the preferred form of RFC 7231
    // ("Sun, 06 Nov 1994 08:49:37 GMT"), white space around it ignored; at most now +
    // 24 hours. std::nullopt when the value is neither, or names no time after now.
    static std::optional<qint64> parseRetryAfter(const QByteArray& value, qint64 now);

    // "host:port" of a request server's address (the scheme's port when it names none);
    // empty for an address without a host.
    static QString serverOf(const QString& address);

    // Keeps the wait of server from now until until (capped at 24 hours); the waits of
    // other servers that still count stay, the ones that have ended go. False when it
    // cannot be written.
    static bool record(const QString& server, qint64 until, qint64 now);

    // The end of the wait of server when it counts at now.
    static std::optional<qint64> waitingUntil(const QString& server, qint64 now);
};

#endif // CSERVERWAITS_H
