#include "ctransferwatchdogs.h"

#include <QDebug>
#include <QTimer>
#include <QTimerEvent>

namespace {

const int kIntervalMs = 10000;
const int kSlowWindowMs = 60000;

int g_nDefaultIntervalMs = kIntervalMs;
int g_nDefaultSlowWindowMs = kSlowWindowMs;

// Body bytes a transfer must bring in every window of the slow-transfer rule.
const qint64 kSlowMinBytes = 1024;

} // namespace

CTransferWatchdogs::CTransferWatchdogs(std::function<qint64()> bodyBytes, QObject* parent)
    : QObject(parent)
    , m_bodyBytes(std::move(bodyBytes))
    , m_nIntervalMs(g_nDefaultIntervalMs)
    , m_nSlowWindowMs(g_nDefaultSlowWindowMs)
    , m_pResponseTimer(new QTimer(this))
    , m_bHeard(false)
    , m_nStallCount(-1)
    , m_nStallTimerId(-1)
    , m_nRateWindowMs(g_nDefaultSlowWindowMs)
    , m_nRateTimerId(-1)
{
    m_pResponseTimer->setSingleShot(true);
    connect(m_pResponseTimer, &QTimer::timeout, this, &CTransferWatchdogs::responseCheckDue);
}

void CTransferWatchdogs::setDefaultInterval(int msec)
{
    g_nDefaultIntervalMs = msec > 0 ? msec : kIntervalMs;
}

int CTransferWatchdogs::defaultInterval()
{
    return g_nDefaultIntervalMs;
}

void CTransferWatchdogs::setDefaultSlowWindow(int msec)
{
    g_nDefaultSlowWindowMs = msec > 0 ? msec : kSlowWindowMs;
}

int CTransferWatchdogs::defaultSlowWindow()
{
    return g_nDefaultSlowWindowMs;
}

void CTransferWatchdogs::setInterval(int msec)
{
    m_nIntervalMs = msec > 0 ? msec : kIntervalMs;
}

void CTransferWatchdogs::setSlowWindow(int msec)
{
    m_nSlowWindowMs = msec > 0 ? msec : kSlowWindowMs;
}

void CTransferWatchdogs::start()
{
    m_bHeard = false;
    rearm();
}

void CTransferWatchdogs::rearm()
{
    if (m_nStallTimerId != -1)
        killTimer(m_nStallTimerId);
    m_nStallTimerId = startTimer(m_nIntervalMs, Qt::CoarseTimer);
    m_nStallCount = 0;
    m_pResponseTimer->start(m_nIntervalMs);

    // The slow-transfer rule looks ten times a window, each time at the window that
    // ends then; the first window starts now.
    m_nRateWindowMs = m_nSlowWindowMs;
    m_rateSamples.clear();
    m_rateClock.start();
    m_rateSamples.append(RateSample{0, 0});
    if (m_nRateTimerId != -1)
        killTimer(m_nRateTimerId);
    m_nRateTimerId = startTimer(qMax(1, m_nRateWindowMs / 10), Qt::CoarseTimer);
}

void CTransferWatchdogs::stop()
{
    m_nStallCount = -1;
    if (m_nStallTimerId != -1) {
        killTimer(m_nStallTimerId);
        m_nStallTimerId = -1;
    }
    if (m_nRateTimerId != -1) {
        killTimer(m_nRateTimerId);
        m_nRateTimerId = -1;
    }
    m_pResponseTimer->stop();
}

void CTransferWatchdogs::stopResponseCheck()
{
    m_pResponseTimer->stop();
}

void CTransferWatchdogs::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != -1 && event->timerId() == m_nRateTimerId)
        checkRate();
    else if (event->timerId() != -1 && event->timerId() == m_nStallTimerId)
        checkStall();
    else
        QObject::timerEvent(event);
}

void CTransferWatchdogs::checkStall()
{
    // Counts down the progress seen since the last look: a transfer that made progress
    // and then none for one to three looks has stalled. Before any progress at all the
    // response check is the one that watches.
    if (m_nStallCount < 0)
        return;
    if (m_nStallCount > 3) {
        m_nStallCount = 1;
        return;
    }
    --m_nStallCount;
    if (m_nStallCount == 0)
        emit stalled();
}

void CTransferWatchdogs::checkRate()
{
    const qint64 now = m_rateClock.elapsed();
    const qint64 bodyBytes = m_bodyBytes ? m_bodyBytes() : 0;
    m_rateSamples.append(RateSample{now, bodyBytes});
    // The base is the newest look at least a whole window old; older ones are done
    // with. Measured from it the span is a window or a little more, so a span that
    // brought too little means the window ending now did too.
    while (m_rateSamples.size() > 1 && now - m_rateSamples.at(1).atMs >= m_nRateWindowMs)
        m_rateSamples.removeFirst();
    const RateSample base = m_rateSamples.first();
    if (now - base.atMs < m_nRateWindowMs)
        return; // not a whole window since arming yet
    if (bodyBytes - base.bytes >= kSlowMinBytes)
        return;
    qDebug() << "Error:Less than" << kSlowMinBytes << "bytes of body came in" << (now - base.atMs)
             << "ms; the transfer is too slow.";
    emit tooSlow();
}
