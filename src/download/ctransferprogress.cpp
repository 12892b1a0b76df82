#include "ctransferprogress.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QProgressBar>

#include <climits>
#include <cmath>

namespace {

// Truncates toward zero like a C cast, but keeps values that do not fit (or are not
// numbers at all) inside the int range instead of overflowing.
int truncatedToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

// The label's texts are translated as the downloader's (marked where they are used).
QString labelText(const char* text)
{
    return QCoreApplication::translate("QHttpDownLoadS", text);
}

} // namespace

CTransferProgress::CTransferProgress(QProgressBar* bar, QLabel* label)
    : m_pBar(bar)
    , m_pLabel(label)
    , m_nStart(0)
    , m_nBase(0)
    , m_nWholeSize(0)
    , m_nTotal(0)
    , m_nReceived(0)
{
}

void CTransferProgress::setBar(QProgressBar* bar)
{
    m_pBar = bar;
}

void CTransferProgress::begin(qint64 base, qint64 now)
{
    m_nStart = now;
    m_nBase = base;
    m_nWholeSize = 0;
    m_nTotal = 0;
    m_nReceived = 0;
}

void CTransferProgress::report(qint64 received, qint64 reportedTotal, const QString& fileName, qint64 now)
{
    // A partial answer's body is the rest after the counted bytes.
    if (m_nWholeSize > 0)
        m_nTotal = m_nWholeSize;
    else if (reportedTotal <= 0)
        return;
    if (m_nTotal == 0)
        m_nTotal = reportedTotal;
    m_nReceived = received;

    const double percent = static_cast<double>(m_nReceived) / static_cast<double>(m_nTotal) * 100.0;
    qDebug().noquote() << QStringLiteral("Downloading ") + fileName + QStringLiteral(":")
            + QStringLiteral("%1 of %2 = %3%").arg(m_nReceived).arg(m_nTotal).arg(percent);
    if (m_pBar)
        m_pBar->setValue(truncatedToInt(percent));
    if (m_pLabel)
        updateLabel(now);
}

void CTransferProgress::showFull()
{
    if (m_pBar)
        m_pBar->setValue(100);
}

void CTransferProgress::updateLabel(qint64 now)
{
    const qint64 remaining = m_nTotal - m_nReceived;
    const double receivedMB = static_cast<double>(m_nReceived) * (1.0 / 1024) * (1.0 / 1024);
    const double totalMB = static_cast<double>(m_nTotal) * (1.0 / 1024) * (1.0 / 1024);
    const double elapsed = static_cast<double>(now - m_nStart) / 1000.0;
    // The speed of this transfer: the bytes already in a continued file came earlier.
    const qint64 thisTransfer = m_nReceived - m_nBase;

    // Without bytes or without elapsed time there is no speed to estimate from.
    if (m_nReceived <= 0 || elapsed <= 0.0 || thisTransfer <= 0) {
        m_pLabel->setText(labelText(QT_TRANSLATE_NOOP("QHttpDownLoadS", "Time Remaining: - seconds ( %1/%2 MB)"))
                              .arg(receivedMB, 0, 'f', 2)
                              .arg(totalMB, 0, 'f', 2));
        return;
    }
    const double speed = static_cast<double>(thisTransfer) / elapsed;
    const int secondsLeft = truncatedToInt(static_cast<double>(remaining) / speed);
    m_pLabel->setText(labelText(QT_TRANSLATE_NOOP("QHttpDownLoadS", "Time Remaining: %1 seconds ( %2/%3 MB)"))
                          .arg(secondsLeft)
                          .arg(receivedMB, 0, 'f', 2)
                          .arg(totalMB, 0, 'f', 2));
}
