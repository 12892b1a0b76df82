#ifndef CTRANSFERWATCHDOGS_H
#define CTRANSFERWATCHDOGS_H

#include <QElapsedTimer>
#include <QObject>
#include <QVector>

#include <functional>

class QTimer;
class QTimerEvent;

// The three checks that guard a running transfer. They own their timers; the
// downloader arms them when it sends the request, tells them what comes in, and stops
// them when the transfer ends.
//   the response check: responseCheckDue() one interval after arming; the downloader
//     then fails a transfer from which nothing at all has been heard (heard());
//   the stall check: stalled() when data or progress reports (progressed()) have come
//     in and then stop for one to three intervals;
//   the slow-transfer rule: tooSlow() when less than 1 KiB of body came in within any
//     window: a sliding window, looked at ten times a window, each time over the window
//     that ends then. The first window starts with arming, so the rule fails nothing
//     before a whole window has passed. The body's byte count is read at each look.
// The interval is 10 s and the window 60 s unless the defaults or the object's own
// values say otherwise; an object takes the defaults when it is made, and its own
// values take effect when it is next armed.
class CTransferWatchdogs : public QObject
{
    Q_OBJECT

public:
    // bodyBytes gives the body bytes of the running response read so far.
    explicit CTransferWatchdogs(std::function<qint64()> bodyBytes, QObject* parent = nullptr);

    // Milliseconds; 0 or less restores 10 s (interval) or 60 s (window).
    static void setDefaultInterval(int msec);
    static int defaultInterval();
    static void setDefaultSlowWindow(int msec);
    static int defaultSlowWindow();
    void setInterval(int msec);
    int interval() const { return m_nIntervalMs; }
    void setSlowWindow(int msec);
    int slowWindow() const { return m_nSlowWindowMs; }

    // A new transfer: nothing heard yet, all three checks armed.
    void start();
    // The checks start afresh (after a pause); what was heard stays heard.
    void rearm();
    void stop();
    void stopResponseCheck();

    // Something came from the server: a head, data, a progress report or the end.
    void heard() { m_bHeard = true; }
    bool responseHeard() const { return m_bHeard; }
    // Data or a progress report came in.
    void progressed() { ++m_nStallCount; }

signals:
    void responseCheckDue();
    void stalled();
    void tooSlow();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void checkStall();
    void checkRate();

    struct RateSample
    {
        qint64 atMs;     // on m_rateClock
        qint64 bytes;    // body bytes then
    };

    std::function<qint64()> m_bodyBytes;
    int m_nIntervalMs;
    int m_nSlowWindowMs;
    QTimer* m_pResponseTimer;
    bool m_bHeard;
    // Progress since the last look of the stall check; -1: nothing to watch for.
    int m_nStallCount;
    int m_nStallTimerId;
    int m_nRateWindowMs;        // the window while armed
    int m_nRateTimerId;
    QElapsedTimer m_rateClock;  // started when armed
    QVector<RateSample> m_rateSamples;   // oldest first
};

#endif // CTRANSFERWATCHDOGS_H
