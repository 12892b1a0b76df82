#ifndef CSIGNALSTOP_H
#define CSIGNALSTOP_H

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a stop of the run. The handler only writes the
// signal's number to a pipe (async-signal-safe); the event loop reads it through a
// socket notifier, and code that blocks the loop can look at it with takePending().
// The first signal read logs "stopped by signal NAME" and emits stopRequested() once.
// The first signal also gives all three their default action back: a second one ends
// the process at once, wherever the run is (a long unpacking, a hash, a blocking
// program), as it would without the updater's handling.
class CSignalStop : public QObject
{
    Q_OBJECT

public:
    explicit CSignalStop(QObject* parent = nullptr);
    // Puts back the handlers that were there before.
    ~CSignalStop() override;

    // Whether the handlers are in place (false when the pipe or a handler failed;
    // logged).
    bool isInstalled() const { return m_installed; }

    // Whether a stop signal has arrived, reading the pipe first: the stop is handled
    // (logged, stopRequested() emitted) here when the event loop has not done it yet.
    // The one instance's answer; false when there is none.
    static bool takePending();
    // Whether the stop has been handled already (without reading the pipe).
    static bool isStopped();

    // "SIGTERM", "SIGINT", "SIGHUP"; otherwise "signal <n>".
    static QString signalName(int signalNumber);

signals:
    void stopRequested();

private:
    void readPipe();

    QSocketNotifier* m_pNotifier = nullptr;
    bool m_installed = false;
    bool m_bStopped = false;
};

#endif // CSIGNALSTOP_H
